#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"

#include "mount_ops.h"
#include "mountinfo.h"
#include "release.h"
#include "sm_paths.h"
#include "snap_methods.h"
#include "storage_ops.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace nuvsnapmgr {
namespace {

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;
using nuvsuite::Catalogue;

constexpr char const* kTag = "nuvsnapmgr::LoopVolumes";
constexpr char const* kLockName = "snapmgr.loopvolumes";
constexpr uint64_t kPoolSize = 256ull << 30;  // sparse: only what the images hold takes space

std::string Tool(char const* name) {
    for (std::string dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
    return name;
}

CFzError RunTool(std::vector<std::string> const& argv) {
    std::string out, err;
    int rc = JzProcess::system(argv, &out, &err, 600);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "%s failed (%d): %s", argv[0].c_str(), rc,
                                       (err.empty() ? out : err).c_str());
    return CFzError::Success();
}

CFzError MakeSparseFile(std::string const& path, uint64_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create [%s]", path.c_str());
    int rc = ::ftruncate(fd, static_cast<off_t>(size));
    int err = errno;
    ::close(fd);
    if (rc != 0) {
        ::unlink(path.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot size [%s]", path.c_str());
    }
    return CFzError::Success();
}

CFzError MakeFileSystem(std::string const& fsType, std::string const& image) {
    if (fsType == "xfs") return RunTool({Tool("mkfs.xfs"), "-q", "-m", "reflink=1", image});
    return RunTool({Tool("mkfs.btrfs"), "-q", "-f", image});
}

CFzError MakeDirectory(std::string const& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0) return CFzError::Success();
    struct stat st;
    if (errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return CFzError::Success();
    return FXErrorUtil::ErrorErrNo(FZ_LOC, errno == EEXIST ? ENOTDIR : errno, "cannot create [%s]", path.c_str());
}

// True when `mountPoint` is mounted from a loop device whose image is `image`.
bool MountedFrom(std::string const& mountPoint, std::string const& image) {
    std::string const real = RealPath(mountPoint);
    if (real.empty() || !IsMountPoint(real)) return false;
    MountEntry mount;
    if (!FindMountForPath(ParseMountInfo(ReadSelfMountInfo()), real, &mount)) return false;
    std::string const backing = LoopBackingFile(mount.source);
    return !backing.empty() && RealPath(backing) == RealPath(image);
}

// Attaches `image` and mounts it on `mountPoint`; on failure nothing stays attached.
CFzError AttachAndMount(std::string const& image, std::string const& mountPoint, std::string const& fsType,
                        std::string* device) {
    LoopAttachment loop;
    CFzError e = AttachLoop(image, false, &loop);
    if (e.IsError()) return e;
    *device = loop.device();
    return MountDevice(loop.device(), mountPoint, fsType, false, "");
    // the attachment closes here: the mount holds the device, or it detaches
}

std::string PoolImage() { return nuvsuite::StateRootPath() + "/pool.img"; }

// The pool: the state root's own file system when it has reflink, else a btrfs
// loop file system (made once, mounted again when it is not). Under the lock.
CFzError EnsurePool() {
    std::string const pool = PoolRoot(), image = PoolImage();
    CFzError e = MakeDirectory(pool, 0700);
    if (e.IsError()) return e;
    struct stat st;
    bool const poolImageExists = ::stat(image.c_str(), &st) == 0;
    if (!IsMountPoint(RealPath(pool))) {
        if (!poolImageExists && SupportsReflink(pool)) {
            // The state root's file system clones itself.
        } else {
            if (!poolImageExists) {
                std::string const partial = image + ".partial";
                ::unlink(partial.c_str());  // left by a killed run (under the lock: no one else makes it)
                e = MakeSparseFile(partial, kPoolSize);
                if (!e.IsError()) e = MakeFileSystem("btrfs", partial);
                if (!e.IsError() && ::rename(partial.c_str(), image.c_str()) != 0)
                    e = FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot put [%s] in place", image.c_str());
                if (e.IsError()) {
                    ::unlink(partial.c_str());
                    return e.Push(FZ_LOC, "cannot make the image pool");
                }
            }
            std::string device;
            e = AttachAndMount(image, pool, "btrfs", &device);
            if (e.IsError()) return e.Push(FZ_LOC, "cannot mount the image pool [%s]", image.c_str());
        }
    }
    for (char const* sub : {"/images", "/clones"})
        if ((e = MakeDirectory(pool + sub, 0700)).IsError()) return e;
    return CFzError::Success();
}

bool IsEmptyDirectory(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    bool empty = true;
    while (struct dirent* ent = ::readdir(dir))
        if (std::string(ent->d_name) != "." && std::string(ent->d_name) != "..") empty = false;
    ::closedir(dir);
    return empty;
}

// The pool of a loop file system goes when no image and no clone is left in it.
void ReleasePoolWhenEmpty() {
    std::vector<CatRow> rows;
    if (Catalogue::Instance().Query("SELECT count(*) FROM sm_loop_volumes", {}, &rows).IsError() || rows.empty() ||
        AsInt(rows[0][0]) != 0)
        return;
    std::string const pool = PoolRoot(), image = PoolImage();
    if (!MountedFrom(pool, image) || !IsEmptyDirectory(pool + "/images") || !IsEmptyDirectory(pool + "/clones"))
        return;
    if (UnmountPath(RealPath(pool)).IsError()) return;
    ::unlink(image.c_str());
    ::rmdir(pool.c_str());
}

struct VolumeRow {
    LoopVolume volume;
    std::string state;
    int64_t creatorPid = 0;
};

CFzError GetVolumeRow(std::string const& name, VolumeRow* row, bool* found) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "SELECT name, fstype, size, image, mount_point, path, device, state, creator_pid FROM sm_loop_volumes "
        "WHERE name = ?",
        {name}, &rows);
    *found = !e.IsError() && !rows.empty();
    if (!*found) return e;
    CatRow const& r = rows[0];
    row->volume.name = AsText(r[0]);
    row->volume.fsType = AsText(r[1]);
    row->volume.size = static_cast<uint64_t>(AsInt(r[2]));
    row->volume.image = AsText(r[3]);
    row->volume.mountPoint = AsText(r[4]);
    row->volume.path = AsText(r[5]);
    row->volume.device = AsText(r[6]);
    row->state = AsText(r[7]);
    row->creatorPid = AsInt(r[8]);
    return CFzError::Success();
}

