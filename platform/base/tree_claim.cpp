// Claims of directory trees by restores (see tree_claim.h).
#include "nuvdbsnap/platform/base/tree_claim.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <atomic>
#include <mutex>
#include <set>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace nuvbase {
namespace {

char const kSuffix[] = ".claim";
char const kTag[] = "TreeClaim";
char const kLock[] = "restore-claims";

bool Holds(std::string const& prefix, std::string const& path) {
    if (prefix == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, prefix.size(), prefix) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        ssize_t const n = ::pread(fd, buf, sizeof buf, at);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return text;
}

std::string Folder() { return nuvsuite::StatePath("locks") + "/claims"; }

// The claim files this process wrote and holds, by name: its own claims never
// exclude each other, so a take passes them by without reading them.
std::mutex& OwnMutex() {
    static std::mutex m;
    return m;
}

std::set<std::string>& OwnClaims() {
    static std::set<std::string> names;
    return names;
}

// True for a claim file of this process (its name starts with this process's
// pid; a forked child's parent's claims are not its own).
bool IsOwnClaim(std::string const& name, std::string const& selfPrefix) {
    if (name.compare(0, selfPrefix.size(), selfPrefix) != 0) return false;
    std::lock_guard<std::mutex> guard(OwnMutex());
    return OwnClaims().count(name) != 0;
}

// The claim files of the folder; false (errno set) when it cannot be read.
bool ClaimFiles(std::string const& folder, std::vector<std::string>* names) {
    DIR* list = ::opendir(folder.c_str());
    if (list == nullptr) return false;
    while (struct dirent* e = ::readdir(list)) {
        std::string const name = e->d_name;
        if (name.size() > sizeof kSuffix && name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) == 0)
            names->push_back(name);
    }
    ::closedir(list);
    return true;
}

// What a claim file says: "<pid> <start time>\n<path>\n<holder>", then a
// line for each further tree of the same claim.
struct Claim {
    pid_t pid = 0;
    unsigned long long start = 0;  // 0: not recorded
    std::vector<std::string> paths;
    std::string holder;
};

bool ParseClaim(std::string const& text, Claim* out) {
    size_t const a = text.find('\n');
    size_t const b = a == std::string::npos ? a : text.find('\n', a + 1);
    if (b == std::string::npos) return false;
    std::string const first = text.substr(0, a);
    char* end = nullptr;
    long const pid = std::strtol(first.c_str(), &end, 10);
    if (end == first.c_str() || pid <= 0) return false;
    unsigned long long start = 0;
    if (*end == ' ') start = std::strtoull(end + 1, &end, 10);
    if (*end != '\0') return false;
    out->pid = static_cast<pid_t>(pid);
    out->start = start;
    out->paths.assign(1, text.substr(a + 1, b - a - 1));
    size_t const c = text.find('\n', b + 1);
    out->holder = text.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
    for (size_t at = c; at != std::string::npos && at + 1 < text.size();) {
        size_t const next = text.find('\n', at + 1);
        std::string const more = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
        if (!more.empty()) out->paths.push_back(more);
        at = next;
    }
    return true;
}

// A holder is gone when no process runs with its pid, or the one that does
// started at another time (the pid was taken again).
bool HolderGone(Claim const& c) {
    if (!JzProcess::IsAlive(c.pid)) return true;
    unsigned long long const now = JzProcess::StartTime(c.pid);
    return c.start != 0 && now != 0 && now != c.start;
}

// One sweep of the temporary names of one gone writer below one tree.
struct Sweep {
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string root;  // the state root, resolved: its own state is passed by
    int removed = 0;
    std::string error;  // the first entry that could not be looked at or removed
};

void Note(Sweep& s, std::string const& what, std::string const& path) {
    if (s.error.empty()) s.error = what + " [" + path + "]: " + std::strerror(errno);
}

