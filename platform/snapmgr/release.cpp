#include "release.h"

#include "mount_ops.h"
#include "mountinfo.h"
#include "sm_paths.h"
#include "snap_methods.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nuvsnapmgr {
namespace {

// Mounts of one snapshot stacked on one point that an unmount takes down at most.
constexpr int kMaxStacked = 64;

}  // namespace

bool IsSnapshotMountedAt(std::string const& path, std::string const& snapDevice) {
    std::string target = RealPath(path);  // the mount table shows resolved paths
    if (target.empty() || snapDevice.empty() || !IsMountPoint(target)) return false;
    struct stat mounted, copy;
    if (::stat(target.c_str(), &mounted) != 0 || ::stat(snapDevice.c_str(), &copy) != 0) return false;
    return S_ISDIR(copy.st_mode) && mounted.st_dev == copy.st_dev && mounted.st_ino == copy.st_ino;
}

CFzError UnmountSnapshotAt(std::string const& path, std::string const& snapDevice) {
    for (int n = 0; n < kMaxStacked && IsSnapshotMountedAt(path, snapDevice); ++n) {
        CFzError e = UnmountPath(RealPath(path));
        if (e.IsError()) return e;
    }
    if (IsSnapshotMountedAt(path, snapDevice))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "[%s] still holds [%s] after %d unmounts", path.c_str(),
                                       snapDevice.c_str(), kMaxStacked);
    return CFzError::Success();
}

std::vector<std::string> MountsOfCopy(SnapshotRow const& snapshot) {
    std::vector<std::string> out;
    std::string const copy = RealPath(snapshot.snapDevice);
    if (copy.empty()) return out;
    for (std::string const& point : MountPointsShowing(ParseMountInfo(ReadSelfMountInfo()), copy))
        if (std::find(out.begin(), out.end(), point) == out.end()) out.push_back(point);
    return out;
}

CFzError ReleaseUnrecordedMounts(SnapshotRow const& snapshot, bool anywhere, EvEvent* event) {
    static char const* const kTag = "nuvsnapmgr::ReleaseUnrecordedMounts";
    std::string const mounts = RealPath(MountRoot()), temp = RealPath(nuvsuite::StatePath("temp"));
    for (std::string const& point : MountsOfCopy(snapshot)) {
        bool const ours = (!mounts.empty() && PathHolds(mounts, point)) || (!temp.empty() && PathHolds(temp, point));
        if (!anywhere && !ours) continue;
        MountRow row;
        bool found = false;
        CFzError e = MountAtPath(point, &row, &found);
        if (e.IsError()) return e;
        if (found && row.snapshotId == snapshot.id) continue;  // a recorded mount: released by its row
        e = UnmountSnapshotAt(point, snapshot.snapDevice);
        if (e.IsError()) return e;
        EvDebug::DebugLvl(event, 1, kTag, "unmounted snapshot %lld at [%s], which no row recorded",
                          static_cast<long long>(snapshot.id), point.c_str());
    }
    return CFzError::Success();
}

CFzError ReleaseMount(MountRow const& mount) {
    static char const* const kTag = "nuvsnapmgr::ReleaseMount";
    EvEvent event(mount.jobId > 0 ? static_cast<uint64_t>(mount.jobId) : 0);
    std::string target = RealPath(mount.mountPath);
    if (!target.empty() && IsMountPoint(target)) {
        SnapshotRow snapshot;
        bool found = false;
        CFzError e = GetSnapshot(mount.snapshotId, &snapshot, &found);
        if (e.IsError()) return e;
        if (found && IsSnapshotMountedAt(target, snapshot.snapDevice)) {
            // Every mount of the snapshot stacked there goes (a run killed
            // before this suite recorded its mounts may have left more than one).
            e = UnmountSnapshotAt(target, snapshot.snapDevice);
            if (e.IsError()) return e;
        } else {
            // The suite's mount is gone and another one sits there now: not the suite's to unmount.
            EvDebug::DebugLvl(&event, 1, kTag, "[%s] no longer holds snapshot %lld: the mount there is left alone",
                              target.c_str(), static_cast<long long>(mount.snapshotId));
        }
    }
    std::string stateRoot = RealPath(nuvsuite::StateRootPath());
    for (auto it = mount.createdDirs.rbegin(); it != mount.createdDirs.rend(); ++it) {
        std::string real = RealPath(*it);
        if (real.empty()) continue;  // already gone
        if (stateRoot.empty() || !PathHolds(stateRoot, real) || real == stateRoot) continue;  // not ours to remove
        if (::rmdir(real.c_str()) != 0 && errno != ENOENT) {
            int const err = errno;
            if (err == ENOTEMPTY || err == EEXIST || err == EBUSY) {
                // It holds something the suite did not put there: it stays.
                EvDebug::DebugLvl(&event, 1, kTag, "mount directory [%s] is not empty: kept", real.c_str());
                continue;
            }
            return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot remove mount directory [%s]", real.c_str());
        }
    }
    return DeleteMountRow(mount.id);
}

