// JzFile: a file object with an advisory whole-file lock (flock) that can be
// waited for with a time-out. The lock is released when the holder closes the
// file or dies. Used for lock files that guard shared work files.
//
// lock() is journalled ("lockfile", "lock", "<path> exclusive|shared
// timeout=<ms>|forever") and obeys the fault table: a fault refuses the lock
// (getLastError gives the fault's code, ENOLCK when it is not positive).
#pragma once

#include <string>

enum sfOpenMode_t {
    sfOpenRead = 0,             // read only; the file must exist
    sfOpenWrite = 1,            // write only, created, truncated
    sfOpenAppend = 2,           // write only, created, appended to
    sfOpenReadWriteCreate = 3,  // read and write, created when missing, never truncated
};

enum sfLockMode_t { sfLockExclusive = 0, sfLockShared = 1 };

class JzFile {
public:
    static constexpr unsigned long kWaitForever = ~0UL;

    JzFile() = default;
    JzFile(JzFile const&) = delete;
    JzFile& operator=(JzFile const&) = delete;
    ~JzFile();

    // 0 when the file is open; -1 otherwise (getLastError gives errno).
    // permissions: mode bits for a created file (0 means 0644); flags: extra open(2) flags.
    int open(char const* path, sfOpenMode_t mode, unsigned int permissions, int flags);
    // 1 when the lock is granted within timeoutMs (0: try once; kWaitForever: no limit),
    // 0 otherwise (getLastError: EWOULDBLOCK when the time ran out). A lock is granted
    // only on the file that the path still names, so a lock file removed by its
    // previous holder is never shared: the object then reopens the path and waits
    // again, within what is left of the same time-out.
    int lock(sfLockMode_t mode, unsigned long timeoutMs);
    int unlock();            // 0 on success
    // Removes the path (when it still names this file) while the lock is held, then
    // unlocks: the sound way to drop a lock file. 0 on success.
    int unlockAndRemove();
    int close();             // 0 on success
    bool isOpen() const { return m_fd >= 0; }
    bool isLocked() const { return m_locked; }
    int getLastError() const { return m_lastError; }
    int descriptor() const { return m_fd; }

private:
    int reopen();

    int m_fd = -1;
    std::string m_path;
    int m_openFlags = 0;
    unsigned int m_permissions = 0644;
    bool m_locked = false;
    int m_lastError = 0;
};
