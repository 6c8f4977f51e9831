#include "sm_paths.h"

#include "nuvdbsnap/platform/suite/suite.h"

#include <climits>
#include <cstdlib>
#include <vector>

namespace nuvsnapmgr {

std::string NormalisePath(std::string const& path) {
    if (path.empty()) return path;
    bool absolute = path[0] == '/';
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (!part.empty() && part != ".") parts.push_back(part);
        i = j + 1;
    }
    std::string out = absolute ? "/" : "";
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) out += "/";
        out += parts[k];
    }
    if (out.empty()) out = absolute ? "/" : ".";
    return out;
}

bool PathHolds(std::string const& root, std::string const& path) {
    std::string r = NormalisePath(root), p = NormalisePath(path);
    if (r.empty() || p.empty()) return false;
    if (r == "/") return p[0] == '/';
    return p == r || (p.size() > r.size() && p.compare(0, r.size(), r) == 0 && p[r.size()] == '/');
}

std::string RealPath(std::string const& path) {
    char buf[PATH_MAX];
    if (path.empty() || !::realpath(path.c_str(), buf)) return std::string();
    return buf;
}

std::string ResolveAsFarAsExists(std::string const& path) {
    std::string head = NormalisePath(path);
    std::string tail;
    while (!head.empty()) {
        std::string real = RealPath(head);
        if (!real.empty()) return NormalisePath(tail.empty() ? real : real + "/" + tail);
        size_t slash = head.find_last_of('/');
        if (slash == std::string::npos || head == "/") break;
        tail = tail.empty() ? head.substr(slash + 1) : head.substr(slash + 1) + "/" + tail;
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
    return NormalisePath(path);
}

bool ResolvesStrictlyUnder(std::string const& root, std::string const& path) {
    std::string r = RealPath(root), p = RealPath(path);
    if (r.empty() || p.empty() || r == p) return false;
    return PathHolds(r, p);
}

std::string SnapshotRoot() { return nuvsuite::StatePath("snapshots"); }
std::string MountRoot() { return nuvsuite::StatePath("mounts"); }

}  // namespace nuvsnapmgr

namespace nuvsnapmgr {

std::string ResolvedStateRoot() { return RealPath(nuvsuite::StateRootPath()); }

std::string SuiteStateIn(std::string const& resolvedPath, std::string const& resolvedRoot) {
    if (resolvedRoot.empty() || !PathHolds(resolvedRoot, resolvedPath)) return std::string();
    std::string const where = NormalisePath(resolvedPath), root = NormalisePath(resolvedRoot);
    if (where == root) return root;
    std::string rest = where.substr(root.size());
    while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    std::string const first = rest.substr(0, rest.find('/'));
    static char const* const kOwn[] = {"registry", "jobresults", "temp",  "basehome", "logs",
                                       "locks",    "snapshots",  "mounts", "pool",     "faults.stamp"};
    for (char const* own : kOwn)
        if (first == own) return root + "/" + first;
    if (first.compare(0, 12, "catalogue.db") == 0) return root + "/" + first;
    return std::string();
}

std::string SuiteStateHolding(std::string const& path) {
    return SuiteStateIn(ResolveAsFarAsExists(path), ResolvedStateRoot());
}

}  // namespace nuvsnapmgr