// Takes down what the suite made for a volume, as far as it got: only a mount
// of its own image, the directory made for it, the image under the pool.
CFzError TakeDown(LoopVolume const& v) {
    if (MountedFrom(v.mountPoint, v.image)) {
        CFzError e = UnmountPath(RealPath(v.mountPoint));
        if (e.IsError()) return e.Push(FZ_LOC, "volume [%s] is in use", v.name.c_str());
    }
    if (!IsMountPoint(NormalisePath(v.mountPoint)) && ::rmdir(v.mountPoint.c_str()) != 0 && errno != ENOENT)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s]", v.mountPoint.c_str());
    if (PathHolds(PoolRoot() + "/images", v.image) && ::unlink(v.image.c_str()) != 0 && errno != ENOENT)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s]", v.image.c_str());
    Catalogue& cat = Catalogue::Instance();
    return cat.Transaction([&]() -> CFzError {
        CFzError e = cat.Exec("DELETE FROM sm_volumes WHERE path = ?", {v.path});
        if (!e.IsError()) e = cat.Exec("DELETE FROM sm_loop_volumes WHERE name = ?", {v.name});
        return e;
    });
}

bool ValidName(std::string const& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
    return true;
}

}  // namespace

bool LoopVolumesAvailable(std::string* why) { return LoopDevicesAvailable(why); }

bool ParseVolumeSize(std::string const& text, uint64_t* bytes) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    size_t digits = text.find_first_not_of("0123456789");
    std::string const number = text.substr(0, digits);
    std::string const unit = digits == std::string::npos ? "" : text.substr(digits);
    unsigned shift = 0;
    if (unit == "K" || unit == "k") shift = 10;
    else if (unit == "M" || unit == "m") shift = 20;
    else if (unit == "G" || unit == "g") shift = 30;
    else if (unit == "T" || unit == "t") shift = 40;
    else if (!unit.empty()) return false;
    if (number.size() > 15) return false;
    uint64_t value = std::stoull(number);
    if (value == 0 || value > (UINT64_MAX >> 1 >> shift)) return false;
    *bytes = value << shift;
    return true;
}

