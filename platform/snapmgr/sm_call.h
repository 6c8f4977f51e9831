// One call of the snapshot manager on a record: journals it, applies the fault
// table, and records a failure in the record and in the client's last error.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <string>

namespace nuvsnapmgr {

class SMCall {
public:
    // Clears the record's and the client's error, journals ("snapmgr", method, args).
    SMCall(char const* method, std::string const& args, SMVolSnapInfo* record, int* errCode, std::string* errText);

    // True when the fault table fails this call; the failure is then recorded.
    bool Faulted();
    // Records the failure (code 0 becomes SM_ERR_INTERNAL) in the record and the client's last
    // error, for the caller to report (the service does not log it); returns false.
    bool Fail(int code, std::string const& text);
    bool Fail(int code, CFzError const& error, std::string const& what);

    EvEvent* event() { return &m_event; }
    std::string const& tag() const { return m_tag; }

private:
    std::string m_method;
    std::string m_args;
    std::string m_tag;
    SMVolSnapInfo* m_record;
    int* m_errCode;
    std::string* m_errText;
    EvEvent m_event;
};

// "job=<id> volumes=<p1>,<p2>" for a record.
std::string RecordArgs(SMVolSnapInfo const& record);

}  // namespace nuvsnapmgr
