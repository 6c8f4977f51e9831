// Read-only bind mounts: a detached clone of the source made read-only before
// it is attached (open_tree, mount_setattr, move_mount), so that no instant
// sees it writable; where the kernel lacks that API, bind then remount.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

namespace nuvsnapmgr {

// The directories of `target` (itself and its ancestors) that do not exist,
// outermost first.
std::vector<std::string> MissingDirectories(std::string const& target);

// Creates the missing directories of `target` (mode 0755; their paths in
// *created, outermost first). On failure the ones it made are removed again.
[[nodiscard]] CFzError MakeMountDirectories(std::string const& target, std::vector<std::string>* created);

// Removes the directories MakeMountDirectories made (innermost first), where empty.
void RemoveMountDirectories(std::vector<std::string>* created);

// Bind-mounts the directory `source` on `target` (which must exist),
// read-only from its first instant; checked read-only afterwards. On failure
// nothing stays mounted.
[[nodiscard]] CFzError BindMountReadOnly(std::string const& source, std::string const& target);

// Unmounts `target` (no lazy detach: a busy mount is an error).
[[nodiscard]] CFzError UnmountPath(std::string const& target);

}  // namespace nuvsnapmgr
