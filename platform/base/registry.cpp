// The settings registry over plain files (layout in registry.h).
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include "flock_wait.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace {

bool NameOk(std::string const& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c <= ' ' || c == 0x7F) return false;
    return true;
}

bool KeyOk(std::string const& key) {
    if (key.empty() || key[0] == '#') return false;
    for (unsigned char c : key)
        if (c <= ' ' || c == 0x7F) return false;
    return true;
}

// Lines of a section file as (key, value) in file order; a repeated key keeps
// its first position and its last value.
std::vector<std::pair<std::string, std::string>> ParseSection(std::string const& path) {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(path);
    if (!in) return out;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        size_t blank = line.find_first_of(" \t");
        std::string key = line.substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        if (key.empty()) continue;
        bool replaced = false;
        for (auto& kv : out) {
            if (kv.first == key) {
                kv.second = value;
                replaced = true;
                break;
            }
        }
        if (!replaced) out.emplace_back(key, value);
    }
    return out;
}

// Rewrites a section file through fn (which edits the key list) under the
// section's lock; the new content replaces the old with one rename.
CFzError Rewrite(std::string const& instance, std::string const& section,
                 void (*fn)(std::vector<std::pair<std::string, std::string>>&, std::string const&,
                            std::string const&),
                 std::string const& key, std::string const& value) {
    std::string path = JZRegistry::SectionPath(instance, section);
    if (path.empty())
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unusable registry instance [%s] or section [%s]",
                                       instance.c_str(), section.c_str());
    std::string dir = JZRegistry::Root() + "/" + instance;
    CFzError e = CFzDirectory::Create(dir, true);
    if (e.IsError()) return e.Push(FZ_LOC, "Cannot create registry directory");

    std::string lockPath = dir + "/." + section + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        int err = errno;
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Cannot open registry lock [%s]", lockPath.c_str());
    }
    if (!FlockWait(lockFd, true, ~0UL)) {
        int err = errno;
        close(lockFd);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "Cannot lock registry section [%s]", path.c_str());
    }

    auto values = ParseSection(path);
    fn(values, key, value);
    std::string content;
    for (auto const& kv : values) content += kv.first + " " + kv.second + "\n";

    e = FXFile::WriteWhole(path, content, 0644);
    close(lockFd);  // releases the lock
    return e.IsError() ? e.Push(FZ_LOC, "Registry write failed") : CFzError::Success();
}

void SetIn(std::vector<std::pair<std::string, std::string>>& values, std::string const& key,
           std::string const& value) {
    for (auto& kv : values) {
        if (kv.first == key) {
            kv.second = value;
            return;
        }
    }
    values.emplace_back(key, value);
}

void RemoveFrom(std::vector<std::pair<std::string, std::string>>& values, std::string const& key,
                std::string const&) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->first == key) {
            values.erase(it);
            return;
        }
    }
}

}  // namespace

std::string JZRegistry::Root() {
    char const* env = getenv("JZREG");
    if (env != nullptr && *env != '\0') return env;
    char const* suite = getenv("JZ_SUITE_ROOT");
    if (suite != nullptr && *suite != '\0') return nuvsuite::StatePath("registry");
    return "/etc/OrvantisRegistry";
}

std::string JZRegistry::SectionPath(std::string const& instance, std::string const& section) {
    if (!NameOk(instance) || !NameOk(section)) return std::string();
    return Root() + "/" + instance + "/" + section;
}

bool JZRegistry::getValue(std::string const& instance, std::string const& section, std::string const& key,
                          std::string* value) {
    std::string path = SectionPath(instance, section);
    if (path.empty() || !KeyOk(key)) return false;
    for (auto const& kv : ParseSection(path)) {
        if (kv.first == key) {
            if (value) *value = kv.second;
            return true;
        }
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> JZRegistry::listValues(std::string const& instance,
                                                                        std::string const& section) {
    std::string path = SectionPath(instance, section);
    if (path.empty()) return {};
    return ParseSection(path);
}

CFzError JZRegistry::setValue(std::string const& instance, std::string const& section, std::string const& key,
                              std::string const& value) {
    if (!KeyOk(key)) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unusable registry key [%s]", key.c_str());
    if (value.find_first_of("\r\n") != std::string::npos)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "A registry value cannot hold a line break (key [%s])",
                                       key.c_str());
    return Rewrite(instance, section, &SetIn, key, value);
}

CFzError JZRegistry::removeValue(std::string const& instance, std::string const& section,
                                 std::string const& key) {
    if (!KeyOk(key)) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unusable registry key [%s]", key.c_str());
    if (!getValue(instance, section, key, nullptr)) return CFzError::Success();
    return Rewrite(instance, section, &RemoveFrom, key, std::string());
}
