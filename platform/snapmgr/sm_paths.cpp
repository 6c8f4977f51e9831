#include "sm_paths.h"

#include "nuvdbsnap/platform/suite/suite.h"

namespace nuvsnapmgr {

std::string SnapshotRoot() { return nuvsuite::StatePath("snapshots"); }
std::string MountRoot() { return nuvsuite::StatePath("mounts"); }

}  // namespace nuvsnapmgr
