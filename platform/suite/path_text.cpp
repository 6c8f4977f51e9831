// The path texts every layer shares: join, component walk, normalisation.
#include "nuvdbsnap/platform/suite/path_text.h"

#include <climits>
#include <cstdlib>

namespace nuvsuite {

std::string JoinPath(std::string const& dir, std::string const& name) {
    if (name.empty()) return dir;
    if (dir.empty()) return name;
    size_t const dirEnd = dir.find_last_not_of('/');  // npos: dir is "/" alone, or a run of them
    size_t const dirLength = dirEnd == std::string::npos ? 0 : dirEnd + 1;
    size_t nameStart = name.find_first_not_of('/');
    if (nameStart == std::string::npos) nameStart = name.size();
    std::string out;
    out.reserve(dirLength + 1 + name.size() - nameStart);
    out.append(dir, 0, dirLength);
    out += '/';
    out.append(name, nameStart, std::string::npos);
    return out;
}

PathComponents::Iterator::Iterator(std::string const* path, size_t from) : m_path(path), m_begin(from), m_end(from) {
    if (m_begin == std::string::npos) return;
    m_begin = m_path->find_first_not_of('/', from);
    if (m_begin == std::string::npos) return;
    m_end = m_path->find('/', m_begin);
    if (m_end == std::string::npos) m_end = m_path->size();
}

PathStep PathComponents::Iterator::operator*() const {
    std::string_view const all(*m_path);
    return PathStep{all.substr(m_begin, m_end - m_begin), all.substr(0, m_end),
                    m_path->find_first_not_of('/', m_end) == std::string::npos};
}

PathComponents::Iterator& PathComponents::Iterator::operator++() {
    *this = Iterator(m_path, m_end);
    return *this;
}

std::string NormalisePath(std::string const& path) {
    if (path.empty()) return path;
    bool const absolute = path[0] == '/';
    std::string out = absolute ? "/" : "";
    for (PathStep const step : PathComponents(path)) {
        if (step.name == ".") continue;
        if (out.size() > 1 || (!out.empty() && !absolute)) out += '/';
        out += step.name;
    }
    if (out.empty()) out = ".";
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
        if (!real.empty()) return NormalisePath(JoinPath(real, tail));
        size_t slash = head.find_last_of('/');
        if (slash == std::string::npos || head == "/") break;
        tail = JoinPath(head.substr(slash + 1), tail);
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
    return NormalisePath(path);
}

bool ResolvesStrictlyUnder(std::string const& root, std::string const& path) {
    std::string r = RealPath(root), p = RealPath(path);
    if (r.empty() || p.empty() || r == p) return false;
    return PathHolds(r, p);
}

}  // namespace nuvsuite
