// JZSnapClientAPI: mount, list, update, ASM disks.
#include "snap_metadata.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/snapmgr/failed_create.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include "mount_ops.h"
#include "release.h"
#include "sm_call.h"
#include "sm_paths.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "snapshot_store.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>

using namespace nuvsnapmgr;

namespace {

// How long a mount that another run recorded and is still making is waited for.
constexpr int kMountWaitRounds = 200;
constexpr useconds_t kMountWaitMicros = 50000;

// The first symbolic link that `path` goes through below the state root (the
// root reached as configured or as it resolves), or "" when it goes through
// none: a mount follows it, so a link planted there could move the mount out
// of the place the path names.
std::string LinkBelowStateRoot(std::string const& path) {
    std::string const normal = NormalisePath(path);
    for (std::string const& root : {NormalisePath(nuvsuite::StateRootPath()), RealPath(nuvsuite::StateRootPath())}) {
        if (root.empty() || root == "/" || !PathHolds(root, normal) || normal == root) continue;
        std::string at = root;
        std::string const rest = normal.substr(root.size() + 1);
        for (size_t from = 0; from <= rest.size();) {
            size_t const slash = std::min(rest.find('/', from), rest.size());
            at += "/" + rest.substr(from, slash - from);
            struct stat st {};
            if (::lstat(at.c_str(), &st) != 0) break;  // nothing further exists
            if (S_ISLNK(st.st_mode)) return at;
            from = slash + 1;
        }
    }
    return std::string();
}

// Why a mount at `path` would cover the suite's own state: a path inside the
// state root other than below its mount areas (mounts/, and temp/ for the
// temporary mount points), one that goes through a link below the state root,
// or one that holds the state root or the log file. "" when it would not.
std::string MountPathOverSuiteState(std::string const& path) {
    std::string const link = LinkBelowStateRoot(path);
    if (!link.empty())
        return "mount path [" + path + "] goes through the link [" + link +
               "] under the suite's state root: a mount there would not stay where the path names";
    std::string const where = ResolveAsFarAsExists(path);
    std::string const root = RealPath(nuvsuite::StateRootPath());
    std::string const mounts = RealPath(MountRoot());
    std::string const temp = RealPath(nuvsuite::StatePath("temp"));
    auto below = [&](std::string const& area) { return !area.empty() && where != area && PathHolds(area, where); };
    if (!root.empty() && PathHolds(root, where) && !below(mounts) && !below(temp))
        return "mount path [" + path + "] lies inside the suite's state root [" + root +
               "]; only its mount areas [" + mounts + "] and [" + temp + "] take mounts";
    char const* log = std::getenv("JZ_LOG_FILE");
    for (std::string const& used : {root, std::string(log != nullptr ? log : "")}) {
        if (!used.empty() && PathHolds(where, ResolveAsFarAsExists(used)))
            return "mount path [" + path + "] would cover [" + used + "], which the suite uses";
    }
    return std::string();
}

// Where a disk volume's snapshot is mounted as a disk of the disk group
// "+NAME": <mount root>/asm/NAME/<snapshot id>. "" when the text names no
// group (empty, "." or "..", or more than a name).
std::string DiskGroupMountPath(std::string const& group, int64_t snapId) {
    std::string const name = AsmGroupName(group);
    if (name.empty() || name == "." || name == ".." || name.size() + 1 != group.size()) return std::string();
    return MountRoot() + "/asm/" + name + "/" + std::to_string(snapId);
}

// The snapshot of a volume: its own SM snap id, else the record's map, else the
// newest ready snapshot of its SM volume id.
bool SnapshotOfVolume(SMVolSnapInfo const& record, SMVolumeInfo const& v, SnapshotRow* row) {
    int snapId = v.getSMSnapId();
    if (snapId <= 0)
        for (auto it = record.volSnapMapListBegin(); it != record.volSnapMapListEnd(); ++it)
            if (it->getSMVolumeId() == v.getSMVolumeId() && v.getSMVolumeId() > 0) snapId = it->getSMSnapId();
    bool found = false;
    if (snapId > 0) {
        if (GetSnapshot(snapId, row, &found).IsError()) return false;
        return found && row->state == "ready";
    }
    if (v.getSMVolumeId() <= 0) return false;
    std::vector<SnapshotRow> rows;
    if (ListReadySnapshots("sm_volume_id", v.getSMVolumeId(), &rows).IsError() || rows.empty()) return false;
    *row = rows.back();
    return true;
}

// True when the snapshot that the mount row names is still mounted at its path.
bool MountStillStands(MountRow const& mount, SnapshotRow const& wanted) {
    if (mount.snapshotId == wanted.id) return IsSnapshotMountedAt(mount.mountPath, wanted.snapDevice);
    SnapshotRow other;
    bool found = false;
    if (GetSnapshot(mount.snapshotId, &other, &found).IsError()) return true;  // cannot tell: keep it
    return found && IsSnapshotMountedAt(mount.mountPath, other.snapDevice);
}

}  // namespace

