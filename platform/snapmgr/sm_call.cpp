#include "sm_call.h"

#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

namespace nuvsnapmgr {

SMCall::SMCall(char const* method, std::string const& args, SMVolSnapInfo* record, int* errCode,
               std::string* errText)
    : m_method(method),
      m_args(args),
      m_tag(std::string("snapmgr::") + method),
      m_record(record),
      m_errCode(errCode),
      m_errText(errText),
      m_event(record && record->getJobId() > 0 ? static_cast<uint64_t>(record->getJobId()) : 0) {
    if (m_record) m_record->clearError();
    if (m_errCode) *m_errCode = 0;
    if (m_errText) m_errText->clear();
    nuvsuite::JournalCall("snapmgr", m_method, m_args);
}

bool SMCall::Faulted() {
    nuvsuite::CallFault fault;
    if (!nuvsuite::CallFaulted("snapmgr", m_method, m_args, &fault)) return false;
    Fail(fault.code, fault.text);
    return true;
}

bool SMCall::Fail(int code, std::string const& text) {
    if (code == 0) code = SM_ERR_INTERNAL;
    if (m_record) m_record->setError(code, text);
    if (m_errCode) *m_errCode = code;
    if (m_errText) *m_errText = text;
    // Not logged here: the caller that turns the failure into its own result logs it, once.
    return false;
}

bool SMCall::Fail(int code, CFzError const& error, std::string const& what) {
    return Fail(code, what + ": " + error.AsString());
}

std::string RecordArgs(SMVolSnapInfo const& record) {
    std::string args = "job=" + std::to_string(record.getJobId()) + " volumes=";
    bool first = true;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        if (!first) args += ",";
        args += it->getSourcePath();
        first = false;
    }
    return args;
}

}  // namespace nuvsnapmgr
