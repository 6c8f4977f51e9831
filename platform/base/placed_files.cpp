// Files put in place in a directory that others may reach (see placed_files.h).
#include "nuvdbsnap/platform/base/placed_files.h"

#include "nuvdbsnap/platform/base/process.h"

#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <unistd.h>
#include <utility>
#include <vector>

namespace nuvbase {
namespace {

CFzError Failed(FXCodeLocation const& loc, int err, char const* what, std::string const& path) {
    CFzError e = FXErrorUtil::ErrorErrNo(loc, err, "%s [%s]: %s", what, path.c_str(), std::strerror(err));
    errno = err;
    return e;
}

// The source of a data copy ended at `at`, before the size recorded for it.
CFzError ShortSource(std::string const& what, off_t at, uint64_t size) {
    CFzError e = FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "[%s] ends at %lld bytes, before its recorded size of %llu bytes",
                                         what.c_str(), static_cast<long long>(at),
                                         static_cast<unsigned long long>(size));
    errno = EIO;
    return e;
}

// The links this process laid out from a snapshot, by identity.
std::mutex& LaidOutMutex() {
    static std::mutex m;
    return m;
}

std::set<std::pair<uint64_t, uint64_t>>& LaidOut() {
    static std::set<std::pair<uint64_t, uint64_t>> links;
    return links;
}

bool MayFollow(struct stat const& link) {
    if (link.st_uid == 0) return true;
    std::lock_guard<std::mutex> guard(LaidOutMutex());
    return LaidOut().count({static_cast<uint64_t>(link.st_dev), static_cast<uint64_t>(link.st_ino)}) != 0;
}

void Components(std::string const& path, std::deque<std::string>* out, bool front) {
    std::vector<std::string> parts;
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(path)) parts.emplace_back(step.name);
    if (front)
        out->insert(out->begin(), parts.begin(), parts.end());
    else
        out->insert(out->end(), parts.begin(), parts.end());
}

// The fault point before a placement's rename.
CFzError WriteFault(std::string const& path) {
    if (!nuvsuite::FaultsMayFire("file")) return CFzError::Success();
    nuvsuite::CallFault fault;
    if (!nuvsuite::CallFaulted("file", "write", path, &fault)) return CFzError::Success();
    int const err = fault.code > 0 ? fault.code : EIO;
    CFzError e = FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Cannot write [%s]: %s", path.c_str(), fault.text.c_str());
    errno = err;
    return e;
}

// Renames the temporary entry over `name`; on failure removes it.
CFzError Commit(int dirFd, std::string const& shown, std::string const& temp, std::string const& name) {
    std::string const path = nuvsuite::JoinPath(shown, name);
    CFzError e = WriteFault(path);
    if (e.IsError()) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return e;
    }
    if (::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        int const err = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
        return Failed(FZ_LOC, err, "Cannot put in place", path);
    }
    return CFzError::Success();
}

}  // namespace

CFzError FileDataCopier::Copy(int src, int dst, uint64_t size, std::string const& what) {
    off_t const end = static_cast<off_t>(size);
    off_t written = 0;  // where the data copied into `dst` ends
    for (off_t pos = 0; pos < end;) {
        off_t data = ::lseek(src, pos, SEEK_DATA);
        off_t hole = end;
        if (data < 0) {
            if (errno == ENXIO) break;  // no data from here to the end of the file
            data = pos;                 // no hole support: all of it is data
        } else {
            if (data >= end) break;
            hole = ::lseek(src, data, SEEK_HOLE);
            if (hole < 0 || hole > end) hole = end;
        }
        CFzError e = CopyRange(src, dst, data, hole, size, what);
        if (e.IsError()) return e;
        pos = written = hole;
    }
    // A hole up to the recorded size is data; a file that ends before it is not
    // the file that was recorded, and is never made up with zeros.
    struct stat st;
    if (::fstat(src, &st) != 0) return Failed(FZ_LOC, errno, "Cannot look at", what);
    if (st.st_size < end) return ShortSource(what, st.st_size, size);
    // Data written up to the end sized the new file already; a trailing hole
    // (or no data at all) is sized here.
    if (written != end && ::ftruncate(dst, end) != 0) return Failed(FZ_LOC, errno, "Cannot size the copy of", what);
    return CFzError::Success();
}

