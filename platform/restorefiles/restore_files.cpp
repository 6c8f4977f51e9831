// The restore-files client over mounted snapshots.
#include "nuvdbsnap/platform/restorefiles/restore_files.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/path_text.h"

#include <cstring>
#include <list>
#include <map>
#include <mutex>

namespace {

char const kTag[] = "JZRestoreFiles";
constexpr uint32_t kMapFilePathOption = 0x32179489;

// The process's mounts of archive files' snapshots, shared by reference count:
// one client's release never takes a mount another client still reads.
struct SharedMount {
    SMVolSnapInfo record;
    int refs = 0;
};

std::mutex& MountsMutex() {
    static std::mutex m;
    return m;
}

std::map<std::pair<uint32_t, uint32_t>, SharedMount>& Mounts() {
    static std::map<std::pair<uint32_t, uint32_t>, SharedMount> mounts;
    return mounts;
}

// Mounts (or shares the mount of) an archive file's snapshots.
bool Acquire(std::pair<uint32_t, uint32_t> key, long long jobId, std::vector<nuvrestorefiles::MountedVolume>* out,
             std::string* error) {
    std::lock_guard<std::mutex> guard(MountsMutex());
    auto found = Mounts().find(key);
    if (found == Mounts().end()) {
        SharedMount m;
        m.record.setJobId(static_cast<int>(jobId));
        m.record.setBrannoxId(static_cast<int>(key.first));
        m.record.setArchFileId(static_cast<int>(key.second));
        JZSnapClientAPI client;
        if (!client.getVolumeSnaps(m.record) || m.record.volumes().empty()) {
            client.getErrCodeAndStr(*error);
            if (error->empty()) *error = "the archive file has no snapshot";
            return false;
        }
        for (auto& v : m.record.volumes()) v.setMountPath("");
        if (!client.mountVolumes(m.record)) {
            client.getErrCodeAndStr(*error);
            return false;
        }
        found = Mounts().emplace(key, m).first;
    }
    found->second.refs += 1;
    *out = nuvrestorefiles::MountedVolumes(found->second.record);
    return true;
}

bool Release(std::pair<uint32_t, uint32_t> key, std::string* error) {
    std::lock_guard<std::mutex> guard(MountsMutex());
    auto found = Mounts().find(key);
    if (found == Mounts().end()) return true;
    if (--found->second.refs > 0) return true;
    SMVolSnapInfo record = found->second.record;
    Mounts().erase(found);
    JZSnapClientAPI client;
    if (!client.unmount(record)) {
        client.getErrCodeAndStr(*error);
        return false;
    }
    return true;
}

std::string KeyText(ArchiveFileId_t const& key) {
    return std::to_string(key.brannoxId) + ":" + std::to_string(key.archGroupId) + ":" +
           std::to_string(key.archFileId);
}

}  // namespace

bool nuvrestorefiles::IsRootDirectory(std::string const& path) {
    if (path.empty() || path[0] != '/') return false;
    size_t depth = 0;
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(path)) {
        if (step.name == ".") continue;
        if (step.name == "..")
            depth = depth > 0 ? depth - 1 : 0;
        else
            ++depth;
    }
    return depth == 0;
}

JZRestoreFiles::~JZRestoreFiles() {
    std::string error;
    for (auto const& key : m_held) (void)Release(key, &error);
}

bool JZRestoreFiles::enter(char const* call, std::string const& args) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("restorefiles", call, args, &fault)) return true;
    setError(fault);
    g_ptrLogWriter->Write(-1, kTag, static_cast<uint64_t>(m_jobId), "%s: %s", call, fault.text.c_str());
    return false;
}

