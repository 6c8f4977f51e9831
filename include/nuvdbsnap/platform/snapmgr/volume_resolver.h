// Which volume holds a path: a declared volume (catalogue table sm_volumes,
// the longest declared path that holds it), else the mount of this process
// that holds it (longest mount point). The volume's mount options read
// "fstype:options".
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/suite.h"

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

}  // namespace nuvsnapmgr
