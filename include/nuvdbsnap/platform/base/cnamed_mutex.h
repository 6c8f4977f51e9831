// CNamedMutex: the base library's second named mutex. It is the same
// cross-process lock as JzNamedMutex (an flock on the name's lock file under
// StatePath("locks")), so a wait ends when the holder unlocks, is destroyed
// or dies. Each lock is journalled ("mutex", "lock") and obeys the fault table.
#pragma once

#include "nuvdbsnap/platform/base/named_mutex.h"

#include <string>

class CNamedMutex {
public:
    // Error codes of getErrorCode.
    static constexpr int kErrNone = 0;
    static constexpr int kErrFailed = -1;    // the mutex cannot be made or locked (see getErrorText)
    static constexpr int kErrTimedOut = -2;  // not obtained in time: the holder still has it

    // security is not used; initiallyOwned locks at once (waiting without limit).
    CNamedMutex(char const* name, void* security, bool initiallyOwned);
    CNamedMutex(CNamedMutex const&) = delete;
    CNamedMutex& operator=(CNamedMutex const&) = delete;
    ~CNamedMutex();  // releases a lock it holds

    int getErrorCode() const { return m_errorCode; }
    char const* getErrorText() const { return m_errorText.c_str(); }

    // 0 when the lock is held on return; below 0 (the error code) otherwise.
    // timeoutMs < 0 waits without limit; wait false tries once.
    int lock(long timeoutMs, bool wait);
    int unlock();  // 0 on success (also when not held)

private:
    void fail(int code, std::string const& text);

    JzNamedMutex m_mutex;
    int m_errorCode = kErrNone;
    std::string m_errorText;
};
