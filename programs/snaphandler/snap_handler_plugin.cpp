// The snap-handler plug-in: snaps a record's volumes through the local suite's
// snapshot client, journals each call ("snaphandler", ...) and obeys the fault
// table, so tests can make it fail:
//   ("snaphandler", "createSnapShotWithStatus"): the snap fails with the fault's
//       code and text in the record;
//   ("snaphandler", "throw"): the entry throws JzException with the fault's text;
//   ("snaphandler", "hold"): before snapping, the entry creates the file
//       "<text>/held" and waits (at most 120 s) until "<text>/release" exists.
#include "nuvdbsnap/engine/snap_handler_entry.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <fcntl.h>
#include <string>

namespace {

char const* const kService = "snaphandler";
char const* const kTag = "JZSnapHandler_createSnapShotWithStatus";

}  // namespace

extern "C" __attribute__((visibility("default"))) bool JZSnapHandler_createSnapShotWithStatus(SMVolSnapInfo& record) {
    std::string const args =
        "job=" + std::to_string(record.getJobId()) + " volumes=" + std::to_string(record.getNumVolumes());
    nuvsuite::JournalCall(kService, "createSnapShotWithStatus", args);

    EvEvent event(static_cast<uint64_t>(record.getJobId()));
    HoldWhereFaulted(kService, args);
    nuvsuite::CallFault fault;
    if (nuvsuite::CallFaulted(kService, "throw", args, &fault))
        throw JzException(kTag, fault.text, __FILE__, __LINE__, fault.code);
    if (nuvsuite::CallFaulted(kService, "createSnapShotWithStatus", args, &fault)) {
        record.setError(fault.code, fault.text);
        EvDebug::Error(&event, kTag, "injected failure %d: %s", fault.code, fault.text.c_str());
        return false;
    }

    JZSnapClientAPI client;
    if (!client.createVolumeSnaps(record)) {
        EvDebug::Error(&event, kTag, "snapshot failed %d: %s", record.getErrorCode(), record.getErrorString().c_str());
        return false;
    }
    EvDebug::Debug(&event, kTag, "snapped %zu volume(s)", record.getNumVolumes());
    return true;
}
