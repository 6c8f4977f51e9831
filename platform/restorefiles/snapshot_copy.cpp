// Restoring files out of a mounted snapshot, shared by the restore-files
// client and the file-restore program.
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include <cerrno>
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

std::string Join(std::string const& dir, std::string const& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Owner, mode and times of `st` onto the open descriptor (owner where permitted).
void KeepAttributes(int fd, struct stat const& st) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not permitted: the restorer's owner stays */ }
    (void)fchmod(fd, st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(fd, times);
}

}  // namespace

// One batch of copies: the hard links met, the last destination directory.
struct CopySession::State {
    struct First {
        std::string dir;   // destination directory of the first name
        std::string name;  // the first name there
        dev_t dev = 0;     // the restored file
        ino_t ino = 0;
    };
    std::map<std::pair<dev_t, ino_t>, First> linked;  // source file -> its first restored name
    nuvbase::FileDataCopier data;
    std::string parent;  // the last destination directory opened, its descriptor, real path
    int parentFd = -1;
    std::string parentReal;
    std::string root;  // the state root, resolved
};

CopySession::CopySession() : m_state(new State) {}

CopySession::~CopySession() {
    if (m_state->parentFd >= 0) close(m_state->parentFd);
}

namespace {

CFzError CopyAt(std::string const& from, int dirFd, std::string const& dir, std::string const& name,
                CopySession::State& s, CopyCounts* counts);

// Another name of a file restored before in this batch: a hard link of it.
// False when there is none (or it changed since).
bool LinkToFirst(CopySession::State& s, struct stat const& st, int dirFd, std::string const& dir,
                 std::string const& name, CFzError* result) {
    if (st.st_nlink < 2) return false;
    auto found = s.linked.find({st.st_dev, st.st_ino});
    if (found == s.linked.end()) return false;
    CopySession::State::First const& first = found->second;
    std::string ignored;
    int const firstDir = nuvbase::OpenDirectoryGuarded(first.dir, false, 0, &ignored);
    if (firstDir < 0) return false;
    struct stat now;
    bool const same = fstatat(firstDir, first.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(now.st_mode) && now.st_dev == first.dev && now.st_ino == first.ino;
    if (same) *result = nuvbase::PlaceHardLinkAt(dirFd, dir, name, firstDir, first.name);
    close(firstDir);
    return same;
}

CFzError CopyRegular(std::string const& from, int dirFd, std::string const& dir, std::string const& name,
                     struct stat const& st, CopySession::State& s, CopyCounts* counts) {
    CFzError linked;
    if (LinkToFirst(s, st, dirFd, dir, name, &linked)) {
        if (linked.IsError()) return linked;
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return Fail(errno, "cannot open the snapshot's file", from);
    std::string const to = Join(dir, name);
    CFzError e = nuvbase::PlaceFileAt(dirFd, dir, name, 0600, [&](int out) {
        CFzError c = s.data.Copy(in, out, static_cast<uint64_t>(st.st_size), to);
        if (!c.IsError()) KeepAttributes(out, st);
        return c;
    });
    close(in);
    if (e.IsError()) return e;
    if (st.st_nlink > 1) {
        struct stat made;
        if (fstatat(dirFd, name.c_str(), &made, AT_SYMLINK_NOFOLLOW) == 0)
            s.linked[{st.st_dev, st.st_ino}] = CopySession::State::First{dir, name, made.st_dev, made.st_ino};
    }
    if (counts) {
        counts->files += 1;
        counts->bytes += static_cast<uint64_t>(st.st_size);
    }
    return CFzError::Success();
}

CFzError CopyDirectory(std::string const& from, int dirFd, std::string const& dir, std::string const& name,
                       struct stat const& st, CopySession::State& s, CopyCounts* counts) {
    std::string const to = Join(dir, name);
    struct stat old {};
    if (fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return Fail(errno, "cannot look at", to);
        if (mkdirat(dirFd, name.c_str(), 0700) != 0 && errno != EEXIST)
            return Fail(errno, "cannot make the directory", to);
        old.st_mode = S_IFDIR;
    } else if (!S_ISDIR(old.st_mode) && !S_ISLNK(old.st_mode)) {
        return Fail(ENOTDIR, "cannot restore a directory over", to);
    }
    // A link there is entered only as the destination's walk allows it, and
    // never into the suite's own state.
    if (S_ISLNK(old.st_mode)) {
        std::string const refused = nuvsnapmgr::SuiteStateHolding(to);
        if (!refused.empty()) return Refused(to, refused);
    }
    std::string why;
    int sub = nuvbase::OpenDirectoryGuarded(to, false, 0, &why);
    if (sub < 0) return Fail(errno, "cannot enter the directory (" + why + ")", to);
    DIR* list = opendir(from.c_str());
    if (list == nullptr) {
        int const err = errno;
        close(sub);
        return Fail(err, "cannot read the directory", from);
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(list))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(list);
    for (std::string const& n : names) {
        CFzError e = CopyAt(from + "/" + n, sub, to, n, s, counts);
        if (e.IsError()) {
            close(sub);
            return e;
        }
    }
    KeepAttributes(sub, st);
    close(sub);
    return CFzError::Success();
}

CFzError CopyAt(std::string const& from, int dirFd, std::string const& dir, std::string const& name,
                CopySession::State& s, CopyCounts* counts) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return Fail(errno, "no such file in the snapshot", from);
    if (S_ISREG(st.st_mode)) return CopyRegular(from, dirFd, dir, name, st, s, counts);
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(from.c_str(), &target[0], target.size());
        if (n < 0) return Fail(errno, "cannot read the link", from);
        target.resize(static_cast<size_t>(n));
        CFzError e = nuvbase::PlaceSymlinkAt(dirFd, dir, name, target, st.st_uid, st.st_gid);
        if (e.IsError()) return e;
        nuvbase::NoteLaidOutLink(dirFd, name);
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    if (S_ISDIR(st.st_mode)) return CopyDirectory(from, dirFd, dir, name, st, s, counts);
    return Fail(EINVAL, "not a file, link or directory", from);
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

std::string StripComponents(std::string const& path, int level) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        if (slash > pos) parts.push_back(path.substr(pos, slash - pos));
        pos = slash + 1;
    }
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

CFzError CopyOut(std::string const& from, std::string const& to, CopyCounts* counts, CopySession* session) {
    CopySession local;
    CopySession::State& s = session != nullptr ? session->state() : local.state();
    size_t const last = to.rfind('/');
    if (to.empty() || to[0] != '/' || last + 1 >= to.size())
        return Fail(EINVAL, "not an absolute path of a file", to);
    std::string const parent = last == 0 ? "/" : to.substr(0, last);
    std::string const name = to.substr(last + 1);
    if (name == "." || name == "..") return Fail(EINVAL, "not a name of a file", to);
    // The destination's directories are walked from the top without following
    // a link the restore did not lay out; missing ones are made (0755). The
    // suite's own state is refused before anything is made.
    if (s.parentFd < 0 || s.parent != parent) {
        if (s.parentFd >= 0) close(s.parentFd);
        s.parentFd = -1;
        s.parent.clear();
        std::string const refused = nuvsnapmgr::SuiteStateHolding(parent);
        if (!refused.empty()) return Refused(to, refused);
        std::string why;
        s.parentFd = nuvbase::OpenDirectoryGuarded(parent, true, 0755, &why);
        if (s.parentFd < 0) return Fail(errno, "cannot reach the destination directory (" + why + ")", parent);
        char real[PATH_MAX];
        s.parentReal = realpath(parent.c_str(), real) != nullptr ? real : parent;
        s.root = nuvsnapmgr::ResolvedStateRoot();
        s.parent = parent;
    }
    std::string const refused = nuvsnapmgr::SuiteStateIn(Join(s.parentReal, name), s.root);
    if (!refused.empty()) return Refused(to, refused);
    return CopyAt(from, s.parentFd, parent, name, s, counts);
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
