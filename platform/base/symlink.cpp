// The symbolic-link service: resolves a path's links with realpath(3) on its
// longest existing ancestor; the part below that ancestor is kept as written.
// It also lays out the missing ancestors of a file restored to its place, as
// the snapshot service tells what they were in a snap job's copy.
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::map<std::string, std::string> NuvSymLink::m_mountSrcTransMap;
std::map<std::string, std::string> NuvSymLink::m_indexedLinks;

void NuvSymLink::checkAndAddToSymlinkMap(std::string const& path, std::string const& target, long long jobId,
                                         int brannoxId) {
    std::string const args = path + " -> " + target + " job=" + std::to_string(jobId) +
                             " brannox=" + std::to_string(brannoxId);
    if (!nuvsuite::EnterCall("symlink", "NuvSymLink::checkAndAddToSymlinkMap", args)) return;
    static char const* const kMarkers[] = {"/+SYMLINK2DIR+", "/+SYMLINK2FILE+"};
    for (char const* marker : kMarkers) {
        std::string const m(marker);
        if (path.compare(0, m.size(), m) != 0 || target.empty()) continue;
        std::string link = path.substr(m.size());
        if (link.empty() || link[0] != '/') continue;
        while (link.size() > 1 && link.back() == '/') link.pop_back();
        m_indexedLinks[link] = target;
        return;
    }
}

namespace {

// True when prefix is path itself or a whole-component prefix of it.
bool ComponentPrefix(std::string const& path, std::string const& prefix) {
    std::string p = prefix;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, p.size(), p) == 0 && (path.size() == p.size() || path[p.size()] == '/');
}

// realpath(3) of an existing path: the kernel walks it once (an O_PATH open)
// and names what it reached; realpath itself where /proc cannot tell.
bool RealPath(std::string const& path, std::string* real) {
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return false;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    char buf[PATH_MAX + 1];
    ssize_t n = readlink(name, buf, sizeof buf);
    close(fd);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf && buf[0] == '/') {
        real->assign(buf, static_cast<size_t>(n));
        static std::string const kDeleted = " (deleted)";
        bool const deleted = real->size() > kDeleted.size() &&
                             real->compare(real->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
        if (!deleted) return true;
    }
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    *real = resolved;
    free(resolved);
    return true;
}

bool Resolve(std::string const& path, std::string& physical) {
    if (path.empty() || path[0] != '/') return false;
    std::string ancestor = path;
    std::string rest;
    for (;;) {
        std::string real;
        if (RealPath(ancestor, &real)) {
            physical = nuvsuite::JoinPath(real, rest);
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR) return false;  // loops, permissions, ...
        size_t slash = ancestor.find_last_of('/');
        if (slash == std::string::npos) return false;
        std::string name = ancestor.substr(slash + 1);
        if (name == "..") return false;  // cannot tell what a missing directory's parent is
        if (!name.empty() && name != ".") rest = nuvsuite::JoinPath(name, rest);
        ancestor = slash == 0 ? "/" : ancestor.substr(0, slash);
    }
}

// The path with the longest key of transMap that is a component prefix of it
// replaced by its value.
std::string Translated(std::string const& path, std::map<std::string, std::string> const& transMap) {
    std::string translated = path;
    size_t best = 0;
    for (auto const& entry : transMap) {
        if (entry.first.size() > best && ComponentPrefix(path, entry.first)) {
            std::string key = entry.first;
            while (key.size() > 1 && key.back() == '/') key.pop_back();
            std::string rest = key == "/" ? path.substr(1) : path.substr(key.size());
            if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
            std::string value = entry.second;
            while (value.size() > 1 && value.back() == '/') value.pop_back();
            translated = rest.empty() ? value : (value == "/" ? "/" : value + "/") + rest;
            best = entry.first.size();
        }
    }
    return translated;
}

