// Freeze and thaw of the XFS file systems of a snapshot record.
#include "nuvdbsnap/engine/quiesce_fs.h"

#include "mount_options.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <vector>

namespace {

constexpr int kVolumeFlagNoQuiesce = 0x00100000;

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
    m_failure = Failure();
    if (record.getSnapShotEngineId() == 1 || skipQueisce(record)) return 0;

    EvEvent event;
    std::vector<std::string> mountPoints;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        std::string const mountPoint = it->getSourcePath();
        if (mountPoint == "/") {
            EvDebug::DebugLvl(&event, -1, kTag, "Not freezing root mount point = [%s]", mountPoint.c_str());
            continue;
        }
        std::string const fsType = nuvengine::SplitMountOptions(it->getMountOptions()).fsType;
        if ((it->getVolumeFlags() & kVolumeFlagNoQuiesce) != 0) continue;
        if (fsType != "xfs") continue;
        mountPoints.push_back(mountPoint);
    }
    // The suite writes its catalogue, copies and log during the create: a file
    // system that holds any of them is never frozen, and then nothing is.
    for (std::string const& mountPoint : mountPoints) {
        std::string const held = nuvsuite::SuiteStateOn(mountPoint);
        if (held.empty()) continue;
        m_failure = Failure{mountPoint, EDEADLK,
                            "XFS mount point [" + mountPoint + "] shares its file system with " + held +
                                ": it cannot be frozen while the suite writes there; keep the suite's state off "
                                "the database's volumes",
                            true};
        EvDebug::DebugLvl(&event, -1, kTag, "%s", m_failure.text.c_str());
        return -1;
    }
    for (std::string const& mountPoint : mountPoints) {
        EvDebug::DebugLvl(&event, 3, kTag, "XFS mount point [%s], will freeze it", mountPoint.c_str());
        std::string const command = CommandText("-f", mountPoint);
        EvDebug::DebugLvl(&event, 0, kTag, "Command to run [%s] Mount point is XFS info %s", command.c_str(),
                          mountPoint.c_str());
        nuvfreeze::Failure failure;
        if (!nuvfreeze::Freeze(mountPoint, &failure)) {
            EvDebug::DebugLvl(&event, -1, kTag,
                              "Failed to freeze xfs filesystem mounted on [%s], Error = [%s] errno=[%d]",
                              mountPoint.c_str(), failure.text.c_str(), failure.code);
            m_failure = Failure{mountPoint, failure.code, failure.text, false};
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
        nuvfreeze::Failure failure;
        if (nuvfreeze::Thaw(*it, &failure)) {
            it = frozen.erase(it);
        } else {
            EvDebug::DebugLvl(&event, -1, kTag,
                              "Failed to un-quiesce xfs filesystem mounted on [%s], Error = [%s] errno =[%d]",
                              it->c_str(), failure.text.c_str(), failure.code);
            if (!failed) m_failure = Failure{*it, failure.code, failure.text, false};
            failed = true;
            ++it;
        }
    }
    return failed ? -1 : 0;
}
