// Releasing what the snapshot manager made: a mount (unmount, remove the
// directories made for it that lie under the state root, drop its row) and a
// snapshot (its mounts, its copy - only under the snapshot root - and its row).
#pragma once

#include "snapshot_store.h"

#include "nuvdbsnap/foundation/error.h"

namespace nuvsnapmgr {

[[nodiscard]] CFzError ReleaseMount(MountRow const& mount);

// True when `device` may be removed as a snapshot copy: it resolves strictly
// under the snapshot root (or, when it no longer exists, lies there lexically).
bool IsOwnSnapshotDevice(std::string const& device);

[[nodiscard]] CFzError ReleaseSnapshot(SnapshotRow const& snapshot);

}  // namespace nuvsnapmgr
