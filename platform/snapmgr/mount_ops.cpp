#include "mount_ops.h"

#include "sm_paths.h"


#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace nuvsnapmgr {
namespace {

// Every ancestor of `path` below "/", outermost first, then the path.
std::vector<std::string> Chain(std::string const& path) {
    std::string const p = NormalisePath(path);
    std::vector<std::string> chain;
    for (size_t i = p.find('/', 1); i != std::string::npos; i = p.find('/', i + 1)) chain.push_back(p.substr(0, i));
    if (p != "/") chain.push_back(p);
    return chain;
}

// The clone of `source`, read-only before it is attached at `target`. ENOSYS
// (in *err) when the kernel lacks the calls; the mount is then not made.
bool AttachReadOnlyClone(std::string const& source, std::string const& target, int* err) {
    int const tree = static_cast<int>(
        ::syscall(SYS_open_tree, AT_FDCWD, source.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC));
    if (tree < 0) {
        *err = errno;
        return false;
    }
    struct mount_attr attr {};
    attr.attr_set = MOUNT_ATTR_RDONLY;
    bool done = ::syscall(SYS_mount_setattr, tree, "", AT_EMPTY_PATH, &attr, sizeof attr) == 0 &&
                ::syscall(SYS_move_mount, tree, "", AT_FDCWD, target.c_str(), MOVE_MOUNT_F_EMPTY_PATH) == 0;
    *err = done ? 0 : errno;
    ::close(tree);  // a clone never attached goes with its descriptor
    return done;
}

// The old way, for kernels without the calls above: a bind, then a remount
// read-only (writable in between).
bool BindThenRemount(std::string const& source, std::string const& target, int* err) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *err = errno;
        return false;
    }
    if (::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        *err = errno;
        ::umount2(target.c_str(), UMOUNT_NOFOLLOW);
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> MissingDirectories(std::string const& target) {
    std::vector<std::string> missing;
    for (auto const& dir : Chain(target)) {
        struct stat st;
        if (!missing.empty() || ::lstat(dir.c_str(), &st) != 0) missing.push_back(dir);
    }
    return missing;
}

CFzError MakeMountDirectories(std::string const& target, std::vector<std::string>* created) {
    std::vector<std::string> made;
    for (auto const& dir : Chain(target)) {
        if (::mkdir(dir.c_str(), 0755) == 0) {
            made.push_back(dir);
            continue;
        }
        int const err = errno;
        struct stat st;
        if (err != EEXIST || ::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            RemoveMountDirectories(&made);
            if (err != EEXIST) return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot create [%s]", dir.c_str());
            return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTDIR, "[%s] is not a directory", dir.c_str());
        }
    }
    *created = made;
    return CFzError::Success();
}

void RemoveMountDirectories(std::vector<std::string>* created) {
    for (auto it = created->rbegin(); it != created->rend(); ++it) ::rmdir(it->c_str());
    created->clear();
}

CFzError BindMountReadOnly(std::string const& source, std::string const& target) {
    int err = 0;
    if (!AttachReadOnlyClone(source, target, &err)) {
        if (err != ENOSYS)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "read-only bind mount of [%s] on [%s] failed", source.c_str(),
                                           target.c_str());
        if (!BindThenRemount(source, target, &err))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "bind mount of [%s] on [%s] failed", source.c_str(),
                                           target.c_str());
    }
    struct statvfs vfs;
    if (::statvfs(target.c_str(), &vfs) != 0 || !(vfs.f_flag & ST_RDONLY)) {
        ::umount2(target.c_str(), UMOUNT_NOFOLLOW);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EROFS, "mount on [%s] did not become read-only", target.c_str());
    }
    return CFzError::Success();
}

CFzError UnmountPath(std::string const& target) {
    if (::umount2(target.c_str(), UMOUNT_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "unmount of [%s] failed", target.c_str());
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
