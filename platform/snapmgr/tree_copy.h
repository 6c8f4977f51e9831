// Copy of a directory tree and its removal.
// The copy keeps what `cp -a` keeps: directories, regular files, symbolic
// links, FIFOs, sockets and device nodes (made as mknod makes them), owners
// (where permitted), modes, access/modification times of every entry (links
// too), extended attributes and ACLs, holes of sparse files, and hard links
// among the copied entries (they stay links of one another; a copy of its own
// where a link cannot be made). Files are reflink clones (FICLONE) when the
// file system supports them - decided once per copy from the first file, with
// a full copy of a single file when a clone is refused with
// EOPNOTSUPP/EXDEV/EINVAL; a full copy moves only the data extents
// (SEEK_DATA/SEEK_HOLE) with copy_file_range, else read/write.
// The directory walk runs in the caller; the files are copied by up to
// `workers` threads (0: one per core, at most 8). It stays on the mount of the
// source root (an inner mount point becomes an empty directory) and skips the
// excluded directories, each with a log line.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <vector>

class EvEvent;

namespace nuvsnapmgr {

struct CopyStats {
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t symlinks = 0;
    uint64_t specials = 0;     // FIFOs, sockets and device nodes
    uint64_t skipped = 0;      // vanished entries, excluded and foreign-mount directories
    uint64_t cloned = 0;       // files copied by reflink
    uint64_t fullCopies = 0;   // files copied byte by byte
    uint64_t hardLinks = 0;    // entries made as links of a file copied before
    uint64_t bytes = 0;
    bool ownersKept = true;    // false when an owner could not be kept (chown not permitted)
};

struct CopyRequest {
    std::string source;                 // an existing directory
    std::string destination;            // must not exist; created
    std::vector<std::string> excluded;  // directories (by identity) not to copy
    EvEvent* event = nullptr;           // log context, may be null
    unsigned workers = 0;               // copying threads; 0: one per core, at most 8
};

[[nodiscard]] CFzError CopyTree(CopyRequest const& request, CopyStats* stats);

// Removes a directory tree without following symbolic links; refuses (error,
// nothing more removed) a tree that is itself a mount point, or to descend into
// a directory that is another mount.
[[nodiscard]] CFzError RemoveTree(std::string const& path);

}  // namespace nuvsnapmgr
