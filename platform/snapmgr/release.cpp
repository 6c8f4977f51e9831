#include "release.h"

#include "mount_ops.h"
#include "mountinfo.h"
#include "sm_paths.h"
#include "tree_copy.h"

#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nuvsnapmgr {

CFzError ReleaseMount(MountRow const& mount) {
    std::string target = RealPath(mount.mountPath);  // the mount table shows resolved paths
    if (!target.empty() && IsMountPoint(target)) {
        CFzError e = UnmountPath(target);
        if (e.IsError()) return e;
    }
    std::string stateRoot = RealPath(nuvsuite::StateRootPath());
    for (auto it = mount.createdDirs.rbegin(); it != mount.createdDirs.rend(); ++it) {
        std::string real = RealPath(*it);
        if (real.empty()) continue;  // already gone
        if (stateRoot.empty() || !PathHolds(stateRoot, real) || real == stateRoot) continue;  // not ours to remove
        if (::rmdir(real.c_str()) != 0 && errno != ENOENT)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove mount directory [%s]", real.c_str());
    }
    return DeleteMountRow(mount.id);
}

bool IsOwnSnapshotDevice(std::string const& device) {
    if (device.empty()) return false;
    struct stat st;
    if (::lstat(device.c_str(), &st) == 0) return ResolvesStrictlyUnder(SnapshotRoot(), device);
    if (device.find("/../") != std::string::npos ||
        (device.size() >= 3 && device.compare(device.size() - 3, 3, "/..") == 0))
        return false;
    std::string root = NormalisePath(SnapshotRoot()), path = NormalisePath(device);
    return path != root && PathHolds(root, path);
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
    e = RemoveTree(snapshot.snapDevice);
    if (e.IsError()) return e;
    return DeleteSnapshotRow(snapshot.id);
}

}  // namespace nuvsnapmgr