// Removes the writer's temporary names from the directory `fd` (read
// descriptor, taken over; shown as `shown`) and from every directory below
// it, never through a link. Pseudo file systems and the suite's own state are
// passed by: no restore writes there.
void SweepDirectory(int fd, std::string const& shown, Sweep& s) {
    struct statfs fs;
    std::string const own = nuvsuite::SuiteStateIn(shown, s.root);
    if ((::fstatfs(fd, &fs) == 0 && (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC)) ||
        (!own.empty() && own != s.root)) {
        ::close(fd);
        return;
    }
    DIR* list = ::fdopendir(fd);
    if (list == nullptr) {
        Note(s, "cannot read", shown);
        ::close(fd);
        return;
    }
    int const at = ::dirfd(list);
    std::vector<std::string> below;
    while (struct dirent* e = ::readdir(list)) {
        char const* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            dir = S_ISDIR(st.st_mode);
        }
        if (dir) {
            below.push_back(name);
            continue;
        }
        pid_t pid = 0;
        unsigned long long start = 0;
        if (!ReplacementWriter(name, &pid, &start) || pid != s.pid || start != s.start) continue;
        if (::unlinkat(at, name, 0) == 0)
            ++s.removed;
        else if (errno != ENOENT)
            Note(s, "cannot remove", nuvsuite::JoinPath(shown, name));
    }
    for (std::string const& name : below) {
        int const sub = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
            SweepDirectory(sub, nuvsuite::JoinPath(shown, name), s);
        else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            Note(s, "cannot enter", nuvsuite::JoinPath(shown, name));
    }
    ::closedir(list);
}

// The claimed directory, reached one component at a time from "/" without
// following any link (claims name resolved paths); -1 with errno set.
int OpenClaimedTree(std::string const& path) {
    if (path.empty() || path[0] != '/') {
        errno = ENOENT;
        return -1;
    }
    int dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(path)) {
        if (dir < 0) return -1;
        std::string const name(step.name);
        int const next = name == "." || name == ".." ? (errno = ENOENT, -1)
                                                     : ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int const saved = errno;
        ::close(dir);
        errno = saved;
        dir = next;
    }
    if (dir < 0) return -1;
    int const readable = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int const saved = errno;
    ::close(dir);
    errno = saved;
    return readable;
}

// Looks at the claim file `file` with the claims' lock held. A claim its
// holder still holds: true, *claim what it says. A claim whose holder is
// gone: the holder's temporary names are removed from its tree, then the
// claim file; a tree that cannot be walked keeps the claim for a later look
// (*error says why). *removed counts the names removed.
bool Look(std::string const& file, Claim* claim, int* removed, std::string* error) {
    int const fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool const free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    bool const parsed = ParseClaim(ReadAll(fd), claim);
    if (!free) {
        ::close(fd);
        return parsed;
    }
    if (parsed && claim->start != 0 && !HolderGone(*claim)) {
        // Let go without the lock, yet its process runs: not left by a killed restore.
        ::close(fd);
        return false;
    }
    bool drop = true;
    if (parsed && claim->start != 0) {
        Sweep s;
        s.pid = claim->pid;
        s.start = claim->start;
        s.root = nuvsuite::ResolvedStateRoot();
        for (std::string const& path : claim->paths) {
            s.removed = 0;
            s.error.clear();
            int const tree = OpenClaimedTree(path);
            if (tree >= 0) {
                SweepDirectory(tree, path, s);
            } else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
                Note(s, "cannot open", path);  // gone or replaced by a link: nothing of it to sweep
            }
            *removed += s.removed;
            if (!s.error.empty()) {
                drop = false;
                if (error->empty())
                    *error = "the temporary files of " + claim->holder + " (process " + std::to_string(claim->pid) +
                             ") under [" + path + "] are not all swept: " + s.error;
            } else if (s.removed > 0) {
                EvDebug::DebugLvl(nullptr, 1, kTag, "removed %d temporary files of %s (process %d, gone) under [%s]",
                                  s.removed, claim->holder.c_str(), static_cast<int>(claim->pid), path.c_str());
            }
        }
    }
    if (drop) ::unlink(file.c_str());
    ::close(fd);
    return false;
}

}  // namespace

