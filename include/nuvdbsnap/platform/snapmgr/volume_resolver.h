// Which volume holds a path: a declared volume (catalogue table sm_volumes,
// the longest declared path that holds it), else the mount of this process
// that holds it (longest mount point). The volume's mount options read
// "fstype:options".
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>

namespace nuvsnapmgr {

struct ResolvedVolume {
    std::string mountPoint;  // the volume's path: declared path or mount point
    std::string device;
    std::string fsType;
    std::string options;
    bool declared = false;
    std::string MountOptions() const { return fsType + ":" + options; }
};

// `path` must be absolute; it is resolved with realpath when it exists.
[[nodiscard]] CFzError ResolveVolume(std::string const& path, ResolvedVolume* out);

// Collapses repeated "/", drops "." components and trailing "/" ("/" stays "/").
// Does not touch "..". Relative paths stay relative.
std::string NormalisePath(std::string const& path);

// The state root, or the entry of the suite's own state in it (catalogue,
// fault stamp, registry/, jobresults/, temp/, basehome/, logs/, locks/,
// snapshots/, mounts/, pool/), that `path` (resolved as far as it exists) is
// or lies in; "" when none. The suite's own state is no place to restore
// files to; the loop volumes under volumes/ and other folders in the state
// root are not the suite's state.
std::string SuiteStateHolding(std::string const& path);
// The same for a path and a state root both resolved already (no look-up).
std::string SuiteStateIn(std::string const& resolvedPath, std::string const& resolvedRoot);
// The state root, resolved (realpath); "" when it does not resolve.
std::string ResolvedStateRoot();

}  // namespace nuvsnapmgr
