#include "mount_ops.h"

#include "sm_paths.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace nuvsnapmgr {
namespace {

CFzError MakeDirectories(std::string const& path, std::vector<std::string>* created) {
    std::string p = NormalisePath(path);
    std::vector<std::string> chain;  // every ancestor below "/", outermost first, then the path
    for (size_t i = p.find('/', 1); i != std::string::npos; i = p.find('/', i + 1)) chain.push_back(p.substr(0, i));
    if (p != "/") chain.push_back(p);
    for (auto const& dir : chain) {
        if (::mkdir(dir.c_str(), 0755) == 0) {
            created->push_back(dir);
            continue;
        }
        if (errno != EEXIST) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create [%s]", dir.c_str());
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOTDIR, "[%s] is not a directory", dir.c_str());
    }
    return CFzError::Success();
}

void RemoveCreated(std::vector<std::string>* created) {
    for (auto it = created->rbegin(); it != created->rend(); ++it) ::rmdir(it->c_str());
    created->clear();
}

}  // namespace

CFzError BindMountReadOnly(std::string const& source, std::string const& target, std::vector<std::string>* created) {
    std::vector<std::string> made;
    CFzError e = MakeDirectories(target, &made);
    if (e.IsError()) {
        RemoveCreated(&made);
        return e;
    }
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        int err = errno;
        RemoveCreated(&made);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "bind mount of [%s] on [%s] failed", source.c_str(), target.c_str());
    }
    if (::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        int err = errno;
        ::umount2(target.c_str(), 0);
        RemoveCreated(&made);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "read-only remount of [%s] failed", target.c_str());
    }
    struct statvfs vfs;
    if (::statvfs(target.c_str(), &vfs) != 0 || !(vfs.f_flag & ST_RDONLY)) {
        ::umount2(target.c_str(), 0);
        RemoveCreated(&made);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EROFS, "mount on [%s] did not become read-only", target.c_str());
    }
    *created = made;
    return CFzError::Success();
}

CFzError UnmountPath(std::string const& target) {
    if (::umount2(target.c_str(), UMOUNT_NOFOLLOW) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "unmount of [%s] failed", target.c_str());
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
