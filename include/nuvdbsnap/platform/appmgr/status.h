// Error numbers of the application manager and the last-error record that its
// objects keep: every failing call stores a number and a text there, every
// successful lookup clears it.
// Every call that reads or writes the catalogue journals itself as
// ("appmgr", "<Class>::<method>", "key=value ...") and obeys a fault of the
// same service and call name: the fault's code is returned (or stored as the
// last error of a call that returns an object) and its text becomes the error
// string.
#pragma once

#include <string>

namespace nuvappmgr {

enum AppMgrError : int {
    kAppMgrOk = 0,
    kAppMgrNotFound = 2,       // no such row (application, client, instance, ...)
    kAppMgrCatalogue = 5,      // the catalogue could not be read or written
    kAppMgrConflict = 16,      // stored content changed since the caller read it
    kAppMgrBadArgument = 22,   // refused input (empty name, wrong application type, ...)
    kAppMgrNotSupported = 95,  // operation the local suite does not offer
};

class AppMgrErrorState {
public:
    int getLastError() const { return m_lastError; }
    char const* getErrorString() const { return m_errorString.c_str(); }

protected:
    // Stores the error and returns `number` (never 0: 0 becomes -1).
    int setError(int number, std::string text);
    void clearError() {
        m_lastError = 0;
        m_errorString.clear();
    }

private:
    int m_lastError = 0;
    std::string m_errorString;
};

}  // namespace nuvappmgr
