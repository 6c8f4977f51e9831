// jzsuite snapshot unmount | delete: one snapshot, through the snapshot service.
#include "cli_args.h"
#include "commands.h"

#include "nuvdbsnap/platform/snapmgr/snapshot_admin.h"

namespace jzsuite {

int CmdSnapshot(Words const& words) {
    if (words.size() != 2) return UsageError("snapshot", "an action and a snapshot ID expected");
    int64_t id = 0;
    std::string error;
    if (!ReadNumber("snapshot id", words[1], nuvsuite::AdminValue::kId, &id, &error))
        return UsageError("snapshot", error);
    CFzError e;
    if (words[0] == "unmount")
        e = nuvsnapmgr::UnmountSnapshot(id);
    else if (words[0] == "delete")
        e = nuvsnapmgr::DeleteSnapshot(id);
    else
        return UsageError("snapshot", "unknown action '" + words[0] + "'");
    if (e.IsError()) return Fail(1, e.AsString());
    return 0;
}

}  // namespace jzsuite
