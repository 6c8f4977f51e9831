// CNamedMutex over the lock files of JzNamedMutex.
#include "nuvdbsnap/platform/base/cnamed_mutex.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

CNamedMutex::CNamedMutex(char const* name, void* /*security*/, bool initiallyOwned) : m_mutex(name) {
    if (name == nullptr || *name == '\0') {
        fail(kErrFailed, "a named mutex needs a name");
        return;
    }
    std::string const path = JzNamedMutex::LockFileFor(name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(kErrFailed, "cannot open the lock file [" + path + "]: " + strerror(errno));
        return;
    }
    close(fd);
    if (initiallyOwned) lock(-1, true);
}

CNamedMutex::~CNamedMutex() = default;  // the JzNamedMutex releases its lock

void CNamedMutex::fail(int code, std::string const& text) {
    m_errorCode = code;
    m_errorText = text;
}

int CNamedMutex::lock(long timeoutMs, bool wait) {
    if (m_mutex.name().empty()) return m_errorCode;
    std::string const args = m_mutex.name() + " timeout=" + std::to_string(timeoutMs) + (wait ? " wait" : " once");
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("mutex", "CNamedMutex::lock", args, &fault)) {
        fail(fault.code < 0 ? fault.code : kErrFailed, fault.text);
        return m_errorCode;
    }
    unsigned long const limit = !wait ? 0 : timeoutMs < 0 ? JzNamedMutex::kWaitForever : static_cast<unsigned long>(timeoutMs);
    errno = 0;
    if (m_mutex.lock(limit)) {
        fail(kErrNone, std::string());
        return 0;
    }
    if (errno == EWOULDBLOCK)
        fail(kErrTimedOut, "[" + m_mutex.name() + "] is held by another holder");
    else
        fail(kErrFailed, "cannot lock [" + m_mutex.name() + "]: " + strerror(errno));
    return m_errorCode;
}

int CNamedMutex::unlock() { return m_mutex.unlock(); }
