#include "nuvdbsnap/platform/snapbase/snap_util_base.h"


#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/subclient.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/snapmgr/snap_tasks.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace {

constexpr char const* kTag = "NuvSnapUtilBase";

CFzError ClientError(JZSnapClientAPI const& client, char const* what) {
    std::string text;
    int code = client.getErrCodeAndStr(text);
    return FXErrorUtil::ErrorJZResult(FZ_LOC, code, "%s: %s", what, text.c_str());
}

}  // namespace

NuvSnapUtilBase::NuvSnapUtilBase(int engineType, int snapType, bool verbose, JZJobCtrlClient* jobControl,
                                 char* host, SpawnProcess const& spawnMode)
    : m_spawnProcess(spawnMode),
      m_engineType(engineType),
      m_snapType(snapType),
      m_jobCtrlClient(jobControl),
      m_jobState(new NuvSnapJobState()),
      m_verbose(verbose) {
    if (host) {
        m_hostCopy.assign(host, host + std::strlen(host) + 1);
        m_host = m_hostCopy.data();
    }
    m_jobId = (jobControl && jobControl->GetJobID() != 0) ? jobControl->GetJobID() : EvEvent().getJobId();
    m_event = new EvEvent(m_jobId);
    refreshReloadFlag();
    refreshJobFlags();
}

NuvSnapUtilBase::~NuvSnapUtilBase() { delete m_event; }

std::string NuvSnapUtilBase::SnapShotInfoFilePath(uint64_t jobId) {
    std::string directory = JobResultsDirectory(jobId);
    if (directory.empty()) return std::string();
    return directory + "/.snapShotInfo_" + std::to_string(jobId);
}

bool NuvSnapUtilBase::refreshReloadFlag() {
    struct stat st;
    std::string path = m_jobId ? SnapShotInfoFilePath(m_jobId) : std::string();
    bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    m_jobState->reload = exists ? 1 : 0;
    if (exists) EvDebug::DebugLvl(m_event, 2, kTag, "prepare made elsewhere: [%s] exists", path.c_str());
    return exists;
}

void NuvSnapUtilBase::refreshJobFlags() {
    m_jobState->fullRanInCurrCycle = 0;
    m_jobState->zfsContent = 0;
    nuvjobmgr::JobInfo job;
    if (m_jobId == 0 || !nuvjobmgr::GetJob(static_cast<int64_t>(m_jobId), &job)) return;
    m_jobState->fullRanInCurrCycle = nuvjobmgr::FullRanInCurrentCycle(job.id) ? 1 : 0;
    if (job.appId <= 0) return;
    ApplicationId application(static_cast<unsigned long>(job.brannoxId), static_cast<unsigned long>(job.appId));
    Subclient* subclient = application.getSubclient(nullptr);
    BackupContent content;
    if (subclient == nullptr || subclient->getFiles(content, nullptr, false) != 0) return;
    for (std::string const& path : content.paths()) {
        nuvsnapmgr::ResolvedVolume volume;
        if (path.empty() || path[0] != '/' || nuvsnapmgr::ResolveVolume(path, &volume).IsError()) continue;
        if (volume.fsType == "zfs") {
            m_jobState->zfsContent = 1;
            EvDebug::DebugLvl(m_event, 2, kTag, "content [%s] lies on the ZFS volume [%s]", path.c_str(),
                              volume.mountPoint.c_str());
            break;
        }
    }
}

bool NuvSnapUtilBase::checkIfShouldQuit() { return m_jobCtrlClient && m_jobCtrlClient->checkQuitFlag() != 0; }

CFzError NuvSnapUtilBase::setMountPath(SMVolumeInfo&) { return CFzError::Success(); }

namespace {

// The mount-point key of an ASM disk group: "+" and the group's name in
// capitals (group names are compared without case).
std::string GroupKey(std::string const& asmPath) {
    std::string name = nuvsnapmgr::AsmGroupName(asmPath);
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return "+" + name;
}

}  // namespace