// The service's call for `path` under a translation map, journalled and
// checked against the fault table; false when a fault fails it.
bool EnterTranslatedCall(std::string const& path, long long jobId, int flag) {
    std::string const args = path + " job=" + std::to_string(jobId) + " flag=" + std::to_string(flag);
    return nuvsuite::EnterCall("symlink", "UnixSymbolicLink::getPhysicalPath", args);
}

}  // namespace

bool UnixSymbolicLink::getPhysicalPath(std::string const& path, std::string& physical,
                                       std::map<std::string, std::string> const& transMap, long long jobId,
                                       int flag) {
    if (!EnterTranslatedCall(path, jobId, flag)) return false;
    return Resolve(Translated(path, transMap), physical);
}

bool UnixSymbolicLink::getPhysicalPath(std::string const& path, std::string& physical,
                                       std::vector<std::string>& /*visited*/, bool, bool) {
    if (!nuvsuite::EnterCall("symlink", "UnixSymbolicLink::getPhysicalPath", path)) return false;
    return Resolve(path, physical);
}

bool PhysicalPathBatch::getPhysicalPath(std::string const& path, std::string& physical) {
    if (!nuvsuite::EnterCall("symlink", "UnixSymbolicLink::getPhysicalPath", path)) return false;
    return resolve(path, physical);
}

bool PhysicalPathBatch::getPhysicalPath(std::string const& path, std::string& physical,
                                        std::map<std::string, std::string> const& transMap, long long jobId,
                                        int flag) {
    if (!EnterTranslatedCall(path, jobId, flag)) return false;
    return resolve(Translated(path, transMap), physical);
}

bool PhysicalPathBatch::resolve(std::string const& path, std::string& physical) {
    size_t const slash = path.rfind('/');
    if (path.empty() || path[0] != '/' || slash == 0 || slash + 1 >= path.size()) return Resolve(path, physical);
    std::string const name = path.substr(slash + 1);
    struct stat st;
    if (name == "." || name == ".." || ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISLNK(st.st_mode))
        return Resolve(path, physical);  // a link, or what is missing: walked as a single path is
    if (m_realDir.empty() || path.compare(0, slash, m_dir) != 0 || m_dir.size() != slash) {
        std::string const dir = path.substr(0, slash);
        std::string real;
        if (!RealPath(dir, &real)) return Resolve(path, physical);
        m_dir = dir;
        m_realDir = real;
    }
    physical = nuvsuite::JoinPath(m_realDir, name);
    return true;
}

namespace {

NuvSnapPathLookup& SnapPathLookup() {
    static NuvSnapPathLookup lookup = nullptr;
    return lookup;
}

char const kLayoutTag[] = "NuvSymLink::createDirAndSymLinks";

// The ancestors of an absolute path, outermost first ("/a", "/a/b" of "/a/b/f");
// false for a relative path or one holding "." or "..".
bool Ancestors(std::string const& path, std::vector<std::string>* names) {
    if (path.empty() || path[0] != '/') return false;
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(path)) {
        if (step.upTo.size() == path.size()) break;  // the last component is the file itself
        if (step.name == "." || step.name == "..") return false;
        names->emplace_back(step.name);
    }
    return true;
}

// The user's ids; false for an empty or unknown name.
bool LookUpUser(std::string const& name, uid_t* uid, gid_t* gid) {
    if (name.empty()) return false;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
    *uid = pw.pw_uid;
    *gid = pw.pw_gid;
    return true;
}

// Sets owner and mode of the entry `name` below `dir`, never through a link.
void OwnAndMode(int dir, std::string const& name, uid_t uid, gid_t gid, mode_t mode) {
    int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    (void)fchown(fd, uid, gid);
    (void)fchmod(fd, mode & 07777);
    close(fd);
}

}  // namespace

void NuvSymLink::setSnapPathLookup(NuvSnapPathLookup lookup) {
    SnapPathLookup() = lookup;
}

