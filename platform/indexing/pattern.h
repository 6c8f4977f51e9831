// The one set of path-pattern rules of the index: the first-generation query,
// the second-generation browse and the lookup all read patterns through it.
//   - a leading "\" is dropped;
//   - "*" matches any text within one path component, "**" any text across
//     components;
//   - a pattern without "*" names a directory: it selects the directory's
//     direct children ("/" lists the top level; a trailing "/" is ignored);
//     when nothing lies below that path, it selects the file entry of the
//     path itself, if there is one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nuvindexing {

struct PathPattern {
    bool directory = false;   // lists the children of `dir`
    std::string dir;          // directory form: the parent key of the children
    std::string prefix;       // wildcard form: literal text before the first "*"
    std::string glob;         // wildcard form: the whole pattern
    // Wildcard form: what follows the prefix when it is stars alone, the
    // common case: "**" (any text: the prefix decides) or "*" (any text
    // without '/'). Other patterns are matched whole.
    enum class Tail { kGeneral, kAnyText, kOneComponent } tail = Tail::kGeneral;
    // Wildcard form: the pattern read once into tokens (0: a literal
    // character, 1: "*", 2: "**").
    std::vector<std::pair<int, char>> tokens;

    bool Matches(std::string const& path) const;
};

PathPattern ParsePattern(std::string const& raw);

// The parent key of an entry's path: "/a/b" -> "/a", "/a" -> "/", "/" -> "".
std::string ParentKey(std::string const& path);

// The path with trailing "/" removed ("/" stays "/"; "" becomes "/").
std::string TrimPath(std::string const& path);

}  // namespace nuvindexing
