// The step every call of a suite service, plug-in or helper program takes
// first, and the last-error record of the suite's client objects.
//
// A call journals itself as (service, call name, "key=value ...") and obeys a
// fault of the same service and call name (and an optional substring of the
// arguments) declared in the fault table. A faulted call fails with the
// fault's code and text in one form everywhere: the code is the fault's (-1
// when the fault gives 0), the text is the fault's (or "<call> failed
// (injected fault)" when the fault gives none).
#pragma once

#include <string>

namespace nuvsuite {

struct CallFault {
    int code = 0;      // never 0 for a fired fault
    std::string text;  // never empty for a fired fault
};

// Journals the call and consults the fault table. True when the call goes on;
// false when a fault fails it, *fault (may be null) then says how.
bool EnterCall(std::string const& service, std::string const& call, std::string const& args,
               CallFault* fault = nullptr);

// The fault-table check of EnterCall alone, for a call already journalled or a
// control point of a plug-in. True when a fault fired (one use is taken).
bool CallFaulted(std::string const& service, std::string const& call, std::string const& args,
                 CallFault* fault = nullptr);

// The last error of a client object: every failing call stores a number and a
// text, every successful call (or lookup) clears them.
class LastErrorRecord {
public:
    int getLastError() const { return m_lastError; }
    char const* getErrorString() const { return m_errorString.c_str(); }

protected:
    // Stores the error and returns `number` (never 0: 0 becomes -1).
    int setError(int number, std::string text);
    int setError(CallFault const& fault) { return setError(fault.code, fault.text); }
    void clearError() {
        m_lastError = 0;
        m_errorString.clear();
    }

private:
    int m_lastError = 0;
    std::string m_errorString;
};

}  // namespace nuvsuite
