// Path rules of the snapshot manager: lexical normalisation, containment, and
// the check that a path the suite is about to remove lies under the state root.
#pragma once

#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include <string>

namespace nuvsnapmgr {

// True when `path` is `root` or lies below it (both normalised first); "/" holds every absolute path.
bool PathHolds(std::string const& root, std::string const& path);

// realpath(3); empty when the path does not resolve.
std::string RealPath(std::string const& path);

// `path` (absolute) with its deepest existing ancestor resolved (realpath) and
// the rest appended as written: where a mkdir -p of it would end up.
std::string ResolveAsFarAsExists(std::string const& path);

// True when `path` resolves (realpath) to a strict descendant of the resolved `root`.
bool ResolvesStrictlyUnder(std::string const& root, std::string const& path);

// The snapshot and mount roots of the current state root.
std::string SnapshotRoot();
std::string MountRoot();

}  // namespace nuvsnapmgr