int NuvSnapUtilBase::addGroupPath(std::string const& path, bool directoryOnly) {
    std::string const group = GroupKey(path);
    bool declared = false;
    std::vector<std::string> files;
    CFzError e = nuvsnapmgr::AsmPathOnDisks(path, &declared, &files);
    if (e.IsError()) {
        EvDebug::Error(m_event, kTag, "cannot read the ASM disk groups for [%s]: %s", path.c_str(),
                       e.AsString().c_str());
        return 0;
    }
    if (!declared || group.size() < 2) {
        EvDebug::Error(m_event, kTag,
                       "mount point [%s] names the ASM disk group [%s], which is not declared "
                       "(declare the group and its disk volumes as kinds asmgroup and asmdisk)",
                       path.c_str(), group.c_str());
        return 0;
    }
    if (directoryOnly) {
        auto notDirectory = [](std::string const& file) {
            struct stat st;
            return ::stat(file.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
        };
        files.erase(std::remove_if(files.begin(), files.end(), notDirectory), files.end());
    }
    if (files.empty()) {
        EvDebug::Error(m_event, kTag, "mount point [%s] is no existing %s on any disk volume of the ASM disk group [%s]",
                       path.c_str(), directoryOnly ? "directory" : "path", group.c_str());
        return 0;
    }
    m_mountPoints[group].insert(nuvsuite::NormalisePath(path));
    EvDebug::DebugLvl(m_event, 3, kTag, "added [%s] under the ASM disk group [%s]", path.c_str(), group.c_str());
    return 1;
}

int NuvSnapUtilBase::addPath(char const* path, bool directoryOnly) {
    if (path && nuvsnapmgr::IsAsmGroupPath(path)) return addGroupPath(path, directoryOnly);
    if (!path || path[0] != '/') {
        EvDebug::Error(m_event, kTag, "mount point [%s] is not an absolute path", path ? path : "(null)");
        return 0;
    }
    struct stat st;
    if (::stat(path, &st) != 0 || (directoryOnly && !S_ISDIR(st.st_mode))) {
        EvDebug::Error(m_event, kTag, "mount point [%s] is not an existing %s", path,
                       directoryOnly ? "directory" : "path");
        return 0;
    }
    nuvsnapmgr::ResolvedVolume volume;
    CFzError e = nuvsnapmgr::ResolveVolume(path, &volume);
    if (e.IsError()) {
        EvDebug::Error(m_event, kTag, "no volume holds [%s]: %s", path, e.AsString().c_str());
        return 0;
    }
    std::string const normal = nuvsuite::NormalisePath(path);
    m_mountPoints[volume.mountPoint].insert(normal);
    noteSymbolicLink(normal);
    EvDebug::DebugLvl(m_event, 3, kTag, "added [%s] under volume [%s]", path, volume.mountPoint.c_str());
    return 1;
}

void NuvSnapUtilBase::noteSymbolicLink(std::string const& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
    for (size_t i = 0; i + 1 < m_symbolicLinks.size(); i += 2)
        if (m_symbolicLinks[i] == path) return;
    std::vector<char> target(PATH_MAX + 1, '\0');
    ssize_t const n = ::readlink(path.c_str(), target.data(), PATH_MAX);
    if (n <= 0) return;
    std::string text(target.data(), static_cast<size_t>(n));
    if (text[0] != '/') text = path.substr(0, path.rfind('/') + 1) + text;
    m_symbolicLinks.push_back(path);
    m_symbolicLinks.push_back(nuvsuite::NormalisePath(text.c_str()));
    EvDebug::DebugLvl(m_event, 3, kTag, "[%s] is a symbolic link to [%s]", path.c_str(), text.c_str());
}

int NuvSnapUtilBase::addMountPoint(char const* path, void*) { return addPath(path, false); }

int NuvSnapUtilBase::addMountPointByDirectory(char const* path, void*) { return addPath(path, true); }

std::string NuvSnapUtilBase::getMountPoint(char const* path, bool) const {
    if (path && nuvsnapmgr::IsAsmGroupPath(path)) {
        bool declared = false;
        std::vector<std::string> disks;
        std::string const group = nuvsnapmgr::AsmGroupName(path);
        if (group.empty() || nuvsnapmgr::AsmGroupDisks(group, &declared, &disks).IsError() || !declared)
            return std::string();
        return GroupKey(path);
    }
    if (!path || path[0] != '/') return std::string();
    nuvsnapmgr::ResolvedVolume volume;
    if (nuvsnapmgr::ResolveVolume(path, &volume).IsError()) return std::string();
    return volume.mountPoint;
}

JZJobClient* NuvSnapUtilBase::getJobObject() {
    if (m_jobObjectBuilt) return m_jobObject.get();
    m_jobObjectBuilt = true;
    if (!m_jobCtrlClient || m_jobCtrlClient->GetJobID() == 0) return nullptr;
    uint64_t job = m_jobCtrlClient->GetJobID();
    std::unique_ptr<JZBkpJobClient> backup(new JZBkpJobClient());
    char const* token = m_jobCtrlClient->GetJobToken();
    if (backup->init("", static_cast<long long>(job), 0, 4, false, token ? token : "")) {
        m_jobObject = std::move(backup);
    } else {
        m_jobObject.reset(new JZJobClient(job));
    }
    return m_jobObject.get();
}

int NuvSnapUtilBase::runPrePostSnapTask(unsigned long appId, int phase, int, int backupLevel) {
    std::string args = "app=" + std::to_string(appId) + " phase=" + std::to_string(phase) +
                       " level=" + std::to_string(backupLevel);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapbase", "NuvSnapUtilBase::runPrePostSnapTask", args, &fault)) {
        EvDebug::Error(m_event, kTag, "snap task failed: %s", fault.text.c_str());
        return fault.code;
    }
    nuvsnapmgr::SnapTask task;
    bool found = false;
    CFzError e = nuvsnapmgr::GetSnapTask(appId, phase, &task, &found);
    if (e.IsError()) {
        EvDebug::Error(m_event, kTag, "cannot read the snap tasks: %s", e.AsString().c_str());
        return -1;
    }
    if (!found) return 0;
    std::vector<std::string> argv{task.program};
    std::vector<std::string> words;
    std::string const& line = task.args;
    if (!JzProcess::SplitCommandLine(line.c_str(), &words)) {
        EvDebug::Error(m_event, kTag, "snap task arguments [%s] cannot be split", line.c_str());
        return -1;
    }
    argv.insert(argv.end(), words.begin(), words.end());
    std::string out, err;
    int rc = JzProcess::system(argv, &out, &err);
    if (rc != 0)
        EvDebug::Error(m_event, kTag, "snap task [%s] (phase %d) failed with %d: %s", argv[0].c_str(), phase, rc,
                       err.c_str());
    else
        EvDebug::DebugLvl(m_event, 2, kTag, "snap task [%s] (phase %d) done", argv[0].c_str(), phase);
    return rc;
}

