// JzNamedMutex.
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include "flock_wait.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::string JzNamedMutex::LockFileFor(std::string const& name) {
    std::string file;
    for (unsigned char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-') {
            file += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            file += hex;
        }
    }
    if (file.empty() || file == "." || file == "..") file = "%" + file;  // never a directory name
    return nuvsuite::StatePath("locks") + "/" + file + ".lck";
}

JzNamedMutex::JzNamedMutex(char const* name) : m_name(name ? name : "") {}

JzNamedMutex::~JzNamedMutex() {
    if (m_fd >= 0) close(m_fd);  // closing drops the lock
}

int JzNamedMutex::lock(unsigned long timeoutMs) {
    if (m_locked) return 1;
    if (m_fd < 0) {
        m_path = LockFileFor(m_name);
        m_fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0) return 0;
    }
    if (!FlockWait(m_fd, true, timeoutMs)) return 0;
    m_locked = true;
    return 1;
}

int JzNamedMutex::unlock() {
    if (!m_locked) return 0;
    if (flock(m_fd, LOCK_UN) != 0) return -1;
    m_locked = false;
    return 0;
}
