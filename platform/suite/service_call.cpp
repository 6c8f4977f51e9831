// The service-call step and the last-error record (contract in service_call.h).
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <utility>

namespace nuvsuite {

bool CallFaulted(std::string const& service, std::string const& call, std::string const& args, CallFault* fault) {
    FaultHit hit;
    if (!CheckFault(service, call, args, &hit)) return false;
    if (fault) {
        fault->code = hit.code != 0 ? hit.code : -1;
        fault->text = !hit.text.empty() ? hit.text : call + " failed (injected fault)";
    }
    return true;
}

bool EnterCall(std::string const& service, std::string const& call, std::string const& args, CallFault* fault) {
    JournalCall(service, call, args);
    return !CallFaulted(service, call, args, fault);
}

int LastErrorRecord::setError(int number, std::string text) {
    m_lastError = number != 0 ? number : -1;
    m_errorString = std::move(text);
    return m_lastError;
}

}  // namespace nuvsuite
