// LREPSnapUtil: prepare, snap, delete and the snapshot-manager lists.
#include "nuvdbsnap/engine/lrep_snap_util.h"

#include "snap_failure.h"
#include "nuvdbsnap/engine/replication_engine.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/so_interface.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/bkptask.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <vector>

namespace nuvengine {

// The central server's host name.
std::string CentralServerHostName(EvEvent* logger) {
    JZPI_CommClient comm(logger);
    comm.setFocus(JZPI_Focus::getFocus());
    char const* name = comm.getKelvanerHostName();
    return name ? name : "";
}

// The network host name of this machine's client.
std::string LocalClientHostName() {
    JZClient client(JZPI_Focus::getFocusClientName(true), false, 0);
    std::string host;
    (void)client.getNetworkHostname(host, nullptr);
    return host;
}

}  // namespace nuvengine

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

bool LREPSnapUtil::readyEngine(SMVolSnapInfo const& record, unsigned long backupLevel) {
    _ReplicationInputParams params;
    params.appId = static_cast<uint64_t>(record.volumeListBegin()->getAppId());
    params.brannoxId = static_cast<uint64_t>(record.getBrannoxId());
    params.appTypeId = static_cast<uint64_t>(record.getAppTypeId());
    params.jobId = static_cast<uint64_t>(record.getJobId());
    params.backupLevel = backupLevel;
    m_engine = JzReplicationEngineDynamic::getInstance(m_engineType == 48 ? 2 : 1,
                                                       static_cast<unsigned long long>(record.getJobId()),
                                                       m_jobControl, *m_logger, params);
    if (m_engine == nullptr) return false;
    std::string const brannoxName = nuvengine::CentralServerHostName(m_logger);
    m_engine->JzRepSetAppTypeId(static_cast<unsigned long>(record.getAppTypeId()));
    m_engine->JzRepSetClientId(static_cast<unsigned long>(record.getSourceClientId()));
    m_engine->JzRepSetClientName(nuvengine::LocalClientHostName());
    m_engine->JzRepSetBrannoxId(static_cast<unsigned long>(record.getBrannoxId()));
    m_engine->JzRepSetBrannoxName(brannoxName);
    m_engine->JzRepSetBackupType(backupLevel);
    m_engine->JzRepSetJobId(static_cast<unsigned long long>(record.getJobId()));
    m_engine->JzRepSetInstanceName(JZPI_Focus::getFocus());
    char const* token = m_jobControl ? m_jobControl->GetJobToken() : nullptr;
    m_engine->JzRepSetJobToken(token ? token : "");
    return true;
}

int LREPSnapUtil::PrepareSnap(SMVolSnapInfo& record, ErrorCallback /*callback*/, void* /*context*/,
                              bool const& /*flag*/) {
    static char const* const kTag =
        "virtual int LREPSnapUtil::PrepareSnap(SMVolSnapInfo&, ErrorCallback, void*, const bool&)";
    EvBkpTask task(record.getJobId(), 0, nullptr);
    if (InitializeSnapList(record) != 0) {
        EvDebug::Error(m_logger, kTag, "Failed to Init SnapList");
        return -1;
    }
    JZSnapClientAPI client;
    (void)client.discoverVolumeDetails(record);
    if (record.getErrorCode() != 0) {
        EvDebug::Error(m_logger, kTag, "Discover volumes failed with an error %d", record.getErrorCode());
        return -1;
    }
    if (m_engineType == 48) record.setSnapFlagsBitForAllSnaps(0x800000);
    if (record.getNumVolumes() == 0) {
        EvDebug::Error(m_logger, kTag, "The snapshot record has no volume: nothing to prepare");
        return -1;
    }
    ApplicationId application(static_cast<unsigned long>(record.getBrannoxId()),
                              static_cast<unsigned long>(record.volumeListBegin()->getAppId()));
    m_driverMode = isJZBFDriverEnabledForSPOSCMode(application.getSubclient(nullptr), record.getAppTypeId());

    if (m_spawnMode == SPAWN_HELPER_PROCESS) return RunInHelper(record, kPrepareRequest, kPrepareReply, kTag);
    JZSOInterface operations(m_logger);
    if (!operations.prepareVolumeSnaps(record)) {
        EvDebug::Error(m_logger, kTag, "Prepare snapshot failed with an error %d", operations.getErrCode());
        return -1;
    }

    JZBkpLevel level = 0;
    if (task.getBackupLevel(level, nullptr) != 0) level = 0;
    if (!readyEngine(record, static_cast<unsigned long>(level))) {
        EvDebug::Error(m_logger, kTag, "Failed to instantiate JzReplicationEngine");
        throw JzException(kTag, "Failed to instantiate JzReplicationEngine", __FILE__, __LINE__, -1);
    }
    m_engine->JzRepSetAppId(static_cast<unsigned long>(record.volumeListBegin()->getAppId()));

    std::vector<JzRepSourceForBlkLvl> volumes;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        JzRepSourceForBlkLvl source;
        source.sourceDevice = it->getSourceDevice();
        source.sourcePath = it->getSourcePath();
        std::string const& options = it->getMountOptions();
        size_t const colon = options.rfind(':');
        if (colon != std::string::npos) {
            source.fileSystemType = options.substr(0, colon);
            source.mountOptions = options.substr(colon + 1);
        }
        volumes.push_back(source);
    }
    std::string error;
    if (m_engine->JzRepSetSourceVolumeNamesList(&volumes, error) == 0)
        EvDebug::Debug(m_logger, kTag, "Error setting volume list.[%s]", error.c_str());
    if (m_driverMode && m_engineType == 1 && m_engine->JzRepDoPreSnapOP(error) == 0) {
        EvDebug::Debug(m_logger, kTag,
                       "Error setting DoPreSnapOP.[%s]. Ignoring the error and continuing with a checksum based "
                       "approach.",
                       error.c_str());
        m_driverMode = false;
    }
    return 0;
}

