// jzsuite init and jzsuite set.
#include "cli_args.h"
#include "commands.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace jzsuite {

namespace {

// The package's base-home folder, found from where this jzsuite lies (an
// install or the build tree, which mirrors the install's layout).
std::string PackageBaseHome() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/'));
    return dir + "/" + NUV_BASEHOME_FROM_BINDIR;
}

}  // namespace

int CmdInit(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"root"}, {}, &args, &error)) return UsageError("init", error);
    if (!args.positional.empty()) return UsageError("init", "unexpected word '" + args.positional[0] + "'");
    if (args.has("root")) {
        // An absolute, normalised path, as every path an operator types: a
        // relative one would name another root from every other directory.
        nuvsuite::CatValue root;
        if (!ReadValue("--root", args.get("root"), nuvsuite::AdminValue::kPath, &root, &error))
            return UsageError("init", error);
        setenv("JZ_SUITE_ROOT", nuvsuite::AsText(root).c_str(), 1);
    }
    std::string const root = nuvsuite::StateRootPath();
    for (nuvsuite::StateEntry const& entry : nuvsuite::StateEntries())
        if (entry.everyRoot) nuvsuite::StatePath(entry.name);
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM schema_versions", {}, &rows);
    if (e.IsError()) return Fail(1, "cannot open the catalogue under " + root + ": " + e.AsString());
    std::string const package = PackageBaseHome();
    std::vector<std::string> linked;
    struct stat st;
    if (stat(package.c_str(), &st) == 0) {
        e = FillBaseHome(package, &linked);
        if (e.IsError()) return Fail(1, "cannot fill the base home from " + package + ": " + e.AsString());
    }
    if (linked.empty())
        std::fprintf(stderr, "jzsuite: no programs or libraries in %s: the base home stays empty\n",
                     package.c_str());
    std::printf("%s\n", root.c_str());
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why))
        std::fprintf(stderr,
                     "jzsuite: %s: `jzsuite volume create` cannot work here, and snapshots are reflink or full "
                     "copies of the files (no block clones of loop volumes)\n",
                     why.c_str());
    return 0;
}

int CmdSet(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"instance"}, {}, &args, &error)) return UsageError("set", error);
    if (args.positional.size() != 3) return UsageError("set", "SECTION, KEY and VALUE expected");
    std::string const instance = args.get("instance", JZRegistry::kDefaultInstance);
    CFzError e = JZRegistry::setValue(instance, args.positional[0], args.positional[1], args.positional[2]);
    if (e.IsError()) return Fail(1, "cannot set " + args.positional[0] + "/" + args.positional[1] + ": " + e.AsString());
    return 0;
}

}  // namespace jzsuite
