// Read-only bind mounts through mount(2): bind, then remount read-only.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

namespace nuvsnapmgr {

// Creates the missing directories of `target` (their paths in *created,
// outermost first), bind-mounts `source` there and remounts it read-only. On
// failure nothing stays mounted and the created directories are removed again.
[[nodiscard]] CFzError BindMountReadOnly(std::string const& source, std::string const& target,
                                         std::vector<std::string>* created);

// Unmounts `target` (no lazy detach: a busy mount is an error).
[[nodiscard]] CFzError UnmountPath(std::string const& target);

}  // namespace nuvsnapmgr
