// NuvSnapUtil: the replication decision and one snapshot archive record per
// mount point; cloning a master job's archive files.
#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/foundation/app_types.h"

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"
#include "nuvdbsnap/platform/snapmgr/snap_os_util.h"
#include "nuvdbsnap/platform/suite/suite.h"

namespace {

constexpr int kVolumeFlagReplication = 4;
constexpr int kArchFileTypeSnapMetadata = 6;

// The archive manager takes the archive-file type of a create from the
// request's third 64-bit field.
void SetArchiveFileType(CreateArgs_t& request, int type) { request.archFileType = type; }

}  // namespace

int NuvSnapUtil::InitReplicationType(unsigned long applicationId, int /*brannoxId*/) {
    static char const* const kTag = "NuvSnapUtil::InitReplicationType";
    JZPI_Base platform;
    platform.setFocus(JZPI_Focus::getFocus());
    unsigned const platformType = platform.getPlatformType();
    int const mode = (platformType & 1) != 0 ? 1 : (platformType & 2) != 0 ? 2 : 4;

    JZMMSnapAPI manager(mode);
    bool enabled = false;
    int type = 0;
    std::string text;
    if (manager.isReplicationEnabled(static_cast<int>(applicationId), 0, enabled, type, text) != 0) {
        EvDebug::DebugLvl(m_event, -1, kTag, "Can not check replication type : %s", text.c_str());
        return 0;
    }
    if (m_engineType == kEngineReplicatingArray && enabled && type == 1) {
        m_replicationType = LREP_REPLICATION;
        m_engineType = kEngineLrep;
        EvDebug::Debug(m_event, kTag, "Setting LREP TRUE.");
    } else if (m_engineType == kEngineVsa) {
        m_replicationType = LREP_REPLICATION;
        EvDebug::Debug(m_event, kTag, "Setting LREP for VSA snap engine.");
    }
    return 0;
}

