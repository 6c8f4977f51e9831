// What a copy of an entry keeps beside its data (see entry_attributes.h).
#include "nuvdbsnap/platform/base/entry_attributes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace nuvbase {
namespace {

char const kAclAccess[] = "system.posix_acl_access";
char const kAclDefault[] = "system.posix_acl_default";

CFzError Failed(FXCodeLocation const& loc, int err, char const* what, std::string const& path) {
    CFzError e = FXErrorUtil::ErrorErrNo(loc, err, "%s [%s]: %s", what, path.c_str(), std::strerror(err));
    errno = err;
    return e;
}

bool IsAcl(std::string const& name) { return name == kAclAccess || name == kAclDefault; }

// An attribute the destination may refuse for its name space without the copy failing.
bool Passable(std::string const& name, int err) {
    if (IsAcl(name)) return false;
    return err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EACCES;
}

// The attribute calls on one side: a descriptor, or a path not followed.
struct Side {
    int fd = -1;
    std::string path;

    ssize_t List(char* buf, size_t size) const {
        return fd >= 0 ? ::flistxattr(fd, buf, size) : ::llistxattr(path.c_str(), buf, size);
    }
    ssize_t Get(char const* name, void* buf, size_t size) const {
        return fd >= 0 ? ::fgetxattr(fd, name, buf, size) : ::lgetxattr(path.c_str(), name, buf, size);
    }
    int Set(char const* name, void const* value, size_t size) const {
        return fd >= 0 ? ::fsetxattr(fd, name, value, size, 0) : ::lsetxattr(path.c_str(), name, value, size, 0);
    }
    int Remove(char const* name) const {
        return fd >= 0 ? ::fremovexattr(fd, name) : ::lremovexattr(path.c_str(), name);
    }
};

// The names of a side's attributes; false with errno when they cannot be listed.
bool Names(Side const& side, std::vector<std::string>* names) {
    names->clear();
    std::vector<char> buf;
    for (int tries = 0; tries < 8; ++tries) {
        ssize_t const want = side.List(nullptr, 0);
        if (want < 0) {
            if (errno == ENOTSUP || errno == EOPNOTSUPP) return true;  // none where none can be
            return false;
        }
        if (want == 0) return true;
        buf.resize(static_cast<size_t>(want));
        ssize_t const n = side.List(buf.data(), buf.size());
        if (n < 0 && errno == ERANGE) continue;  // grew meanwhile
        if (n < 0) return false;
        for (size_t pos = 0; pos < static_cast<size_t>(n);) {
            std::string name(&buf[pos]);
            pos += name.size() + 1;
            if (!name.empty()) names->push_back(name);
        }
        return true;
    }
    errno = ERANGE;
    return false;
}

bool Value(Side const& side, std::string const& name, std::vector<char>* value) {
    for (int tries = 0; tries < 8; ++tries) {
        ssize_t const want = side.Get(name.c_str(), nullptr, 0);
        if (want < 0) return false;
        value->resize(static_cast<size_t>(want));
        if (want == 0) return true;
        ssize_t const n = side.Get(name.c_str(), value->data(), value->size());
        if (n < 0 && errno == ERANGE) continue;
        if (n < 0) return false;
        value->resize(static_cast<size_t>(n));
        return true;
    }
    errno = ERANGE;
    return false;
}

CFzError CopyBetween(Side const& src, Side const& dst, std::string const& what) {
    std::vector<std::string> names;
    if (!Names(src, &names)) return Failed(FZ_LOC, errno, "Cannot list the extended attributes of the source of", what);
    bool access = false, dflt = false;
    std::vector<char> value;
    for (std::string const& name : names) {
        if (!Value(src, name, &value)) {
            if (errno == ENODATA) continue;  // gone meanwhile
            return Failed(FZ_LOC, errno, ("Cannot read the extended attribute " + name + " of the source of").c_str(),
                          what);
        }
        if (dst.Set(name.c_str(), value.data(), value.size()) != 0) {
            int const err = errno;
            if (Passable(name, err)) continue;
            return Failed(FZ_LOC, err, ("Cannot set the extended attribute " + name + " of").c_str(), what);
        }
        access = access || name == kAclAccess;
        dflt = dflt || name == kAclDefault;
    }
    // ACLs the destination inherited and the source does not have.
    for (char const* acl : {kAclAccess, kAclDefault}) {
        if ((acl == kAclAccess && access) || (acl == kAclDefault && dflt)) continue;
        if (dst.Remove(acl) != 0 && errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP &&
            errno != EINVAL)
            return Failed(FZ_LOC, errno, (std::string("Cannot remove the inherited ") + acl + " of").c_str(), what);
    }
    return CFzError::Success();
}

std::string ProcPath(int dirFd, std::string const& name) {
    return "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
}

}  // namespace

