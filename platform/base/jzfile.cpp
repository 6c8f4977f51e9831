// JzFile.
#include "nuvdbsnap/platform/base/jzfile.h"

#include "flock_wait.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

JzFile::~JzFile() { close(); }

int JzFile::open(char const* path, sfOpenMode_t mode, unsigned int permissions, int flags) {
    if (m_fd >= 0) close();
    if (path == nullptr || *path == '\0') {
        m_lastError = EINVAL;
        return -1;
    }
    int openFlags = 0;
    switch (mode) {
        case sfOpenRead: openFlags = O_RDONLY; break;
        case sfOpenWrite: openFlags = O_WRONLY | O_CREAT | O_TRUNC; break;
        case sfOpenAppend: openFlags = O_WRONLY | O_CREAT | O_APPEND; break;
        case sfOpenReadWriteCreate: openFlags = O_RDWR | O_CREAT; break;
        default: m_lastError = EINVAL; return -1;
    }
    m_path = path;
    m_openFlags = openFlags | flags | O_CLOEXEC;
    m_permissions = permissions ? permissions : 0644;
    return reopen();
}

int JzFile::reopen() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = ::open(m_path.c_str(), m_openFlags, m_permissions);
    if (m_fd < 0) {
        m_lastError = errno;
        return -1;
    }
    return 0;
}

int JzFile::lock(sfLockMode_t mode, unsigned long timeoutMs) {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return 0;
    }
    if (m_locked) return 1;
    bool exclusive = mode == sfLockExclusive;
    std::string const args = m_path + (exclusive ? " exclusive" : " shared") + " timeout=" +
                             (timeoutMs == kWaitForever ? std::string("forever") : std::to_string(timeoutMs));
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("lockfile", "lock", args, &fault)) {
        m_lastError = fault.code > 0 ? fault.code : ENOLCK;
        return 0;
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point const deadline = Clock::now() + std::chrono::milliseconds(timeoutMs == kWaitForever ? 0 : timeoutMs);
    while (true) {
        // Every retry waits only for what is left of the caller's budget.
        unsigned long wait = timeoutMs;
        if (timeoutMs != kWaitForever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = left > 0 ? static_cast<unsigned long>(left) : 0;
        }
        if (!FlockWait(m_fd, exclusive, wait)) {
            m_lastError = errno;
            return 0;
        }
        // The path must still name the file we locked: a previous holder may have
        // removed it (and another process may have made a new one) meanwhile.
        struct stat held, named;
        if (fstat(m_fd, &held) == 0 && stat(m_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            m_locked = true;
            return 1;
        }
        flock(m_fd, LOCK_UN);
        if ((m_openFlags & O_CREAT) == 0 || reopen() != 0) {
            m_lastError = (m_openFlags & O_CREAT) == 0 ? ENOENT : m_lastError;
            return 0;
        }
    }
}

int JzFile::unlock() {
    if (m_fd < 0) {
        m_lastError = EBADF;
        return -1;
    }
    if (flock(m_fd, LOCK_UN) != 0) {
        m_lastError = errno;
        return -1;
    }
    m_locked = false;
    return 0;
}

int JzFile::unlockAndRemove() {
    if (m_fd < 0 || !m_locked) {
        m_lastError = m_fd < 0 ? EBADF : ENOLCK;
        return -1;
    }
    struct stat held, named;
    if (fstat(m_fd, &held) == 0 && stat(m_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
        if (::unlink(m_path.c_str()) != 0) m_lastError = errno;
    }
    return unlock();
}

int JzFile::close() {
    if (m_fd < 0) return 0;
    int fd = m_fd;
    m_fd = -1;
    m_locked = false;  // closing the descriptor releases the lock
    if (::close(fd) != 0 && errno != EINTR) {
        m_lastError = errno;
        return -1;
    }
    return 0;
}