CFzError ReleaseSnapshot(SnapshotRow const& snapshot) {
    std::vector<MountRow> mounts;
    CFzError e = MountsOfSnapshot(snapshot.id, &mounts);
    if (e.IsError()) return e;
    for (auto const& m : mounts) {
        e = ReleaseMount(m);
        if (e.IsError()) return e.Push(FZ_LOC, "snapshot %lld is mounted at [%s]", (long long)snapshot.id,
                                       m.mountPath.c_str());
    }
    if (!IsOwnSnapshotDevice(snapshot.snapDevice))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "[%s] lies outside the snapshot root: not removed",
                                       snapshot.snapDevice.c_str());
    e = RemoveSnapshotCopy(snapshot);
    if (e.IsError()) return e;
    return DeleteSnapshotRow(snapshot.id);
}

void SweepAbandonedMounts(EvEvent* event) {
    static char const* const kTag = "nuvsnapmgr::SweepAbandonedMounts";
    std::vector<MountRow> rows;
    CFzError e = ClaimAbandonedMounts(&rows);
    if (e.IsError()) {
        EvDebug::Error(event, kTag, "cannot look for abandoned mounts: %s", e.AsString().c_str());
        return;
    }
    for (MountRow const& row : rows) {
        e = ReleaseMount(row);
        if (e.IsError()) {
            EvDebug::Error(event, kTag, "cannot release the mount at [%s] of snapshot %lld: %s", row.mountPath.c_str(),
                           static_cast<long long>(row.snapshotId), e.AsString().c_str());
            (void)RestoreMountHolder(row);  // the next sweep tries again
            continue;
        }
        EvDebug::DebugLvl(event, 1, kTag, "released the mount at [%s] of snapshot %lld: its process %lld is gone",
                          row.mountPath.c_str(), static_cast<long long>(row.snapshotId),
                          static_cast<long long>(row.holderPid));
    }
}

void SweepAbandonedCreates(EvEvent* event) {
    static char const* const kTag = "nuvsnapmgr::SweepAbandonedCreates";
    std::vector<int64_t> ids;
    CFzError e = ClaimAbandonedCreates(&ids);
    if (e.IsError()) {
        EvDebug::Error(event, kTag, "cannot look for abandoned snapshots: %s", e.AsString().c_str());
        return;
    }
    for (int64_t id : ids) {
        SnapshotRow row;
        bool found = false;
        e = GetSnapshot(id, &row, &found);
        if (!e.IsError() && !found) continue;
        if (!e.IsError()) e = RemoveSnapshotCopy(row);
        bool const removed = !e.IsError();
        if (!removed)
            EvDebug::Error(event, kTag, "cannot remove what snapshot %lld left: %s", static_cast<long long>(id),
                           e.AsString().c_str());
        if (removed && (e = DeleteSnapshotRow(id)).IsError())
            EvDebug::Error(event, kTag, "cannot drop snapshot row %lld: %s", static_cast<long long>(id),
                           e.AsString().c_str());
        else if (removed)
            EvDebug::DebugLvl(event, 1, kTag, "removed snapshot %lld of a create that died half way",
                              static_cast<long long>(id));
    }
}

}  // namespace nuvsnapmgr
