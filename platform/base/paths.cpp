// FXPath and CFzPath.
#include "nuvdbsnap/platform/base/paths.h"

#include "nuvdbsnap/platform/suite/path_text.h"

#include <cerrno>
#include <sys/stat.h>

namespace {
// The path without trailing "/" (a root stays "/").
std::string Stripped(std::string path) {
    FXString::RemoveRight(path, "/");
    return path;
}
}  // namespace

CFzError FXPath::RemoveTrailingDelimiter(std::string& path) {
    bool hadRoot = !path.empty() && path[0] == '/';
    FXString::RemoveRight(path, "/");
    if (path.empty() && hadRoot) path = "/";
    return CFzError::Success();
}

CFzError FXPath::Append(std::string& path, std::string const& component, int /*flags*/) {
    path = nuvsuite::JoinPath(path, component);
    return CFzError::Success();
}

CFzError FXPath::SplitParentPath(std::string const& path, std::string& parent, std::string& name) {
    if (path.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty path cannot be split");
    std::string p = Stripped(path);
    if (p.empty()) {  // the root
        parent = "/";
        name.clear();
        return CFzError::Success();
    }
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
        parent.clear();
        name = p;
    } else {
        name = p.substr(slash + 1);
        parent = p.substr(0, slash);
        FXString::RemoveRight(parent, "/");
        if (parent.empty()) parent = "/";
    }
    return CFzError::Success();
}

bool FXPath::DoesPathExist(std::string const& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

CFzString CFzPath::GetBaseName(std::string const& path) {
    if (path.empty()) return CFzString();
    std::string p = Stripped(path);
    if (p.empty()) return CFzString("/");
    size_t slash = p.rfind('/');
    return CFzString(slash == std::string::npos ? p : p.substr(slash + 1));
}

CFzString CFzPath::GetParent(std::string const& path) {
    std::string p = Stripped(path);
    size_t slash = p.rfind('/');
    if (p.empty() || slash == std::string::npos) return CFzString();
    std::string parent = p.substr(0, slash);
    FXString::RemoveRight(parent, "/");
    return CFzString(parent.empty() ? std::string("/") : parent);
}

CFzString CFzPath::Append(std::string const& path, std::string const& component) {
    std::string out = path;
    (void)FXPath::Append(out, component);
    return CFzString(out);
}

bool CFzPath::IsRoot(char const* path) {
    if (path == nullptr || *path == '\0') return false;
    for (char const* c = path; *c; ++c)
        if (*c != '/') return false;
    return true;
}

CFzError CFzPath::IsDirectory(char const* path, bool& isDirectory) {
    isDirectory = false;
    if (path == nullptr || *path == '\0') return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty path");
    struct stat st;
    if (stat(path, &st) != 0) {
        int err = errno;
        CFzError e = FXErrorUtil::ErrorErrNo(FZ_LOC, err, "stat(%s) failed", path);
        errno = err;
        return e;
    }
    isDirectory = S_ISDIR(st.st_mode);
    return CFzError::Success();
}

int CFzPath::Exists(char const* path) {
    struct stat st;
    return (path != nullptr && *path != '\0' && lstat(path, &st) == 0) ? 1 : 0;
}
