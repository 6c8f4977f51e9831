// NuvSnapUtil: the block-level device configuration around the snap, the
// removal of disk bitmaps and the block-level index configuration file.
#include "nuvdbsnap/engine/nuv_snap_util.h"

#include "mount_options.h"
#include "nuvdbsnap/foundation/device_config.h"
#include "nuvdbsnap/foundation/smvolblock.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kVolumeFlagAsm = 0x10000;
constexpr unsigned kBlockConfigTypeKey = 0x16DD4764;

SMVolBlock MakeBlock(SMVolumeInfo const& volume, std::string const& path, std::string const& device,
                     nuvengine::MountOptions const& options, std::string const& fsType) {
    SMVolBlock block;
    block.sourceDevice = device;
    block.sourcePath = path;
    block.mountOptions = options.options;
    block.fsType = fsType;
    block.appTypeId = volume.getAppTypeId();
    block.appId = volume.getAppId();
    block.brannoxId = volume.getBrannoxId();
    block.flag = false;
    return block;
}

}  // namespace

bool NuvSnapUtil::shouldAppendDeviceConfig(int appType) {
    if (appType != 22 && appType != 80) return false;
    return std::find(m_arguments.begin(), m_arguments.end(), "-logSnapPhase") != m_arguments.end();
}

int NuvSnapUtil::HandleBlockLevelConfig(bool postSnap) {
    static char const* const kTag = "NuvSnapUtil::HandleBlockLevelConfig";
    char const* const phase = postSnap ? "POST_SNAP" : "PRE_SNAP";
    if (m_deviceConfigHandler == nullptr) return 0;

    int const extentSize = getBlockLevelExtentSize();
    bool const hasVolume = m_snapShotInfo.getNumVolumes() > 0;
    int const appType = hasVolume ? m_snapShotInfo.volumeListBegin()->getAppTypeId() : 0;

    SMVolSnapInfo diskRecord;
    SMVolSnapInfo* walked = &m_snapShotInfo;
    bool isAsm = false;
    if (hasVolume && (appType == 22 || appType == 80) &&
        (m_snapShotInfo.volumeListBegin()->getVolumeFlags() & kVolumeFlagAsm) != 0) {
        JZSnapClientAPI client;
        if (!client.GetDiskVolSnapForASMVolSnap(m_snapShotInfo, diskRecord)) {
            EvDebug::DebugLvl(m_event, -1, kTag, "HandleBlockLevelConfig failed for [%s]", phase);
            if (getJobObject() != nullptr)
                raisePendingCause("Blocklevel backup for ASM disks could not retrieve individual disk snap metadata",
                                  0x0600003A, 6);
            else
                EvDebug::DebugLvl(m_event, -1, kTag,
                                  "failed to get jobObject: But LoadOSDiskMetadata for ASM disks failed");
            return -1;
        }
        walked = &diskRecord;
        isAsm = true;
    }

    std::vector<SMVolBlock> blocks;
    for (auto it = walked->volumeListBegin(); it != walked->volumeListEnd(); ++it) {
        if (it->getSourcePath() == "/") {
            JZPlatformInfo settings;
            std::string enableRoot;
            if (settings.getString("FileSystemAgent", "sEnableRootSnap", &enableRoot) != 0 && enableRoot == "true") {
                EvDebug::Debug(m_event, kTag, "User has enabled root mount to be snapped.");
            } else {
                EvDebug::Debug(m_event, kTag, "root mount point not supported for snap backups");
                raisePendingCause("Root volume is not supported for snap backups or block level backups", 0x0600003A,
                                  6);
                return -1;
            }
        }
        nuvengine::MountOptions const options = nuvengine::SplitMountOptions(it->getMountOptions());
        std::string const fsType = isAsm ? std::string("ASM") : options.fsType;
        blocks.push_back(MakeBlock(*it, it->getSourcePath(), it->getSourceDevice(), options, fsType));
        EvDebug::DebugLvl(m_event, 3, kTag, "Added: Volume[%s] Device[%s] FSType[%s]", it->getSourcePath().c_str(),
                          it->getSourceDevice().c_str(), fsType.c_str());

        if (fsType == "zfs") {
            for (auto map = m_snapShotInfo.volSnapMapListBegin(); map != m_snapShotInfo.volSnapMapListEnd(); ++map) {
                if (map->getSMVolumeId() != it->getSMVolumeId()) continue;
                SMSnapInfo const* snap = nullptr;
                for (auto s = m_snapShotInfo.snapListBegin(); s != m_snapShotInfo.snapListEnd(); ++s) {
                    if (s->getSMSnapId() == map->getSMSnapId()) {
                        snap = &*s;
                        break;
                    }
                }
                if (snap == nullptr) continue;
                blocks.push_back(MakeBlock(*it, it->getSourceDevice(), snap->getSnapSourceDevice(), options, fsType));
                EvDebug::DebugLvl(m_event, 3, kTag, "Added: Volume[%s] Device[%s] FSType[%s]",
                                  it->getSourceDevice().c_str(), snap->getSnapSourceDevice().c_str(), fsType.c_str());
            }
        }
    }

    m_deviceConfigHandler->SetAppendDeviceConfig(shouldAppendDeviceConfig(appType));
    m_deviceConfigHandler->SetFullRanInCurrCycle(GetFullRanInCurrCycle());
    CFzError error = m_deviceConfigHandler->ProcessDeviceConfig(blocks, extentSize, m_backupLevel, m_engineType,
                                                                postSnap);
    if (error.IsError()) {
        EvDebug::DebugLvl(m_event, -1, kTag, "HandleBlockLevelConfig failed for [%s], error=%s", phase,
                          error.AsString().c_str());
        if (FXErrorUtil::IsErrNo(error, 16)) {
            if (getJobObject() != nullptr)
                raisePendingCause("Blocklevel backup with Native engine for a volume configured as part of multiple "
                                  "subclients is not supported",
                                  0x0600003A, 6);
            else
                EvDebug::DebugLvl(m_event, -1, kTag, "failed to get jobObject");
        }
        return -1;
    }
    return 0;
}

