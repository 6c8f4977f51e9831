// NuvSnapUtil: prepare, pre-create, create, post-create and delete of the
// job's snapshot, and the snapshot-info file that hands a prepared record to a
// create in another process.
#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/foundation/app_types.h"

#include "nuvdbsnap/engine/quiesce_fs.h"
#include "nuvdbsnap/engine/snap_util_interface.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/snapmgr/failed_create.h"
#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"
#include "nuvdbsnap/platform/snapmgr/prepared_record.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <unistd.h>

namespace {

constexpr int kVolumeFlagEngine1 = 4;
constexpr int kVolumeFlagBlockLevel = 0x4000;
constexpr int kVolumeFlagCloudArray = 0x08000000;
constexpr uint64_t kSnapFlagExCloudArray = 0x100000000ull;
// Pending cause of a volume that cannot be frozen safely.
constexpr int kFreezeRefusedCause = 0x0600003A;

char const* Text(char const* s) { return s != nullptr ? s : ""; }

std::string ErrnoText(int err) { return std::strerror(err); }

}  // namespace

SnapUtilInterface* NuvSnapUtil::newExecutor() {
    return SnapUtilInterface::getInstance(static_cast<SNAPUTIL_INSTANCE>(m_replicationType), m_engineType,
                                          m_snapType, m_verbose, std::string(Text(m_host)), m_jobCtrlClient,
                                          m_spawnProcess, m_blockLevel, m_jobState->skipDelete != 0);
}

bool NuvSnapUtil::getJobResultsDir(std::string& directory) {
    static char const* const kTag = "NuvSnapUtil::getJobResultsDir";
    directory = JobResultsDirectory(m_event->getJobId());
    if (directory.empty()) {
        EvDebug::Error(m_event, kTag, "Failed to get the job results directory");
        return false;
    }
    EvDebug::Debug(m_event, kTag, "Job Results directory=<%s>", directory.c_str());
    return true;
}

bool NuvSnapUtil::getSnapShotInfoFilePath(std::string& path) {
    std::string directory;
    if (!getJobResultsDir(directory)) return false;
    char name[64];
    std::snprintf(name, sizeof name, "/.snapShotInfo_%lld", static_cast<long long>(m_event->getJobId()));
    path = directory + name;
    return true;
}

// Writes the snapshot-info file whole (mode 0600): a reader never sees a partial file.
int NuvSnapUtil::writeSnapShotInfoFile(std::string const& text) {
    static char const* const kTag = "NuvSnapUtil::prepareSnapShot";
    std::string path;
    if (!getSnapShotInfoFilePath(path)) return -1;
    CFzError error = FXFile::WriteWhole(path, text, 0600);
    if (error.IsError()) {
        EvDebug::Error(m_event, kTag, "Failed to write to the file  - %s: %s", path.c_str(), error.AsString().c_str());
        return -1;
    }
    return 0;
}

int NuvSnapUtil::prepareSnapShot(ErrorCallback callback, void* context, bool flag) {
    static char const* const kTag = "NuvSnapUtil::prepareSnapShot";
    if (m_engineType == kEngineLrep || m_blockLevel || m_engineType == kEngineCloudArray) {
        for (auto it = m_snapShotInfo.volumeListBegin(); it != m_snapShotInfo.volumeListEnd(); ++it) {
            int flags = it->getVolumeFlags();
            if (m_engineType == kEngineCloudArray) flags |= kVolumeFlagCloudArray;
            if (m_engineType == kEngineLrep) flags |= kVolumeFlagEngine1;
            if (m_blockLevel) flags |= kVolumeFlagBlockLevel;
            it->setVolumeFlags(flags);
        }
    }
    SP<SnapUtilInterface> executor(newExecutor());
    if (!executor) {
        EvDebug::Error(m_event, kTag, "No snapshot executor for replication type %u", m_replicationType);
        return -1;
    }
    if (m_verbose) EvDebug::Debug(m_event, kTag, "Before calling Prepare snapshot");

    m_snapShotInfo.setSnapShotEngineId(m_engineType);
    m_snapShotInfo.setJobId(static_cast<int>(m_jobId));
    m_snapShotInfo.setCopyParamType(2);
    m_snapShotInfo.setCopyParam(0);

    if (m_engineType == kEngineCloudArray) {
        JZPlatformInfo settings;
        std::string array;
        if (settings.getString("Sarnel", "sAmazonArray", &array) == 0 || array.empty())
            array = "AWS-DefaultUseIAMRoleArray";
        EvDebug::Debug(m_event, kTag, "Amazon array name [%s]", array.c_str());
        JZMMSnapAPI manager(4);
        SMControlHostInfo host;
        if (manager.getControlHostInfoByHostName(array.c_str(), host)) {
            EvDebug::Debug(m_event, kTag, "Array ID [%d] retrieved.", host.getControlHostId());
            m_snapShotInfo.setArrayNum(host.getControlHostId());
        } else {
            std::string text;
            int const code = manager.getErrCodeAndString(text);
            EvDebug::Debug(m_event, kTag, "getControlHostInfo failed: [%d:%s]", code, text.c_str());
        }
    }

    int const result = executor->PrepareSnap(m_snapShotInfo, callback, context, flag);
    if (result != 0) {
        // Logged once, here, with the snapshot manager's code when it left one in the record.
        int const code = m_snapShotInfo.getErrorCode() != 0 ? m_snapShotInfo.getErrorCode() : result;
        EvDebug::Error(m_event, kTag, "Prepare snapshot failed with an error %d", code);
        return -1;
    }

    if (IsSapHana(m_snapShotInfo.getAppTypeId())) {
        std::string xml;
        if (JZSnapClientAPI_VolSnapInfoObjectToXMLStr(m_snapShotInfo, xml) != 0 || xml.empty()) {
            EvDebug::Error(m_event, kTag, "Could not gather the meta data after the prepare");
            return -1;
        }
        if (writeSnapShotInfoFile(xml) != 0) return -1;
    }
    m_prepared = true;
    return 0;
}

