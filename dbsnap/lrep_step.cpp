// The LREP step of the job driver for snapshots of engine 48, the volume-flag
// switch around an agent's own mounting of them, and the setting that says
// whether indexing uses the application-aware snapshot.
#include "nuvdbsnap/dbsnap/db_snap_backup.h"

#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"
#include "nuvdbsnap/engine/lrep_snap_util.h"
#include "nuvdbsnap/engine/snap_util_interface.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <exception>

namespace {

constexpr int kVsaNuvSnapFlag = 0x20000;  // JZSM_VOLUMEFLAGS_VSA_NUV_SNAP

// The replication run of the LREP executor.
int RunLrepReplication(LREPSnapUtil& executor, SMVolSnapInfo& record, long backupType,
                       std::map<int, int>& backupTypes) {
    return executor.RunLREPOperations(record, static_cast<unsigned long>(backupType), backupTypes);
}

}  // namespace

int DBSnapBackup::RunVSAAppWareSnapsOperation(bool cleanup) {
    static char const* const kTag = "DBSnapBackup::RunVSAAppWareSnapsOperation";
    if (m_nuvSnapUtilDb == nullptr || m_nuvSnapUtilDb->getReplicationType() != 1) return 0;
    long const backupType = static_cast<long>(m_nuvSnapUtilDb->getBackupType());
    EvDebug::DebugLvl(&m_ev, 2, kTag, "m_nuvSnapUtilDb BackupType [%ld]", backupType);

    SMVolSnapInfo consolidated;
    std::map<int, int> snapToVolume;
    std::map<int, int> volumeToSnap;
    NuvSnapUtilBase::consolidateSnaps(m_nuvSnapUtilDb->getSnapShotInfo(), consolidated, snapToVolume, volumeToSnap);
    m_nuvSnapUtilDb->getSnapShotInfo().dump("m_nuvSnapUtilDb->m_snapShotInfo After consolidation");
    std::map<int, int> backupTypes;
    for (auto const& entry : snapToVolume) backupTypes[entry.second] = static_cast<int>(backupType);

    if (consolidated.volumeListBegin() == consolidated.volumeListEnd()) {
        EvDebug::Error(&m_ev, kTag, "Number of volumes is zero.. Can not perform LREP operations");
        return -1;
    }
    consolidated.setBrannoxId(static_cast<int>(m_bkArgs->brannoxId));
    consolidated.setOpMode(1);
    consolidated.setAppTypeId(m_appType);
    consolidated.setSourceClientId(consolidated.volumeListBegin()->getSourceClientId());
    consolidated.setJobId(consolidated.volumeListBegin()->getJobId());
    for (auto volume = consolidated.volumeListBegin(); volume != consolidated.volumeListEnd(); ++volume)
        EvDebug::Debug(&m_ev, kTag, "sourcePath %s volumeId [%d]", volume->getSourcePath().c_str(),
                       volume->getSMVolumeId());

    SP<LREPSnapUtil> executor;
    try {
        std::string const name = JZPI_Focus::getFocusClientName(true);
        JZClient client(name, false, 0);
        if (client.lookup(nullptr) != 0) {
            EvDebug::Error(&m_ev, kTag, "Failed to lookup for client name=[%s].. Can not perform LREP operations",
                           name.c_str());
            return -1;
        }
        std::string host;
        (void)client.getNetworkHostnameMangled(host, nullptr);
        EvDebug::DebugLvl(&m_ev, 2, kTag, "getEngineType() [%d]", m_nuvSnapUtilDb->getEngineType());
        EvDebug::DebugLvl(&m_ev, 2, kTag, "getSnapType() [%d]", m_nuvSnapUtilDb->getSnapType());
        EvDebug::DebugLvl(&m_ev, 2, kTag, "clientName [%s] clientMangledHostName [%s]", name.c_str(), host.c_str());
        EvDebug::DebugLvl(&m_ev, 2, kTag, "getSpawnProcess() [%d]", static_cast<int>(m_nuvSnapUtilDb->getSpawnProcess()));
        SnapUtilInterface* made = SnapUtilInterface::getInstance(
            static_cast<SNAPUTIL_INSTANCE>(1), m_nuvSnapUtilDb->getEngineType(), m_nuvSnapUtilDb->getSnapType(),
            m_verbose, host, m_nuvSnapUtilDb->getJobControl(), m_nuvSnapUtilDb->getSpawnProcess(), false, false);
        // Held for the rest of the operation; an executor of another kind is dropped.
        SP<SnapUtilInterface> held(made);
        executor = SP<LREPSnapUtil>(dynamic_cast<LREPSnapUtil*>(made));
    } catch (...) {
        EvDebug::Error(&m_ev, kTag, "Internal error.. Can not perform LREP operations");
        return -1;
    }
    if (!executor) {
        EvDebug::Error(&m_ev, kTag, "No LREP executor could be made.. Can not perform LREP operations");
        return -1;
    }

    if (cleanup) {
        if (executor->DeleteSnap(consolidated, nullptr, nullptr, false) != 0) {
            EvDebug::Error(&m_ev, kTag, "Failed to run LREP cleanup");
            return -1;
        }
        return 0;
    }
    if (RunLrepReplication(*executor, consolidated, backupType, backupTypes) != 0) {
        EvDebug::Error(&m_ev, kTag, "Failed to run LREP replication operations");
        return -1;
    }
    return 0;
}

