// Restoring files out of a mounted snapshot, shared by the restore-files
// client and the file-restore program.
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <cerrno>
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

// Owner, mode and times of `st` onto the open descriptor (owner where permitted).
void KeepAttributes(int fd, struct stat const& st) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not permitted: the restorer's owner stays */ }
    (void)fchmod(fd, st.st_mode & 07777);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)futimens(fd, times);
}

CFzError CopyRegular(std::string const& from, std::string const& to, struct stat const& st, CopyCounts* counts) {
    int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return Fail(errno, "cannot open the snapshot's file", from);
    struct stat old;
    if (lstat(to.c_str(), &old) == 0 && !S_ISREG(old.st_mode)) {
        if (S_ISDIR(old.st_mode) || unlink(to.c_str()) != 0) {
            int e = S_ISDIR(old.st_mode) ? EISDIR : errno;
            close(in);
            return Fail(e, "cannot replace", to);
        }
    }
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        int e = errno;
        close(in);
        return Fail(e, "cannot create", to);
    }
    static thread_local std::unique_ptr<char[]> buffer(new char[1 << 18]);
    uint64_t total = 0;
    for (;;) {
        ssize_t n = read(in, buffer.get(), 1 << 18);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(in);
            close(out);
            return Fail(e, "cannot read", from);
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer.get() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                int e = errno;
                close(in);
                close(out);
                return Fail(e, "cannot write", to);
            }
            done += w;
        }
        total += static_cast<uint64_t>(n);
    }
    close(in);
    KeepAttributes(out, st);
    if (close(out) != 0) return Fail(errno, "cannot close", to);
    if (counts) {
        counts->files += 1;
        counts->bytes += total;
    }
    return CFzError::Success();
}

CFzError CopyAny(std::string const& from, std::string const& to, CopyCounts* counts) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return Fail(errno, "no such file in the snapshot", from);
    if (S_ISREG(st.st_mode)) return CopyRegular(from, to, st, counts);
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(from.c_str(), &target[0], target.size());
        if (n < 0) return Fail(errno, "cannot read the link", from);
        target.resize(static_cast<size_t>(n));
        struct stat old;
        if (lstat(to.c_str(), &old) == 0 && !S_ISDIR(old.st_mode) && unlink(to.c_str()) != 0)
            return Fail(errno, "cannot replace", to);
        if (symlink(target.c_str(), to.c_str()) != 0) return Fail(errno, "cannot make the link", to);
        (void)lchown(to.c_str(), st.st_uid, st.st_gid);
        if (counts) counts->files += 1;
        return CFzError::Success();
    }
    if (S_ISDIR(st.st_mode)) {
        struct stat old;
        if (lstat(to.c_str(), &old) == 0) {
            if (!S_ISDIR(old.st_mode)) return Fail(ENOTDIR, "cannot restore a directory over", to);
        } else if (mkdir(to.c_str(), 0700) != 0) {
            return Fail(errno, "cannot make the directory", to);
        }
        DIR* dir = opendir(from.c_str());
        if (dir == nullptr) return Fail(errno, "cannot read the directory", from);
        std::vector<std::string> names;
        while (struct dirent* e = readdir(dir))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(dir);
        for (std::string const& n : names) {
            CFzError e = CopyAny(from + "/" + n, to + "/" + n, counts);
            if (e.IsError()) return e;
        }
        int fd = open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            KeepAttributes(fd, st);
            close(fd);
        }
        return CFzError::Success();
    }
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

CFzError CopyOut(std::string const& from, std::string const& to, CopyCounts* counts,
                 std::unordered_set<std::string>* knownDirs) {
    // The destination's missing directories are made (0755), each level once:
    // the parent known, so is every level above it.
    size_t const last = to.rfind('/');
    if (last != std::string::npos && last > 0) {
        std::string const parent = to.substr(0, last);
        if (knownDirs == nullptr || knownDirs->count(parent) == 0) {
            for (size_t slash = to.find('/', 1); slash != std::string::npos && slash <= last;
                 slash = to.find('/', slash + 1)) {
                std::string const dir = to.substr(0, slash);
                if (knownDirs != nullptr && knownDirs->count(dir) != 0) continue;
                if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno, "cannot make the directory", dir);
                if (knownDirs != nullptr) knownDirs->insert(dir);
            }
        }
    }
    return CopyAny(from, to, counts);
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
