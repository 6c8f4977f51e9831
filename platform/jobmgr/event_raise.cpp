// EvEvent's event raising: the job manager is the one home of job events.
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"

namespace {
bool raise(EvEvent& ev, int code, int severity) {
    std::vector<std::string> args = ev.takeArguments();
    CFzError err = nuvjobmgr::RecordEvent(static_cast<int64_t>(ev.getJobId()), code, severity, args);
    if (err.IsError()) {
        if (g_ptrLogWriter)
            g_ptrLogWriter->Write(-1, "EvEvent::raise", ev.getJobId(), "Failed to raise event 0x%08x: %s",
                                  static_cast<unsigned>(code), err.AsString().c_str());
        return false;
    }
    return true;
}
}  // namespace

bool EvEvent::CriticalEvent(int code, long long, int) { return raise(*this, code, nuvjobmgr::kEventCritical); }
bool EvEvent::MajorEvent(int code, long long, int) { return raise(*this, code, nuvjobmgr::kEventMajor); }
