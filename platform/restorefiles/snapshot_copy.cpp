// Restoring files out of a mounted snapshot, shared by the restore-files
// client and the file-restore program.
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/base/tree_claim.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include "nuvdbsnap/platform/base/entry_attributes.h"

#include <cerrno>
#include <deque>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace nuvrestorefiles {
namespace {

CFzError Fail(int err, std::string const& what, std::string const& path) {
    return FXErrorUtil::ErrorErrNo(FXCodeLocation(__FILE__, "nuvrestorefiles::CopyOut", __LINE__), err,
                                   "%s [%s]: %s", what.c_str(), path.c_str(), std::strerror(err));
}

CFzError Refused(std::string const& to, std::string const& state) {
    return Fail(EPERM, "a restore does not write into the suite's own state [" + state + "]: refused", to);
}

// A descriptor closed with its last holder.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() {
        int const fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};
using SharedFd = std::shared_ptr<Fd>;

// The components of a path with "." dropped and ".." taken back ("/.." is "/").
std::vector<std::string> Lexical(std::string const& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string const part = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return parts;
}

std::string Joined(std::vector<std::string> const& parts, size_t count) {
    std::string out;
    for (size_t i = 0; i < count && i < parts.size(); ++i) out += "/" + parts[i];
    return out.empty() ? "/" : out;
}

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsComponentPrefix(std::string const& prefix, std::string const& path);

// The volume whose source path holds `path` (the longest); null for none.
MountedVolume const* VolumeHolding(std::vector<MountedVolume> const& volumes, std::string const& path) {
    MountedVolume const* best = nullptr;
    size_t bestSize = 0;
    for (MountedVolume const& v : volumes) {
        std::string const src = Trimmed(v.sourcePath);
        if (IsComponentPrefix(src, path) && (best == nullptr || src.size() > bestSize)) {
            best = &v;
            bestSize = src.size();
        }
    }
    return best;
}

}  // namespace

// One batch of copies.
struct CopySession::State {
    std::vector<MountedVolume> found;  // volumes the finder gave
    VolumeFinder finder;
    std::vector<std::string> jobVolumes;                 // source paths of every volume of the job
    std::vector<MountedVolume> const* volumes = nullptr;  // those of the copy under way
    struct First {
        SharedFd dir;      // destination directory of the first name
        std::string name;  // the first name there
        dev_t dev = 0;     // the restored file
        ino_t ino = 0;
    };
    std::map<std::pair<dev_t, ino_t>, First> linked;  // source file -> its first restored name
    size_t linkDirs = 0;                              // directories `linked` holds open
    nuvbase::FileDataCopier data;
    std::string parent;  // the last destination directory reached, its descriptor, real path
    SharedFd parentFd;
    std::string parentReal;
    bool rootChecked = false;
    std::string root;  // the state root, resolved
    // Directories made above entries, with what they take at the end. The
    // last kMadeHeld keep their parent open; the older ones are found again
    // by the parent's real path and the made directory's identity.
    struct Made {
        SharedFd dir;  // the directory that holds it (null: let go)
        std::string name;
        std::string shown;
        struct stat st;       // the snapshot's directory
        std::string parent;   // the real path of `dir`
        dev_t dev = 0;        // the made directory
        ino_t ino = 0;
    };
    std::deque<Made> made;
    size_t madeOpenFrom = 0;  // made[i] for i below it let `dir` go
    std::vector<std::string> finishFailures;
    // The snapshot directory of the last source resolved, by its path as
    // asked, and where it lies in the snapshots.
    std::string sourceParent;
    std::shared_ptr<Fd> sourceParentFd;
    std::string sourceParentShown;
    std::string sourceParentLogical;
    // Whether the last destination directory gives new entries ACLs (a default ACL).
    int aclDirFd = -1;
    bool aclDirInherits = true;
    nuvbase::NewFileOwner aclDirOwner;  // what a file made there gets
    std::string holder = "a restore";  // named to a restore refused by a claim
    std::unique_ptr<nuvbase::TreeClaim> claim;  // every tree the batch writes, one claim file
};

