// The symbolic-link service: resolves a path's links with realpath(3) on its
// longest existing ancestor; the part below that ancestor is kept as written.
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

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

bool Resolve(std::string const& path, std::string& physical) {
    if (path.empty() || path[0] != '/') return false;
    std::string ancestor = path;
    std::string rest;
    for (;;) {
        char* real = realpath(ancestor.c_str(), nullptr);
        if (real != nullptr) {
            physical = real;
            free(real);
            if (!rest.empty()) physical += (physical == "/" ? "" : "/") + rest;
            return true;
        }
        if (errno != ENOENT && errno != ENOTDIR) return false;  // loops, permissions, ...
        size_t slash = ancestor.find_last_of('/');
        if (slash == std::string::npos) return false;
        std::string name = ancestor.substr(slash + 1);
        if (name == "..") return false;  // cannot tell what a missing directory's parent is
        if (!name.empty() && name != ".") rest = rest.empty() ? name : name + "/" + rest;
        ancestor = slash == 0 ? "/" : ancestor.substr(0, slash);
    }
}

}  // namespace

bool UnixSymbolicLink::getPhysicalPath(std::string const& path, std::string& physical,
                                       std::map<std::string, std::string> const& transMap, long long jobId,
                                       int flag) {
    std::string const args = path + " job=" + std::to_string(jobId) + " flag=" + std::to_string(flag);
    if (!nuvsuite::EnterCall("symlink", "UnixSymbolicLink::getPhysicalPath", args)) return false;
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
    return Resolve(translated, physical);
}

bool UnixSymbolicLink::getPhysicalPath(std::string const& path, std::string& physical,
                                       std::vector<std::string>& /*visited*/, bool, bool) {
    if (!nuvsuite::EnterCall("symlink", "UnixSymbolicLink::getPhysicalPath", path)) return false;
    return Resolve(path, physical);
}
