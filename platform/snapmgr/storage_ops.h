// Storage operations of the snapshot manager: loop devices, btrfs subvolumes,
// whole-file clones, mounts and the short freeze around a block clone. Each
// step that can fail on its own is journalled as ("snapmgr", <call>, <args>)
// and obeys the fault table (nuvsuite::EnterCall; the fault's code is the
// errno, a negative one means EIO).
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>

namespace nuvsnapmgr {

// Journals the step and applies the fault table: an error when a fault fires.
[[nodiscard]] CFzError StorageStep(char const* call, std::string const& args);

// True when this process may attach loop devices (root, /dev/loop-control);
// otherwise *why says what is missing.
bool LoopDevicesAvailable(std::string* why);

// A loop device attached with auto-clear: it detaches itself once nothing
// uses it any more (no mount, and this handle closed). Moving only.
class LoopAttachment {
public:
    LoopAttachment() = default;
    ~LoopAttachment() { Close(); }
    LoopAttachment(LoopAttachment&& other) noexcept;
    LoopAttachment& operator=(LoopAttachment&& other) noexcept;
    LoopAttachment(LoopAttachment const&) = delete;
    LoopAttachment& operator=(LoopAttachment const&) = delete;

    std::string const& device() const { return m_device; }
    // Closes the handle: a device nothing mounts detaches now.
    void Close();

private:
    friend CFzError AttachLoop(std::string const&, bool, LoopAttachment*);
    int m_fd = -1;
    std::string m_device;
};

// Step "attachLoop": attaches `image` to a free loop device.
[[nodiscard]] CFzError AttachLoop(std::string const& image, bool readOnly, LoopAttachment* out);

// The backing file of a loop device ("/dev/loopN"), "" when it is none.
std::string LoopBackingFile(std::string const& device);

// True when `path` lies on btrfs; true when it is also the root of a subvolume.
bool OnBtrfs(std::string const& path);
bool IsBtrfsSubvolume(std::string const& path);
// True when both paths lie on one btrfs file system (subvolumes included).
bool SameBtrfs(std::string const& a, std::string const& b);

// Step "btrfsSnapshot": a snapshot of subvolume `source` as `parentDir`/`name`
// (read-only when asked). EXDEV when the two lie on different file systems.
[[nodiscard]] CFzError BtrfsSnapshot(std::string const& source, std::string const& parentDir,
                                     std::string const& name, bool readOnly);
// A new, empty subvolume `parentDir`/`name`.
[[nodiscard]] CFzError BtrfsCreateSubvolume(std::string const& parentDir, std::string const& name);
// Deletes the subvolume at `path` (also a read-only one).
[[nodiscard]] CFzError BtrfsDeleteSubvolume(std::string const& path);

// True when files in `dir` can be cloned (FICLONE) into `dir`.
bool SupportsReflink(std::string const& dir);

// Step "cloneImage": clones the whole file `source` into the new file `dest`
// (mode 0600); a failed clone leaves no `dest`.
[[nodiscard]] CFzError CloneWholeFile(std::string const& source, std::string const& dest);

// Step "mount": mount(2) of `device` on `target` (an existing directory).
[[nodiscard]] CFzError MountDevice(std::string const& device, std::string const& target, std::string const& fsType,
                                   bool readOnly, std::string const& options);

// Holds the file system mounted at `mountPoint` still while it lives: frozen
// for it through the suite's freeze guard (thawed on destruction, and by the
// guard when this process dies), or already frozen by someone else (the
// engine's create) and then left to them.
class CloneFreeze {
public:
    CloneFreeze() = default;
    ~CloneFreeze();
    CloneFreeze(CloneFreeze const&) = delete;
    CloneFreeze& operator=(CloneFreeze const&) = delete;
    [[nodiscard]] CFzError Hold(std::string const& mountPoint);
    bool frozeItself() const { return !m_mountPoint.empty(); }

private:
    std::string m_mountPoint;  // frozen here
};

}  // namespace nuvsnapmgr