bool NuvSnapUtil::BlockLevelCleanup(std::string directory) {
    static char const* const kTag = "NuvSnapUtil::BlockLevelCleanup";
    if (directory.empty()) {
        EvDebug::Error(m_event, kTag, "Empty jobResults folder path");
        return false;
    }
    CFzDirectory dir;
    CFzError error = dir.Open(directory, "*.bmp", true);
    if (error.IsError()) {
        EvDebug::Error(m_event, kTag, "Failed to open dir [%s], error=[%s]", directory.c_str(), error.AsString().c_str());
        return false;
    }
    for (;;) {
        SFzDirEntry entry;
        bool done = false;
        error = dir.GetEntry(&entry, done);
        if (error.IsError()) {
            EvDebug::Error(m_event, kTag, "Failed to read dir [%s], error=[%s]", directory.c_str(),
                           error.AsString().c_str());
            (void)dir.Close();
            return false;
        }
        if (done) break;
        std::string const name = entry.name.str();
        std::string::size_type const at = name.find(".bmp");
        if (at == std::string::npos) continue;
        std::string const device = name.substr(0, at);
        std::string const file = directory + "/" + name;
        EvDebug::DebugLvl(m_event, 0, kTag, "Deleting disk bitmap file [%s] for device=[%s]", file.c_str(),
                          device.c_str());
        if (unlink_utf(file.c_str()) != 0) {
            int const err = errno;
            EvDebug::Error(m_event, kTag, "Failed to remove disk bitmap file [%s] for device=[%s], error=%d",
                           file.c_str(), device.c_str(), err);
        }
    }
    (void)dir.Close();
    return true;
}

CFzError NuvSnapUtil::GenerateBlocklevelIdxConfig(std::string directory) {
    static char const* const kTag = "NuvSnapUtil::GenerateBlocklevelIdxConfig";
    if (directory.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "Empty jobResults folder path");
    if (CNMessageBase::Initialize() != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "Failed to initialize CNMessageBase");

    Nuv::FsBlockBackupConfig config;
    std::string text;
    bool const built = config.setstring(1, 1, "Version1", kBlockConfigTypeKey, 0x2DB4B8) == 0 &&
                       config.setint64(2, 5, static_cast<int64_t>(m_jobId), kBlockConfigTypeKey, 0x46B998) == 0 &&
                       config.setint64(3, 6, 1, kBlockConfigTypeKey, 0x6E9317) == 0 &&
                       config.setint64(4, 7, m_blockLevelMetaData ? 1 : 0, kBlockConfigTypeKey, 0xF9536F) == 0;
    if (!built || config.serialize(text, false) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "Failed to serialize Nuv::FsBlockBackupConfig");

    char name[64];
    std::snprintf(name, sizeof name, "/IdxConfig_%llu.xml", static_cast<unsigned long long>(m_jobId));
    std::string const path = directory + name;

    // Written beside the file and renamed over it: a failed write never leaves
    // a half-written configuration (an earlier file stays as it was).
    std::string const temporary = path + ".tmp." + std::to_string(static_cast<long>(getpid()));
    (void)unlink(temporary.c_str());
    CFzFile file;
    CFzError error = file.Open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0644);
    if (error.IsError()) {
        int const err = errno;
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Failed to create file [%s] to write", path.c_str());
    }
    uint32_t written = 0;
    error = file.Write(text.data(), static_cast<uint32_t>(text.size()), &written);
    if (error.IsError() || written != text.size()) {
        int const err = error.IsError() ? errno : EIO;
        (void)file.Close();
        (void)unlink(temporary.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Failed to write [%s] to file [%s]", text.c_str(), path.c_str());
    }
    error = file.Close();
    if (error.IsError()) {
        int const err = errno;
        (void)unlink(temporary.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Failed to close file [%s]", path.c_str());
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        int const err = errno;
        (void)unlink(temporary.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Failed to create file [%s] to write", path.c_str());
    }
    EvDebug::DebugLvl(m_event, 2, kTag, "Config file [%s] created for Index for block level backup", path.c_str());
    return CFzError::Success();
}