CFzError NuvSnapUtilBase::applyMountPaths(SMVolSnapInfo& record) {
    int index = 0;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it, ++index) {
        SMVolumeInfo volume = *it;
        m_mountVolumeIndex = index;
        CFzError e = setMountPath(volume);
        m_mountVolumeIndex = -1;
        *it = volume;
        std::string text;
        volume.dump(text);
        EvDebug::DebugLvl(m_event, 2, kTag, "Volume Dump after  setMountPath = \n[%s]", text.c_str());
        if (e.IsError()) return e.Push(FZ_LOC);
    }
    return CFzError::Success();
}

CFzError NuvSnapUtilBase::mountRecord(SMVolSnapInfo& record, unsigned long mountHostId) {
    CFzError e = applyMountPaths(record);
    if (e.IsError()) return e;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        if (m_brannoxId != 0) it->setBrannoxId(m_brannoxId);
        it->setMountHostId(mountHostId != 0 ? static_cast<int>(mountHostId) : it->getSourceClientId());
    }
    JZSnapClientAPI client;
    if (!client.mountVolumes(record)) return ClientError(client, "mount failed");
    return CFzError::Success();
}

CFzError NuvSnapUtilBase::LoadAndMountVolumesForArchiveFiles(std::vector<unsigned int> const& archFileIds,
                                                             unsigned int brannoxId, SMVolSnapInfo& out) {
    SMVolSnapInfo all;
    all.setJobId(static_cast<int>(m_jobId));
    all.setBrannoxId(static_cast<int>(brannoxId));
    for (unsigned int id : archFileIds) {
        SMVolSnapInfo one;
        one.setJobId(static_cast<int>(m_jobId));
        one.setBrannoxId(static_cast<int>(brannoxId));
        one.setArchFileId(static_cast<int>(id));
        JZSnapClientAPI client;
        if (!client.getVolumeSnaps(one)) return ClientError(client, "cannot load the snapshots of an archive file");
        for (auto const& v : one.volumes()) all.addVolume(v, true);
        for (auto const& s : one.snaps()) all.addSnap(s);
        for (auto const& m : one.volSnapMap()) all.addVolSnapMap(m);
    }
    CFzError e = mountRecord(all, 0);
    if (e.IsError()) return e;
    out = all;
    m_snapShotInfo = all;
    return CFzError::Success();
}

