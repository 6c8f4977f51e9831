// Releasing what the snapshot manager made: a mount (unmount, remove the
// directories made for it that lie under the state root, drop its row) and a
// snapshot (its mounts, its copy - only under the snapshot root - and its row).
#pragma once

#include "snapshot_store.h"

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

class EvEvent;

namespace nuvsnapmgr {

// Unmounts the mount only when the directory visible at its path is still the
// snapshot's copy (a mount made outside the suite, or one that took the place of
// the suite's, is left alone), removes the directories made for it that lie
// under the state root and are empty, and drops its row.
[[nodiscard]] CFzError ReleaseMount(MountRow const& mount);

// True when `path` resolves to a mount point whose root is the directory
// `snapDevice` (same device and inode): the snapshot is mounted there.
bool IsSnapshotMountedAt(std::string const& path, std::string const& snapDevice);

// Unmounts every mount of the copy `snapDevice` stacked at `path` (none there
// is no error); an error when one stays.
[[nodiscard]] CFzError UnmountSnapshotAt(std::string const& path, std::string const& snapDevice);

// The mount points that show the snapshot's copy (binds of it), from the mount table.
std::vector<std::string> MountsOfCopy(SnapshotRow const& snapshot);

// Unmounts the binds of the snapshot that no row records (left by a run killed
// before mounts were recorded first): under the suite's mount areas only, or
// `anywhere`.
[[nodiscard]] CFzError ReleaseUnrecordedMounts(SnapshotRow const& snapshot, bool anywhere, EvEvent* event);

[[nodiscard]] CFzError ReleaseSnapshot(SnapshotRow const& snapshot);

// Releases the mounts whose holder was killed (see ClaimAbandonedMounts): their
// mounts, the directories made for them and their rows. Failures are logged.
void SweepAbandonedMounts(EvEvent* event);

// Removes what creates that died half way left behind: their partial or
// renamed copies under the snapshot root and their rows. Failures are logged.
void SweepAbandonedCreates(EvEvent* event);

}  // namespace nuvsnapmgr