void NuvSymLink::createDirAndSymLinks(std::string const& path, long long snapJobId, int brannoxId,
                                      std::string const& userName) {
    std::string const args = path + " snapJob=" + std::to_string(snapJobId) + " brannox=" +
                             std::to_string(brannoxId) + " user=" + userName;
    if (!nuvsuite::EnterCall("symlink", kLayoutTag, args)) return;
    std::vector<std::string> names;
    if (!Ancestors(path, &names)) {
        g_ptrLogWriter->Write(-1, kLayoutTag, static_cast<uint64_t>(snapJobId), "[%s] is no plain absolute path",
                              path.c_str());
        return;
    }
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    // The existing ancestors, each entered without following a link.
    std::string walked;
    size_t i = 0;
    for (; i < names.size(); ++i) {
        struct stat st;
        if (fstatat(dir, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) break;
            close(dir);
            return;
        }
        if (!S_ISDIR(st.st_mode)) {
            // An existing link or file is left as it is, and nothing is made below it.
            close(dir);
            return;
        }
        int next = openat(dir, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dir);
        if (next < 0) return;
        dir = next;
        walked += "/" + names[i];
    }
    if (i == names.size()) {
        close(dir);
        return;
    }
    // What the missing ancestors were in the snap job's copy.
    std::vector<std::string> missing;
    std::string prefix = walked;
    for (size_t k = i; k < names.size(); ++k) missing.push_back(prefix += "/" + names[k]);
    std::vector<NuvSnapPathInfo> was(missing.size());
    std::string error;
    NuvSnapPathLookup const lookup = SnapPathLookup();
    if (lookup == nullptr || !lookup(snapJobId, brannoxId, missing, &was, &error) || was.size() != missing.size()) {
        g_ptrLogWriter->Write(-1, kLayoutTag, static_cast<uint64_t>(snapJobId),
                              "cannot read snap job %lld's copy of [%s]: %s", snapJobId, path.c_str(),
                              lookup == nullptr ? "no snapshot service" : error.c_str());
        close(dir);
        return;
    }
    uid_t userUid = geteuid();
    gid_t userGid = getegid();
    bool const haveUser = LookUpUser(userName, &userUid, &userGid);
    for (size_t k = 0; k < missing.size(); ++k) {
        std::string const& name = names[i + k];
        NuvSnapPathInfo const& info = was[k];
        if (info.kind == NuvSnapPathInfo::kLink) {
            if (symlinkat(info.target.c_str(), dir, name.c_str()) != 0) {
                g_ptrLogWriter->Write(-1, kLayoutTag, static_cast<uint64_t>(snapJobId),
                                      "cannot make the link [%s] -> [%s]: %s", missing[k].c_str(),
                                      info.target.c_str(), std::strerror(errno));
            } else {
                (void)fchownat(dir, name.c_str(), info.uid, info.gid, AT_SYMLINK_NOFOLLOW);
                nuvbase::NoteLaidOutLink(dir, name);  // a restore may write through it
            }
            break;  // what lies below a link is not this path's to make
        }
        if (info.kind != NuvSnapPathInfo::kDirectory && info.kind != NuvSnapPathInfo::kMissing &&
            info.kind != NuvSnapPathInfo::kUnknown) {
            g_ptrLogWriter->Write(-1, kLayoutTag, static_cast<uint64_t>(snapJobId),
                                  "[%s] was no directory in the copy", missing[k].c_str());
            break;
        }
        bool const fromCopy = info.kind == NuvSnapPathInfo::kDirectory;
        if (mkdirat(dir, name.c_str(), 0700) != 0) {
            g_ptrLogWriter->Write(-1, kLayoutTag, static_cast<uint64_t>(snapJobId),
                                  "cannot make the directory [%s]: %s", missing[k].c_str(), std::strerror(errno));
            break;
        }
        if (fromCopy)
            OwnAndMode(dir, name, info.uid, info.gid, info.mode);
        else
            OwnAndMode(dir, name, haveUser ? userUid : geteuid(), haveUser ? userGid : getegid(), 0755);
        int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) break;
        close(dir);
        dir = next;
    }
    close(dir);
}
