// jzsuite volume: loop-backed volumes the suite makes itself.
#include "cli_args.h"
#include "commands.h"

#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"

#include <cstdio>

namespace jzsuite {

int CmdVolume(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"size", "fs"}, {}, &args, &error)) return UsageError("volume", error);
    if (args.positional.size() != 2) return UsageError("volume", "an action and a NAME expected");
    std::string const& action = args.positional[0];
    std::string const& name = args.positional[1];
    if (action == "create") {
        if (!args.has("size") || !args.has("fs")) return UsageError("volume", "--size and --fs are needed");
        uint64_t size = 0;
        if (!nuvsnapmgr::ParseVolumeSize(args.get("size"), &size))
            return UsageError("volume", "--size " + args.get("size") + " is no size (e.g. 512M, 2G)");
        std::string const fs = args.get("fs");
        if (fs != "btrfs" && fs != "xfs") return UsageError("volume", "--fs must be btrfs or xfs");
        nuvsnapmgr::LoopVolume made;
        CFzError e = nuvsnapmgr::CreateLoopVolume(name, fs, size, &made);
        if (e.IsError()) return Fail(1, "cannot create volume " + name + ": " + e.AsString());
        std::printf("%s\n", made.path.c_str());
        return 0;
    }
    if (action == "remove") {
        if (args.has("size") || args.has("fs")) return UsageError("volume", "remove takes no options");
        CFzError e = nuvsnapmgr::RemoveLoopVolume(name);
        if (e.IsError()) return Fail(1, "cannot remove volume " + name + ": " + e.AsString());
        return 0;
    }
    return UsageError("volume", "unknown action '" + action + "'");
}

}  // namespace jzsuite
