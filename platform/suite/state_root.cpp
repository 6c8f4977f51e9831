// The state root of the local suite and its sub-directories.
#include "nuvdbsnap/platform/suite/suite.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "catalogue_health.h"

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace nuvsuite {
namespace {

std::string EnvText(char const* name) {
    char const* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string HomeDirectory() {
    std::string home = EnvText("HOME");
    if (!home.empty()) return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/tmp";
}

// A relative root is made absolute against the current working directory.
std::string Absolute(std::string path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return path;
    return JoinPath(cwd, path);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// mkdir -p; errors surface later when the directory is used.
void MakeDirectories(std::string const& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return;
    for (PathStep const step : PathComponents(path)) {
        std::string const part(step.upTo);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
}

}  // namespace

std::string StateRootPath() {
    std::string root = EnvText("JZ_SUITE_ROOT");
    if (root.empty()) {
        std::string xdg = EnvText("XDG_STATE_HOME");
        root = !xdg.empty() ? xdg + "/nuvsuite" : HomeDirectory() + "/.local/state/nuvsuite";
    }
    root = WithoutTrailingSlashes(Absolute(root));

    // The root is made once per path and process; a removed root is made again.
    static std::mutex s_mutex;
    static std::string s_made;
    std::lock_guard<std::mutex> lock(s_mutex);
    struct stat st {};
    if (s_made != root || stat(root.c_str(), &st) != 0) {
        MakeDirectories(root);
        s_made = root;
        // Nothing of the suite, its log included, can be kept in such a root: said
        // once per root on standard error, the one place left to say it.
        static std::string s_reported;
        std::string const problem = detail::StateRootProblem(root);
        if (!problem.empty() && s_reported != root) {
            s_reported = root;
            std::fprintf(stderr, "nuvsuite: the state root [%s] cannot be written: %s\n", root.c_str(),
                         problem.c_str());
        }
    }
    return root;
}

std::string StatePath(char const* sub) {
    std::string path = StateRootPath();
    if (sub && *sub) {
        path = JoinPath(path, sub);
        MakeDirectories(path);
    }
    return path;
}

std::vector<StateEntry> const& StateEntries() {
    static std::vector<StateEntry> const entries{
        {"snapshots", StateEntry::kFolder, true, true, StateEntry::kSnapshotCopy, "snapshot copies under snapshots/"},
        {"jobresults", StateEntry::kFolder, true, true, StateEntry::kAnyEntry, "job results under jobresults/"},
        {"mounts", StateEntry::kFolder, true, true, StateEntry::kAnyEntry, "snapshot mounts under mounts/"},
        {"volumes", StateEntry::kFolder, false, false, StateEntry::kAnyEntry, "loop volumes under volumes/"},
        {"pool", StateEntry::kFolder, false, true, StateEntry::kAnyEntry, "volume images under pool/"},
        {"registry", StateEntry::kFolder, true, true, StateEntry::kNoSign, nullptr},
        {"temp", StateEntry::kFolder, true, true, StateEntry::kNoSign, nullptr},
        {"basehome", StateEntry::kFolder, true, true, StateEntry::kNoSign, nullptr},
        {"logs", StateEntry::kFolder, true, true, StateEntry::kNoSign, nullptr},
        {"locks", StateEntry::kFolder, true, true, StateEntry::kNoSign, nullptr},
        {"catalogue.db", StateEntry::kCatalogue, false, true, StateEntry::kNoSign, nullptr},
        {"faults.stamp", StateEntry::kFile, false, true, StateEntry::kNoSign, nullptr},
        {"pool.img", StateEntry::kFile, false, true, StateEntry::kNoSign, nullptr},
    };
    return entries;
}

std::string ResolvedStateRoot() { return RealPath(StateRootPath()); }

std::string SuiteStateIn(std::string const& resolvedPath, std::string const& resolvedRoot) {
    if (resolvedRoot.empty() || !PathHolds(resolvedRoot, resolvedPath)) return std::string();
    std::string const where = NormalisePath(resolvedPath), root = NormalisePath(resolvedRoot);
    if (where == root) return root;
    std::string first;  // the entry of the root the path lies in
    for (PathStep const step : PathComponents(where.substr(root.size()))) {
        first = step.name;
        break;
    }
    for (StateEntry const& entry : StateEntries()) {
        if (!entry.suiteOwn) continue;
        bool const named = entry.kind == StateEntry::kCatalogue  // its journal files share its name's start
                               ? first.compare(0, std::strlen(entry.name), entry.name) == 0
                               : first == entry.name;
        if (named) return JoinPath(root, first);
    }
    return std::string();
}

std::string SuiteStateHolding(std::string const& path) {
    return SuiteStateIn(ResolveAsFarAsExists(path), ResolvedStateRoot());
}

std::string SuiteStateOn(std::string const& path) {
    struct stat target {};
    if (path.empty() || stat(path.c_str(), &target) != 0) return std::string();
    std::string const root = StateRootPath();
    struct Place {
        std::string what;
        std::string path;
    };
    std::vector<Place> places{{"the state root", root}};
    for (StateEntry const& entry : StateEntries())
        if (entry.everyRoot)
            places.push_back({std::string("the suite's folder ") + entry.name + "/", JoinPath(root, entry.name)});
    for (StateEntry const& entry : StateEntries()) {
        if (entry.kind != StateEntry::kCatalogue) continue;
        for (char const* suffix : {"", "-wal", "-shm"})
            places.push_back({"the suite's catalogue", JoinPath(root, entry.name) + suffix});
    }
    std::string log = EnvText("JZ_LOG_FILE");
    if (log.empty()) log = root + "/logs/nuvdbsnap.log";
    std::string::size_type slash = log.find_last_of('/');
    places.push_back({"the log file", log});
    places.push_back({"the log file's folder", slash == std::string::npos ? "." : (slash == 0 ? "/" : log.substr(0, slash))});

    for (Place const& place : places) {
        struct stat st {};
        if (stat(place.path.c_str(), &st) != 0 || st.st_dev != target.st_dev) continue;
        std::string text = place.what + " [" + place.path + "]";
        char resolved[4096];
        ssize_t n = readlink(place.path.c_str(), resolved, sizeof resolved - 1);
        if (n > 0) text += " (a link to [" + std::string(resolved, static_cast<size_t>(n)) + "])";
        return text;
    }
    return std::string();
}

std::string CataloguePath() {
    return JoinPath(StateRootPath(), "catalogue.db");
}

}  // namespace nuvsuite
