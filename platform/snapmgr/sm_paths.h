// Path rules of the snapshot manager: the suite's path texts (normalisation,
// containment, realpath look-ups) under the snapshot manager's names, and the
// snapshot manager's folders of the state root.
#pragma once

#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"
#include "nuvdbsnap/platform/suite/path_text.h"

#include <string>

namespace nuvsnapmgr {

using nuvsuite::NormalisePath;
using nuvsuite::PathHolds;
using nuvsuite::RealPath;
using nuvsuite::ResolveAsFarAsExists;
using nuvsuite::ResolvesStrictlyUnder;

// The snapshot and mount roots of the current state root.
std::string SnapshotRoot();
std::string MountRoot();

}  // namespace nuvsnapmgr
