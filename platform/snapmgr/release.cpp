#include "release.h"

#include "mount_ops.h"
#include "mountinfo.h"
#include "sm_paths.h"
#include "snap_methods.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nuvsnapmgr {

bool IsSnapshotMountedAt(std::string const& path, std::string const& snapDevice) {
    std::string target = RealPath(path);  // the mount table shows resolved paths
    if (target.empty() || snapDevice.empty() || !IsMountPoint(target)) return false;
    struct stat mounted, copy;
    if (::stat(target.c_str(), &mounted) != 0 || ::stat(snapDevice.c_str(), &copy) != 0) return false;
    return S_ISDIR(copy.st_mode) && mounted.st_dev == copy.st_dev && mounted.st_ino == copy.st_ino;
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
            e = UnmountPath(target);
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