bool JZSnapClientAPI::mountVolumes(SMVolSnapInfo& record) {
    std::string args = RecordArgs(record) + " paths=";
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it)
        args += (it == record.volumeListBegin() ? "" : ",") + it->getMountPath();
    SMCall call("JZSnapClientAPI::mountVolumes", args, &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;
    if (record.getNumVolumes() == 0) return call.Fail(SM_ERR_INVALID_ARGUMENT, "the record has no volumes");
    SweepAbandonedMounts(call.event());

    std::vector<MountRow> madeNow;
    auto undo = [&]() {
        for (auto it = madeNow.rbegin(); it != madeNow.rend(); ++it) (void)ReleaseMount(*it);
    };
    SMVolSnapInfo::VolumeList volumes = record.volumes();
    for (auto& v : volumes) {
        SnapshotRow snap;
        if (!SnapshotOfVolume(record, v, &snap)) {
            undo();
            return call.Fail(SM_ERR_NOT_FOUND, "volume [" + v.getSourcePath() + "] has no snapshot to mount");
        }
        std::string path = v.getMountPath().empty()          ? MountRoot() + "/" + std::to_string(snap.id)
                           : IsAsmGroupPath(v.getMountPath()) ? DiskGroupMountPath(v.getMountPath(), snap.id)
                                                              : NormalisePath(v.getMountPath());
        bool const dotDot = path.find("/../") != std::string::npos ||
                            (path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
        if (path.empty() || path[0] != '/' || path == "/" || dotDot) {
            undo();
            return call.Fail(SM_ERR_INVALID_ARGUMENT, "mount path [" + path + "] is not usable");
        }
        if (PathHolds(RealPath(SnapshotRoot()), ResolveAsFarAsExists(path))) {
            // A mount there would change a point-in-time copy (or hide one).
            undo();
            return call.Fail(SM_ERR_INVALID_ARGUMENT, "mount path [" + path + "] lies among the snapshot copies");
        }
        std::string const refused = MountPathOverSuiteState(path);
        if (!refused.empty()) {
            // Nothing in the suite could undo such a mount, nor reach its catalogue.
            undo();
            return call.Fail(SM_ERR_INVALID_ARGUMENT, refused);
        }
        MountRow existing;
        bool found = false;
        CFzError e;
        std::vector<std::string> madeBefore;  // directories made for an earlier mount at this path
        // Another run that recorded a mount at this path and is still making
        // it (a restore of the same snapshot at once) is waited for, a while.
        for (int waited = 0;; ++waited) {
            e = MountAtPath(path, &existing, &found);
            if (e.IsError()) {
                undo();
                return call.Fail(SM_ERR_INTERNAL, e, "cannot read the mounts");
            }
            if (!found || waited >= kMountWaitRounds || !HeldByOtherProcess(existing) ||
                MountStillStands(existing, snap))
                break;
            ::usleep(kMountWaitMicros);
        }
        if (found && !MountStillStands(existing, snap)) {
            if (HeldByOtherProcess(existing)) {
                // Recorded by a run that is still making it: not stale.
                undo();
                return call.Fail(SM_ERR_MOUNT, "[" + path + "] is being mounted by process " +
                                                   std::to_string(existing.holderPid));
            }
            // The suite's mount at this path went away outside the suite, or
            // the run that recorded it died before it was made: its row goes,
            // and the snapshot is mounted there anew.
            e = DeleteMountRow(existing.id);
            if (e.IsError()) {
                undo();
                return call.Fail(SM_ERR_INTERNAL, e, "cannot drop the stale mount at [" + path + "]");
            }
            madeBefore = existing.createdDirs;
            found = false;
        }
        if (found && existing.snapshotId != snap.id) {
            undo();
            return call.Fail(SM_ERR_MOUNT, "[" + path + "] already holds snapshot " +
                                               std::to_string(existing.snapshotId));
        }
        bool adopted = false;  // another run's mount of the same snapshot, made meanwhile
        MountRow row;
        if (!found) {
            // The row first, held by this process: a kill at any later moment
            // leaves a row that a sweep finds, never a mount that none knows.
            row.snapshotId = snap.id;
            row.jobId = record.getJobId();
            row.mountPath = path;
            row.createdDirs = madeBefore;
            for (std::string const& dir : MissingDirectories(path))
                if (std::find(row.createdDirs.begin(), row.createdDirs.end(), dir) == row.createdDirs.end())
                    row.createdDirs.push_back(dir);
            e = InsertMount(row, &row.id);
            if (e.IsError()) {
                // Another run recorded this path first: its mount is taken
                // once it stands, as above.
                MountRow first;
                bool recorded = false;
                for (int waited = 0; waited < kMountWaitRounds; ++waited) {
                    if (MountAtPath(path, &first, &recorded).IsError() || !recorded) break;
                    if (first.snapshotId == snap.id && MountStillStands(first, snap)) break;
                    ::usleep(kMountWaitMicros);
                }
                adopted = recorded && first.snapshotId == snap.id && MountStillStands(first, snap);
                if (!adopted) {
                    undo();
                    return call.Fail(SM_ERR_INTERNAL, e, "cannot record the mount at [" + path + "]");
                }
            }
        }
        if (!found && !adopted) {
            HoldWhereFaulted("snapmgr", "recorded " + path);  // a test's hold: the row, no mount yet
            std::vector<std::string> made;
            e = MakeMountDirectories(path, &made);
            // Binds of the snapshot already there (left by a run killed before
            // mounts were recorded first) go, so that mounts never stack.
            if (!e.IsError()) e = UnmountSnapshotAt(path, snap.snapDevice);
            if (!e.IsError()) e = BindMountReadOnly(snap.snapDevice, path);
            if (e.IsError()) {
                RemoveMountDirectories(&made);
                (void)ReleaseMount(row);
                undo();
                return call.Fail(SM_ERR_MOUNT, e, "cannot mount snapshot " + std::to_string(snap.id));
            }
            madeNow.push_back(row);
            HoldWhereFaulted("snapmgr", "mounted " + path);  // a test's hold: the mount made
        }
        if (!snap.failedCreate.empty())
            EvDebug::DebugLvl(call.event(), 0, call.tag().c_str(),
                              "warning: snapshot %lld mounted at [%s] belongs to a failed create (%s): it may not "
                              "be a good copy of [%s]",
                              static_cast<long long>(snap.id), path.c_str(), snap.failedCreate.c_str(),
                              v.getSourcePath().c_str());
        v.setMountPath(path);
        v.setSMSnapId(static_cast<int>(snap.id));
    }
    record.volumes() = volumes;
    return true;
}

bool JZSnapClientAPI::getVolumeSnaps(SMVolSnapInfo& record) {
    std::string args = "job=" + std::to_string(record.getJobId()) + " snapJob=" +
                       std::to_string(record.getSnapJobId()) + " afile=" + std::to_string(record.getArchFileId());
    SMCall call("JZSnapClientAPI::getVolumeSnaps", args, &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;

    std::vector<SnapshotRow> rows;
    CFzError e;
    std::string what;
    if (record.getArchFileId() != 0) {
        e = ListReadySnapshots("arch_file_id", record.getArchFileId(), &rows);
        what = "archive file " + std::to_string(record.getArchFileId());
    } else {
        int job = record.getSnapJobId() != 0 ? record.getSnapJobId() : record.getJobId();
        e = ListReadySnapshots("job_id", job, &rows);
        what = "job " + std::to_string(job);
    }
    if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the snapshots");
    if (rows.empty()) return call.Fail(SM_ERR_NOT_FOUND, "no snapshots of " + what);

    record.volumes().clear();
    record.snaps().clear();
    record.volSnapMap().clear();
    for (auto const& row : rows) {
        SMVolumeInfo v;
        if (!VolumeFromXml(row.volumeXml, &v)) {
            v.setSourcePath(row.sourcePath);
            v.setSourceDevice(row.sourceDevice);
            v.setSMVolumeId(static_cast<int>(row.smVolumeId));
            v.setArchFileId(static_cast<int>(row.archFileId));
            v.setAppId(static_cast<int>(row.appId));
            v.setBrannoxId(static_cast<int>(row.brannoxId));
            v.setJobId(static_cast<int>(row.jobId));
        }
        v.setSMSnapId(static_cast<int>(row.id));
        std::vector<MountRow> mounts;
        (void)MountsOfSnapshot(row.id, &mounts);
        v.setMountPath(mounts.empty() ? std::string() : mounts.front().mountPath);
        SMSnapInfo s;
        s.setSMSnapId(static_cast<int>(row.id));
        s.setSnapDevice(row.snapDevice);
        s.setSnapSourceDevice(row.sourceDevice);
        s.setUniqueIdentifier(std::to_string(row.id));
        s.setSnapShotEngineId(static_cast<int>(row.engineId));
        s.setCreationTime(row.created);
        if (!row.failedCreate.empty()) {
            s.setSnapFlagsEx(s.getSnapFlagsEx() | kSnapFlagExFailedCreate);
            EvDebug::DebugLvl(call.event(), 0, call.tag().c_str(),
                              "warning: snapshot %lld of [%s] belongs to a failed create (%s): it may not be a "
                              "good copy",
                              static_cast<long long>(row.id), v.getSourcePath().c_str(), row.failedCreate.c_str());
        }
        record.addVolume(v, true);
        record.addSnap(s);
        record.addVolSnapMap(SMVolSnapMapInfo(v.getSMVolumeId(), s.getSMSnapId()));
        AddSnapMetaData(record, s, v);
    }
    return true;
}

int JZSnapClientAPI::updateVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::updateVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return 0;
    std::vector<std::pair<int64_t, std::string>> updates;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        SnapshotRow row;
        if (!SnapshotOfVolume(record, *it, &row))
            return call.Fail(SM_ERR_NOT_FOUND, "volume [" + it->getSourcePath() + "] has no snapshot"), 0;
        SMVolumeInfo v = *it;
        v.setSMSnapId(static_cast<int>(row.id));
        std::string xml = VolumeToXml(v);
        if (xml.empty())
            return call.Fail(SM_ERR_INVALID_ARGUMENT,
                             "the entry of volume [" + it->getSourcePath() + "] cannot be saved"), 0;
        updates.emplace_back(row.id, xml);
    }
    // All entries are saved, or none is.
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    CFzError e = cat.Transaction([&]() -> CFzError {
        for (auto const& u : updates) {
            CFzError r = UpdateSnapshotVolume(u.first, u.second);
            if (r.IsError()) return r;
        }
        return CFzError::Success();
    });
    if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot save the volume entries"), 0;
    return 1;
}

bool JZSnapClientAPI::GetDiskVolSnapForASMVolSnap(SMVolSnapInfo const& record, SMVolSnapInfo& diskRecord) {
    SMCall call("JZSnapClientAPI::GetDiskVolSnapForASMVolSnap", RecordArgs(record), nullptr, &m_errCode, &m_errStr);
    auto fail = [&](int code, std::string const& text) {
        call.Fail(code, text);
        diskRecord.setError(m_errCode, m_errStr);
        return false;
    };
    if (call.Faulted()) {
        diskRecord.setError(m_errCode, m_errStr);
        return false;
    }
    SMVolSnapInfo disks = record;
    disks.volumes().clear();
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        if ((it->getVolumeFlags() & JZSM_VOLUMEFLAGS_ASM_DISKGROUP) == 0) {
            disks.addVolume(*it, true);
            continue;
        }
        std::vector<SMVolumeInfo> volumes;
        int code = 0;
        std::string text;
        if (!AsmDiskVolumes(*it, &volumes, &code, &text)) return fail(code, text);
        for (auto const& disk : volumes) disks.addVolume(disk, true);
    }
    diskRecord = disks;
    diskRecord.clearError();
    return true;
}
