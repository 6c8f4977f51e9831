// The LREP executor as far as this build can take it (see the header).
#include "nuvdbsnap/engine/lrep_snap_util.h"

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/so_interface.h"
#include "snap_failure.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

LREPSnapUtil::LREPSnapUtil(int engineType, int snapType, bool verbose, std::string const& host,
                           JZJobCtrlClient* jobControl, SpawnProcess mode, bool /*blockLevel*/, bool skipDelete)
    : m_skipDelete(skipDelete) {
    initFields(engineType, snapType, verbose, host, jobControl, mode);
    m_driverMode = false;
}

LREPSnapUtil::~LREPSnapUtil() {
    delete m_logger;
    m_logger = nullptr;
}

int LREPSnapUtil::PrepareSnap(SMVolSnapInfo& record, ErrorCallback /*callback*/, void* /*context*/,
                              bool const& /*flag*/) {
    static char const* const kTag =
        "virtual int LREPSnapUtil::PrepareSnap(SMVolSnapInfo&, ErrorCallback, void*, const bool&)";
    if (m_spawnMode == SPAWN_HELPER_PROCESS) return RunInHelper(record, kPrepareRequest, kPrepareReply, kTag);
    // The replication engine cannot be made in this build.
    EvDebug::Error(m_logger, kTag, "Failed to instantiate JzReplicationEngine");
    throw JzException(kTag, "Failed to instantiate JzReplicationEngine", __FILE__, __LINE__, -1);
}

int LREPSnapUtil::Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& /*flag*/,
                       unsigned long /*backupType*/) {
    static char const* const kTag = "LREPSnapUtil::Snap";
    int const appType = record.getNumVolumes() > 0 ? record.volumeListBegin()->getAppTypeId() : 0;
    if (m_spawnMode == SPAWN_HELPER_PROCESS) {
        if (RunInHelper(record, kSnapRequest, kSnapReply, kTag) != 0) return -1;
    } else if (m_spawnMode == SPAWN_IN_PROCESS) {
        JZSnapClientAPI client;
        if (!client.createVolumeSnaps(record)) {
            std::string text;
            (void)client.getErrCodeAndStr(text);
            int const code = client.getErrCode();
            EvDebug::Debug(m_logger, kTag, "Multi-Snap failed with the following error\n ErrorCode:%d: %s ", code,
                           text.c_str());
            if (callback != nullptr) callback(context, -1, "<Multi-Snap Mount>", code, text.c_str());
            return -1;
        }
    }
    if (appType == 22 || appType == 80 || appType == 104) return 0;
    // The replication run needs the replication engine, which this build cannot make.
    EvDebug::Error(m_logger, kTag, "Failed to run LREP replication operations");
    return -1;
}

int LREPSnapUtil::DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& /*flag*/) {
    static char const* const kTag = "LREPSnapUtil::DeleteSnap";
    JZSOInterface operations(m_logger);
    if (operations.deleteVolumeSnaps(record)) return 0;
    return nuvengine::ReportSnapFailure(operations, m_logger, kTag, "Delete-Snap", "<Delete-Snap>", callback, context);
}
