#include "snap_methods.h"

#include "mount_ops.h"
#include "mountinfo.h"
#include "sm_paths.h"
#include "storage_ops.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <set>

namespace nuvsnapmgr {

char const* const kMethodBtrfs = "btrfs";
char const* const kMethodBlockClone = "block-clone";
char const* const kMethodReflink = "reflink";
char const* const kMethodCopy = "copy";

namespace {

constexpr char const* kTag = "nuvsnapmgr::SnapMethod";
constexpr char const* kBtrfsArea = ".nuvsuite-snapshots";

bool SameDevice(std::string const& a, std::string const& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

bool IsRealDirectory(std::string const& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string BaseName(std::string const& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(std::string const& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A block clone's image lies in one of the places PlanBlockClone puts it: the
// snapshot root or the image pool's clones/ (a regular file strictly below it).
bool IsOwnCloneImage(std::string const& image) {
    if (image.empty()) return false;
    struct stat st;
    bool const exists = ::lstat(image.c_str(), &st) == 0;
    for (std::string const& area : {SnapshotRoot(), CloneRoot()}) {
        if (exists) {
            if (S_ISREG(st.st_mode) && ResolvesStrictlyUnder(area, image)) return true;
            continue;
        }
        if (image.find("/../") == std::string::npos && PathHolds(NormalisePath(area), image) &&
            NormalisePath(image) != NormalisePath(area))
            return true;
    }
    return false;
}

// A btrfs subvolume: its snapshot goes to the state root's snapshots/ when that
// lies on the same file system, else to the area at the top of its mount.
bool PlanBtrfs(int64_t id, std::string const& source, SnapPlan* plan) {
    if (!IsBtrfsSubvolume(source)) return false;
    std::string const snaps = SnapshotRoot();
    if (SameBtrfs(source, snaps)) {
        plan->method = kMethodBtrfs;
        plan->device = snaps + "/" + std::to_string(id);
        return true;
    }
    MountEntry mount;
    if (!FindMountForPath(ParseMountInfo(ReadSelfMountInfo()), source, &mount)) return false;
    std::string const area = NormalisePath(mount.mountPoint) + "/" + kBtrfsArea;
    if (PathHolds(source, area)) return false;  // the area would lie inside the volume itself
    if (::mkdir(area.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (!IsRealDirectory(area) || !SameBtrfs(source, area)) return false;
    plan->method = kMethodBtrfs;
    plan->device = area + "/" + std::to_string(id);
    return true;
}

// Whether files in `dir` can be cloned, probed once per file system and process.
bool CanClone(std::string const& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return false;
    static std::mutex s_mutex;
    static std::map<std::pair<dev_t, std::string>, bool> s_known;  // (device, folder)
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto known = s_known.find(std::make_pair(st.st_dev, dir));
        if (known != s_known.end()) return known->second;
    }
    bool const can = SupportsReflink(dir);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_known[std::make_pair(st.st_dev, dir)] = can;
    return can;
}

// An XFS volume mounted from a loop device whose image the suite can clone.
bool PlanBlockClone(int64_t id, std::string const& source, SnapPlan* plan) {
    MountEntry mount;
    if (!FindMountForPath(ParseMountInfo(ReadSelfMountInfo()), source, &mount)) return false;
    if (NormalisePath(mount.mountPoint) != source || mount.fsType != "xfs") return false;
    std::string const image = LoopBackingFile(mount.source);
    struct stat st;
    if (image.empty() || ::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!nuvsuite::SuiteStateOn(source).empty()) return false;  // never frozen: the suite writes there
    for (std::string const& area : {SnapshotRoot(), CloneRoot()}) {
        if (!IsRealDirectory(area) || !SameDevice(area, image) || !CanClone(area)) continue;
        plan->method = kMethodBlockClone;
        plan->device = SnapshotRoot() + "/" + std::to_string(id);
        plan->image = area + "/" + std::to_string(id) + ".img";
        plan->sourceImage = image;
        plan->mountPoint = source;
        plan->fsType = mount.fsType;
        return true;
    }
    return false;
}

CFzError MakeBlockClone(SnapPlan const& plan) {
    {
        CloneFreeze freeze;  // thawed at the end of this block when it froze the volume itself
        CFzError e = freeze.Hold(plan.mountPoint);
        if (e.IsError()) return e;
        e = CloneWholeFile(plan.sourceImage, plan.image);
        if (e.IsError()) return e;
    }
    if (::mkdir(plan.device.c_str(), 0755) != 0) {
        int err = errno;
        ::unlink(plan.image.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot create [%s]", plan.device.c_str());
    }
    LoopAttachment loop;
    CFzError e = AttachLoop(plan.image, true, &loop);
    if (!e.IsError()) e = MountDevice(loop.device(), plan.device, plan.fsType, true, "nouuid,norecovery");
    loop.Close();  // from here the mount (if any) holds the device; without one it detaches
    if (e.IsError()) {
        ::rmdir(plan.device.c_str());
        ::unlink(plan.image.c_str());
        return e;
    }
    return CFzError::Success();
}

// Removes one place a create may have used: a block clone's mount (only when
// its image is `image`), a btrfs snapshot, or a copied tree.
CFzError RemoveAt(std::string const& path, std::string const& image) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return CFzError::Success();
    std::string const real = RealPath(path);
    if (!real.empty() && IsMountPoint(real)) {
        MountEntry mount;
        FindMountForPath(ParseMountInfo(ReadSelfMountInfo()), real, &mount);
        std::string const backing = LoopBackingFile(mount.source);
        if (image.empty() || backing.empty() || RealPath(backing) != RealPath(image))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "[%s] is a mount point the suite did not make: not removed",
                                           path.c_str());
        CFzError e = UnmountPath(real);
        if (e.IsError()) return e;
    }
    if (IsBtrfsSubvolume(path) && !IsMountPoint(real)) return BtrfsDeleteSubvolume(path);
    return RemoveTree(path);
}

// Moves the entries of the tree `from` into the tree `to`; a directory found in
// both is merged, anything else found in both is refused (EEXIST), named by
// its path in the tree (`inside`). What was moved stays moved on failure.
CFzError LayOver(std::string const& from, std::string const& to, std::string const& inside) {
    DIR* dir = ::opendir(from.c_str());
    if (dir == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", from.c_str());
    std::vector<std::string> names;
    errno = 0;
    for (struct dirent* entry = ::readdir(dir); entry != nullptr; entry = ::readdir(dir)) {
        std::string const name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    int const readError = errno;
    ::closedir(dir);
    if (readError != 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, readError, "cannot read [%s]", from.c_str());
    for (std::string const& name : names) {
        std::string const source = from + "/" + name, target = to + "/" + name, path = inside + "/" + name;
        struct stat there;
        if (::lstat(target.c_str(), &there) != 0) {
            if (errno != ENOENT) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot examine [%s]", target.c_str());
            if (::rename(source.c_str(), target.c_str()) != 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot move [%s] to [%s]", source.c_str(),
                                               target.c_str());
            continue;
        }
        struct stat here;
        if (::lstat(source.c_str(), &here) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot examine [%s]", source.c_str());
        if (!S_ISDIR(here.st_mode) || !S_ISDIR(there.st_mode))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EEXIST, "[%s] lies on more than one disk of the group",
                                           path.c_str());
        CFzError e = LayOver(source, target, path);
        if (e.IsError()) return e;
    }
    return CFzError::Success();
}

}  // namespace

std::string PoolRoot() { return nuvsuite::StateRootPath() + "/pool"; }
std::string CloneRoot() { return PoolRoot() + "/clones"; }

SnapPlan ChooseMethod(int64_t id, std::string const& source, EvEvent* event) {
    SnapPlan plan;
    std::string const stateRoot = RealPath(nuvsuite::StateRootPath());
    bool const holdsState = !stateRoot.empty() && PathHolds(source, stateRoot);
    if (!holdsState && (PlanBtrfs(id, source, &plan) || PlanBlockClone(id, source, &plan))) {
        EvDebug::DebugLvl(event, 2, kTag, "snapshot %lld of [%s]: %s at [%s]", static_cast<long long>(id),
                          source.c_str(), plan.method.c_str(), plan.device.c_str());
        return plan;
    }
    plan = SnapPlan();
    plan.method = kMethodCopy;
    plan.device = SnapshotRoot() + "/" + std::to_string(id);
    return plan;
}

CFzError MakeSnapshot(SnapPlan const& plan, std::string const& source, std::vector<std::string> const& excluded,
                      EvEvent* event, CopyStats* stats, std::string* method) {
    *method = plan.method;
    if (plan.method == kMethodBtrfs)
        return BtrfsSnapshot(source, DirName(plan.device), BaseName(plan.device), true);
    if (plan.method == kMethodBlockClone) return MakeBlockClone(plan);

    std::string const partial = DirName(plan.device) + "/.partial-" + BaseName(plan.device);
    CopyRequest req;
    req.source = source;
    req.destination = partial;
    req.excluded = excluded;
    req.event = event;
    CFzError e = CopyTree(req, stats);
    if (!e.IsError() && ::rename(partial.c_str(), plan.device.c_str()) != 0)
        e = FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot put the copy [%s] in place", plan.device.c_str());
    if (e.IsError()) {
        (void)RemoveTree(partial);
        return e;
    }
    *method = stats->cloned > 0 ? kMethodReflink : kMethodCopy;
    return CFzError::Success();
}

SnapPlan ChooseGroupMethod(int64_t id) {
    SnapPlan plan;
    plan.method = kMethodCopy;
    plan.device = SnapshotRoot() + "/" + std::to_string(id);
    return plan;
}

CFzError MakeGroupSnapshot(SnapPlan const& plan, std::vector<std::string> const& disks,
                           std::vector<std::string> const& excluded, EvEvent* event, CopyStats* stats,
                           std::string* method) {
    *method = plan.method;
    // Everything is made inside the create's partial folder, which a removal
    // of the snapshot (or the sweep of a create that died) takes away.
    std::string const work = DirName(plan.device) + "/.partial-" + BaseName(plan.device);
    if (::mkdir(work.c_str(), 0700) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create [%s]", work.c_str());
    std::string const tree = work + "/0";
    CFzError e;
    for (size_t i = 0; i < disks.size() && !e.IsError(); ++i) {
        CopyRequest req;
        req.source = disks[i];
        req.destination = work + "/" + std::to_string(i);
        req.excluded = excluded;
        req.event = event;
        CopyStats one;
        e = CopyTree(req, &one);
        if (!e.IsError() && i > 0) e = LayOver(req.destination, tree, "");
        if (e.IsError()) {
            e.Push(FZ_LOC, "snapshot of disk [%s] failed", disks[i].c_str());
            break;
        }
        if (i > 0) e = RemoveTree(req.destination);
        stats->files += one.files;
        stats->directories += one.directories;
        stats->symlinks += one.symlinks;
        stats->skipped += one.skipped;
        stats->cloned += one.cloned;
        stats->fullCopies += one.fullCopies;
        stats->hardLinks += one.hardLinks;
        stats->bytes += one.bytes;
        stats->ownersKept = stats->ownersKept && one.ownersKept;
    }
    if (!e.IsError() && ::rename(tree.c_str(), plan.device.c_str()) != 0)
        e = FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot put the copy [%s] in place", plan.device.c_str());
    if (!e.IsError()) e = RemoveTree(work);
    if (e.IsError()) {
        (void)RemoveTree(work);
        if (::access(plan.device.c_str(), F_OK) == 0) (void)RemoveTree(plan.device);
        return e;
    }
    *method = stats->cloned > 0 ? kMethodReflink : kMethodCopy;
    return CFzError::Success();
}

bool IsOwnSnapshotDevice(std::string const& device) {
    if (device.empty() || device.find("/../") != std::string::npos ||
        (device.size() >= 3 && device.compare(device.size() - 3, 3, "/..") == 0))
        return false;
    std::string const path = NormalisePath(device);
    std::string const parent = DirName(path), name = BaseName(path);
    bool const numbered = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    struct stat st;
    bool const exists = ::lstat(device.c_str(), &st) == 0;
    // A btrfs snapshot in the area the suite keeps at the top of a btrfs mount.
    if (numbered && BaseName(parent) == kBtrfsArea && IsRealDirectory(parent))
        return !exists || IsBtrfsSubvolume(path);
    if (exists) return ResolvesStrictlyUnder(SnapshotRoot(), device);
    std::string const root = NormalisePath(SnapshotRoot());
    return path != root && PathHolds(root, path);
}

CFzError RemoveSnapshotCopy(SnapshotRow const& row) {
    std::string const root = SnapshotRoot();
    std::set<std::string> places = {root + "/" + std::to_string(row.id), root + "/.partial-" + std::to_string(row.id)};
    if (!row.snapDevice.empty()) {
        if (!IsOwnSnapshotDevice(row.snapDevice))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "[%s] is no snapshot area of the suite: not removed",
                                           row.snapDevice.c_str());
        places.insert(row.snapDevice);
    }
    std::string const image = IsOwnCloneImage(row.image) ? row.image : std::string();
    for (auto const& place : places) {
        CFzError e = RemoveAt(place, image);
        if (e.IsError()) return e;
    }
    if (!image.empty() && ::unlink(image.c_str()) != 0 && errno != ENOENT)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove the clone [%s]", image.c_str());
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
