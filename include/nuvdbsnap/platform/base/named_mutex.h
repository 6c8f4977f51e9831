// JzNamedMutex: a mutex shared by every process (and thread) that uses the same
// name. It is an flock(2) lock on StatePath("locks")/<name>.lck (characters of the
// name other than letters, digits, '.', '_' and '-' are written as %XX), so it is
// released when its holder unlocks, is destroyed or dies. Lock files are never
// removed. Two objects of the same name exclude each other, in one process too.
#pragma once

#include <string>

class JzNamedMutex {
public:
    static constexpr unsigned long kWaitForever = ~0UL;

    explicit JzNamedMutex(char const* name);
    explicit JzNamedMutex(std::string const& name) : JzNamedMutex(name.c_str()) {}
    JzNamedMutex(JzNamedMutex const&) = delete;
    JzNamedMutex& operator=(JzNamedMutex const&) = delete;
    ~JzNamedMutex();  // releases a lock it holds

    // Non-zero when the lock is held on return (at once when this object already
    // holds it); 0 when it was not obtained within timeoutMs (0: try once;
    // kWaitForever: no limit) or the lock file cannot be opened (errno tells).
    int lock(unsigned long timeoutMs = kWaitForever);
    int unlock();  // 0 on success (also when not held)
    bool isLocked() const { return m_locked; }
    std::string const& name() const { return m_name; }
    std::string const& lockFilePath() const { return m_path; }

    // The lock file of a name.
    static std::string LockFileFor(std::string const& name);

private:
    std::string m_name;
    std::string m_path;
    int m_fd = -1;
    bool m_locked = false;
};
