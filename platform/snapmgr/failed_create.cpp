#include "nuvdbsnap/platform/snapmgr/failed_create.h"

#include "sm_call.h"
#include "snapshot_store.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <set>

namespace nuvsnapmgr {

CFzError MarkFailedCreate(SMVolSnapInfo const& record, std::string const& why) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "MarkFailedCreate", RecordArgs(record) + " why=" + why, &fault))
        return FXErrorUtil::ErrorJZResult(FZ_LOC, fault.code, "%s", fault.text.c_str());
    std::set<int64_t> ids;
    for (auto const& s : record.snaps())
        if (s.getSMSnapId() > 0) ids.insert(s.getSMSnapId());
    for (auto const& v : record.volumes())
        if (v.getSMSnapId() > 0) ids.insert(v.getSMSnapId());
    int marked = 0;
    for (int64_t id : ids) {
        bool one = false;
        CFzError e = MarkSnapshotOfFailedCreate(id, record.getJobId(), why, &one);
        if (e.IsError()) return e.Push(FZ_LOC, "cannot mark snapshot %lld", static_cast<long long>(id));
        if (one) ++marked;
    }
    if (marked == 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "the record of job %d names no ready snapshot to mark",
                                       record.getJobId());
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