namespace {

using State = CopySession::State;
constexpr size_t kMadeHeld = 512;     // made directories that keep their parent open
constexpr size_t kLinkDirsHeld = 256;  // directories held open for hard links

// The source side: an entry of a snapshot, reached by descriptor.
struct SourceEntry {
    SharedFd dir;      // its directory (path-only)
    std::string name;  // its name there ("." for a volume's root)
    std::string shown;  // its path under the mount, for messages
    std::string logical;  // its path on the volumes, links on the way resolved
};

// True when `f` holds for the source path of a volume the batch knows of:
// the copy's, those found on the way and every volume of the job.
template <class F>
bool AnyVolume(State const& s, F const& f) {
    if (s.volumes != nullptr)
        for (MountedVolume const& v : *s.volumes)
            if (f(v.sourcePath)) return true;
    for (MountedVolume const& v : s.found)
        if (f(v.sourcePath)) return true;
    for (std::string const& v : s.jobVolumes)
        if (f(v)) return true;
    return false;
}

// True when a volume of the job is mounted at `path` (a mount point below
// another volume's: its entries are that volume's). Asked for every file:
// nothing is copied.
bool VolumeAt(State const& s, std::string const& path) {
    return AnyVolume(s, [&](std::string const& v) {
        size_t n = v.size();
        while (n > 1 && v[n - 1] == '/') --n;
        return n == path.size() && v.compare(0, n, path) == 0;
    });
}

// True when a volume of the job is mounted somewhere below `path`.
bool VolumeBelow(State const& s, std::string const& path) {
    return AnyVolume(s, [&](std::string const& v) {
        std::string const t = Trimmed(v);
        return t != path && IsComponentPrefix(path, t);
    });
}

// Resolves `source` within the snapshots: every component but the last is
// walked by descriptor from the mount of the volume that holds it; a link on
// the way is resolved on the snapshots, never on the live system.
CFzError ResolveWalk(std::vector<MountedVolume> const& volumes, State& s, std::string const& source,
                     SourceEntry* out);

CFzError Resolve(std::vector<MountedVolume> const& volumes, State& s, std::string const& source, SourceEntry* out) {
    // The files of one directory come one after another: its descriptor is kept.
    size_t const slash = source.rfind('/');
    if (slash != std::string::npos && slash > 0 && s.sourceParentFd && source.compare(0, slash, s.sourceParent) == 0 &&
        s.sourceParent.size() == slash) {
        std::string const name = source.substr(slash + 1);
        std::string const logical = nuvsuite::JoinPath(s.sourceParentLogical, name);
        if (!name.empty() && name != "." && name != ".." && !VolumeAt(s, logical)) {
            *out = SourceEntry{s.sourceParentFd, name, nuvsuite::JoinPath(s.sourceParentShown, name), logical};
            return CFzError::Success();
        }
    }
    CFzError e = ResolveWalk(volumes, s, source, out);
    if (e.IsError() || out->name == "." || slash == std::string::npos || slash == 0) return e;
    std::string const name = source.substr(slash + 1);
    // Kept only where the last component was taken as it is (no link, no "..").
    if (name == out->name && name != "." && name != ".." &&
        out->shown.size() > name.size() + 1) {
        s.sourceParent = source.substr(0, slash);
        s.sourceParentFd = out->dir;
        s.sourceParentShown = out->shown.substr(0, out->shown.size() - name.size() - 1);
        s.sourceParentLogical = out->logical.substr(0, out->logical.rfind('/'));
        if (s.sourceParentLogical.empty()) s.sourceParentLogical = "/";
    }
    return e;
}

CFzError ResolveWalk(std::vector<MountedVolume> const& volumes, State& s, std::string const& source,
                     SourceEntry* out) {
    if (source.empty() || source[0] != '/') return Fail(EINVAL, "not an absolute path", source);
    std::vector<std::string> parts = Lexical(source);
    std::string via;  // the last link followed, for messages
    for (int hops = 0; hops <= 40; ++hops) {
        std::string const logical = Joined(parts, parts.size());
        MountedVolume const* v = VolumeHolding(volumes, logical);
        MountedVolume const* f = VolumeHolding(s.found, logical);
        if (f != nullptr && (v == nullptr || Trimmed(f->sourcePath).size() > Trimmed(v->sourcePath).size())) v = f;
        // A volume of the job mounted inside the one found holds the path:
        // its own snapshot gives it.
        bool inner = false;
        for (std::string const& j : s.jobVolumes)
            inner = inner || (IsComponentPrefix(Trimmed(j), logical) &&
                              (v == nullptr || Trimmed(j).size() > Trimmed(v->sourcePath).size()));
        if ((v == nullptr || inner) && s.finder) {
            MountedVolume more;
            if (s.finder(logical, &more) && !more.mountPath.empty()) {
                s.found.push_back(more);
                v = VolumeHolding(s.found, logical);
            }
        }
        if (v == nullptr) {
            if (via.empty()) return Fail(ENOENT, "no snapshot of the job holds", source);
            return Fail(EXDEV, "the link [" + via + "] of the snapshot leads to [" + logical +
                                   "], which no snapshot of the job holds: not restored", source);
        }
        size_t const top = Lexical(v->sourcePath).size();
        SharedFd dir = std::make_shared<Fd>(::open(v->mountPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (dir->get() < 0) return Fail(errno, "cannot open the snapshot's mount", v->mountPath);
        std::string shown = v->mountPath;
        if (parts.size() == top) {
            *out = SourceEntry{dir, ".", shown, logical};
            return CFzError::Success();
        }
        bool restarted = false;
        for (size_t i = top; i + 1 < parts.size(); ++i) {
            struct stat st;
            std::string const at = nuvsuite::JoinPath(shown, parts[i]);
            if (::fstatat(dir->get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Fail(errno, "no such directory in the snapshot", at);
            if (S_ISLNK(st.st_mode)) {
                std::string target;
                if (!nuvbase::ReadLinkAt(dir->get(), parts[i], &target))
                    return Fail(errno, "cannot read the link of the snapshot", at);
                via = Joined(parts, i + 1);
                std::string const rest = Joined(std::vector<std::string>(parts.begin() + static_cast<long>(i) + 1,
                                                                         parts.end()),
                                                parts.size() - i - 1);
                std::string const base = !target.empty() && target[0] == '/' ? target : Joined(parts, i) + "/" + target;
                parts = Lexical(base + rest);
                restarted = true;
                break;
            }
            if (!S_ISDIR(st.st_mode)) return Fail(ENOTDIR, "not a directory in the snapshot", at);
            int const next = ::openat(dir->get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) return Fail(errno, "cannot open the snapshot's directory", at);
            dir = std::make_shared<Fd>(next);
            shown = at;
        }
        if (restarted) continue;
        *out = SourceEntry{dir, parts.back(), nuvsuite::JoinPath(shown, parts.back()), logical};
        return CFzError::Success();
    }
    return Fail(ELOOP, "too many links in the snapshot on the way to", source);
}

// The status of a source entry, not followed.
CFzError StatOf(SourceEntry const& e, struct stat* st) {
    if (::fstatat(e.dir->get(), e.name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(errno, "no such entry in the snapshot", e.shown);
    return CFzError::Success();
}

// Collects the failures of entries below a directory: the copy goes on.
struct Failures {
    std::vector<std::string> texts;
    void add(CFzError const& e) { texts.push_back(e.AsString()); }
};

CFzError CopyEntry(int srcDir, std::string const& srcName, std::string const& srcShown, std::string const& srcLogical,
                   struct stat const& st, int dstDir, std::string const& dir, std::string const& dirReal,
                   std::string const& name, State& s, CopyCounts* counts, Failures& failures);

int OpenSource(int srcDir, std::string const& name, int flags) {
    int fd = ::openat(srcDir, name.c_str(), flags | O_NOATIME | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EPERM) fd = ::openat(srcDir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    return fd;
}

// Another name of an inode restored before in this batch (a file, link,
// FIFO, socket or device node, as `cp -a` keeps them): a hard link of it.
// False when there is none, it changed since, or the destination cannot link
// it here (another file system, too many links, no hard links): then a copy.
bool LinkToFirst(State& s, struct stat const& st, int dirFd, std::string const& dir, std::string const& name,
                 CFzError* result) {
    if (st.st_nlink < 2 || S_ISDIR(st.st_mode)) return false;
    auto found = s.linked.find({st.st_dev, st.st_ino});
    if (found == s.linked.end()) return false;
    State::First const& first = found->second;
    struct stat now;
    if (::fstatat(first.dir->get(), first.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        (now.st_mode & S_IFMT) != (st.st_mode & S_IFMT) || now.st_dev != first.dev || now.st_ino != first.ino)
        return false;
    CFzError e = nuvbase::PlaceHardLinkAt(dirFd, dir, name, first.dir->get(), first.name);
    if (e.IsError()) {
        int const err = errno;
        if (err == EXDEV || err == EMLINK || err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) return false;
        *result = e;
        return true;
    }
    *result = CFzError::Success();
    return true;
}

void NoteFirst(State& s, struct stat const& st, int dirFd, std::string const& name) {
    if (st.st_nlink < 2 || S_ISDIR(st.st_mode)) return;
    struct stat made;
    if (::fstatat(dirFd, name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0) return;
    // The directory's descriptor is shared by the first names in it.
    SharedFd dir;
    for (auto const& l : s.linked) {
        struct stat held;
        if (l.second.dir && ::fstat(l.second.dir->get(), &held) == 0) {
            struct stat here;
            if (::fstat(dirFd, &here) == 0 && here.st_dev == held.st_dev && here.st_ino == held.st_ino) {
                dir = l.second.dir;
                break;
            }
        }
    }
    if (!dir) {
        if (s.linkDirs >= kLinkDirsHeld) return;
        int const fd = ::openat(dirFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        dir = std::make_shared<Fd>(fd);
        ++s.linkDirs;
    }
    s.linked[{st.st_dev, st.st_ino}] = State::First{dir, name, made.st_dev, made.st_ino};
}

// True when new entries of the directory may inherit ACLs (it has a default
// ACL, or that cannot be told); looked at once per directory.
bool Inherits(State& s, int dirFd) {
    // The directory whose entries are being made stays open meanwhile: its
    // descriptor names it.
    if (dirFd == s.aclDirFd) return s.aclDirInherits;
    s.aclDirFd = dirFd;
    std::string const self = "/proc/self/fd/" + std::to_string(dirFd);
    ssize_t const n = ::getxattr(self.c_str(), "system.posix_acl_default", nullptr, 0);
    s.aclDirInherits = n >= 0 || (errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP);
    s.aclDirOwner = s.aclDirInherits ? nuvbase::NewFileOwner() : nuvbase::NewFilesOf(dirFd);
    return s.aclDirInherits;
}

// True when a file made in the directory last looked at by Inherits with the
// permission bits of `st` has its owner, group and mode from the start.
bool MadeAsItIs(State const& s, struct stat const& st) {
    return !s.aclDirInherits && nuvbase::MadeAsOwnFile(s.aclDirOwner, st);
}

// A regular file's owner, extended attributes, mode and times, as
// nuvbase::KeepMetadata gives them, without the calls that change nothing: a
// file without attributes in a directory without a default ACL has none to
// copy or remove, and a file made with its owner, group and mode (`asItIs`)
// takes its times only.
CFzError KeepFileMetadata(int in, int out, struct stat const& st, bool inherits, bool asItIs, std::string const& to) {
    if (inherits) return nuvbase::KeepMetadata(in, out, st, to);
    ssize_t const listed = ::flistxattr(in, nullptr, 0);
    if (listed != 0) return nuvbase::KeepMetadata(in, out, st, to);
    if (!asItIs && ::fchown(out, st.st_uid, st.st_gid) != 0 && errno != EPERM)
        return Fail(errno, "Cannot set the owner of", to);
    if (!asItIs && ::fchmod(out, st.st_mode & 07777) != 0) return Fail(errno, "Cannot set the mode of", to);
    struct timespec const times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out, times) != 0) return Fail(errno, "Cannot set the times of", to);
    return CFzError::Success();
}

CFzError CopyRegular(int srcDir, std::string const& srcName, std::string const& srcShown, struct stat const& st,
                     int dstDir, std::string const& dir, std::string const& name, State& s, CopyCounts* counts) {
    CFzError linked;
    if (LinkToFirst(s, st, dstDir, dir, name, &linked)) {
        if (linked.IsError()) return linked;
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    int const in = OpenSource(srcDir, srcName, O_RDONLY);
    if (in < 0) return Fail(errno, "cannot open the snapshot's file", srcShown);
    std::string const to = nuvsuite::JoinPath(dir, name);
    bool const inherits = Inherits(s, dstDir);
    // A file the restoring user owns is made with its mode; any other is
    // made private to that user until its owner and mode are set.
    bool const asItIs = MadeAsItIs(s, st);
    CFzError e = nuvbase::PlaceFileAt(dstDir, dir, name, asItIs ? (st.st_mode & 0777) : 0600, [&](int out) {
        CFzError c = s.data.Copy(in, out, st, to);
        if (c.IsError()) return c;
        c = KeepFileMetadata(in, out, st, inherits, asItIs, to);
        if (!c.IsError()) HoldWhereFaulted("restorefiles", "written " + to);  // a test's hold: the file not yet in place
        return c;
    });
    ::close(in);
    if (e.IsError()) return e;
    NoteFirst(s, st, dstDir, name);
    if (counts) {
        counts->files += 1;
        counts->bytes += static_cast<uint64_t>(st.st_size);
    }
    return CFzError::Success();
}

// A symbolic link; with `s`, another name of a link restored before in the
// batch is linked to it.
CFzError CopyLink(int srcDir, std::string const& srcName, std::string const& srcShown, struct stat const& st,
                  int dstDir, std::string const& dir, std::string const& name, State* s, CopyCounts* counts) {
    CFzError linked;
    if (s != nullptr && LinkToFirst(*s, st, dstDir, dir, name, &linked)) {
        if (linked.IsError()) return linked;
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    std::string target;
    if (!nuvbase::ReadLinkAt(srcDir, srcName, &target)) return Fail(errno, "cannot read the link", srcShown);
    std::string const to = nuvsuite::JoinPath(dir, name);
    CFzError e = nuvbase::PlaceAt(
        dstDir, dir, name, [&](std::string const& temp) { return ::symlinkat(target.c_str(), dstDir, temp.c_str()); },
        [&](std::string const& temp) { return nuvbase::KeepMetadataAt(srcDir, srcName, dstDir, temp, st, to); });
    if (e.IsError()) return e;
    if (s != nullptr) NoteFirst(*s, st, dstDir, name);
    if (counts) counts->files += 1;
    return CFzError::Success();
}

CFzError CopySpecial(int srcDir, std::string const& srcName, struct stat const& st, int dstDir,
                     std::string const& dir, std::string const& name, State& s, CopyCounts* counts) {
    CFzError linked;
    if (LinkToFirst(s, st, dstDir, dir, name, &linked)) {
        if (linked.IsError()) return linked;
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    std::string const to = nuvsuite::JoinPath(dir, name);
    CFzError made;
    CFzError e = nuvbase::PlaceAt(
        dstDir, dir, name,
        [&](std::string const& temp) {
            made = nuvbase::MakeSpecialAt(dstDir, temp, st, to);
            return made.IsError() ? -1 : 0;
        },
        [&](std::string const& temp) { return nuvbase::KeepMetadataAt(srcDir, srcName, dstDir, temp, st, to); });
    if (made.IsError()) return made;
    if (e.IsError()) return e;
    NoteFirst(s, st, dstDir, name);
    if (counts) counts->files += 1;
    return CFzError::Success();
}

// The real path of an open directory; `guess` when it cannot be told.
std::string RealOf(int fd, std::string const& guess) {
    std::string real;
    if (nuvbase::ReadLinkAt(-1, "/proc/self/fd/" + std::to_string(fd), &real) && !real.empty() && real[0] == '/')
        return real;
    return guess;
}

bool Related(std::string const& a, std::string const& b) { return IsComponentPrefix(a, b) || IsComponentPrefix(b, a); }

CFzError CopyDirectory(int srcDir, std::string const& srcName, std::string const& srcShown,
                       std::string const& srcLogical, struct stat const& st, int dstDir, std::string const& dir,
                       std::string const& dirReal, std::string const& name, State& s, CopyCounts* counts,
                       Failures& failures) {
    std::string const to = nuvsuite::JoinPath(dir, name);
    struct stat old {};
    bool made = false;
    int sub = -1;
    if (::fstatat(dstDir, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return Fail(errno, "cannot look at", to);
        if (::mkdirat(dstDir, name.c_str(), 0700) != 0 && errno != EEXIST)
            return Fail(errno, "cannot make the directory", to);
        made = true;
    } else if (S_ISLNK(old.st_mode)) {
        // A link there is entered only as the destination's walk allows it.
        std::string why;
        int const through = nuvbase::OpenDirectoryGuardedAt(dstDir, dir, name, false, 0, &why);
        if (through < 0) return Fail(errno, "a link stands where the snapshot has a directory (" + why + ")", to);
        sub = ::openat(through, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(through);
        if (sub < 0) return Fail(errno, "cannot enter the directory", to);
    } else if (!S_ISDIR(old.st_mode)) {
        return Fail(ENOTDIR, "an entry that is no directory stands where the snapshot has a directory", to);
    }
    if (sub < 0) sub = ::openat(dstDir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) return Fail(errno, "cannot enter the directory", to);
    Fd subFd(sub);
    std::string const subReal = S_ISLNK(old.st_mode) ? RealOf(sub, nuvsuite::JoinPath(dirReal, name)) : nuvsuite::JoinPath(dirReal, name);
    bool const nearState = !s.root.empty() && Related(subReal, s.root);
    if (nearState) {
        std::string const refused = nuvsuite::SuiteStateIn(subReal, s.root);
        if (!refused.empty()) return Refused(to, refused);
    }
    if (!made) (void)nuvbase::ClearStaleReplacements(sub);
    int const list = OpenSource(srcDir, srcName, O_RDONLY | O_DIRECTORY);
    if (list < 0) return Fail(errno, "cannot open the snapshot's directory", srcShown);
    Fd listFd(list);
    DIR* d = ::fdopendir(::dup(list));
    if (d == nullptr) return Fail(errno, "cannot read the snapshot's directory", srcShown);
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
    // A volume of the job mounted below: its mount point's entries are its own.
    bool const nested = VolumeBelow(s, srcLogical);
    for (std::string const& n : names) {
        std::string childShown = nuvsuite::JoinPath(srcShown, n);
        std::string const childLogical = nuvsuite::JoinPath(srcLogical, n);
        struct stat cst;
        if (::fstatat(list, n.c_str(), &cst, AT_SYMLINK_NOFOLLOW) != 0) {
            failures.add(Fail(errno, "no such entry in the snapshot", childShown));
            continue;
        }
        SourceEntry inner;
        if (nested && S_ISDIR(cst.st_mode) && VolumeAt(s, childLogical)) {
            static std::vector<MountedVolume> const none;
            CFzError r = Resolve(s.volumes != nullptr ? *s.volumes : none, s, childLogical, &inner);
            if (!r.IsError()) r = StatOf(inner, &cst);
            if (r.IsError()) {
                failures.add(r);
                continue;
            }
            childShown = inner.shown;
        }
        if (nearState) {
            std::string const refused = nuvsuite::SuiteStateIn(nuvsuite::JoinPath(subReal, n), s.root);
            if (!refused.empty()) {
                failures.add(Refused(nuvsuite::JoinPath(to, n), refused));
                continue;
            }
        }
        CFzError e = inner.dir ? CopyEntry(inner.dir->get(), inner.name, childShown, childLogical, cst, sub, to, subReal,
                                           n, s, counts, failures)
                               : CopyEntry(list, n, childShown, childLogical, cst, sub, to, subReal, n, s, counts,
                                           failures);
        if (e.IsError()) failures.add(e);
        if (S_ISDIR(cst.st_mode)) s.aclDirFd = -1;  // a descriptor below was closed
    }
    s.aclDirFd = -1;
    return nuvbase::KeepMetadata(list, sub, st, to);
}

CFzError CopyEntry(int srcDir, std::string const& srcName, std::string const& srcShown, std::string const& srcLogical,
                   struct stat const& st, int dstDir, std::string const& dir, std::string const& dirReal,
                   std::string const& name, State& s, CopyCounts* counts, Failures& failures) {
    switch (st.st_mode & S_IFMT) {
        case S_IFREG: return CopyRegular(srcDir, srcName, srcShown, st, dstDir, dir, name, s, counts);
        case S_IFLNK: return CopyLink(srcDir, srcName, srcShown, st, dstDir, dir, name, &s, counts);
        case S_IFDIR:
            return CopyDirectory(srcDir, srcName, srcShown, srcLogical, st, dstDir, dir, dirReal, name, s, counts,
                                 failures);
        case S_IFIFO:
        case S_IFSOCK:
        case S_IFCHR:
        case S_IFBLK: return CopySpecial(srcDir, srcName, st, dstDir, dir, name, s, counts);
        default: return Fail(EINVAL, "an entry of unknown kind", srcShown);
    }
}

// Gives a made directory what the snapshot's directory has: owner, extended
// attributes and mode now, its times when the batch ends.
CFzError TakeFromSnapshot(State& s, SharedFd const& parent, std::string const& shown, std::string const& name,
                          SourceEntry const& from) {
    struct stat st;
    CFzError e = StatOf(from, &st);
    if (e.IsError()) return e;
    if (!S_ISDIR(st.st_mode)) return CFzError::Success();
    e = nuvbase::KeepMetadataAt(from.dir->get(), from.name, parent->get(), name, st, nuvsuite::JoinPath(shown, name));
    if (e.IsError()) return e;
    struct stat made;
    if (::fstatat(parent->get(), name.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(errno, "cannot look at", nuvsuite::JoinPath(shown, name));
    s.made.push_back(State::Made{parent, name, nuvsuite::JoinPath(shown, name), st, shown, made.st_dev, made.st_ino});
    // Its times wait for the end of the batch, whatever comes below it; the
    // oldest let their parent's descriptor go.
    while (s.made.size() - s.madeOpenFrom > kMadeHeld) s.made[s.madeOpenFrom++].dir.reset();
    return CFzError::Success();
}

// True when the snapshot holds the link `path` as it stands (target, owner).
bool SnapshotHoldsLink(std::vector<MountedVolume> const& volumes, State& s, std::string const& path,
                       struct stat const& link, std::string const& target) {
    SourceEntry e;
    if (Resolve(volumes, s, path, &e).IsError()) return false;
    struct stat st;
    if (StatOf(e, &st).IsError() || !S_ISLNK(st.st_mode)) return false;
    std::string held;
    return nuvbase::ReadLinkAt(e.dir->get(), e.name, &held) && held == target && st.st_uid == link.st_uid &&
           st.st_gid == link.st_gid;
}

// Reaches the destination directory `parent` component by component from
// "/"; a link on the way is followed only as the class comment says. Missing
// directories are made and take the snapshot's: in place the snapshot's entry
// at the same path (a link there is laid out as a link), else the source's
// ancestor as many levels above the source as the directory lies above `to`.
CFzError ReachParent(std::vector<MountedVolume> const& volumes, State& s, std::string const& source,
                     std::string const& to, std::string const& parent) {
    std::vector<std::string> const srcParts = Lexical(source);
    std::vector<std::string> const parts = Lexical(parent);
    bool const inPlace = srcParts == Lexical(to);
    std::deque<std::string> left(parts.begin(), parts.end());
    std::vector<std::string> walked;  // the real path so far
    SharedFd dir = std::make_shared<Fd>(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir->get() < 0) return Fail(errno, "cannot open", "/");
    bool crossed = false;  // a link was followed: levels no longer pair
    size_t consumed = 0;   // components of `parent` walked
    int hops = 0;
    while (!left.empty()) {
        std::string const name = left.front();
        left.pop_front();
        bool const own = !crossed;
        if (own) ++consumed;
        if (name == "." || name.empty()) continue;
        std::string const shown = Joined(walked, walked.size());
        std::string const at = nuvsuite::JoinPath(shown, name);
        if (name == "..") {
            int const up = ::openat(dir->get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (up < 0) return Fail(errno, "cannot open", at);
            dir = std::make_shared<Fd>(up);
            if (!walked.empty()) walked.pop_back();
            continue;
        }
        struct stat st;
        if (::fstatat(dir->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return Fail(errno, "cannot reach the destination directory", at);
            std::string counterpart;
            if (inPlace)
                counterpart = at;
            else if (own && srcParts.size() > parts.size() - consumed + 1)
                counterpart = Joined(srcParts, srcParts.size() - (parts.size() - consumed + 1));
            SourceEntry from;
            struct stat was {};
            bool const known = !counterpart.empty() && !Resolve(volumes, s, counterpart, &from).IsError() &&
                               !StatOf(from, &was).IsError();
            if (known && inPlace && S_ISLNK(was.st_mode)) {
                // Laid out as the snapshot holds it, then followed below.
                CFzError e = CopyLink(from.dir->get(), from.name, from.shown, was, dir->get(), shown, name, nullptr,
                                      nullptr);
                if (e.IsError()) return e;
                nuvbase::NoteLaidOutLink(dir->get(), name);
                left.push_front(name);
                if (own) --consumed;
                continue;
            }
            if (::mkdirat(dir->get(), name.c_str(), 0700) != 0 && errno != EEXIST)
                return Fail(errno, "cannot make the directory", at);
            if (known && S_ISDIR(was.st_mode)) {
                CFzError e = TakeFromSnapshot(s, dir, shown, name, from);
                if (e.IsError()) return e;
            }
            if (::fstatat(dir->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Fail(errno, "cannot reach the destination directory", at);
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (!nuvbase::ReadLinkAt(dir->get(), name, &target)) return Fail(errno, "cannot read the link", at);
            bool const may = nuvbase::MayFollowLink(st) || (inPlace && SnapshotHoldsLink(volumes, s, at, st, target));
            if (!may)
                return Fail(ELOOP, "a link neither owned by root nor laid out by the restore is not followed", at);
            if (++hops > 40) return Fail(ELOOP, "too many links", at);
            if (!target.empty() && target[0] == '/') {
                int const root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (root < 0) return Fail(errno, "cannot open", "/");
                dir = std::make_shared<Fd>(root);
                walked.clear();
            }
            std::vector<std::string> more;
            size_t pos = 0;
            while (pos <= target.size()) {
                size_t slash = target.find('/', pos);
                if (slash == std::string::npos) slash = target.size();
                if (slash > pos) more.push_back(target.substr(pos, slash - pos));
                pos = slash + 1;
            }
            left.insert(left.begin(), more.begin(), more.end());
            crossed = true;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return Fail(ENOTDIR, "not a directory", at);
        int const next = ::openat(dir->get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return Fail(errno, "cannot open", at);
        dir = std::make_shared<Fd>(next);
        walked.push_back(name);
    }
    // What killed writers left beside the entries of this directory.
    (void)nuvbase::ClearStaleReplacements(dir->get());
    s.parentFd = dir;
    s.parent = parent;
    s.parentReal = RealOf(dir->get(), Joined(walked, walked.size()));
    return CFzError::Success();
}

bool IsComponentPrefix(std::string const& prefix, std::string const& path) {
    if (prefix == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, prefix.size(), prefix) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

// Removes the first and the last double quote of a side (the last only when there was a first).
std::string Unquote(std::string text) {
    size_t first = text.find('"');
    if (first == std::string::npos) return text;
    text.erase(first, 1);
    size_t last = text.rfind('"');
    if (last != std::string::npos) text.erase(last, 1);
    return text;
}

std::mutex& CountsMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

std::vector<MountedVolume> MountedVolumes(SMVolSnapInfo const& record) {
    std::vector<MountedVolume> out;
    for (auto const& v : record.volumes())
        if (!v.getMountPath().empty()) out.push_back({v.getSourcePath(), v.getMountPath()});
    return out;
}

std::string PathInSnapshot(std::vector<MountedVolume> const& volumes, std::string const& source) {
    MountedVolume const* best = nullptr;
    for (MountedVolume const& v : volumes) {
        std::string src = v.sourcePath;
        while (src.size() > 1 && src.back() == '/') src.pop_back();
        if (IsComponentPrefix(src, source) && (best == nullptr || src.size() > best->sourcePath.size())) best = &v;
    }
    if (best == nullptr) return "";
    std::string src = best->sourcePath;
    while (src.size() > 1 && src.back() == '/') src.pop_back();
    std::string rest = src == "/" ? source.substr(1) : source.substr(src.size());
    if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    return rest.empty() ? best->mountPath : best->mountPath + "/" + rest;
}

bool OnAVolume(std::vector<MountedVolume> const& volumes, std::string const& source) {
    for (MountedVolume const& v : volumes) {
        size_t end = v.sourcePath.size();
        while (end > 1 && v.sourcePath[end - 1] == '/') --end;
        bool const holds = end == 1 && v.sourcePath[0] == '/'
                               ? !source.empty() && source[0] == '/'
                               : source.compare(0, end, v.sourcePath, 0, end) == 0 &&
                                     (source.size() == end || source[end] == '/');
        if (holds) return true;
    }
    return false;
}

std::string StripComponents(std::string const& path, int level) {
    // The components the path names, "." dropped and ".." taken back as the
    // snapshot is read: what is left never climbs out of the directory it is
    // put under.
    std::vector<std::string> const parts = Lexical(path);
    if (parts.empty()) return "";
    size_t skip = level < 0 ? 0 : static_cast<size_t>(level);
    if (skip >= parts.size()) skip = parts.size() - 1;
    std::string out;
    for (size_t i = skip; i < parts.size(); ++i) out += (out.empty() ? "" : "/") + parts[i];
    return out;
}

std::string EntryDestination(std::string const& source, std::string const& dest) {
    if (dest.empty()) return source;
    if (dest.back() != '/') return dest;
    std::string dir = dest;
    while (!dir.empty() && dir.back() == '/') dir.pop_back();
    size_t const slash = source.rfind('/');
    return dir + "/" + (slash == std::string::npos ? source : source.substr(slash + 1));
}

CopySession::CopySession() : m_state(new State) {}

CopySession::~CopySession() { (void)finish(); }

void CopySession::setVolumeFinder(VolumeFinder finder) { m_state->finder = std::move(finder); }

void CopySession::setHolder(std::string const& holder) { m_state->holder = holder; }

void CopySession::setJobVolumes(std::vector<std::string> sourcePaths) { m_state->jobVolumes = std::move(sourcePaths); }

CFzError CopySession::finish() {
    State& s = *m_state;
    std::vector<std::string> failures;
    failures.swap(s.finishFailures);
    // The deepest last: a directory's times are set after those below it.
    SharedFd parent;  // the parent opened again last, and its path
    std::string parentPath;
    while (!s.made.empty()) {
        State::Made const& m = s.made.back();
        SharedFd dir = m.dir;
        if (!dir && parentPath == m.parent && parent) dir = parent;
        if (!dir) {
            // Walked again as the copy walks; the directory must be the one made.
            std::string why;
            int const fd = nuvbase::OpenDirectoryGuarded(m.parent, false, 0, &why);
            if (fd < 0) {
                failures.push_back("cannot reach [" + m.shown + "] to set its times: " + why);
                s.made.pop_back();
                continue;
            }
            parent = dir = std::make_shared<Fd>(fd);
            parentPath = m.parent;
        }
        struct stat now;
        if (::fstatat(dir->get(), m.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != m.dev ||
            now.st_ino != m.ino) {
            failures.push_back("[" + m.shown + "] is no longer the directory the restore made: its times are not set");
        } else {
            CFzError e = nuvbase::KeepTimesAt(dir->get(), m.name, m.st, m.shown);
            if (e.IsError()) failures.push_back(e.AsString());
        }
        s.made.pop_back();
    }
    s.madeOpenFrom = 0;
    s.parentFd.reset();
    s.parent.clear();
    s.claim.reset();
    if (failures.empty()) return CFzError::Success();
    std::string text;
    for (auto const& f : failures) text += (text.empty() ? "" : "; ") + f;
    return Fail(EIO, text, "directories made by the restore");
}

CFzError CopyOut(std::vector<MountedVolume> const& volumes, std::string const& source, std::string const& to,
                 CopyCounts* counts, CopySession* session) {
    CopySession local;
    State& s = session != nullptr ? session->state() : local.state();
    s.volumes = &volumes;
    size_t const last = to.rfind('/');
    if (to.empty() || to[0] != '/' || last + 1 >= to.size())
        return Fail(EINVAL, "not an absolute path of a file", to);
    std::string const parent = last == 0 ? "/" : to.substr(0, last);
    std::string const name = to.substr(last + 1);
    if (name == "." || name == "..") return Fail(EINVAL, "not a name of a file", to);
    SourceEntry from;
    CFzError e = Resolve(volumes, s, source, &from);
    if (e.IsError()) return e;
    struct stat st;
    e = StatOf(from, &st);
    if (e.IsError()) return e;
    if (!s.rootChecked) {
        s.root = nuvsuite::ResolvedStateRoot();
        s.rootChecked = true;
    }
    // The destination's directories are walked from the top without following
    // a link the restore may not follow. The suite's own state is refused
    // before anything is made.
    if (!s.parentFd || s.parent != parent) {
        s.parentFd.reset();
        s.parent.clear();
        s.aclDirFd = -1;
        std::string const refused = nuvsuite::SuiteStateHolding(parent);
        if (!refused.empty()) return Refused(to, refused);
        e = ReachParent(volumes, s, source, to, parent);
        if (e.IsError()) return e;
    }
    std::string const refused = nuvsuite::SuiteStateIn(nuvsuite::JoinPath(s.parentReal, name), s.root);
    if (!refused.empty()) return Refused(to, refused);
    // The tree this entry writes is claimed for the batch, in the batch's one
    // claim: a directory itself, a file its directory.
    std::string const tree = S_ISDIR(st.st_mode) ? nuvsuite::JoinPath(s.parentReal, name) : s.parentReal;
    if (!s.claim) s.claim.reset(new nuvbase::TreeClaim);
    std::string why;
    if (!s.claim->take(tree, s.holder, &why)) return Fail(EBUSY, why, to);
    Failures failures;
    e = CopyEntry(from.dir->get(), from.name, from.shown, from.logical, st, s.parentFd->get(), parent, s.parentReal,
                  name, s, counts, failures);
    if (!e.IsError() && failures.texts.empty()) {
        if (session == nullptr) return local.finish();
        return CFzError::Success();
    }
    if (e.IsError()) failures.add(e);
    std::string text = std::to_string(failures.texts.size()) + " entr" + (failures.texts.size() == 1 ? "y" : "ies") +
                       " not restored";
    for (auto const& f : failures.texts) text += "; " + f;
    if (session == nullptr) (void)local.finish();
    return FXErrorUtil::ErrorErrNo(FXCodeLocation(__FILE__, "nuvrestorefiles::CopyOut", __LINE__), EIO, "%s [%s]: %s",
                                   "not everything was restored", to.c_str(), text.c_str());
}

int ReadRedirectMap(std::string const& path, std::map<std::string, std::string>& map) {
    std::ifstream in(path);
    if (!in) return -1;
    std::string line;
    while (std::getline(in, line)) {
        std::string source, dest;
        size_t quoted = line.size() >= 2 && line[0] == '"' ? line.find("\",\"") : std::string::npos;
        if (quoted != std::string::npos) {
            source = line.substr(1, quoted - 1);
            dest = line.substr(quoted + 3);
            if (!dest.empty() && dest.back() == '"') dest.pop_back();
        } else {
            size_t comma = line.find(',');
            if (comma == std::string::npos || comma + 1 >= line.size()) continue;
            source = Unquote(line.substr(0, comma));
            dest = Unquote(line.substr(comma + 1));
        }
        map[source] = dest;
    }
    return 0;
}

std::string CountsFilePath(uint64_t jobId, int brannoxId) {
    return JobResultsDirectory(jobId, brannoxId) + "/PartialRestore.txt";
}

namespace {

// Holds the job's counts lock in this process and across processes.
class CountsLock {
public:
    explicit CountsLock(uint64_t jobId)
        : m_guard(CountsMutex()), m_named("rstcounts_" + std::to_string(jobId)) {
        m_locked = m_named.lock() != 0;
    }
    bool locked() const { return m_locked; }

private:
    std::lock_guard<std::mutex> m_guard;
    JzNamedMutex m_named;
    bool m_locked = false;
};

bool ReadCounts(std::string const& path, long long& bytes, long long& compBytes, int& files) {
    bytes = compBytes = 0;
    files = 0;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    if (std::fscanf(f, "%lld %lld %d", &bytes, &compBytes, &files) < 3) { /* the rest stays 0 */ }
    std::fclose(f);
    return true;
}

}  // namespace

int AddToCountsFile(uint64_t jobId, int brannoxId, long long bytes, long long compBytes, int files) {
    CountsLock lock(jobId);
    if (!lock.locked()) return -1;
    std::string dir;
    if (MakeJobResultsDirectory(jobId, &dir, brannoxId).IsError()) return -1;
    std::string const path = CountsFilePath(jobId, brannoxId);
    long long b = 0, c = 0;
    int n = 0;
    (void)ReadCounts(path, b, c, n);
    std::string text = std::to_string(b + bytes) + " " + std::to_string(c + compBytes) + " " +
                       std::to_string(n + files) + "\n";
    return FXFile::WriteWhole(path, text, 0600).IsError() ? -1 : 0;
}

int TakeCountsFile(uint64_t jobId, int brannoxId, long long& bytes, long long& compBytes, int& files) {
    CountsLock lock(jobId);
    if (!lock.locked()) return -1;
    std::string const path = CountsFilePath(jobId, brannoxId);
    if (!ReadCounts(path, bytes, compBytes, files)) return errno == ENOENT ? 1 : -1;
    return unlink(path.c_str()) == 0 ? 0 : -1;
}

}  // namespace nuvrestorefiles
