// The mount table of this process (/proc/self/mountinfo) and the lookup of the
// mount that holds a path: the longest mount point that is the path or one of
// its ancestors.
#pragma once

#include <string>
#include <vector>

namespace nuvsnapmgr {

struct MountEntry {
    std::string device;       // major:minor of the file system
    std::string mountPoint;   // unescaped
    std::string root;         // root of the mount within its file system
    std::string fsType;
    std::string source;       // device or source text
    std::string options;      // per-mount options, e.g. "rw,relatime"
    std::string superOptions;
};

// Parses mountinfo text; malformed lines are skipped. Octal escapes (\040 ...) are undone.
std::vector<MountEntry> ParseMountInfo(std::string const& text);

// The text of /proc/self/mountinfo ("" when unreadable).
std::string ReadSelfMountInfo();

// The entry with the longest mount point that holds `path` (normalised, not
// resolved); false when none does. With several mounts on one point the last
// (the visible one) wins.
bool FindMountForPath(std::vector<MountEntry> const& table, std::string const& path, MountEntry* out);

// The mount points of `table` that show the directory `dir` (resolved) as
// their root - binds of it - other than `dir` itself, in table order (a point
// with several such mounts stacked on it appears once per mount).
std::vector<std::string> MountPointsShowing(std::vector<MountEntry> const& table, std::string const& dir);

// True when `path` (normalised) is a mount point in this process.
bool IsMountPoint(std::string const& path);

}  // namespace nuvsnapmgr
