#include "mount_prefix.h"

#include "nuvdbsnap/platform/suite/path_text.h"

#include <algorithm>

namespace nuvcatalogue {

std::string TrimMount(std::string const& mount) {
    size_t end = mount.find_last_not_of('/');
    if (end == std::string::npos) return mount.empty() ? std::string() : std::string("/");
    return mount.substr(0, end + 1);
}

bool UnderMount(std::string const& path, std::string const& mount, std::string& rest) {
    std::string const trimmed = TrimMount(mount);
    if (trimmed.empty() || trimmed == "/") {
        size_t start = path.find_first_not_of('/');
        rest = start == std::string::npos ? std::string() : path.substr(start);
        return true;
    }
    if (path.compare(0, trimmed.size(), trimmed) != 0) return false;
    if (path.size() != trimmed.size() && path[trimmed.size()] != '/') return false;
    size_t start = path.find_first_not_of('/', trimmed.size());
    rest = start == std::string::npos ? std::string() : path.substr(start);
    return true;
}

bool ReplicaMount(std::string const& sourcePath, std::string const& relative, std::string const& mount,
                  std::string& replicaMount) {
    size_t const end = sourcePath.find_last_not_of('/');
    size_t const n = end == std::string::npos ? 0 : end + 1;
    if (relative.size() < n || relative.compare(0, n, sourcePath, 0, n) != 0) return false;
    if (n > 0 && relative.size() > n && relative[n] != '/') return false;
    replicaMount = mount + relative.substr(n);
    return true;
}

std::string JoinMount(std::string const& snapMount, std::string const& rest) {
    if (rest.empty()) return TrimMount(snapMount);
    return nuvsuite::JoinPath(snapMount.empty() ? "/" : snapMount, rest);
}

std::string CollapseSlashes(std::string const& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    return out;
}

std::string ReplaceChar(std::string text, char from, char to) {
    std::replace(text.begin(), text.end(), from, to);
    return text;
}

}  // namespace nuvcatalogue
