// The pre-snap (phase 1) and post-snap (phase 2) programs declared for an
// application (catalogue table sm_snap_tasks, declarable as `snaptask`).
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>

namespace nuvsnapmgr {

struct SnapTask {
    std::string program;  // absolute path
    std::string args;     // one command line, split by JzProcess::SplitCommandLine
};

// The task of `appId` for `phase`; *found is false when none is declared.
[[nodiscard]] CFzError GetSnapTask(unsigned long appId, int phase, SnapTask* task, bool* found);

}  // namespace nuvsnapmgr
