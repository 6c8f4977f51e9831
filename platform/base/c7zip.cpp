// C7zip (contract in the header).
#include "nuvdbsnap/platform/base/c7zip.h"

#include "nuvdbsnap/platform/base/process.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int k7zFormat = 2;

bool Runnable(std::string const& path) { return !path.empty() && ::access(path.c_str(), X_OK) == 0; }

// The program found in PATH, or "".
std::string InPath(std::string const& name) {
    char const* path = std::getenv("PATH");
    std::string const dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && Runnable(dir + "/" + name)) return dir + "/" + name;
        start = end + 1;
    }
    return std::string();
}

}  // namespace

C7zip::C7zip(std::string homeDirectory, int format) : m_home(std::move(homeDirectory)), m_format(format) {}

CFzError C7zip::Initialize() {
    if (m_format != k7zFormat)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Archive format %d is not supported", m_format);
    if (!m_program.empty()) return CFzError::Success();
    for (char const* name : {"7zz", "7z", "7za"}) {
        std::string found = m_home.empty() ? std::string() : m_home + "/" + name;
        if (!Runnable(found)) found = InPath(name);
        if (!found.empty()) {
            m_program = found;
            return CFzError::Success();
        }
    }
    return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "No 7-Zip program (7zz, 7z or 7za) was found");
}

CFzError C7zip::AddFilesToArchive(std::string const& archivePath, std::vector<std::string> const& files,
                                  std::map<std::string, std::string> const& names) {
    CFzError e = Initialize();
    if (e.IsError()) return e.Push(FZ_LOC);
    if (files.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "No file to add to [%s]", archivePath.c_str());
    std::vector<std::string> argv{m_program, "a", "-t7z", "-bd", "-y", "--", archivePath};
    argv.insert(argv.end(), files.begin(), files.end());
    std::string output, error;
    int rc = JzProcess::system(argv, &output, &error, 0, true);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "Adding %zu file(s) to [%s] failed (%d): %s", files.size(),
                                       archivePath.c_str(), rc, (error.empty() ? output : error).c_str());
    for (std::string const& file : files) {
        auto name = names.find(file);
        if (name == names.end()) continue;
        std::string stored = file.substr(file.rfind('/') + 1);
        rc = JzProcess::system({m_program, "rn", "-bd", "-y", "--", archivePath, stored, name->second}, &output,
                               &error, 0, true);
        if (rc != 0)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "Renaming [%s] in [%s] failed (%d): %s", stored.c_str(),
                                           archivePath.c_str(), rc, (error.empty() ? output : error).c_str());
    }
    return CFzError::Success();
}
