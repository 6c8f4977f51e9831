#include "catalogue_health.h"

#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace nuvsuite {
namespace {

std::atomic<CatalogueDamageReporter> g_reporter{nullptr};

bool AnyEntry(char const* name) { return std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0; }

// A snapshot copy is named by its id ("12"), a half-made one ".partial-12".
bool SnapshotCopy(char const* name) {
    if (std::strncmp(name, ".partial-", 9) == 0) name += 9;
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

bool HoldsEntries(std::string const& dir, bool (*counts)(char const*)) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        if (counts(e->d_name)) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

}  // namespace

void SetCatalogueDamageReporter(CatalogueDamageReporter reporter) { g_reporter.store(reporter); }

namespace detail {

std::string StateRootProblem(std::string const& root) {
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
    if (::access(root.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return std::string();
}

std::string PriorUse(std::string const& root) {
    for (StateEntry const& entry : StateEntries()) {
        if (entry.sign == StateEntry::kNoSign) continue;
        bool (*counts)(char const*) = entry.sign == StateEntry::kSnapshotCopy ? &SnapshotCopy : &AnyEntry;
        if (HoldsEntries(JoinPath(root, entry.name), counts)) return entry.signText;
    }
    return std::string();
}

void ReportCatalogueDamage(std::string const& key, std::string const& text) {
    static std::mutex s_mutex;
    static std::set<std::string> s_reported;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (!s_reported.insert(std::to_string(::getpid()) + ":" + key).second) return;
    }
    CatalogueDamageReporter reporter = g_reporter.load();
    if (reporter != nullptr) reporter(text);
    else std::fprintf(stderr, "nuvsuite: %s\n", text.c_str());
}

}  // namespace detail
}  // namespace nuvsuite