CFzError CreateLoopVolume(std::string const& name, std::string const& fsType, uint64_t size, LoopVolume* out) {
    if (!ValidName(name))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL,
                                       "[%s] is no volume name (letters, digits, '.', '_', '-'; at most 64)",
                                       name.c_str());
    if (fsType != "btrfs" && fsType != "xfs")
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "file system [%s]: btrfs or xfs", fsType.c_str());
    std::string why;
    if (!LoopDevicesAvailable(&why)) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENODEV, "%s", why.c_str());

    JzNamedMutex lock(kLockName);
    if (!lock.lock()) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot take the lock of the loop volumes");
    LoopVolume v;
    v.name = name;
    v.fsType = fsType;
    v.size = size;
    v.image = PoolRoot() + "/images/" + name + ".img";
    v.mountPoint = nuvsuite::StatePath("volumes") + "/" + name;
    v.path = fsType == "btrfs" ? v.mountPoint + "/data" : v.mountPoint;

    Catalogue& cat = Catalogue::Instance();
    std::vector<CatRow> existing;
    CFzError e = cat.Query("SELECT name FROM sm_loop_volumes WHERE name = ?", {name}, &existing);
    if (e.IsError()) return e;
    if (!existing.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EEXIST, "volume [%s] exists", name.c_str());
    e = cat.Exec(
        "INSERT INTO sm_loop_volumes(name, fstype, size, image, mount_point, path, state, creator_pid, created) "
        "VALUES(?, ?, ?, ?, ?, ?, 'creating', ?, ?)",
        {name, fsType, static_cast<int64_t>(size), v.image, v.mountPoint, v.path, int64_t(::getpid()),
         static_cast<int64_t>(std::time(nullptr))});
    if (e.IsError()) return e.Push(FZ_LOC, "cannot record volume [%s]", name.c_str());

    bool imageMade = false;
    e = EnsurePool();
    if (!e.IsError()) e = MakeSparseFile(v.image, size);
    if (!e.IsError()) {
        imageMade = true;
        e = MakeFileSystem(fsType, v.image);
    }
    if (!e.IsError()) e = MakeDirectory(v.mountPoint, 0755);
    if (!e.IsError()) e = AttachAndMount(v.image, v.mountPoint, fsType, &v.device);
    if (!e.IsError() && fsType == "btrfs") e = BtrfsCreateSubvolume(v.mountPoint, "data");
    if (!e.IsError())
        e = cat.Transaction([&]() -> CFzError {
            CFzError r = cat.Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, ?, ?, ?)",
                                  {v.path, v.device, fsType, std::string("rw")});
            if (!r.IsError())
                r = cat.Exec("UPDATE sm_loop_volumes SET state = 'ready', device = ? WHERE name = ?",
                             {v.device, name});
            return r;
        });
    if (e.IsError()) {
        LoopVolume undo = v;
        if (!imageMade) undo.image.clear();  // an image of that name is not this create's
        CFzError u = TakeDown(undo);
        if (u.IsError()) e.Push(FZ_LOC, "and cannot take the half-made volume down: %s", u.AsString().c_str());
        ReleasePoolWhenEmpty();
        return e.Push(FZ_LOC, "cannot make volume [%s]", name.c_str());
    }
    if (out) *out = v;
    return CFzError::Success();
}

CFzError RemoveLoopVolume(std::string const& name) {
    JzNamedMutex lock(kLockName);
    if (!lock.lock()) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot take the lock of the loop volumes");
    VolumeRow row;
    bool found = false;
    CFzError e = GetVolumeRow(name, &row, &found);
    if (e.IsError()) return e;
    if (!found) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "no volume [%s]", name.c_str());
    std::vector<CatRow> snaps;
    e = Catalogue::Instance().Query("SELECT count(*) FROM sm_snapshots WHERE source_path = ? OR source_path LIKE ?",
                                    {row.volume.path, row.volume.path + "/%"}, &snaps);
    if (e.IsError()) return e;
    if (!snaps.empty() && AsInt(snaps[0][0]) > 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "volume [%s] still has %lld snapshots: delete them first",
                                       name.c_str(), static_cast<long long>(AsInt(snaps[0][0])));
    e = TakeDown(row.volume);
    if (e.IsError()) return e;
    ReleasePoolWhenEmpty();
    return CFzError::Success();
}

void SweepLeftovers(EvEvent* event) {
    SweepAbandonedMounts(event);
    SweepAbandonedCreates(event);
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT name, creator_pid FROM sm_loop_volumes WHERE state = 'creating'", {}, &rows)
            .IsError() ||
        rows.empty())
        return;
    JzNamedMutex lock(kLockName);
    if (!lock.lock(0)) return;  // a create runs: its rows are not left over
    for (auto const& r : rows) {
        pid_t pid = static_cast<pid_t>(AsInt(r[1]));
        if (pid == ::getpid() || JzProcess::IsAlive(pid)) continue;
        VolumeRow row;
        bool found = false;
        if (GetVolumeRow(AsText(r[0]), &row, &found).IsError() || !found || row.state != "creating") continue;
        CFzError e = TakeDown(row.volume);
        if (e.IsError())
            EvDebug::Error(event, kTag, "cannot take down volume [%s] of a killed create: %s",
                           row.volume.name.c_str(), e.AsString().c_str());
        else
            EvDebug::DebugLvl(event, 1, kTag, "took down volume [%s] of a create that died half way",
                              row.volume.name.c_str());
    }
    ReleasePoolWhenEmpty();
}

}  // namespace nuvsnapmgr
