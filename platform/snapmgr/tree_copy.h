// Point-in-time copy of a directory tree and its removal.
// The copy keeps directories, regular files, symbolic links, modes, owners
// (where permitted) and access/modification times; files are reflink clones
// (FICLONE) when the file system supports them - decided once per copy from
// the first file, with a full copy of a single file when a clone is refused
// with EOPNOTSUPP/EXDEV/EINVAL - and never hard links. It stays on the mount
// of the source root (an inner mount point becomes an empty directory) and
// skips special files and the excluded directories, each with a log line.
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
    uint64_t skipped = 0;      // special files, vanished entries, excluded and foreign-mount directories
    uint64_t cloned = 0;       // files copied by reflink
    uint64_t fullCopies = 0;   // files copied byte by byte
    uint64_t bytes = 0;
    bool ownersKept = true;    // false when chown was not permitted
};

struct CopyRequest {
    std::string source;                 // an existing directory
    std::string destination;            // must not exist; created
    std::vector<std::string> excluded;  // directories (by identity) not to copy
    EvEvent* event = nullptr;           // log context, may be null
};

[[nodiscard]] CFzError CopyTree(CopyRequest const& request, CopyStats* stats);

// Removes a directory tree without following symbolic links; refuses (error,
// nothing more removed) a tree that is itself a mount point, or to descend into
// a directory that is another mount.
[[nodiscard]] CFzError RemoveTree(std::string const& path);

}  // namespace nuvsnapmgr