int JZRestoreFiles::init_v3(std::string const& srcClient, std::string const& destClient, std::string const&,
                            char** srcPaths, int* stripLevels, int numSrcPaths, char** destPaths, int numDestPaths,
                            unsigned long restoreFlags, unsigned long, unsigned long, long long jobId, unsigned long,
                            unsigned long appType, unsigned long destBrannoxId, unsigned long, char const*,
                            char const*, void*, void*, void*, int, unsigned long, char const*, char const*, int, int,
                            char const*) {
    m_jobId = jobId;
    m_ready = false;
    if (!enter("init_v3", "job=" + std::to_string(jobId) + " src=" + srcClient + " dest=" + destClient +
                              " app=" + std::to_string(appType) + " paths=" + std::to_string(numSrcPaths)))
        return 0;
    if (jobId <= 0) return setError(-1, "no restore job"), 0;
    m_destBrannoxId = destBrannoxId != 0 ? static_cast<int>(destBrannoxId) : 2;
    m_restoreFlags = restoreFlags;
    m_srcPaths.clear();
    m_destPaths.clear();
    m_stripLevels.clear();
    for (int i = 0; i < numSrcPaths && srcPaths != nullptr; ++i) {
        m_srcPaths.push_back(srcPaths[i] ? srcPaths[i] : "");
        m_destPaths.push_back(destPaths != nullptr && i < numDestPaths && destPaths[i] ? destPaths[i] : "");
        m_stripLevels.push_back(stripLevels ? stripLevels[i] : 0);
        if (nuvrestorefiles::IsRootDirectory(m_destPaths.back())) {
            setError(-1, "destination [" + m_destPaths.back() + "] of [" + m_srcPaths.back() +
                             "] is the root directory: refused");
            g_ptrLogWriter->Write(-1, kTag, jobId, "%s", getErrorString());
            return 0;
        }
    }
    m_map.clear();
    m_haveMap = false;
    std::list<std::string> mapPaths;
    EvRstTask task(jobId, 0, nullptr, true);
    if (task.getOptionString(kMapFilePathOption, mapPaths, nullptr) == 0 && !mapPaths.empty() &&
        !mapPaths.front().empty()) {
        if (nuvrestorefiles::ReadRedirectMap(mapPaths.front(), m_map) != 0) {
            setError(-1, "cannot read the map file [" + mapPaths.front() + "]");
            g_ptrLogWriter->Write(-1, kTag, jobId, "cannot read the map file [%s]", mapPaths.front().c_str());
            return 0;
        }
        m_haveMap = true;
    }
    m_ready = true;
    clearError();
    return 1;
}

int JZRestoreFiles::sendMsgToClient(unsigned long type, jzsDatabuf* record) {
    if (!enter("sendMsgToClient", FXString::Format("type=0x%lx", type))) return 0;
    if (!m_ready || record == nullptr || record->data == nullptr) return setError(-1, "not initialised"), 0;
    if (type == FSR_PRE_OPEN_ARCHIVE && record->length >= sizeof(FSRPreOpenArchive)) {
        FSRPreOpenArchive pre;
        std::memcpy(&pre, record->data, sizeof(pre));
        if (pre.preOpenType > FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP) return setError(-1, "unknown pre-open type"), 0;
        m_preOpenType = pre.preOpenType;
        m_open = false;
        m_pending.clear();
        return 1;
    }
    if (type == FSR_SNAP_SRC_PATH && record->length >= sizeof(FSRSnapSrcPath)) {
        if (!m_open) return setError(-1, "no archive file is open"), 0;
        FSRSnapSrcPath entry;
        std::memcpy(&entry, record->data, sizeof(entry));
        if (entry.srcPath == nullptr || entry.srcPath[0] != '/') return setError(-1, "no absolute source path"), 0;
        std::string const given = entry.destPath != nullptr ? entry.destPath : "";
        std::string const to = destinationOf(entry.srcPath, entry.destPath);
        if (nuvrestorefiles::IsRootDirectory(given) || nuvrestorefiles::IsRootDirectory(to)) {
            setError(-1, "destination [" + (given.empty() ? to : given) + "] of [" + entry.srcPath +
                             "] is the root directory: refused");
            g_ptrLogWriter->Write(-1, kTag, static_cast<uint64_t>(m_jobId), "%s", getErrorString());
            return 0;
        }
        m_pending.push_back({entry.srcPath, entry.destPath ? entry.destPath : ""});
        return 1;
    }
    setError(-1, FXString::Format("message 0x%lx is not taken", type));
    return 0;
}

int JZRestoreFiles::openArchiveFile(ArchiveFileId_t key, int copyId) {
    if (!enter("openArchiveFile", "afile=" + KeyText(key) + " copy=" + std::to_string(copyId))) return 0;
    if (!m_ready || m_preOpenType != FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP)
        return setError(-1, "the archive file was not pre-opened as a snapshot"), 0;
    std::pair<uint32_t, uint32_t> mountKey{key.brannoxId, key.archFileId};
    bool held = false;
    for (auto const& k : m_held) held = held || k == mountKey;
    std::string error;
    if (held) {
        // This client holds the mount already: share it once more.
        if (!Acquire(mountKey, m_jobId, &m_volumes, &error)) return setError(-1, error), 0;
        (void)Release(mountKey, &error);
    } else {
        if (!Acquire(mountKey, m_jobId, &m_volumes, &error)) {
            g_ptrLogWriter->Write(-1, kTag, m_jobId, "cannot mount the snapshots of archive file %s: %s",
                                  KeyText(key).c_str(), error.c_str());
            return setError(-1, error), 0;
        }
        m_held.push_back(mountKey);
    }
    m_openKey = key;
    m_open = true;
    m_pending.clear();
    return 1;
}

