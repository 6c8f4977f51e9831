// LREPSnapUtil::RunLREPOperations: the replication run of the snapped volumes.
#include "nuvdbsnap/engine/lrep_snap_util.h"

#include "nuvdbsnap/engine/replication_engine.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

namespace nuvengine {
std::string CentralServerHostName(EvEvent* logger);
}

namespace {

constexpr int kFailedJobStatusErrno = 0x13000359;

}  // namespace

int LREPSnapUtil::RunLREPOperations(SMVolSnapInfo& record, unsigned long backupType, bool const& skip,
                                    std::map<int, int> const& backupTypeByVolume) {
    if (skip) return 0;
    return RunLREPOperations(record, backupType, backupTypeByVolume);
}

int LREPSnapUtil::RunLREPOperations(SMVolSnapInfo& record, unsigned long backupType,
                                    std::map<int, int> const& backupTypeByVolume) {
    static char const* const kTag =
        "int LREPSnapUtil::RunLREPOperations(SMVolSnapInfo&, long unsigned int, const std::map<int, int>&)";
    auto fail = [](std::string const& message, int line) -> JzException {
        return JzException(kTag, message, __FILE__, line, -1);
    };
    try {
        (void)nuvengine::CentralServerHostName(m_logger);
        if (record.getNumVolumes() == 0) {
            EvDebug::Error(m_logger, kTag, "The snapshot record has no volume: nothing to replicate");
            throw fail("The snapshot record has no volume", __LINE__);
        }
        if (!readyEngine(record, backupType)) {
            EvDebug::Error(m_logger, kTag, "Failed to instantiate JzReplicationEngine");
            throw fail("Failed to instantiate JzReplicationEngine", __LINE__);
        }

        int const firstAppType = record.volumeListBegin()->getAppTypeId();
        bool const perVolume = firstAppType == 22 || firstAppType == 80 || firstAppType == 104 || firstAppType == 125;
        int32_t lastAppId = 0;
        std::string error;
        for (auto volume = record.volumeListBegin(); volume != record.volumeListEnd(); ++volume) {
            std::string const& sourcePath = volume->getSourcePath();
            lastAppId = volume->getAppId();
            unsigned long sourceBackupType = backupType;
            unsigned int archFileId = 0, copyId = 0;
            if (perVolume) {
                archFileId = static_cast<unsigned>(volume->getArchFileId());
                copyId = static_cast<unsigned>(volume->getCopyId());
                auto mapped = backupTypeByVolume.find(volume->getSMVolumeId());
                if (mapped != backupTypeByVolume.end()) sourceBackupType = static_cast<unsigned long>(mapped->second);
            }
            int snapId = 0;
            for (auto m = record.volSnapMapListBegin(); m != record.volSnapMapListEnd(); ++m)
                if (m->getSMVolumeId() == volume->getSMVolumeId()) {
                    snapId = m->getSMSnapId();
                    break;
                }
            if (snapId == 0) {
                EvDebug::Error(m_logger, kTag, "No Snap found for Source Volume [%s].", sourcePath.c_str());
                throw fail("No Snap found for Source Volume [" + sourcePath + "].", __LINE__);
            }
            bool added = false;
            for (auto snap = record.snapListBegin(); snap != record.snapListEnd(); ++snap) {
                if (snap->getSMSnapId() != snapId) continue;
                JzRepSourceForReplication source;
                source.sourceDevice = volume->getSourceDevice();
                source.sourceMountPath = sourcePath;
                source.snapDevice = snap->getSnapDevice();
                for (auto md = record.metaDataListBegin(); md != record.metaDataListEnd(); ++md) {
                    if (md->getRefId() != snapId) continue;
                    std::string const& text = md->getMetadata();
                    if (md->getMetadataType() == SM_METADATA_SNAP_GUID) {
                        if (text.empty()) {
                            std::string const message = "Unable to get the snap GUID for Source Volume [" + sourcePath + "].";
                            EvDebug::Error(m_logger, kTag, "%s.", message.c_str());
                            throw fail(message, __LINE__);
                        }
                        source.snapGUID = text;
                    } else if (md->getMetadataType() == SM_METADATA_NATIVE_MOUNT_DIR) {
                        if (text.empty()) {
                            EvDebug::Error(m_logger, kTag, "%s.",
                                           ("Unable to get the UNIX Native Snap Mount Dir for Source Volume [" +
                                            sourcePath + "]").c_str());
                            source.nativeSnapMountDir = "";
                            source.nativeMountState = 5;
                        } else {
                            source.nativeSnapMountDir = text;
                            source.nativeMountState = 3;
                        }
                    } else if (md->getMetadataType() == SM_METADATA_SNAP_MOUNT_OPTIONS) {
                        if (text.empty())
                            EvDebug::Error(m_logger, kTag, "%s.",
                                           ("Unable to get the SnapMount options for Source Volume [" + sourcePath +
                                            "]").c_str());
                        source.snapMountOptions = text;
                    }
                }
                source.sourceVolumeGUID = volume->getSourceGUID();
                source.snapSetId = snap->getUniqueIdentifier();
                EvDebug::Error(m_logger, kTag, "srcmntpath=[%s]  snapdevpath=[%s] srcvoldevpath=[%s] sSnapGUID=[%s] sSnapSetID[%s]",
                               sourcePath.c_str(), source.snapDevice.c_str(), source.sourceDevice.c_str(),
                               source.snapGUID.c_str(), source.snapSetId.c_str());
                if (m_engine->JzRepSetAddSourceForReplication(&source, sourceBackupType, archFileId, copyId, error) == 0) {
                    EvDebug::Error(m_logger, kTag, "Failed : %s", error.c_str());
                    throw fail(error, __LINE__);
                }
                EvDebug::DebugLvl(m_logger, 2, kTag,
                                  "Added SourceDevice [%s],SourceMountPath [%s], SnapDevice [%s] to Replication source.",
                                  source.sourceDevice.c_str(), sourcePath.c_str(), source.snapDevice.c_str());
                added = true;
            }
            if (!added) {
                EvDebug::Error(m_logger, kTag, "No snap found.");
                throw fail("No snap found.", __LINE__);
            }
        }

        m_engine->JzRepSetAppId(static_cast<unsigned long>(static_cast<long>(lastAppId)));
        std::string guid;
        ApplicationId application(static_cast<unsigned long>(record.getBrannoxId()),
                                  static_cast<unsigned long>(static_cast<long>(lastAppId)));
        if (Subclient* subclient = application.getSubclient(nullptr)) (void)subclient->getGUIDStr(guid, nullptr);
        m_engine->JzRepSetAppGUID(guid);
        int code = 0;
        if (m_engine->JzRepInitializeReplication(code, error) == 0) {
            EvDebug::Error(m_logger, kTag, "Failed to initialize replication, error=%s", error.c_str());
            throw fail(error, __LINE__);
        }
        if (m_engine->JzRepReplicateSources(error) == 0) {
            EvDebug::Error(m_logger, kTag, "Failed replicate snaps, error=%s", error.c_str());
            throw fail(error, __LINE__);
        }
        EvDebug::DebugLvl(m_logger, 4, kTag, "vSnapInfo object to delete: vSnapInfo DumpStr [%s]",
                          record.DumpStr().c_str());
        SMVolSnapInfo replicated;
        if (m_engine->JzRepUpdateSnapShotTables(replicated, error) == 0) {
            EvDebug::Error(m_logger, kTag, "Failed : %s", error.c_str());
            throw fail(error, __LINE__);
        }
        if (!m_skipDelete) {
            if (DeleteSnap(record, nullptr, nullptr, false) != 0) EvDebug::Error(m_logger, kTag, "Delete Snap failed");
        } else {
            EvDebug::Debug(m_logger, kTag, "Delete native snap is skipped for now");
        }
        record = replicated;
    } catch (JzException const& e) {
        EvDebug::Debug(m_logger, kTag, "Failed to run lrep operations %d:%s:%s (%s:%d)", e.getErrno(),
                       e.formatError().c_str(), e.getMessage(), e.getFileName(), e.getLineNum());
        if (DeleteSnap(record, nullptr, nullptr, false) != 0)
            EvDebug::Error(m_logger, kTag, "Snap failed for one of the volumes");
        return -1;
    } catch (...) {
        EvDebug::Debug(m_logger, kTag, "Unknown exception. Failed to run lrep operations");
        if (DeleteSnap(record, nullptr, nullptr, false) != 0)
            EvDebug::Error(m_logger, kTag, "Snap failed for one of the volumes");
        return -1;
    }

    unsigned int status = 0;
    unsigned int phase = 2;
    bool failFlag = false;
    (void)m_engine->JzGetJobPhaseStatus(&status, phase, failFlag);
    std::string text = "SPOS::";
    text += phase == 2 ? "JOB::" : "PHASE::";
    if (status == 1) {
        text += "SUCCESS";
    } else {
        text += "FAIL";
        EvDebug::Debug(m_logger, kTag, "Failed to run lrep operations LREP Job status returned is false");
    }
    if (failFlag) {
        if (DeleteSnap(record, nullptr, nullptr, false) != 0)
            EvDebug::Error(m_logger, kTag, "Snap failed for one of the volumes");
        throw JzException(kTag, text, __FILE__, __LINE__, kFailedJobStatusErrno);
    }
    return 0;
}
