// Path helpers over "/"-separated texts. FXPath works on std::string in place;
// CFzPath answers with CFzString values and file-system tests.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/strings.h"

#include <string>

class FXPath {
public:
    // Removes trailing "/" characters; a path made only of "/" becomes "/" (never "").
    // Always succeeds.
    static CFzError RemoveTrailingDelimiter(std::string& path);
    // Joins `component` to `path` with exactly one "/" between them. An empty path
    // becomes the component; an empty component leaves the path as it is.
    static CFzError Append(std::string& path, std::string const& component, int flags = 0);
    // "/a/b" -> "/a", "b"; "/a" -> "/", "a"; "a" -> "", "a"; trailing "/" ignored.
    // Fails (errno EINVAL) for an empty path.
    static CFzError SplitParentPath(std::string const& path, std::string& parent, std::string& name);
    static bool DoesPathExist(std::string const& path);  // lstat succeeds
};

class CFzPath {
public:
    static CFzString GetBaseName(std::string const& path);   // "/a/b/" -> "b"; "/" -> "/"
    static CFzString GetParent(std::string const& path);     // "/a/b" -> "/a"; "/a" -> "/"; "a" and "/" -> ""
    static CFzString Append(std::string const& path, std::string const& component);
    static bool IsRoot(char const* path);                    // "/" (or only "/" characters)
    // isDirectory from stat (links followed); an error carries errno and the path.
    static CFzError IsDirectory(char const* path, bool& isDirectory);
    static int Exists(char const* path);                     // 1 when lstat succeeds, else 0
};
