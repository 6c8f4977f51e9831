// Freeze and thaw of the XFS file systems of a snapshot record.
#include "nuvdbsnap/engine/quiesce_fs.h"

#include "mount_options.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <vector>

namespace {

constexpr int kVolumeFlagNoQuiesce = 0x00100000;

// Runs the freeze tool in one mode on one mount point; the mount point is a
// single argument. The tool's error output goes to `error`.
int RunFreezeTool(char const* mode, std::string const& mountPoint, std::string* error) {
    std::vector<std::string> argv{NuvDBQuiesceFS::kFreezeTool, mode, mountPoint};
    std::string output;
    return JzProcess::system(argv, &output, error, 0, false);
}

std::string CommandText(char const* mode, std::string const& mountPoint) {
    return std::string(NuvDBQuiesceFS::kFreezeTool) + " " + mode + " " + mountPoint;
}

}  // namespace

bool NuvDBQuiesceFS::skipQueisce(SMVolSnapInfo& record) {
    static char const* const kTag = "NuvDBQuiesceFS::skipQueisce";
    unsigned doQuiesce = 0;
    if (record.volumeListBegin() == record.volumeListEnd()) return true;

    JZPlatformInfo settings;
    settings.setFocus(JZPI_Focus::getFocus());
    bool keySet = settings.getNumber("FileSystemAgent", "nDoQuiesce", &doQuiesce) != 0;

    int appType = record.volumeListBegin()->getAppTypeId();
    if (appType == 135 || appType == 136) {
        if (!keySet) doQuiesce = 1;
        if (g_ptrLogWriter != nullptr)
            g_ptrLogWriter->Write(2, kTag, static_cast<uint64_t>(record.getJobId()),
                                  " Quiesceing FS for HANA appTypes");
    }
    if (keySet && g_ptrLogWriter != nullptr) {
        g_ptrLogWriter->Write(0, kTag, static_cast<uint64_t>(record.getJobId()),
                              "Registry key nDoQuiesce is set to [%d]. File system will %sbe quiesced",
                              static_cast<int>(doQuiesce), doQuiesce != 0 ? "" : "NOT ");
    }
    return doQuiesce == 0;
}

int NuvDBQuiesceFS::QuiesceFileSystem(SMVolSnapInfo& record, std::list<std::string>& frozen) {
    static char const* const kTag = "NuvDBQuiesceFS::QuiesceFileSystem";
    if (record.getSnapShotEngineId() == 1 || skipQueisce(record)) return 0;

    EvEvent event;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        std::string const mountPoint = it->getSourcePath();
        if (mountPoint == "/") {
            EvDebug::DebugLvl(&event, -1, kTag, "Not freezing root mount point = [%s]", mountPoint.c_str());
            continue;
        }
        std::string const fsType = nuvengine::SplitMountOptions(it->getMountOptions()).fsType;
        if ((it->getVolumeFlags() & kVolumeFlagNoQuiesce) != 0) continue;
        if (fsType != "xfs") continue;

        // The suite keeps its catalogue, copies and logs there: a freeze would
        // block the suite itself until nothing could thaw it.
        if (nuvsuite::HoldsSuiteState(mountPoint)) {
            EvDebug::DebugLvl(&event, -1, kTag,
                              "Not freezing mount point = [%s]: it holds the local suite's state root",
                              mountPoint.c_str());
            continue;
        }
        EvDebug::DebugLvl(&event, 3, kTag, "XFS mount point [%s], will freeze it", mountPoint.c_str());
        std::string const command = CommandText("-f", mountPoint);
        EvDebug::DebugLvl(&event, 0, kTag, "Command to run [%s] Mount point is XFS info %s", command.c_str(),
                          mountPoint.c_str());
        std::string error;
        if (RunFreezeTool("-f", mountPoint, &error) != 0) {
            int err = errno;
            EvDebug::DebugLvl(&event, -1, kTag,
                              "Failed to freeze xfs filesystem mounted on [%s], Error = [%s] errno=[%d]",
                              mountPoint.c_str(), error.c_str(), err);
            return -1;
        }
        frozen.push_back(mountPoint);
    }
    return 0;
}

int NuvDBQuiesceFS::UnQuiesceFileSystem(SMVolSnapInfo& record, std::list<std::string>& frozen) {
    static char const* const kTag = "NuvDBQuiesceFS::UnQuiesceFileSystem";
    // Whatever is listed was frozen and is thawed, whatever the record says now
    // (engine 1 never freezes, so its list stays empty).
    if (frozen.empty()) return 0;

    EvEvent event;
    bool failed = false;
    for (auto it = frozen.begin(); it != frozen.end();) {
        std::string const command = CommandText("-u", *it);
        EvDebug::DebugLvl(&event, 0, kTag, " Command to run [%s] Mount point is XFS info %s", command.c_str(),
                          it->c_str());
        std::string error;
        if (RunFreezeTool("-u", *it, &error) == 0) {
            it = frozen.erase(it);
        } else {
            int err = errno;
            EvDebug::DebugLvl(&event, -1, kTag,
                              "Failed to un-quiesce xfs filesystem mounted on [%s], Error = [%s] errno =[%d]",
                              it->c_str(), error.c_str(), err);
            failed = true;
            ++it;
        }
    }
    return failed ? -1 : 0;
}