namespace {

// Pre-create and post-create: one in-process snapshot-client call on the
// record. With `flag` a failure still copies the record out before -1.
int RunClientStep(EvEvent* event, bool verbose, char const* tag, char const* failureText,
                  int (JZSnapClientAPI::*step)(SMVolSnapInfo&), SMVolSnapInfo& record, bool flag,
                  SMVolSnapInfo* out) {
    if (verbose) EvDebug::Debug(event, tag, "Entering function");
    int result = 0;
    JZSnapClientAPI client;
    if ((client.*step)(record) == 0) {
        EvDebug::Error(event, tag, "%s", failureText);
        result = -1;
        if (!flag) {
            if (verbose) EvDebug::Debug(event, tag, "End function");
            return -1;
        }
    }
    if (out != nullptr) *out = record;
    if (verbose) EvDebug::Debug(event, tag, "End function");
    return result;
}

}  // namespace

int NuvSnapUtil::preCreateSnapShot(ErrorCallback /*callback*/, void* /*context*/, bool flag, SMVolSnapInfo* out) {
    return RunClientStep(m_event, m_verbose, "NuvSnapUtil::preCreateSnapShot", "PreSnap failed for one of the volumes",
                         &JZSnapClientAPI::preCreateVolumeSnaps, m_snapShotInfo, flag, out);
}

int NuvSnapUtil::postCreateSnapShot(ErrorCallback /*callback*/, void* /*context*/, bool flag, SMVolSnapInfo* out) {
    return RunClientStep(m_event, m_verbose, "NuvSnapUtil::postCreateSnapShot",
                         "PostSnap failed for one of the volumes", &JZSnapClientAPI::postCreateVolumeSnaps,
                         m_snapShotInfo, flag, out);
}