int LREPSnapUtil::Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& /*flag*/,
                       unsigned long backupType) {
    static char const* const kTag = "LREPSnapUtil::Snap";
    int const appType = record.getNumVolumes() > 0 ? record.volumeListBegin()->getAppTypeId() : 0;
    if (m_spawnMode == SPAWN_HELPER_PROCESS) {
        if (RunInHelper(record, kSnapRequest, kSnapReply, kTag) != 0) return -1;
    } else if (m_spawnMode == SPAWN_IN_PROCESS) {
        JZSnapClientAPI client;
        if (!client.createVolumeSnaps(record))
            return nuvengine::ReportSnapFailure(client, m_logger, kTag, "Multi-Snap", "<Multi-Snap Mount>", callback,
                                                context);
    } else {
        // No road creates the snapshots here: replicating would replicate snapshots that do not exist.
        EvDebug::Error(m_logger, kTag, "Spawn mode %d creates no snapshot for LREP replication",
                       static_cast<int>(m_spawnMode));
        return -1;
    }
    // The job driver replicates PostgreSQL of engine 48 after the post-create, outside the freeze.
    if (appType == 22 || appType == 80 || appType == 104 || (appType == 125 && m_engineType == 48)) return 0;
    if (RunLREPOperations(record, backupType, std::map<int, int>()) != 0) {
        EvDebug::Error(m_logger, kTag, "Failed to run LREP replication operations");
        return -1;
    }
    return 0;
}

int LREPSnapUtil::DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& /*flag*/) {
    static char const* const kTag = "LREPSnapUtil::DeleteSnap";
    JZSOInterface operations(m_logger);
    if (operations.deleteVolumeSnaps(record)) return 0;
    return nuvengine::ReportSnapFailure(operations, m_logger, kTag, "Delete-Snap", "<Delete-Snap>", callback, context);
}

int LREPSnapUtil::InitializeSnapList(SMVolSnapInfo& record) {
    static char const* const kTag = "int LREPSnapUtil::InitializeSnapList(SMVolSnapInfo&)";
    std::string vendor = "SM_SNAPSHOT_ENGINE_NATIVE_VENDORNAME";
    if (m_engineType == 48) {
        vendor = "Orvantis";
        EvDebug::Debug(m_logger, kTag, "Set snap engine vendor name to \"Orvantis\" for VSA software snap");
    }
    JZPI_Base base;
    base.setFocus(JZPI_Focus::getFocus());
    unsigned const platform = base.getPlatformType();
    int const kind = (platform & 1u) ? 1 : (platform & 2u) ? 2 : 4;
    JZMMSnapAPI api(kind);
    std::vector<SMControlHostInfo> hosts;
    if (!api.getControlHostList(hosts, vendor)) {
        EvDebug::Error(m_logger, kTag, "getControlHostList() failed");
        return -1;
    }
    std::vector<SMSnapShotEngineInfo> engines;
    if (!api.getSnapShotEngineList(engines, 1)) {
        EvDebug::Error(m_logger, kTag, "getSnapShotEngineList() failed");
        return -1;
    }
    for (auto const& host : hosts) record.addControlHost(host);
    if (m_engineType == 48) {
        for (int wanted : {48, 1}) {
            for (size_t i = 0; i < engines.size(); ++i) {
                if (engines[i].getSnapShotEngineId() != wanted) continue;
                record.addSnapShotEngine(engines[i]);
                EvDebug::Debug(m_logger, kTag, "Snap engineList[%d] engine id=[%d] [%s] [%s]", static_cast<int>(i),
                               wanted, engines[i].getVendorName().c_str(), engines[i].getEngineName().c_str());
                break;
            }
        }
    } else {
        for (auto const& engine : engines) record.addSnapShotEngine(engine);
    }
    EvDebug::Debug(m_logger, kTag, "Snap ControlHost and EngineList initialized.");
    return 0;
}

bool isJZBFDriverEnabledForSPOSCMode(Subclient* subclient, int appType) {
    static char const* const kTag = "isJZBFDriverEnabledForSPOSCMode";
    if (subclient == nullptr) {
        EvDebug::Debug(nullptr, kTag, " pSubclient is NULL , cannt read get sc properties");
        return false;
    }
    unsigned long property = 0;
    if (subclient->getUseBlockLevelSPOSBackup(property, nullptr) == 0 && property != 0) {
        EvDebug::Debug(nullptr, kTag,
                       "JZBFDriverEnabledForSPOSCMode is enabled in GUI for this SubClient , will try to do filter "
                       "driver based incremental for this SPOS job.");
        return true;
    }
    std::string name;
    (void)subclient->getSubclientName(name, nullptr);
    std::string const key = (name.empty() ? std::string() : name + "_") + "nDriverBasedIncrementalForLREP";
    char const* const section = appType == 22 ? "OracleAgent" : "FileSystemAgent";
    JZPlatformInfo platform;
    platform.setFocus(JZPI_Focus::getFocus());
    unsigned long value = 0;
    if (platform.getNumber(section, key.c_str(), &value) == 0) {
        EvDebug::Debug(nullptr, kTag, "Failed to read reg key [%s] for %s", key.c_str(), section);
        return false;
    }
    if (value != 0)
        EvDebug::Debug(nullptr, kTag,
                       "Registry key ~%s / %s is set will try to perform a driver based incremental for this SPOS job "
                       "if possible.",
                       section, key.c_str());
    else
        EvDebug::Debug(nullptr, kTag,
                       "Registry key ~%s/%s is not set will perform a checksum based incremental for this SPOS job.",
                       section, key.c_str());
    return value != 0;
}