int JZRestoreFiles::restoreFile(ArchiveFileId_t key, unsigned long long offset, unsigned long long, unsigned long,
                                char*, NasRestoreInfo*, int copyId) {
    if (!enter("restoreFile", "afile=" + KeyText(key) + " offset=" + std::to_string(offset) +
                                  " copy=" + std::to_string(copyId)))
        return 0;
    // The local suite's archive files hold no stream data: only snapshot
    // archive files can be restored from.
    g_ptrLogWriter->Write(-1, kTag, m_jobId, "archive file %s holds no data to restore by offset",
                          KeyText(key).c_str());
    setError(-1, "archive file " + KeyText(key) + " holds no data to restore by offset");
    return 0;
}

std::string JZRestoreFiles::destinationOf(std::string const& source, char const* recordDest) const {
    if (recordDest != nullptr && recordDest[0] != '\0') return nuvrestorefiles::EntryDestination(source, recordDest);
    if (m_haveMap) {
        auto found = m_map.find(source);
        if (found != m_map.end()) return found->second.empty() ? source : found->second;
    }
    for (size_t i = 0; i < m_srcPaths.size(); ++i) {
        std::string const& s = m_srcPaths[i];
        if (m_destPaths[i].empty() || s.empty()) continue;
        bool holds = source == s || (source.compare(0, s.size(), s) == 0 &&
                                     (s.back() == '/' || source[s.size()] == '/'));
        if (!holds) continue;
        std::string rest = nuvrestorefiles::StripComponents(source, m_stripLevels[i]);
        std::string dest = m_destPaths[i];
        while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
        return dest == "/" ? "/" + rest : dest + "/" + rest;
    }
    return source;
}

int JZRestoreFiles::waitForCompletion() {
    if (!enter("waitForCompletion", "afile=" + KeyText(m_openKey) + " files=" + std::to_string(m_pending.size())))
        return 0;
    if (!m_open) {
        // A normal archive file's files were restored one by one: nothing waits.
        if (m_ready && m_preOpenType == FSR_PRE_OPEN_ARCHIVE_TYPE_NORMAL) return 1;
        return setError(-1, "no archive file is open"), 0;
    }
    std::string firstFailure;  // the error the restore reports: the first file's that failed
    size_t failures = 0;
    auto failed = [&](std::string const& text) {
        g_ptrLogWriter->Write(-1, kTag, static_cast<uint64_t>(m_jobId), "%s", text.c_str());
        if (failures++ == 0) firstFailure = text;
    };
    std::map<std::string, std::string> destinations;
    nuvrestorefiles::CopySession session;
    session.setHolder("restore job " + std::to_string(m_jobId));
    // A link of the snapshot may lead onto another volume of the snap job:
    // the archive file that holds its snapshot is mounted as well.
    session.setVolumeFinder(
        [this](std::string const& path, nuvrestorefiles::MountedVolume* out) { return mountVolumeOf(path, out); });
    // So may a volume of the snap job mounted inside this one.
    SMVolSnapInfo job;
    if (snapJobVolumes(&job)) {
        std::vector<std::string> paths;
        for (auto const& v : job.volumes()) paths.push_back(v.getSourcePath());
        session.setJobVolumes(std::move(paths));
    }
    for (Pending const& p : m_pending) {
        std::string to = destinationOf(p.source, p.dest.c_str());
        if (!nuvrestorefiles::OnAVolume(m_volumes, p.source)) {
            failed("[" + p.source + "] lies on no volume of archive file " + KeyText(m_openKey));
            continue;
        }
        auto seen = destinations.emplace(to, p.source);
        if (!seen.second && seen.first->second != p.source) {
            failed("[" + seen.first->second + "] and [" + p.source + "] are both restored to [" + to + "]");
            continue;
        }
        CFzError e = nuvrestorefiles::CopyOut(m_volumes, p.source, to, &m_counts, &session);
        if (e.IsError()) failed("restore of [" + p.source + "] to [" + to + "] failed: " + e.AsString());
    }
    CFzError finished = session.finish();
    if (finished.IsError()) failed(finished.AsString());
    // The other volumes' mounts go with the wait that needed them.
    for (auto const& key : m_borrowed) {
        std::string error;
        if (!Release(key, &error))
            g_ptrLogWriter->Write(-1, kTag, m_jobId, "cannot unmount archive file %u:%u: %s", key.first, key.second,
                                  error.c_str());
        for (auto it = m_held.begin(); it != m_held.end(); ++it)
            if (*it == key) {
                m_held.erase(it);
                break;
            }
    }
    m_borrowed.clear();
    m_pending.clear();
    m_open = false;
    if (failures == 0) return 1;
    setError(-1, failures == 1 ? firstFailure
                               : firstFailure + " (and " + std::to_string(failures - 1) + " more files not restored)");
    return 0;
}