// Rebuilds the record from the snapshot-info file that a prepare in another
// process left; removes the file once the record is back. -1 (file kept,
// record reset) when it cannot be read or parsed, holds no prepared volume, or
// holds a record that is not this job's: another job's, or a volume that is
// not one the job's prepare made ready for its application.
int NuvSnapUtil::reloadPreparedRecord() {
    static char const* const kTag = "NuvSnapUtil::createSnapShot";
    auto resetRecord = [this]() {
        m_snapShotInfo.reset(0);
        m_snapShotInfo.setSnapActionFlags(2);
        m_snapShotInfo.setBrannoxId(2);
        m_snapShotInfo.setJobId(static_cast<int>(m_jobId));
        m_snapShotInfo.setSnapJobId(static_cast<int>(m_jobId));
        m_snapShotInfo.setRetrieveValidFlags(0x425);
        m_snapShotInfo.setSourceClientId(m_ClientID);
    };
    auto fail = [&]() {
        resetRecord();
        return -1;
    };
    resetRecord();

    std::string path;
    if (!getSnapShotInfoFilePath(path)) return -1;
    if (!FXFile::DoesFileExist(path)) {
        EvDebug::Error(m_event, kTag, "Failed to locate the file  - %s", path.c_str());
        return -1;
    }
    char* buffer = nullptr;
    unsigned long size = 0;
    CFzError error = CFzFile::ReadWholeFile(path, &buffer, size);
    if (error.IsError()) {
        EvDebug::Error(m_event, kTag, "Failed to open snapshot info file saved during the prepare - %s: %s",
                       path.c_str(), error.AsString().c_str());
        delete[] buffer;
        return -1;
    }
    if (buffer == nullptr) {
        EvDebug::Error(m_event, kTag, "NULL buffer returned from ReadWholeFile [%s]", path.c_str());
        return -1;
    }
    std::string const text(buffer, size);
    delete[] buffer;
    EvDebug::DebugLvl(m_event, 2, kTag, "File content [%s]", text.c_str());
    if (text.empty()) {
        EvDebug::Error(m_event, kTag, "Could not get the meta data after the prepare");
        return -1;
    }
    if (JZSnapClientAPI_VolSnapInfoXMLStrToObject(text, m_snapShotInfo) != 0) {
        EvDebug::Error(m_event, kTag, "Failed to parse the snapshot info file saved during the prepare - %s",
                       path.c_str());
        return fail();
    }
    if (m_snapShotInfo.getNumVolumes() == 0 || m_snapShotInfo.volumeListBegin()->getSMVolumeId() <= 0) {
        EvDebug::Error(m_event, kTag, "Prepare must be called before %s", kTag);
        return fail();
    }
    error = checkReloadedRecord();
    if (error.IsError()) {
        // Refused as a file that cannot be read: same text, the file stays.
        EvDebug::Error(m_event, kTag, "Failed to open snapshot info file saved during the prepare - %s: %s",
                       path.c_str(), error.AsString().c_str());
        return fail();
    }
    m_prepared = true;
    if (unlink(path.c_str()) != 0) {
        int const err = errno;
        EvDebug::Error(m_event, kTag, "Failed to remove the snapshot info file %s: %s", path.c_str(),
                       ErrnoText(err).c_str());
    }
    return 0;
}

// The reloaded record must be this job's (the snapshot manager's prepare of
// the job), and each volume one of the job's application and, when this
// process added mount points, one of theirs.
CFzError NuvSnapUtil::checkReloadedRecord() {
    CFzError error = nuvsnapmgr::CheckPreparedRecord(m_snapShotInfo, static_cast<int64_t>(m_jobId));
    if (error.IsError()) return error;
    for (auto const& volume : m_snapShotInfo.volumes()) {
        char const* source = volume.getSourcePath().c_str();
        if (m_application != nullptr && volume.getAppId() != 0 &&
            static_cast<unsigned long>(volume.getAppId()) != m_application->getAppId())
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume [%s] belongs to application %d, not to application %lu",
                                           source, volume.getAppId(), m_application->getAppId());
        if (!m_mountPoints.empty() && m_mountPoints.count(volume.getSourcePath()) == 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume [%s] is none of the mount points added for the job",
                                           source);
    }
    return CFzError::Success();
}

