// Paths as "/"-separated texts: the one join, the one walk over a path's
// components, lexical normalisation and containment, and the realpath look-ups
// the suite's path rules stand on. Every layer above uses these.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuvsuite {

// `dir` and `name` with exactly one "/" between them: the trailing "/" of dir
// and the leading "/" of name are dropped ("/" and "//" stay "/"). An empty
// name gives dir as it is, an empty dir the name as it is.
std::string JoinPath(std::string const& dir, std::string const& name);

// One component of a path, as PathComponents hands it over.
struct PathStep {
    std::string_view name;  // the component, never empty
    std::string_view upTo;  // the path from its start to this component's end: "/a/b" for "b" of "/a/b/c"
    bool last;              // no component follows (trailing "/" do not count)
};

// The non-empty components of a path, first to last: "/a//b/" gives "a" and
// "b" ("/a" and "/a//b" as upTo); "", "/" and "//" give none. "." and ".."
// are components like any other. Holds its own copy of the path, so a
// temporary may be walked; a step's views live as long as the walk.
class PathComponents {
public:
    explicit PathComponents(std::string path) : m_path(std::move(path)) {}

    class Iterator {
    public:
        PathStep operator*() const;
        Iterator& operator++();
        bool operator==(Iterator const& other) const { return m_begin == other.m_begin; }
        bool operator!=(Iterator const& other) const { return m_begin != other.m_begin; }

    private:
        friend class PathComponents;
        Iterator(std::string const* path, size_t from);
        std::string const* m_path;
        size_t m_begin;  // where the component starts; npos past the last
        size_t m_end;    // one past its last character
    };

    Iterator begin() const { return Iterator(&m_path, 0); }
    Iterator end() const { return Iterator(&m_path, std::string::npos); }

private:
    std::string m_path;
};

// Collapses repeated "/", drops "." components and trailing "/" ("/" stays
// "/", an empty path stays empty, a relative one of nothing but "." is ".").
// Does not touch "..". Relative paths stay relative.
std::string NormalisePath(std::string const& path);

// True when `path` is `root` or lies below it at a component boundary (both
// normalised first); "/" holds every absolute path, an empty text nothing.
bool PathHolds(std::string const& root, std::string const& path);

// realpath(3); empty when the path does not resolve.
std::string RealPath(std::string const& path);

// `path` (absolute) with its deepest existing ancestor resolved (realpath) and
// the rest appended as written: where a mkdir -p of it would end up.
std::string ResolveAsFarAsExists(std::string const& path);

// True when `path` resolves (realpath) to a strict descendant of the resolved `root`.
bool ResolvesStrictlyUnder(std::string const& root, std::string const& path);

}  // namespace nuvsuite