int NuvSnapUtil::createSnapArchiveFiles(JZArchive& archive, CreateArgs_t& request, SMVolSnapInfo* out,
                                        std::map<std::string, std::set<std::string>>* mountFiles) {
    static char const* const kTag = "NuvSnapUtil::createSnapArchiveFiles";
    if (m_verbose) EvDebug::Debug(m_event, kTag, "Entering function");

    (void)InitReplicationType(static_cast<unsigned long>(request.appId), m_brannoxId);
    m_ClientID = static_cast<int>(request.clientId);
    m_backupType = static_cast<uint64_t>(request.backupType);
    int const appType = static_cast<int>(request.appType);
    m_snapShotInfo.setAppTypeId(appType);

    if (m_engineType == kEngineDdrHost)
        m_ddrClientId = static_cast<int>(JZSnapOSUtil::getDDRHostID(static_cast<unsigned long>(request.appId)));

    if (SourcedFromPhysicalNode(appType)) {
        if (m_ddrClientId == 0) m_ddrClientId = m_ClientID;
        m_snapShotInfo.setSourceClientId(m_ddrClientId);
        EvDebug::Debug(m_event, kTag, "Setting VolSnapInfo setSourceClientId to physical node clientId of RAC i.e [%d]",
                       m_ddrClientId);
    } else if (appType == kAppTypeDistributedAgent) {
        JZClient client(JZPI_Focus::getFocusClientName(true), false, 0);
        unsigned long id = 0;
        if (client.getClientId(id, nullptr) == 0 && id != 0) {
            m_ddrClientId = static_cast<int>(id);
        } else if (m_ddrClientId == 0) {
            m_ddrClientId = m_ClientID;
        }
        m_snapShotInfo.setSourceClientId(m_ddrClientId);
        EvDebug::Debug(m_event, kTag,
                       "Setting VolSnapInfo setSourceClientId to physical node clientId of the distributed nUV [%d]",
                       m_ddrClientId);
    } else {
        if (!IsUnixFsBackupSetType(appType) || m_ddrClientId == 0) m_ddrClientId = m_ClientID;
        m_snapShotInfo.setSourceClientId(m_ClientID);
        EvDebug::Debug(m_event, kTag, "Setting VolSnapInfo setSourceClientId to  [%d]", m_ClientID);
    }
    EvDebug::DebugLvl(m_event, 2, kTag, "m_ClientID:%d, AppId:%lu, m_ddrClientId:%d", m_ClientID,
                      static_cast<unsigned long>(request.appId), m_ddrClientId);

    for (auto const& entry : m_mountPoints) {
        std::string const& mountPoint = entry.first;
        SMVolumeInfo volume;
        request.snapArchive = 1;
        bool created = false;
        CreateRet_t result;
        bool const lrep = m_replicationType == LREP_REPLICATION;
        if (!lrep || LrepCreatesArchiveFile(appType)) {
            if (archive.CreateArchiveForSnapBackup(&request, &result) != 0) {
                EvDebug::Error(m_event, kTag, "Failed to Create Archive");
                if (m_verbose) EvDebug::Debug(m_event, kTag, "End function");
                return -1;
            }
            m_snapShotInfo.setBrannoxId(result.brannoxId);
            volume.setBrannoxId(result.brannoxId);
            volume.setArchFileId(result.archFileId);
            volume.setGroupId(result.archGroupId);
            volume.setCopyId(archive.GetCopyId());
            created = true;
            if (lrep) {
                volume.setVolumeFlags(kVolumeFlagReplication);
                m_snapShotInfo.setOpMode(1);
                EvDebug::Debug(m_event, kTag, "LREP setting BrannoxId [%d], ArchFileId [%d], ArchGroupId [%d] OP_MODE[%d].",
                               m_brannoxId, result.archFileId, result.archGroupId, m_snapShotInfo.getOpMode());
            }
        } else {
            EvDebug::Debug(m_event, kTag, "Skipping creating Archive File for replication type %s.",
                           ConvertToRepTypeStr(static_cast<SNAPUTIL_INSTANCE>(m_replicationType)));
            volume.setBrannoxId(m_brannoxId);
            volume.setArchFileId(999);
            volume.setGroupId(0);
            volume.setCopyId(999);
            volume.setVolumeFlags(kVolumeFlagReplication);
            m_snapShotInfo.setOpMode(1);
            m_snapShotInfo.setBrannoxId(m_brannoxId);
            EvDebug::Debug(m_event, kTag, "LREP setting BrannoxId [%d], ArchFileId [999], ArchGroupId [0] OP_MODE[%d].",
                           m_brannoxId, m_snapShotInfo.getOpMode());
        }

        volume.setJobId(static_cast<int>(m_event->getJobId()));
        volume.setAppId(static_cast<int>(request.appId));
        volume.setAppTypeId(appType);
        volume.setSourceClientId(m_ddrClientId);
        volume.setOriginClientId(m_ClientID);
        volume.setSourcePath(mountPoint);
        if (m_engineType == kEngineVsa) volume.setSourceGUID(mountPoint);

        EvDebug::DebugLvl(m_event, 0, kTag,
                          "Mountpoint = %s Created Snap Archive file groupId = %d archiveFileId = %d appTypeId=%d "
                          "clientId=%d brannoxId = %d",
                          mountPoint.c_str(), volume.getGroupId(), volume.getArchFileId(), volume.getAppTypeId(),
                          volume.getSourceClientId(), volume.getBrannoxId());

        if (created) {
            CloseAfileArgs_t closeArgs;
            closeArgs.brannoxId = result.brannoxId;
            closeArgs.archGroupId = result.archGroupId;
            closeArgs.archFileId = result.archFileId;
            CloseAfileRet_t closeResult;
            if (archive.closeAfile(&closeArgs, &closeResult) != 0) {
                EvDebug::Error(m_event, kTag, "Failed to Close Archive");
                if (m_verbose) EvDebug::Debug(m_event, kTag, "End function");
                return -1;
            }
            m_currBrannoxId = result.brannoxId;
            m_currArchGroupId = result.archGroupId;
            m_currArchFileId = result.archFileId;
        }
        m_snapShotInfo.addVolume(volume, true);
    }

    if (mountFiles != nullptr) *mountFiles = m_mountPoints;
    if (out != nullptr) *out = m_snapShotInfo;
    if (m_verbose) EvDebug::Debug(m_event, kTag, "End function");
    return 0;
}

int NuvSnapUtil::cloneSnapArchivesFromMaster(JZArchive& archive, CreateArgs_t& request,
                                             std::map<int, int>& masterFiles, std::map<int, int>& newIds) {
    static char const* const kTag = "NuvSnapUtil::cloneSnapArchivesFromMaster";
    for (auto const& master : masterFiles) {
        if (master.second == kArchFileTypeSnapMetadata) {
            EvDebug::DebugLvl(m_event, 2, kTag, "Skipping snapmetadata arch file id = %d", master.first);
            continue;
        }
        EvDebug::DebugLvl(m_event, 2, kTag, "Creating new arch for arch id : %d|type=%d", master.first, master.second);
        request.snapArchive = 1;
        SetArchiveFileType(request, master.second);
        CreateRet_t result;
        if (archive.CreateArchiveForSnapBackup(&request, &result) != 0) {
            EvDebug::Error(m_event, kTag, "Failed to Create Archive");
            return -1;
        }
        EvDebug::DebugLvl(m_event, 2, kTag, "New archfile id: %d", result.archFileId);
        newIds.insert(std::make_pair(master.first, result.archFileId));
    }
    return 0;
}