CFzError NuvSnapUtilBase::LoadAndMountVolumestForJobID(long long const& snapJobId, bool mount,
                                                       unsigned long mountHostId) {
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(m_jobId));
    record.setSnapJobId(static_cast<int>(snapJobId));
    record.setBrannoxId(m_brannoxId);
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record)) return ClientError(client, "cannot load the snapshots of the snap job");
    if (mount) {
        CFzError e = mountRecord(record, mountHostId);
        if (e.IsError()) return e;
    }
    m_snapShotInfo = record;
    return CFzError::Success();
}

CFzError NuvSnapUtilBase::UnmountSnapshots() { return UnmountSnapshots(m_snapShotInfo); }

CFzError NuvSnapUtilBase::UnmountSnapshots(unsigned int brannoxId, long long snapJobId) {
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(m_jobId));
    record.setSnapJobId(static_cast<int>(snapJobId));
    record.setBrannoxId(static_cast<int>(brannoxId));
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record)) return ClientError(client, "cannot load the snapshots of the snap job");
    // No mount path: every mount of each snapshot is released, not only the first one listed.
    for (auto& v : record.volumes()) v.setMountPath("");
    return UnmountSnapshots(record);
}

CFzError NuvSnapUtilBase::UnmountSnapshots(SMVolSnapInfo& record) {
    JZSnapClientAPI client;
    if (!client.unmount(record)) return ClientError(client, "unmount failed");
    return CFzError::Success();
}

void NuvSnapUtilBase::consolidateSnaps(SMVolSnapInfo const& record, SMVolSnapInfo& consolidated,
                                       std::map<int, int>& snapToVolume, std::map<int, int>& volumeToSnap) {
    consolidated = record;
    consolidated.volumes().clear();
    consolidated.snaps().clear();
    consolidated.volSnapMap().clear();
    std::set<int> volumes, snaps;
    for (auto const& v : record.volumes())
        if (v.getSMVolumeId() <= 0 || volumes.insert(v.getSMVolumeId()).second) consolidated.addVolume(v, true);
    for (auto const& s : record.snaps())
        if (snaps.insert(s.getSMSnapId()).second) consolidated.addSnap(s);
    std::set<std::pair<int, int>> pairs;
    for (auto const& m : record.volSnapMap())
        if (pairs.insert({m.getSMVolumeId(), m.getSMSnapId()}).second) {
            consolidated.addVolSnapMap(m);
            snapToVolume[m.getSMSnapId()] = m.getSMVolumeId();
            volumeToSnap[m.getSMVolumeId()] = m.getSMSnapId();
        }
}

void NuvSnapUtilBase::setMountRequest(NuvSnapMountRequest const& request) {
    m_mountRequest.reset(new NuvSnapMountRequest(request));
}