bool JZRestoreFiles::snapJobVolumes(SMVolSnapInfo* job) {
    // The snap job of the open archive file.
    JZSnapClientAPI client;
    SMVolSnapInfo open;
    open.setArchFileId(static_cast<int>(m_openKey.archFileId));
    open.setBrannoxId(static_cast<int>(m_openKey.brannoxId));
    if (!client.getVolumeSnaps(open) || open.volumes().empty()) return false;
    job->setSnapJobId(open.volumes().front().getJobId());
    job->setBrannoxId(static_cast<int>(m_openKey.brannoxId));
    return job->getSnapJobId() > 0 && client.getVolumeSnaps(*job);
}

bool JZRestoreFiles::mountVolumeOf(std::string const& path, nuvrestorefiles::MountedVolume* out) {
    // The archive file of the snap job's volume that holds the path.
    SMVolSnapInfo job;
    if (!snapJobVolumes(&job)) return false;
    std::vector<nuvrestorefiles::MountedVolume> all;
    std::map<std::string, int> archFileOf;
    for (auto const& v : job.volumes()) {
        all.push_back({v.getSourcePath(), "-"});
        archFileOf[v.getSourcePath()] = v.getArchFileId();
    }
    std::string const inAll = nuvrestorefiles::PathInSnapshot(all, path);
    if (inAll.empty()) return false;
    std::string holder;
    for (auto const& v : all)
        if (nuvrestorefiles::PathInSnapshot({v}, path) == inAll && v.sourcePath.size() > holder.size())
            holder = v.sourcePath;
    std::pair<uint32_t, uint32_t> const key{m_openKey.brannoxId, static_cast<uint32_t>(archFileOf[holder])};
    std::vector<nuvrestorefiles::MountedVolume> mounted;
    std::string error;
    bool held = false;
    for (auto const& k : m_held) held = held || k == key;
    if (!Acquire(key, m_jobId, &mounted, &error)) {
        g_ptrLogWriter->Write(-1, kTag, m_jobId, "cannot mount the snapshot of [%s]: %s", holder.c_str(),
                              error.c_str());
        return false;
    }
    if (held) {
        (void)Release(key, &error);
    } else {
        m_held.push_back(key);
        m_borrowed.push_back(key);
    }
    for (auto const& v : mounted)
        if (v.sourcePath == holder) {
            *out = v;
            return true;
        }
    return false;
}

int JZRestoreFiles::isJobStopped() {
    if (m_jobCtrl == nullptr) return 0;
    return m_jobCtrl->checkQuitFlag() != 0 ? 1 : 0;
}

int JZRestoreFiles::unmountSnapshots(ArchiveFileId_t key) {
    if (!enter("unmountSnapshots", "afile=" + KeyText(key))) return -1;
    std::pair<uint32_t, uint32_t> mountKey{key.brannoxId, key.archFileId};
    int rc = 0;
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (*it != mountKey) {
            ++it;
            continue;
        }
        std::string error;
        if (!Release(*it, &error)) {
            setError(-1, error);
            rc = -1;
        }
        it = m_held.erase(it);
    }
    return rc;
}

int JZRestoreFiles::finalize(int status, unsigned long flags, bool last) {
    if (!enter("finalize", "job=" + std::to_string(m_jobId) + " status=" + std::to_string(status) +
                               " flags=" + std::to_string(flags) + (last ? " last" : "")))
        return 0;
    std::string error;
    for (auto const& key : m_held) (void)Release(key, &error);
    m_held.clear();
    if (!m_ready) return setError(-1, "not initialised"), 0;
    int rc = 1;
    if (m_counts.files > 0 &&
        nuvrestorefiles::AddToCountsFile(static_cast<uint64_t>(m_jobId), m_destBrannoxId,
                                         static_cast<long long>(m_counts.bytes),
                                         static_cast<long long>(m_counts.bytes),
                                         static_cast<int>(m_counts.files)) != 0) {
        setError(-1, "cannot write the counts file");
        rc = 0;
    }
    m_counts = {};
    m_ready = false;
    return rc;
}
