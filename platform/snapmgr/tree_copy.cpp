#include "tree_copy.h"

#include "nuvdbsnap/platform/base/entry_attributes.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/placed_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <linux/openat2.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

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

// The status the base library's metadata calls take, from a statx.
struct stat ToStat(struct statx const& x) {
    struct stat st;
    std::memset(&st, 0, sizeof st);
    st.st_mode = x.stx_mode;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_atim = Ts(x.stx_atime);
    st.st_mtim = Ts(x.stx_mtime);
    return st;
}

enum class Reflink { Unknown, Works, Refused };

// Relative paths at least this long are opened one name at a time: a path
// below the roots may be longer than one path name can be (PATH_MAX).
constexpr size_t kWholePathLimit = 2048;

// The directory that holds `rel` below `root`, reached one name at a time
// without following links (a new descriptor; -1 and errno on failure), and
// the last name of `rel` in *leaf.
int ParentOf(int root, std::string const& rel, std::string* leaf) {
    size_t const slash = rel.rfind('/');
    *leaf = slash == std::string::npos ? rel : rel.substr(slash + 1);
    int fd = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    if (fd < 0 || slash == std::string::npos) return fd;
    for (size_t from = 0; from < slash;) {
        size_t const end = std::min(rel.find('/', from), slash);
        int const next = ::openat(fd, rel.substr(from, end - from).c_str(),
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int const err = errno;
        ::close(fd);
        if (next < 0) {
            errno = err;
            return -1;
        }
        fd = next;
        from = end + 1;
    }
    return fd;
}

// openat(root, rel, flags, mode), the last name not followed, for a `rel` of any length.
int OpenAt(int root, std::string const& rel, int flags, mode_t mode = 0) {
    if (rel.size() < kWholePathLimit) return ::openat(root, rel.c_str(), flags | O_NOFOLLOW, mode);
    std::string leaf;
    int const parent = ParentOf(root, rel, &leaf);
    if (parent < 0) return -1;
    int const fd = ::openat(parent, leaf.c_str(), flags | O_NOFOLLOW, mode);
    int const err = errno;
    ::close(parent);
    errno = err;
    return fd;
}

// linkat(root, from, root, to) for paths of any length.
int LinkAt(int root, std::string const& from, std::string const& to) {
    if (from.size() < kWholePathLimit && to.size() < kWholePathLimit)
        return ::linkat(root, from.c_str(), root, to.c_str(), 0);
    std::string fromLeaf, toLeaf;
    int const fromDir = ParentOf(root, from, &fromLeaf);
    if (fromDir < 0) return -1;
    int const toDir = ParentOf(root, to, &toLeaf);
    int rc = toDir < 0 ? -1 : ::linkat(fromDir, fromLeaf.c_str(), toDir, toLeaf.c_str(), 0);
    int const err = errno;
    ::close(fromDir);
    if (toDir >= 0) ::close(toDir);
    errno = err;
    return rc;
}

// Opens `rel` below `root` without following any symbolic link and without
// leaving the root's mount (a directory swapped for a link during the copy
// cannot lead the copy elsewhere). A path too long for one path name is
// opened one name at a time, none of them followed.
int OpenBeneath(int root, std::string const& rel, int flags) {
    if (rel.size() >= kWholePathLimit) return OpenAt(root, rel, flags);
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
    if (fd < 0 && errno == ENOSYS) return ::openat(root, rel.c_str(), flags | O_NOFOLLOW);
    return static_cast<int>(fd);
}

struct FileJob {
    std::string rel;  // relative to the roots
    struct statx st;
};

struct LinkJob {
    std::string rel;
    std::string target;  // relative path of the first copy of the same file
    struct statx st;
};

struct DirJob {
    std::string rel;  // "" for the root
    struct statx st;
};

unsigned WorkerCount(unsigned asked, size_t jobs) {
    unsigned n = asked;
    if (n == 0) {
        n = std::thread::hardware_concurrency();
        if (n == 0) n = 1;
        if (n > 8) n = 8;
    }
    if (jobs < n) n = static_cast<unsigned>(jobs == 0 ? 1 : jobs);
    return n;
}

// Copies one tree: the walk makes the directories and links and lists the
// files; the workers copy the files; then the hard links and the directories'
// metadata (deepest first, after their contents are complete).
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
        m_srcRoot = src.fd;
        m_dstRoot = dst.fd;
        CFzError e = CopyDirectory(src.fd, dst.fd, "");
        if (e.IsError()) return e;
        m_dirs.push_back(DirJob{"", st});
        if ((e = CopyFiles()).IsError()) return e;
        if ((e = MakeLinks()).IsError()) return e;
        for (auto const& d : m_dirs) {
            Fd fd(d.rel.empty() ? ::dup(dst.fd) : OpenAt(dst.fd, d.rel, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd.fd < 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open the copy of [%s]", Show(d.rel).c_str());
            Fd from(d.rel.empty() ? ::dup(src.fd) : OpenBeneath(src.fd, d.rel, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (from.fd < 0 && errno == EXDEV) {
                // Another mount's root, seen (not descended into) by the walk: its own attributes.
                std::string leaf;
                Fd parent(ParentOf(src.fd, d.rel, &leaf));
                if (parent.fd >= 0)
                    from.fd = ::openat(parent.fd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            if (from.fd < 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", Show(d.rel).c_str());
            if ((e = ApplyMetadata(from.fd, fd.fd, d.st, Show(d.rel), m_stats)).IsError()) return e;
            ++m_stats->directories;
        }
        return CFzError::Success();
    }

private:
    std::string Show(std::string const& rel) const { return rel.empty() ? m_req.source : m_req.source + "/" + rel; }

    CFzError CopyDirectory(int srcDir, int dstDir, std::string const& rel) {
        int listFd = ::openat(srcDir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listFd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", Show(rel).c_str());
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listFd));
        if (!dir) {
            int err = errno;
            ::close(listFd);
            return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot read [%s]", Show(rel).c_str());
        }
        for (;;) {
            errno = 0;
            struct dirent* ent = ::readdir(dir.get());
            if (!ent) {
                if (errno != 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]", Show(rel).c_str());
                break;
            }
            char const* name = ent->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            CFzError e = CopyEntry(srcDir, dstDir, name, rel.empty() ? std::string(name) : rel + "/" + name);
            if (e.IsError()) return e;
        }
        return CFzError::Success();
    }

    CFzError CopyEntry(int srcDir, int dstDir, char const* name, std::string const& rel) {
        struct statx st;
        if (StatAt(srcDir, name, &st) != 0) {
            if (errno == ENOENT) return Skip(rel, "vanished during the copy", m_stats);
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot stat [%s]", Show(rel).c_str());
        }
        mode_t type = st.stx_mode & S_IFMT;
        if (type == S_IFREG) return ListFile(rel, st);
        if (type == S_IFLNK) return CopySymlink(srcDir, dstDir, name, rel, st);
        if (type != S_IFDIR) return CopySpecial(srcDir, dstDir, name, rel, st);

        for (auto const& ex : m_excluded)
            if (ex == IdentityOf(st)) return Skip(rel, "excluded directory skipped", m_stats);
        if (::mkdirat(dstDir, name, 0700) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of [%s]", Show(rel).c_str());
        Fd dst(::openat(dstDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dst.fd < 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open the copy of [%s]", Show(rel).c_str());
        bool foreign = m_haveMountIds ? st.stx_mnt_id != m_rootMount : IdentityOf(st).dev != m_rootDev;
        if (foreign) {
            EvDebug::DebugLvl(m_req.event, 1, kTag, "not descending into [%s]: another mount", Show(rel).c_str());
            ++m_stats->skipped;
        } else {
            Fd src(::openat(srcDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (src.fd < 0) {
                if (errno == ENOENT) return Skip(rel, "vanished during the copy", m_stats);
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", Show(rel).c_str());
            }
            CFzError e = CopyDirectory(src.fd, dst.fd, rel);
            if (e.IsError()) return e;
        }
        m_dirs.push_back(DirJob{rel, st});
        return CFzError::Success();
    }

    // A file with several links is copied once; its other names become links of that copy.
    CFzError ListFile(std::string const& rel, struct statx const& st) {
        if (st.stx_nlink > 1) {
            Identity id = IdentityOf(st);
            auto seen = m_linked.find(std::make_pair(id.dev, id.ino));
            if (seen != m_linked.end()) {
                m_links.push_back(LinkJob{rel, seen->second, st});
                return CFzError::Success();
            }
            m_linked.emplace(std::make_pair(id.dev, id.ino), rel);
        }
        m_files.push_back(FileJob{rel, st});
        return CFzError::Success();
    }

    CFzError CopyFiles() {
        unsigned const n = WorkerCount(m_req.workers, m_files.size());
        std::vector<CopyStats> stats(n);
        std::vector<CFzError> errors(n);
        auto work = [&](unsigned w) {
            Worker worker(this, &stats[w]);
            for (;;) {
                if (m_stop.load()) return;
                size_t i = m_next.fetch_add(1);
                if (i >= m_files.size()) return;
                CFzError e = worker.Copy(m_files[i]);
                if (e.IsError()) {
                    errors[w] = e;
                    m_stop.store(true);
                    return;
                }
            }
        };
        if (n == 1) {
            work(0);
        } else {
            std::vector<std::thread> threads;
            for (unsigned w = 0; w < n; ++w) threads.emplace_back(work, w);
            for (auto& t : threads) t.join();
        }
        for (unsigned w = 0; w < n; ++w) {
            m_stats->files += stats[w].files;
            m_stats->skipped += stats[w].skipped;
            m_stats->cloned += stats[w].cloned;
            m_stats->fullCopies += stats[w].fullCopies;
            m_stats->bytes += stats[w].bytes;
            m_stats->ownersKept = m_stats->ownersKept && stats[w].ownersKept;
        }
        for (auto const& e : errors)
            if (e.IsError()) return e;
        return CFzError::Success();
    }

    CFzError MakeLinks() {
        for (auto const& link : m_links) {
            if (LinkAt(m_dstRoot, link.target, link.rel) == 0) {
                ++m_stats->hardLinks;
                continue;
            }
            if (errno != ENOENT && errno != EMLINK)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot link the copy of [%s]", Show(link.rel).c_str());
            // The first name vanished before its copy, or takes no more links:
            // this one is copied itself.
            Worker worker(this, m_stats);
            CFzError e = worker.Copy(FileJob{link.rel, link.st});
            if (e.IsError()) return e;
        }
        return CFzError::Success();
    }

    // The copy of one file, in one thread.
    struct Worker {
        Worker(Copier* copier, CopyStats* out) : c(copier), stats(out) {}
        Copier* c;
        CopyStats* stats;
        bool noAtime = true;
        nuvbase::FileDataCopier data;

        CFzError Copy(FileJob const& job) {
            std::string const what = c->Show(job.rel);
            int const flags = O_RDONLY | O_CLOEXEC;
            Fd src(OpenBeneath(c->m_srcRoot, job.rel, flags | (noAtime ? O_NOATIME : 0)));
            if (src.fd < 0 && errno == EPERM && noAtime) {
                noAtime = false;  // O_NOATIME needs ownership; read with atime updates instead
                src.fd = OpenBeneath(c->m_srcRoot, job.rel, flags);
            }
            if (src.fd < 0) {
                if (errno == ENOENT) return c->Skip(job.rel, "vanished during the copy", stats);
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", what.c_str());
            }
            Fd dst(OpenAt(c->m_dstRoot, job.rel, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (dst.fd < 0)
                return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of [%s]", what.c_str());

            bool cloned = false;
            if (c->m_reflink.load() != Reflink::Refused) {
                if (::ioctl(dst.fd, FICLONE, src.fd) == 0) {
                    cloned = true;
                    c->m_reflink.store(Reflink::Works);
                } else if (errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == ENOTTY) {
                    int const err = errno;
                    Reflink expected = Reflink::Unknown;
                    if (c->m_reflink.compare_exchange_strong(expected, Reflink::Refused))
                        EvDebug::DebugLvl(c->m_req.event, 2, kTag, "reflink not available for [%s] (%s): full copies",
                                          c->m_req.source.c_str(), std::strerror(err));
                } else {
                    return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot clone [%s]", what.c_str());
                }
            }
            if (!cloned) {
                // Only the data extents are copied: holes stay holes.
                CFzError e = data.Copy(src.fd, dst.fd, job.st.stx_size, what);
                if (e.IsError()) return e;
                ++stats->fullCopies;
            } else {
                ++stats->cloned;
            }
            stats->bytes += job.st.stx_size;
            ++stats->files;
            return c->ApplyMetadata(src.fd, dst.fd, job.st, what, stats);
        }

    };

    // A FIFO, socket or device node, made as mknod makes it, with all its
    // metadata; a further name of one made before becomes a link of it.
    CFzError CopySpecial(int srcDir, int dstDir, char const* name, std::string const& rel, struct statx const& st) {
        if (st.stx_nlink > 1) {
            Identity id = IdentityOf(st);
            auto seen = m_linked.find(std::make_pair(id.dev, id.ino));
            if (seen != m_linked.end()) {
                if (LinkAt(m_dstRoot, seen->second, rel) == 0) {
                    ++m_stats->hardLinks;
                    return CFzError::Success();
                }
                if (errno != EMLINK && errno != EPERM)
                    return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot link the copy of [%s]", Show(rel).c_str());
            } else {
                m_linked.emplace(std::make_pair(id.dev, id.ino), rel);
            }
        }
        struct stat const status = ToStat(st);
        std::string const what = Show(rel);
        CFzError e = nuvbase::MakeSpecialAt(dstDir, name, status, what);
        if (!e.IsError()) e = nuvbase::KeepMetadataAt(srcDir, name, dstDir, name, status, what);
        if (e.IsError()) return e;
        NoteOwnerOf(dstDir, name, st, what, m_stats);
        ++m_stats->specials;
        return CFzError::Success();
    }

    CFzError CopySymlink(int srcDir, int dstDir, char const* name, std::string const& rel, struct statx const& st) {
        std::string target(static_cast<size_t>(st.stx_size) + 1, '\0');
        ssize_t n = ::readlinkat(srcDir, name, &target[0], target.size());
        if (n < 0) {
            if (errno == ENOENT) return Skip(rel, "vanished during the copy", m_stats);
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read link [%s]", Show(rel).c_str());
        }
        if (static_cast<size_t>(n) >= target.size())
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EAGAIN, "link [%s] changed during the copy", Show(rel).c_str());
        target.resize(static_cast<size_t>(n));
        if (::symlinkat(target.c_str(), dstDir, name) != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot create the copy of link [%s]", Show(rel).c_str());
        // Owner, extended attributes and times of the link itself.
        std::string const what = Show(rel);
        CFzError e = nuvbase::KeepMetadataAt(srcDir, name, dstDir, name, ToStat(st), what);
        if (e.IsError()) return e;
        NoteOwnerOf(dstDir, name, st, what, m_stats);
        ++m_stats->symlinks;
        return CFzError::Success();
    }

    // Owner, extended attributes (ACLs among them), mode and times of the open
    // source `src` onto the open copy `fd`, in the order that keeps them all.
    CFzError ApplyMetadata(int src, int fd, struct statx const& st, std::string const& what, CopyStats* stats) {
        CFzError e = nuvbase::KeepMetadata(src, fd, ToStat(st), what);
        if (e.IsError()) return e;
        struct stat now;
        if (::fstat(fd, &now) == 0 && (now.st_uid != st.stx_uid || now.st_gid != st.stx_gid)) NoteOwner(what, stats);
        return CFzError::Success();
    }

    void NoteOwnerOf(int dir, char const* name, struct statx const& st, std::string const& what, CopyStats* stats) {
        struct stat now;
        if (::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && (now.st_uid != st.stx_uid || now.st_gid != st.stx_gid))
            NoteOwner(what, stats);
    }

    void NoteOwner(std::string const& what, CopyStats* stats) {
        if (!m_ownerNoted.exchange(true))
            EvDebug::DebugLvl(m_req.event, 1, kTag, "owners cannot be kept (not permitted) from [%s] on",
                              what.c_str());
        stats->ownersKept = false;
    }

    CFzError Skip(std::string const& rel, char const* why, CopyStats* stats) {
        EvDebug::DebugLvl(m_req.event, 1, kTag, "[%s]: %s", Show(rel).c_str(), why);
        ++stats->skipped;
        return CFzError::Success();
    }

    CopyRequest const& m_req;
    CopyStats* m_stats;
    std::vector<Identity> m_excluded;
    uint64_t m_rootMount = 0;
    uint64_t m_rootDev = 0;
    bool m_haveMountIds = false;
    int m_srcRoot = -1;
    int m_dstRoot = -1;
    std::vector<FileJob> m_files;
    std::vector<LinkJob> m_links;
    std::map<std::pair<uint64_t, uint64_t>, std::string> m_linked;  // (dev, ino) -> first name
    std::vector<DirJob> m_dirs;  // children before their parents
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_stop{false};
    std::atomic<Reflink> m_reflink{Reflink::Unknown};
    std::atomic<bool> m_ownerNoted{false};
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