int DBSnapBackup::SetVolumeFlagsBeforeMount() {
    static char const* const kTag = "DBSnapBackup::SetVolumeFlagsBeforeMount";
    if (m_engineType != kEngineVsa) return 0;
    if (m_nuvSnapUtilDb == nullptr) {
        EvDebug::Error(&m_ev, kTag, "no snapshot of this job: the prepare phase has not run");
        return -1;
    }
    SMVolSnapInfo& record = m_nuvSnapUtilDb->getSnapShotInfo();
    record.setOpMode(3);
    if (UseAppAwareSnapForIndexing() == 0) {
        for (auto volume = record.volumeListBegin(); volume != record.volumeListEnd(); ++volume) {
            volume->setVolumeFlags(volume->getVolumeFlags() & ~kVsaNuvSnapFlag);
            EvDebug::DebugLvl(&m_ev, 2, kTag, "Snap for VolumeId [%d] VolumeFlags [%d] MountPath [%s]",
                              volume->getSMVolumeId(), volume->getVolumeFlags(), volume->getMountPath().c_str());
        }
    }
    return 0;
}

int DBSnapBackup::UnsetVolumeFlagsAfterMount() {
    static char const* const kTag = "DBSnapBackup::UnsetVolumeFlagsAfterMount";
    if (m_engineType != kEngineVsa || UseAppAwareSnapForIndexing() != 0) return 0;
    if (m_nuvSnapUtilDb == nullptr) {
        EvDebug::Error(&m_ev, kTag, "no snapshot of this job: the prepare phase has not run");
        return -1;
    }
    SMVolSnapInfo& record = m_nuvSnapUtilDb->getSnapShotInfo();
    for (auto volume = record.volumeListBegin(); volume != record.volumeListEnd(); ++volume) {
        volume->setVolumeFlags(volume->getVolumeFlags() | kVsaNuvSnapFlag);
        EvDebug::DebugLvl(&m_ev, 2, kTag,
                          "AppAware snap for VolumeId [%d] VolumeFlags [%d] --- > Enabled JZSM_VOLUMEFLAGS_VSA_NUV_SNAP ",
                          volume->getSMVolumeId(), volume->getVolumeFlags());
    }
    JZSnapClientAPI snapClient;
    if (snapClient.updateVolumeSnaps(record) != 1) {
        EvDebug::Error(&m_ev, kTag,
                       "Unable to save the volumeFlag JZSM_VOLUMEFLAGS_VSA_NUV_SNAP. Application restores will fail.");
        return -1;
    }
    return 0;
}

int DBSnapBackup::UseAppAwareSnapForIndexing() {
    char const* section = "Nuvantry";
    char const* key = "USE_INDEX_APPAWARESNAP";
    if (m_appType == kAppTypePostgreSql) {
        section = "PostGres";
        key = "POSTGRES_INDEX_APPAWARESNAP";
    } else if (m_appType == kAppTypeMySql) {
        section = "MySQL";
        key = "MYSQL_INDEX_APPAWARESNAP";
    }
    JZPlatformInfo settings;
    settings.setFocus(JZPI_Focus::getFocus());
    char value[1024] = {0};
    unsigned long length = sizeof value;
    if (settings.getString(section, key, value, &length) == 0) return 0;
    return value[0] == 'Y' || value[0] == 'y' ? 1 : 0;
}
