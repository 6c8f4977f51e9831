// Error numbers of the archive manager and the last-error record of its
// clients: every failing call stores a number and a text, every successful
// call clears them.
// Every call journals itself as ("archive", "<Class>::<method>",
// "key=value ...", e.g. "job=42 app=5 ...") and obeys a fault of the same
// service and call name: the fault's code is returned, its text becomes the
// error string, and nothing is written.
#pragma once

#include <string>
#include <utility>

namespace nuvarchive {

enum ArchiveError : int {
    kArchiveOk = 0,
    kArchiveNotFound = 2,         // no such archive file
    kArchiveCatalogue = 5,        // the catalogue could not be read or written
    kArchiveBadArgument = 22,     // missing record, no job set, wrong key
    kArchiveAlreadyClosed = 114,  // the archive file was closed before
};

class ArchiveErrorState {
public:
    int getLastError() const { return m_lastError; }
    char const* getErrorString() const { return m_errorString.c_str(); }

protected:
    // Stores the error and returns `number` (0 becomes -1).
    int setError(int number, std::string text) {
        m_lastError = number != 0 ? number : -1;
        m_errorString = std::move(text);
        return m_lastError;
    }
    void clearError() {
        m_lastError = 0;
        m_errorString.clear();
    }

private:
    int m_lastError = 0;
    std::string m_errorString;
};

}  // namespace nuvarchive
