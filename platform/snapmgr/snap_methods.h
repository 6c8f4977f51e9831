// How the snapshot manager makes a volume's point-in-time copy: chosen once per
// volume from what the volume offers, as a feature with a fallback, and
// recorded with the snapshot (sm_snapshots.method):
//   "btrfs"        a btrfs subvolume: a read-only btrfs snapshot in the suite's
//                  snapshot area on the same file system (the state root's
//                  snapshots/ when it lies there, else ".nuvsuite-snapshots" at
//                  the top of the volume's mount); atomic, constant time;
//   "block-clone"  an XFS volume on a loop device whose image lies where the
//                  suite can clone it (snapshots/ or the image pool's clones/):
//                  the whole image cloned (FICLONE) while the file system is
//                  frozen (by the engine, else here for the clone alone), then
//                  attached read-only and mounted (nouuid,norecovery) at
//                  snapshots/<id>;
//   "reflink"      per-file reflink clones of the tree, else
//   "copy"         a full copy of the tree (holes and hard links kept).
// Every snapshot is seen as a directory of the volume's files (its device).
// The volume of an ASM disk group is snapped as one tree: the trees of its
// disks, copied one after another (reflink or copy) and laid over one another;
// a path that is no directory on more than one disk fails the snapshot.
#pragma once

#include "snapshot_store.h"
#include "tree_copy.h"

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

class EvEvent;

namespace nuvsnapmgr {

extern char const* const kMethodBtrfs;
extern char const* const kMethodBlockClone;
extern char const* const kMethodReflink;
extern char const* const kMethodCopy;

struct SnapPlan {
    std::string method;       // kMethodBtrfs, kMethodBlockClone or kMethodCopy (a tree: reflink or copy)
    std::string device;       // the directory that will hold the snapshot's files
    std::string image;        // block clone: the clone of the volume's image
    std::string sourceImage;  // block clone: the volume's image
    std::string mountPoint;   // block clone: the volume's mount point
    std::string fsType;       // block clone: the volume's file system
};

// The image pool of the suite's loop volumes and the folder of block clones in it.
std::string PoolRoot();
std::string CloneRoot();

// Chooses how snapshot `id` of the volume whose files lie at `source` (resolved) is made.
SnapPlan ChooseMethod(int64_t id, std::string const& source, EvEvent* event);

// Makes the snapshot as planned; on failure nothing of it is left. A tree copy
// reports how in *stats and sets *method to "reflink" or "copy".
[[nodiscard]] CFzError MakeSnapshot(SnapPlan const& plan, std::string const& source,
                                    std::vector<std::string> const& excluded, EvEvent* event, CopyStats* stats,
                                    std::string* method);

// How snapshot `id` of the volume of an ASM disk group is made: a tree at snapshots/<id>.
SnapPlan ChooseGroupMethod(int64_t id);

// Makes the snapshot of a disk group's volume from the trees of its `disks`
// (resolved paths, in order), as planned by ChooseGroupMethod; on failure
// nothing of it is left. *stats sums the copies; *method is "reflink" or "copy".
[[nodiscard]] CFzError MakeGroupSnapshot(SnapPlan const& plan, std::vector<std::string> const& disks,
                                         std::vector<std::string> const& excluded, EvEvent* event, CopyStats* stats,
                                         std::string* method);

// True when `device` may be removed as a snapshot: strictly under the snapshot
// root, or a snapshot in a ".nuvsuite-snapshots" area (lexically, when gone).
bool IsOwnSnapshotDevice(std::string const& device);

// Removes whatever a snapshot's create made (its device by method, a partial
// copy, a block clone's mount and image), only where the suite keeps them;
// what is gone already counts as removed.
[[nodiscard]] CFzError RemoveSnapshotCopy(SnapshotRow const& row);

}  // namespace nuvsnapmgr