CFzError FileDataCopier::Copy(int src, int dst, struct stat const& st, std::string const& what) {
    uint64_t const size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    if (static_cast<uint64_t>(st.st_blocks) * 512 < size) return Copy(src, dst, size, what);
    // Every byte up to the size is written, so the copy has its size; a source
    // that ends early fails in the range copy.
    return CopyRange(src, dst, 0, static_cast<off_t>(size), size, what);
}

CFzError FileDataCopier::CopyRange(int src, int dst, off_t from, off_t to, uint64_t size, std::string const& what) {
    while (from < to) {
        size_t const want = static_cast<size_t>(to - from);
        ssize_t n;
        if (m_useRange) {
            loff_t in = from, out = from;
            n = ::copy_file_range(src, &in, dst, &out, want, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                m_useRange = false;  // across file systems: read and write
                continue;
            }
        } else {
            if (!m_buffer) m_buffer.reset(new char[kBuffer]);
            n = ::pread(src, m_buffer.get(), std::min(want, kBuffer), from);
            for (ssize_t off = 0; n > 0 && off < n;) {
                ssize_t w = ::pwrite(dst, m_buffer.get() + off, static_cast<size_t>(n - off), from + off);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return Failed(FZ_LOC, errno, "Cannot write the copy of", what);
                off += w;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failed(FZ_LOC, errno, "Cannot copy", what);
        if (n == 0) return ShortSource(what, from, size);
        from += n;
    }
    return CFzError::Success();
}

bool MayFollowLink(struct stat const& link) { return MayFollow(link); }

void NoteLaidOutLink(int dirFd, std::string const& name) {
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return;
    std::lock_guard<std::mutex> guard(LaidOutMutex());
    LaidOut().insert({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

bool ReadLinkAt(int dirFd, std::string const& name, std::string* target) {
    // The size a link's status gives may be 0 (links of /proc) or out of date.
    std::string buf(256, '\0');
    for (;;) {
        ssize_t const n = ::readlinkat(dirFd, name.c_str(), &buf[0], buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            *target = buf;
            return true;
        }
        if (buf.size() >= (1u << 20)) {
            errno = ENAMETOOLONG;
            return false;
        }
        buf.resize(buf.size() * 4);
    }
}

int OpenDirectoryGuarded(std::string const& path, bool make, mode_t mode, std::string* error, bool* made) {
    if (path.empty() || path[0] != '/') {
        if (error != nullptr) *error = "not an absolute path [" + path + "]: " + std::strerror(EINVAL);
        errno = EINVAL;
        return -1;
    }
    return OpenDirectoryGuardedAt(-1, "/", path, make, mode, error, made);
}

int OpenDirectoryGuardedAt(int startFd, std::string const& shown, std::string const& path, bool make, mode_t mode,
                           std::string* error, bool* made, LinkAllowance const& allow) {
    if (made != nullptr) *made = false;
    auto fail = [&](int err, std::string const& where, char const* why) {
        if (error != nullptr) *error = why + std::string(" [") + where + "]: " + std::strerror(err);
        errno = err;
        return -1;
    };
    bool const absolute = startFd < 0 || (!path.empty() && path[0] == '/');
    // Every step holds a path-only descriptor: a directory that may be passed
    // through but not read (0711) does not stop the walk.
    int dir = absolute ? ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                       : ::openat(startFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return fail(errno, absolute ? "/" : shown, "cannot open");
    std::deque<std::string> left;
    Components(path, &left, false);
    std::vector<std::string> walked;  // the real path so far, for messages
    std::string const base = absolute ? std::string() : (shown == "/" ? std::string() : shown);
    int hops = 0;
    auto here = [&]() {
        std::string p = base;
        for (auto const& w : walked) p += "/" + w;
        return p.empty() ? std::string("/") : p;
    };
    while (!left.empty()) {
        std::string const name = left.front();
        left.pop_front();
        if (name == ".") continue;
        std::string const at = nuvsuite::JoinPath(here(), name);
        struct stat st;
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int const err = errno;
            if (err != ENOENT || !make || name == "..") {
                ::close(dir);
                return fail(err, at, "cannot find");
            }
            if (::mkdirat(dir, name.c_str(), mode) != 0 && errno != EEXIST) {
                int const e = errno;
                ::close(dir);
                return fail(e, at, "cannot make the directory");
            }
            if (made != nullptr) *made = left.empty();
            if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                int const e = errno;
                ::close(dir);
                return fail(e, at, "cannot find");
            }
        }
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (!ReadLinkAt(dir, name, &target)) {
                int const err = errno;
                ::close(dir);
                return fail(err, at, "cannot read the link");
            }
            if (!MayFollow(st) && !(allow && allow(at, st, target))) {
                ::close(dir);
                return fail(ELOOP, at, "a link neither owned by root nor laid out by the restore is not followed");
            }
            if (++hops > 40) {
                ::close(dir);
                return fail(ELOOP, at, "too many links");
            }
            if (!target.empty() && target[0] == '/') {
                int const root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                ::close(dir);
                if (root < 0) return fail(errno, "/", "cannot open");
                dir = root;
                walked.clear();
            }
            Components(target, &left, true);
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            ::close(dir);
            return fail(ENOTDIR, at, "not a directory");
        }
        int const next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int const err = errno;
        ::close(dir);
        if (next < 0) return fail(err, at, "cannot open");
        dir = next;
        if (name == "..") {
            if (!walked.empty()) walked.pop_back();
        } else {
            walked.push_back(name);
        }
    }
    return dir;
}

namespace {

// What sets this writer's temporary names apart: "<pid>-<start time>-<count>".
struct Writer {
    std::mutex m;
    pid_t pid = 0;
    unsigned long long start = 0;
    unsigned long long count = 0;
    bool known = false;
};

Writer& TheWriter() {
    static Writer* const w = [] {
        Writer* made = new Writer;
        // A forked child is another writer.
        ::pthread_atfork(nullptr, nullptr, [] { TheWriter().known = false; });
        return made;
    }();
    return *w;
}

std::string WriterTag() {
    Writer& w = TheWriter();
    std::lock_guard<std::mutex> guard(w.m);
    if (!w.known) {
        w.pid = ::getpid();
        w.start = JzProcess::StartTime(w.pid);
        w.count = 0;
        w.known = true;
    }
    pid_t const pid = w.pid;
    unsigned long long const start = w.start, count = ++w.count;
    char text[64];
    std::snprintf(text, sizeof text, "%d-%llx-%llx", static_cast<int>(pid), start, count);
    return text;
}

char const kSuffix[] = ".nuvrst";

}  // namespace

bool ReplacementWriter(std::string const& entry, pid_t* pid, unsigned long long* start) {
    size_t const suffix = sizeof kSuffix - 1;
    if (entry.size() < suffix + 2 || entry[0] != '.' ||
        entry.compare(entry.size() - suffix, suffix, kSuffix) != 0)
        return false;
    size_t const dot = entry.rfind('.', entry.size() - suffix - 1);
    if (dot == std::string::npos || dot == 0) return false;
    std::string const tag = entry.substr(dot + 1, entry.size() - suffix - dot - 1);
    int p = 0;
    unsigned long long s = 0, c = 0;
    if (std::sscanf(tag.c_str(), "%d-%llx-%llx", &p, &s, &c) != 3 || p <= 0) return false;
    // Only the tag as WriterTag writes it (no signs, blanks, leading zeros or case of its own).
    char again[64];
    std::snprintf(again, sizeof again, "%d-%llx-%llx", p, s, c);
    if (tag != again) return false;
    *pid = p;
    *start = s;
    return true;
}

std::string ReplacementName(std::string const& name) {
    std::string const tag = WriterTag();
    std::string temp = "." + name + "." + tag + kSuffix;
    if (temp.size() <= 255) return temp;
    // Too long for a name: a digest of it stands in.
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ULL;
    char text[32];
    std::snprintf(text, sizeof text, ".%016llx.", static_cast<unsigned long long>(h));
    return text + tag + kSuffix;
}

bool IsStaleReplacement(std::string const& entry) {
    pid_t pid = 0;
    unsigned long long start = 0;
    if (!ReplacementWriter(entry, &pid, &start)) return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    unsigned long long const now = JzProcess::StartTime(pid);
    return now != 0 && now != start;  // the number names another process now
}

int ClearStaleReplacements(int dirFd) {
    int const fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    DIR* list = ::fdopendir(fd);
    if (list == nullptr) {
        ::close(fd);
        return -1;
    }
    int removed = 0;
    while (struct dirent* e = ::readdir(list)) {
        size_t const len = std::strlen(e->d_name);
        if (len < sizeof kSuffix || std::strcmp(e->d_name + len - (sizeof kSuffix - 1), kSuffix) != 0) continue;
        if (IsStaleReplacement(e->d_name) && ::unlinkat(dirFd, e->d_name, 0) == 0) ++removed;
    }
    ::closedir(list);
    return removed;
}

namespace {

// A new temporary name of `name` made by `make` (which fails with EEXIST when
// the name is taken); the name made, or "" with errno set.
std::string MakeTemporary(std::string const& name, std::function<int(std::string const&)> const& make) {
    for (int tries = 0; tries < 8; ++tries) {
        std::string const temp = ReplacementName(name);
        if (make(temp) == 0) return temp;
        if (errno != EEXIST) return "";
    }
    errno = EEXIST;
    return "";
}

}  // namespace

CFzError PlaceFileAt(int dirFd, std::string const& shown, std::string const& name, mode_t mode,
                     std::function<CFzError(int fd)> const& fill) {
    int fd = -1;
    std::string const temp = MakeTemporary(name, [&](std::string const& t) {
        fd = ::openat(dirFd, t.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        return fd < 0 ? -1 : 0;
    });
    if (temp.empty()) return Failed(FZ_LOC, errno, "Cannot create", nuvsuite::JoinPath(shown, name));
    CFzError e = fill(fd);
    if (::close(fd) != 0 && !e.IsError()) e = Failed(FZ_LOC, errno, "Cannot close", nuvsuite::JoinPath(shown, temp));
    if (e.IsError()) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        return e;
    }
    return Commit(dirFd, shown, temp, name);
}

CFzError PlaceSymlinkAt(int dirFd, std::string const& shown, std::string const& name, std::string const& target,
                        uid_t uid, gid_t gid) {
    std::string const temp =
        MakeTemporary(name, [&](std::string const& t) { return ::symlinkat(target.c_str(), dirFd, t.c_str()); });
    if (temp.empty()) return Failed(FZ_LOC, errno, "Cannot make the link", nuvsuite::JoinPath(shown, name));
    (void)::fchownat(dirFd, temp.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    return Commit(dirFd, shown, temp, name);
}

CFzError PlaceHardLinkAt(int dirFd, std::string const& shown, std::string const& name, int fromDirFd,
                         std::string const& fromName) {
    std::string const temp = MakeTemporary(
        name, [&](std::string const& t) { return ::linkat(fromDirFd, fromName.c_str(), dirFd, t.c_str(), 0); });
    if (temp.empty()) return Failed(FZ_LOC, errno, "Cannot link", nuvsuite::JoinPath(shown, name));
    return Commit(dirFd, shown, temp, name);
}

CFzError PlaceAt(int dirFd, std::string const& shown, std::string const& name,
                 std::function<int(std::string const& temp)> const& make,
                 std::function<CFzError(std::string const& temp)> const& finish) {
    std::string const temp = MakeTemporary(name, make);
    if (temp.empty()) return Failed(FZ_LOC, errno, "Cannot make", nuvsuite::JoinPath(shown, name));
    if (finish) {
        CFzError e = finish(temp);
        if (e.IsError()) {
            ::unlinkat(dirFd, temp.c_str(), 0);
            return e;
        }
    }
    return Commit(dirFd, shown, temp, name);
}

}  // namespace nuvbase