CFzError CopyExtendedAttributes(int src, int dst, std::string const& what) {
    Side s, d;
    s.fd = src;
    d.fd = dst;
    return CopyBetween(s, d, what);
}

CFzError CopyExtendedAttributesAt(int srcDir, std::string const& srcName, int dstDir, std::string const& dstName,
                                  std::string const& what) {
    Side s, d;
    s.path = ProcPath(srcDir, srcName);
    d.path = ProcPath(dstDir, dstName);
    return CopyBetween(s, d, what);
}

CFzError MakeSpecialAt(int dirFd, std::string const& name, struct stat const& st, std::string const& what) {
    mode_t const kind = st.st_mode & S_IFMT;
    if (kind != S_IFIFO && kind != S_IFSOCK && kind != S_IFCHR && kind != S_IFBLK)
        return Failed(FZ_LOC, EINVAL, "Not a FIFO, socket or device", what);
    if (::mknodat(dirFd, name.c_str(), kind | (st.st_mode & 07777), st.st_rdev) != 0)
        return Failed(FZ_LOC, errno, "Cannot make", what);
    return CFzError::Success();
}

CFzError KeepMetadata(int src, int dst, struct stat const& st, std::string const& what) {
    if (::fchown(dst, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return Failed(FZ_LOC, errno, "Cannot set the owner of", what);
    CFzError e = CopyExtendedAttributes(src, dst, what);
    if (e.IsError()) return e;
    if (::fchmod(dst, st.st_mode & 07777) != 0) return Failed(FZ_LOC, errno, "Cannot set the mode of", what);
    struct timespec const times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(dst, times) != 0) return Failed(FZ_LOC, errno, "Cannot set the times of", what);
    return CFzError::Success();
}

CFzError KeepMetadataAt(int srcDir, std::string const& srcName, int dstDir, std::string const& dstName,
                        struct stat const& st, std::string const& what) {
    if (::fchownat(dstDir, dstName.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW) != 0 && errno != EPERM)
        return Failed(FZ_LOC, errno, "Cannot set the owner of", what);
    CFzError e = CopyExtendedAttributesAt(srcDir, srcName, dstDir, dstName, what);
    if (e.IsError()) return e;
    if (!S_ISLNK(st.st_mode)) {
        // By a descriptor of the entry itself, so that nothing put in its place is followed.
        int const fd = ::openat(dstDir, dstName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return Failed(FZ_LOC, errno, "Cannot open", what);
        std::string const self = "/proc/self/fd/" + std::to_string(fd);
        int const rc = ::chmod(self.c_str(), st.st_mode & 07777);
        int const err = errno;
        ::close(fd);
        if (rc != 0) return Failed(FZ_LOC, err, "Cannot set the mode of", what);
    }
    return KeepTimesAt(dstDir, dstName, st, what);
}

int ProcessUmask() {
    int const fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t const n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    size_t const at = text.find("\nUmask:");
    if (at == std::string::npos) return -1;
    char* end = nullptr;
    long const mask = std::strtol(text.c_str() + at + 7, &end, 8);
    if (end == text.c_str() + at + 7 || mask < 0 || mask > 0777) return -1;
    return static_cast<int>(mask);
}

NewFileOwner NewFilesOf(int dirFd) {
    NewFileOwner owner;
    int const mask = ProcessUmask();
    struct stat dir;
    if (mask < 0 || ::fstat(dirFd, &dir) != 0 || !S_ISDIR(dir.st_mode)) return owner;
    owner.uid = ::geteuid();
    owner.gid = (dir.st_mode & S_ISGID) != 0 ? dir.st_gid : ::getegid();
    owner.umask = static_cast<mode_t>(mask);
    owner.known = true;
    return owner;
}

bool MadeAsOwnFile(NewFileOwner const& owner, struct stat const& st) {
    return owner.known && (st.st_mode & 07000) == 0 && (st.st_mode & owner.umask & 0777) == 0 &&
           st.st_uid == owner.uid && st.st_gid == owner.gid;
}

CFzError KeepTimesAt(int dirFd, std::string const& name, struct stat const& st, std::string const& what) {
    struct timespec const times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(dirFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return Failed(FZ_LOC, errno, "Cannot set the times of", what);
    return CFzError::Success();
}

}  // namespace nuvbase
