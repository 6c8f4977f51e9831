// Loop-backed volumes the local suite makes itself (`jzsuite volume ...`):
// a sparse image file in the image pool, a loop device, a mount at
// StatePath("volumes")/<name> and, for btrfs, a subvolume "data" that holds the
// data. The volume's path (the mount, or its "data" subvolume) is declared as a
// volume, so its snapshots are btrfs snapshots or block clones of the image.
// The image pool (StateRootPath()/pool) has reflink: a folder of the state
// root's own file system when it has reflink, else a btrfs file system on a
// loop device that the suite makes for the purpose (image "pool.img").
// Every step is undone on every failure road; a volume whose create was killed
// is taken down by SweepLeftovers. Callers must be root with loop devices.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>

class EvEvent;

namespace nuvsnapmgr {

struct LoopVolume {
    std::string name;
    std::string fsType;      // "btrfs" or "xfs"
    uint64_t size = 0;       // bytes
    std::string image;
    std::string mountPoint;
    std::string path;        // the declared volume
    std::string device;      // the loop device
};

// True when loop devices can be used here; otherwise *why says why not.
bool LoopVolumesAvailable(std::string* why);

// "512M", "1G", "1073741824": bytes (K, M, G, T are powers of 1024); false
// for anything else or zero.
bool ParseVolumeSize(std::string const& text, uint64_t* bytes);

// Makes and declares volume `name` (letters, digits, '.', '_', '-'; not
// starting with '.'; at most 64 characters).
[[nodiscard]] CFzError CreateLoopVolume(std::string const& name, std::string const& fsType, uint64_t size,
                                        LoopVolume* out);

// Takes volume `name` down (unmount, image, declaration); refused while the
// catalogue holds snapshots of it. The pool goes too when nothing is left in it.
[[nodiscard]] CFzError RemoveLoopVolume(std::string const& name);

// Takes down what killed runs left: mounts whose holder was killed, volumes
// whose create died half way and snapshots whose create died (their clones,
// mounts and copies).
void SweepLeftovers(EvEvent* event);

}  // namespace nuvsnapmgr