int NuvSnapUtil::createSnapShot(ErrorCallback callback, void* context, bool flag, SMVolSnapInfo* out) {
    static char const* const kTag = "NuvSnapUtil::createSnapShot";
    SP<SnapUtilInterface> executor(newExecutor());
    if (!executor) {
        EvDebug::Error(m_event, kTag, "No snapshot executor for replication type %u", m_replicationType);
        return -1;
    }
    // A prepare made in another process after this object was built counts too.
    if (!m_prepared && m_jobState->reload != 1) (void)refreshReloadFlag();
    if (!m_prepared && m_jobState->reload == 1) {
        if (reloadPreparedRecord() != 0) return -1;
    }
    if (m_verbose) EvDebug::Debug(m_event, kTag, "Entering function");
    // A freeze left behind by a create that died (and by its guard) ends here.
    for (std::string const& line : nuvfreeze::ThawDeadFreezes()) EvDebug::DebugLvl(m_event, -1, kTag, "%s", line.c_str());
    sync();
    sync();
    sync();

    if (m_blockLevel && m_replicationType == 0 && HandleBlockLevelConfig(false) != 0) {
        EvDebug::Error(m_event, kTag, "Block level config failed for one of the volumes");
        return -1;
    }

    bool const quiesce = m_spawnProcess != SPAWN_HELPER_PROCESS;
    NuvDBQuiesceFS quiescer;
    std::list<std::string> frozen;
    // A failed freeze or thaw reaches the caller's callback with its text; a
    // volume refused before anything was frozen also raises a pending cause.
    auto report = [&]() {
        NuvDBQuiesceFS::Failure const& failure = quiescer.lastFailure();
        if (failure.mountPoint.empty()) return;
        if (callback != nullptr) callback(context, -1, failure.mountPoint.c_str(), failure.code, failure.text.c_str());
        if (failure.refused) raisePendingCause(failure.text.c_str(), kFreezeRefusedCause, 3);
    };
    // Thaws what is frozen; a failure clears the prepared flag. -1 on failure.
    auto thaw = [&]() -> int {
        if (!quiesce) return 0;
        if (quiescer.UnQuiesceFileSystem(m_snapShotInfo, frozen) != 0) {
            m_prepared = false;
            EvDebug::DebugLvl(m_event, -1, kTag,
                              "UnQuiesceFileSystem failed. Please manually unqueisce XFS FS before restarting the job.");
            report();
            return -1;
        }
        return 0;
    };

    int result = 0;
    bool snapMade = false;
    try {
        if (quiesce && quiescer.QuiesceFileSystem(m_snapShotInfo, frozen) != 0) {
            EvDebug::DebugLvl(m_event, -1, kTag, "QuiesceFileSystem failed. Calling UnQuiesce FileSystem.");
            report();
            if (quiescer.UnQuiesceFileSystem(m_snapShotInfo, frozen) != 0)
                EvDebug::DebugLvl(m_event, -1, kTag, "UnQuiesceFileSystem failed");
            return -1;
        }
        if (m_engineType == kEngineCloudArray) {
            for (auto it = m_snapShotInfo.volumeListBegin(); it != m_snapShotInfo.volumeListEnd(); ++it)
                it->setVolumeFlags(it->getVolumeFlags() | kVolumeFlagCloudArray);
            for (auto it = m_snapShotInfo.snapListBegin(); it != m_snapShotInfo.snapListEnd(); ++it)
                it->setSnapFlagsEx(it->getSnapFlagsEx() | kSnapFlagExCloudArray);
        }
        if (executor->Snap(m_snapShotInfo, callback, context, flag, static_cast<unsigned long>(m_backupType)) != 0) {
            EvDebug::Error(m_event, kTag, "Snap failed for one of the volumes");
            result = -1;
        } else {
            snapMade = true;
        }
    } catch (...) {
        // Nothing leaves while a file system is frozen.
        (void)thaw();
        throw;
    }
    if (thaw() != 0) {
        result = -1;
        // The snapshot stays (nothing may delete it), known as one of a failed create.
        if (snapMade) markFailedCreate("the thaw after the snap failed: " + quiescer.lastFailure().text);
    }

    if (result != 0 && !flag) return result;

    if (m_blockLevel && m_replicationType == 0 && HandleBlockLevelConfig(true) != 0) {
        EvDebug::Error(m_event, kTag, "Block level config failed for one of the volumes");
        if (snapMade && result == 0) markFailedCreate("the block-level configuration after the snap failed");
        return -1;
    }
    if (out != nullptr) *out = m_snapShotInfo;
    if (result == 0) m_prepared = false;
    if (m_verbose) EvDebug::Debug(m_event, kTag, "End function");
    return result;
}

void NuvSnapUtil::markFailedCreate(std::string const& why) {
    CFzError error = nuvsnapmgr::MarkFailedCreate(m_snapShotInfo, why);
    if (error.IsError())
        EvDebug::Error(m_event, "NuvSnapUtil::createSnapShot", "Cannot mark the snapshot of this failed create: %s",
                       error.AsString().c_str());
}

int NuvSnapUtil::deleteSnapShot(ErrorCallback callback, void* context, bool flag) {
    static char const* const kTag = "NuvSnapUtil::deleteSnapShot";
    SP<SnapUtilInterface> executor(newExecutor());
    if (!executor) {
        EvDebug::Error(m_event, kTag, "No snapshot executor for replication type %u", m_replicationType);
        return -1;
    }
    if (m_verbose) EvDebug::Debug(m_event, kTag, "Entering function");
    if (executor->DeleteSnap(m_snapShotInfo, callback, context, flag) != 0) {
        EvDebug::Error(m_event, kTag, "Delete snap failed for one of the volumes");
        return -1;
    }
    m_prepared = false;
    if (m_verbose) EvDebug::Debug(m_event, kTag, "End function");
    return 0;
}
