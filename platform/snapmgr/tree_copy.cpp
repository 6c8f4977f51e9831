#include "tree_copy.h"

#include "nuvdbsnap/platform/base/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace nuvsnapmgr {
namespace {

constexpr char const* kTag = "nuvsnapmgr::CopyTree";

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

struct Identity {
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(Identity const& o) const { return dev == o.dev && ino == o.ino; }
};

Identity IdentityOf(struct statx const& s) {
    return Identity{(static_cast<uint64_t>(s.stx_dev_major) << 32) | s.stx_dev_minor, s.stx_ino};
}

int StatAt(int dirfd, char const* name, struct statx* out) {
    return ::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                   STATX_BASIC_STATS | STATX_MNT_ID, out);
}

struct timespec Ts(struct statx_timestamp const& t) {
    struct timespec ts;
    ts.tv_sec = t.tv_sec;
    ts.tv_nsec = t.tv_nsec;
    return ts;
}

enum class Reflink { Unknown, Works, Refused };

class Copier {
public:
    Copier(CopyRequest const& req, CopyStats* stats) : m_req(req), m_stats(stats) {}

    CFzError Run() {
        Fd src(::open(m_req.source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (src.fd < 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open source [%s]", m_req.source.c_str());
        struct statx st;
        if (::statx(src.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &st) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat source [%s]", m_req.source.c_str());
        m_rootMount = st.stx_mnt_id;
        m_haveMountIds = (st.stx_mask & STATX_MNT_ID) != 0;
        m_rootDev = IdentityOf(st).dev;
        for (auto const& ex : m_req.excluded) {
            struct statx xs;
            if (::statx(AT_FDCWD, ex.c_str(), 0, STATX_BASIC_STATS, &xs) == 0) m_excluded.push_back(IdentityOf(xs));
        }
        if (::mkdir(m_req.destination.c_str(), 0700) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create [%s]", m_req.destination.c_str());
        Fd dst(::open(m_req.destination.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dst.fd < 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", m_req.destination.c_str());
        m_path = m_req.source;
        CFzError e = CopyDirectory(src.fd, dst.fd);
        if (e.IsError()) return e;
        ++m_stats->directories;
        return ApplyMetadata(dst.fd, st, m_req.destination.c_str());
    }

private:
    CFzError CopyDirectory(int srcDir, int dstDir) {
        int listFd = ::openat(srcDir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listFd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", m_path.c_str());
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listFd));
        if (!dir) {
            int err = errno;
            ::close(listFd);
            return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot read [%s]", m_path.c_str());
        }
        for (;;) {
            errno = 0;
            struct dirent* ent = ::readdir(dir.get());
            if (!ent) {
                if (errno != 0)
                    return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", m_path.c_str());
                break;
            }
            char const* name = ent->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            size_t mark = m_path.size();
            m_path += "/";
            m_path += name;
            CFzError e = CopyEntry(srcDir, dstDir, name);
            m_path.resize(mark);
            if (e.IsError()) return e;
        }
        return CFzError::Success();
    }

    CFzError CopyEntry(int srcDir, int dstDir, char const* name) {
        struct statx st;
        if (StatAt(srcDir, name, &st) != 0) {
            if (errno == ENOENT) return Skip("vanished during the copy");
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat [%s]", m_path.c_str());
        }
        mode_t type = st.stx_mode & S_IFMT;
        if (type == S_IFREG) return CopyFile(srcDir, dstDir, name, st);
        if (type == S_IFLNK) return CopySymlink(srcDir, dstDir, name, st);
        if (type != S_IFDIR) return Skip("special file skipped");

        for (auto const& ex : m_excluded)
            if (ex == IdentityOf(st)) return Skip("excluded directory skipped");
        if (::mkdirat(dstDir, name, 0700) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of [%s]", m_path.c_str());
        Fd dst(::openat(dstDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dst.fd < 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open the copy of [%s]", m_path.c_str());
        bool foreign = m_haveMountIds ? st.stx_mnt_id != m_rootMount : IdentityOf(st).dev != m_rootDev;
        if (foreign) {
            EvDebug::DebugLvl(m_req.event, 1, kTag, "not descending into [%s]: another mount", m_path.c_str());
            ++m_stats->skipped;
        } else {
            Fd src(::openat(srcDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (src.fd < 0) {
                if (errno == ENOENT) return Skip("vanished during the copy");
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", m_path.c_str());
            }
            CFzError e = CopyDirectory(src.fd, dst.fd);
            if (e.IsError()) return e;
        }
        ++m_stats->directories;
        return ApplyMetadata(dst.fd, st, m_path.c_str());
    }

    CFzError CopyFile(int srcDir, int dstDir, char const* name, struct statx const& st) {
        Fd src(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (m_noAtime ? O_NOATIME : 0)));
        if (src.fd < 0 && errno == EPERM && m_noAtime) {
            m_noAtime = false;  // O_NOATIME needs ownership; read with atime updates instead
            src.fd = ::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (src.fd < 0) {
            if (errno == ENOENT) return Skip("vanished during the copy");
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", m_path.c_str());
        }
        Fd dst(::openat(dstDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (dst.fd < 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of [%s]", m_path.c_str());

        bool cloned = false;
        if (m_reflink != Reflink::Refused) {
            if (::ioctl(dst.fd, FICLONE, src.fd) == 0) {
                cloned = true;
                m_reflink = Reflink::Works;
            } else if (errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == ENOTTY) {
                if (m_reflink == Reflink::Unknown) {
                    m_reflink = Reflink::Refused;
                    EvDebug::DebugLvl(m_req.event, 2, kTag, "reflink not available for [%s] (%s): full copies",
                                      m_req.source.c_str(), std::strerror(errno));
                }
            } else {
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot clone [%s]", m_path.c_str());
            }
        }
        if (!cloned) {
            CFzError e = FullCopy(src.fd, dst.fd);
            if (e.IsError()) return e;
            ++m_stats->fullCopies;
        } else {
            ++m_stats->cloned;
        }
        m_stats->bytes += st.stx_size;
        ++m_stats->files;
        return ApplyMetadata(dst.fd, st, m_path.c_str());
    }

    CFzError FullCopy(int src, int dst) {
        bool useRange = true;
        for (;;) {
            if (useRange) {
                ssize_t n = ::copy_file_range(src, nullptr, dst, nullptr, 1 << 30, 0);
                if (n > 0) continue;
                if (n == 0) return CFzError::Success();
                if (errno == EINTR) continue;
                if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                    return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot copy [%s]", m_path.c_str());
                useRange = false;
            }
            if (!m_buffer) m_buffer.reset(new char[kBuffer]);
            ssize_t n = ::read(src, m_buffer.get(), kBuffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", m_path.c_str());
            if (n == 0) return CFzError::Success();
            for (ssize_t off = 0; off < n;) {
                ssize_t w = ::write(dst, m_buffer.get() + off, static_cast<size_t>(n - off));
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot write the copy of [%s]", m_path.c_str());
                off += w;
            }
        }
    }

    CFzError CopySymlink(int srcDir, int dstDir, char const* name, struct statx const& st) {
        std::string target(static_cast<size_t>(st.stx_size) + 1, '\0');
        ssize_t n = ::readlinkat(srcDir, name, &target[0], target.size());
        if (n < 0) {
            if (errno == ENOENT) return Skip("vanished during the copy");
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read link [%s]", m_path.c_str());
        }
        if (static_cast<size_t>(n) >= target.size())
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EAGAIN, "link [%s] changed during the copy", m_path.c_str());
        target.resize(static_cast<size_t>(n));
        if (::symlinkat(target.c_str(), dstDir, name) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of link [%s]", m_path.c_str());
        if (::fchownat(dstDir, name, st.stx_uid, st.stx_gid, AT_SYMLINK_NOFOLLOW) != 0) NoteOwner(errno);
        struct timespec times[2] = {Ts(st.stx_atime), Ts(st.stx_mtime)};
        if (::utimensat(dstDir, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot set the times of link [%s]", m_path.c_str());
        ++m_stats->symlinks;
        return CFzError::Success();
    }

    // Owner first (chown clears set-id bits), then mode, then times.
    CFzError ApplyMetadata(int fd, struct statx const& st, char const* what) {
        if (::fchown(fd, st.stx_uid, st.stx_gid) != 0) NoteOwner(errno);
        if (::fchmod(fd, st.stx_mode & 07777) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot set the mode of the copy of [%s]", what);
        struct timespec times[2] = {Ts(st.stx_atime), Ts(st.stx_mtime)};
        if (::futimens(fd, times) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot set the times of the copy of [%s]", what);
        return CFzError::Success();
    }

    void NoteOwner(int err) {
        if (err != EPERM) return;
        if (m_stats->ownersKept)
            EvDebug::DebugLvl(m_req.event, 1, kTag, "owners cannot be kept (not permitted) from [%s] on",
                              m_path.c_str());
        m_stats->ownersKept = false;
    }

    CFzError Skip(char const* why) {
        EvDebug::DebugLvl(m_req.event, 1, kTag, "[%s]: %s", m_path.c_str(), why);
        ++m_stats->skipped;
        return CFzError::Success();
    }

    static constexpr size_t kBuffer = 1 << 20;
    CopyRequest const& m_req;
    CopyStats* m_stats;
    std::vector<Identity> m_excluded;
    uint64_t m_rootMount = 0;
    uint64_t m_rootDev = 0;
    bool m_haveMountIds = false;
    bool m_noAtime = true;
    Reflink m_reflink = Reflink::Unknown;
    std::string m_path;
    std::unique_ptr<char[]> m_buffer;
};

CFzError RemoveContents(int dirFd, std::string& path, uint64_t rootMount, bool haveMountIds) {
    int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", path.c_str());
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listFd));
    if (!dir) {
        int err = errno;
        ::close(listFd);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot read [%s]", path.c_str());
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent* ent = ::readdir(dir.get());
        if (!ent) {
            if (errno != 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", path.c_str());
            break;
        }
        if (std::strcmp(ent->d_name, ".") && std::strcmp(ent->d_name, "..")) names.push_back(ent->d_name);
    }
    for (auto const& name : names) {
        struct statx st;
        if (StatAt(dirFd, name.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat [%s/%s]", path.c_str(), name.c_str());
        }
        if ((st.stx_mode & S_IFMT) == S_IFDIR) {
            if (haveMountIds && st.stx_mnt_id != rootMount)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "[%s/%s] is another mount: not removed",
                                               path.c_str(), name.c_str());
            ::fchmodat(dirFd, name.c_str(), 0700, 0);  // entries of a read-only copy must be removable
            Fd sub(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.fd < 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s/%s]", path.c_str(), name.c_str());
            size_t mark = path.size();
            path += "/" + name;
            CFzError e = RemoveContents(sub.fd, path, rootMount, haveMountIds);
            path.resize(mark);
            if (e.IsError()) return e;
            if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s/%s]", path.c_str(), name.c_str());
        } else if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s/%s]", path.c_str(), name.c_str());
        }
    }
    return CFzError::Success();
}

}  // namespace

CFzError CopyTree(CopyRequest const& request, CopyStats* stats) {
    CopyStats local;
    Copier copier(request, stats ? stats : &local);
    return copier.Run();
}

CFzError RemoveTree(std::string const& path) {
    struct statx st;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID, &st) != 0) {
        if (errno == ENOENT) return CFzError::Success();
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat [%s]", path.c_str());
    }
    if ((st.stx_mode & S_IFMT) != S_IFDIR) {
        if (::unlink(path.c_str()) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s]", path.c_str());
        return CFzError::Success();
    }
    // The directory itself must not be a mount point: whatever is mounted there
    // (maybe a directory from anywhere, bound in) is not part of the tree.
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    size_t const slash = parent.find_last_of('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    struct statx up;
    if (::statx(AT_FDCWD, parent.c_str(), 0, STATX_BASIC_STATS | STATX_MNT_ID, &up) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat [%s]", parent.c_str());
    bool const mountIds = (st.stx_mask & STATX_MNT_ID) != 0 && (up.stx_mask & STATX_MNT_ID) != 0;
    if (mountIds ? st.stx_mnt_id != up.stx_mnt_id : IdentityOf(st).dev != IdentityOf(up).dev)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "[%s] is a mount point: not removed", path.c_str());
    ::chmod(path.c_str(), 0700);
    Fd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", path.c_str());
    std::string walk = path;
    CFzError e = RemoveContents(dir.fd, walk, st.stx_mnt_id, (st.stx_mask & STATX_MNT_ID) != 0);
    if (e.IsError()) return e;
    if (::rmdir(path.c_str()) != 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot remove [%s]", path.c_str());
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
