// The executors' common part, the factory and the plain-snapshot executor.
#include "nuvdbsnap/engine/snap_util_interface.h"

#include "nuvdbsnap/engine/lrep_snap_util.h"
#include "nuvdbsnap/engine/snap_handler_interface.h"
#include "snap_failure.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

char const* ConvertToRepTypeStr(SNAPUTIL_INSTANCE kind) {
    switch (kind) {
    case NUV_SNAPSHOT: return "NUV_SNAPSHOT";
    case LREP_REPLICATION: return "LREP REPLICATION";
    default: return "";
    }
}

SnapUtilInterface::~SnapUtilInterface() {
    // The helper ends when its channel closes; the channel reaps it.
    delete m_channel;
    m_channel = nullptr;
}

void SnapUtilInterface::initFields(int engineType, int snapType, bool verbose, std::string const& host,
                                   JZJobCtrlClient* jobControl, SpawnProcess mode) {
    m_logger = new EvEvent();
    m_channel = nullptr;
    m_replyType = 0;
    m_host = host;
    m_jobControl = jobControl;
    m_spawnMode = mode;
    m_helperStarted = false;
    m_engineType = engineType;
    m_snapType = snapType;
    m_verbose = verbose;
}

SnapUtilInterface* SnapUtilInterface::getInstance(SNAPUTIL_INSTANCE kind, int engineType, int snapType,
                                                  bool verbose, std::string const& host,
                                                  JZJobCtrlClient* jobControl, SpawnProcess mode, bool blockLevel,
                                                  bool skipDelete) {
    switch (kind) {
    case NUV_SNAPSHOT: return new DbSnapUtil(engineType, snapType, verbose, host, jobControl, mode);
    case LREP_REPLICATION:
        return new LREPSnapUtil(engineType, snapType, verbose, host, jobControl, mode, blockLevel, skipDelete);
    default: return nullptr;
    }
}

DbSnapUtil::DbSnapUtil(int engineType, int snapType, bool verbose, std::string const& host,
                       JZJobCtrlClient* jobControl, SpawnProcess mode) {
    initFields(engineType, snapType, verbose, host, jobControl, mode);
}

DbSnapUtil::~DbSnapUtil() {
    delete m_logger;
    m_logger = nullptr;
}

int DbSnapUtil::PrepareSnap(SMVolSnapInfo& record, ErrorCallback /*callback*/, void* /*context*/,
                            bool const& /*flag*/) {
    static char const* const kTag = "DbSnapUtil::PrepareSnap";
    if (m_spawnMode == SPAWN_HELPER_PROCESS) return RunInHelper(record, kPrepareRequest, kPrepareReply, kTag);
    JZSnapClientAPI client;
    (void)client.prepareVolumeSnaps(record);
    // A failure stays in the record (code and text); the snapshot utility's
    // prepare, which turns it into the agent's -1, logs it once with the code.
    return record.getErrorCode() != 0 ? -1 : 0;
}

int DbSnapUtil::Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag,
                     unsigned long /*backupType*/) {
    static char const* const kTag = "DbSnapUtil::Snap";
    if (m_spawnMode == SPAWN_HELPER_PROCESS) return RunInHelper(record, kSnapRequest, kSnapReply, kTag);
    if (m_spawnMode == SPAWN_SNAP_HANDLER) {
        SnapHandlerInterface handler(m_verbose);
        if (handler.loadSnapHandlerLibrary() != 0) return -1;
        return handler.createSnapShot(record, callback, context, flag);
    }
    // Every other mode runs in process (no caller builds one but 2).
    JZSnapClientAPI client;
    if (client.createVolumeSnaps(record)) return 0;
    return nuvengine::ReportSnapFailure(client, m_logger, kTag, "Multi-Snap", "<Multi-Snap Mount>", callback, context);
}

int DbSnapUtil::DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& /*flag*/) {
    static char const* const kTag = "DbSnapUtil::DeleteSnap";
    if (m_spawnMode == SPAWN_HELPER_PROCESS) return RunInHelper(record, kDeleteRequest, kDeleteReply, kTag);
    JZSnapClientAPI client;
    if (client.deleteVolumeSnaps(record)) return 0;
    return nuvengine::ReportSnapFailure(client, m_logger, kTag, "Delete-Snap", "<Delete-Snap>", callback, context);
}
