// The declared ASM disk groups of the local snapshot manager.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

namespace nuvsnapmgr {

// The group that an ASM source path names: "+DATA/f" -> "DATA" ("+" optional).
std::string AsmGroupName(std::string const& sourcePath);

// Whether the group is declared (names compared without case) and the paths
// of its disk volumes, in path order.
[[nodiscard]] CFzError AsmGroupDisks(std::string const& group, bool* declared, std::vector<std::string>* disks);

}  // namespace nuvsnapmgr