TreeClaim::~TreeClaim() {
    if (m_fd < 0) return;
    JzNamedMutex guard(kLock);
    (void)guard.lock();
    ::unlink(m_file.c_str());
    ::close(m_fd);
    std::lock_guard<std::mutex> own(OwnMutex());
    OwnClaims().erase(m_file.substr(m_file.rfind('/') + 1));
}

bool TreeClaim::take(std::string const& path, std::string const& holder, std::string* error) {
    // A tree it holds holds the path: the path or one of its ancestors.
    if (!m_held.empty())
        for (std::string_view at = path;;) {
            if (m_held.find(at) != m_held.end()) return true;
            size_t const slash = at.rfind('/');
            if (slash == std::string_view::npos || at == "/") break;
            at = slash == 0 ? std::string_view("/") : at.substr(0, slash);
        }
    std::string const folder = Folder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make [" + folder + "]: " + std::strerror(errno);
        return false;
    }
    JzNamedMutex guard(kLock);
    if (guard.lock() == 0) {
        *error = "cannot lock the restore claims: " + std::string(std::strerror(errno));
        return false;
    }
    pid_t const self = ::getpid();
    std::vector<std::string> names;
    if (!ClaimFiles(folder, &names)) {
        *error = "cannot read [" + folder + "]: " + std::strerror(errno);
        return false;
    }
    std::string const selfPrefix = std::to_string(self) + "-";
    for (std::string const& name : names) {
        if (IsOwnClaim(name, selfPrefix)) continue;
        Claim held;
        int removed = 0;
        std::string unswept;  // left for a later sweep: this restore writes its own names only
        if (!Look(folder + "/" + name, &held, &removed, &unswept) || held.pid == self) continue;
        for (std::string const& p : held.paths)
            if (Holds(p, path) || Holds(path, p)) {
                *error = "the destination [" + path + "] is being restored by " + held.holder + " (process " +
                         std::to_string(held.pid) + ", destination [" + p + "]): refused";
                errno = EBUSY;
                return false;
            }
    }
    if (m_fd >= 0) {
        // One more tree of the same claim: a line of its file.
        std::string const line = "\n" + path;
        struct stat st;
        if (::fstat(m_fd, &st) != 0 ||
            ::pwrite(m_fd, line.data(), line.size(), st.st_size) != static_cast<ssize_t>(line.size())) {
            *error = "cannot write the claim [" + m_file + "]: " + std::strerror(errno);
            return false;
        }
        m_paths.push_back(path);
        m_held.insert(path);
        return true;
    }
    static std::atomic<unsigned> count{0};
    std::string const own = selfPrefix + std::to_string(++count) + kSuffix;
    std::string const file = folder + "/" + own;
    int const fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot write the claim [" + file + "]: " + std::strerror(errno);
        return false;
    }
    std::string const text =
        std::to_string(self) + " " + std::to_string(JzProcess::StartTime(self)) + "\n" + path + "\n" + holder;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        *error = "cannot write the claim [" + file + "]: " + std::strerror(errno);
        ::unlink(file.c_str());
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_file = file;
    m_paths.assign(1, path);
    m_held.insert(path);
    std::lock_guard<std::mutex> ownGuard(OwnMutex());
    OwnClaims().insert(own);
    return true;
}

CFzError SweepAbandonedClaims(int* swept) {
    if (swept) *swept = 0;
    std::string const folder = Folder();
    std::vector<std::string> names;
    if (!ClaimFiles(folder, &names)) {
        if (errno == ENOENT) return CFzError::Success();  // no restore ever claimed a tree here
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]: %s", folder.c_str(), std::strerror(errno));
    }
    if (names.empty()) return CFzError::Success();
    JzNamedMutex guard(kLock);
    if (guard.lock() == 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot lock the restore claims: %s", std::strerror(errno));
    names.clear();
    if (!ClaimFiles(folder, &names))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot read [%s]: %s", folder.c_str(), std::strerror(errno));
    int removed = 0;
    std::string error;
    for (std::string const& name : names) {
        Claim held;
        (void)Look(folder + "/" + name, &held, &removed, &error);
    }
    if (swept) *swept = removed;
    if (!error.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "%s", error.c_str());
    return CFzError::Success();
}

}  // namespace nuvbase
