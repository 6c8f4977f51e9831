// FileLock: the lock-file guard of the data-aging files.
#include "nuvdbsnap/dbsnap/data_aging.h"

#include "nuvdbsnap/platform/base/log.h"

FileLock::FileLock(std::string const& path, EvEvent* event) : m_path(path), m_event(event) {
    int result = m_file.open(m_path.c_str(), sfOpenReadWriteCreate, 0, 0);
    if (result == 0) {
        result = m_file.lock(sfLockExclusive, kWaitMs);
        if (result == 1) {
            m_locked = true;
            return;
        }
    }
    EvDebug::Error(m_event, "LockFile::LockFile",
                   "Failed to get the lock for file %s even after 1 minute. Lock failed with an error %d and error "
                   "is %d",
                   m_path.c_str(), result, m_file.getLastError());
}

FileLock::~FileLock() {
    (void)unlock();
    (void)m_file.close();
}

bool FileLock::unlock() {
    if (!m_locked) return true;
    // The lock file goes while the lock is still held, so no other guard can
    // have taken the file in between.
    int const result = m_file.unlockAndRemove();
    m_locked = false;
    if (result != 0) {
        EvDebug::Error(m_event, "LockFile::unlock()", "Failed to unlock the file %s returned %d and error is %d",
                       m_path.c_str(), result, m_file.getLastError());
        return false;
    }
    EvDebug::Debug(m_event, "LockFile::unlock()", "Unlock File %s success ", m_path.c_str());
    return true;
}
