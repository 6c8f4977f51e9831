// Restoring files out of a mounted snapshot: where a source path lies under
// the snapshot's mount, where a file goes, and the copy itself (regular files
// byte for byte with mode, owner and times; symbolic links as links;
// directories with their content). Shared by the restore-files client and the
// file-restore program.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

class SMVolSnapInfo;

namespace nuvrestorefiles {

// One mounted volume: its source path and the mount of its snapshot.
struct MountedVolume {
    std::string sourcePath;
    std::string mountPath;
};

std::vector<MountedVolume> MountedVolumes(SMVolSnapInfo const& record);

// The path of `source` under the mount of the volume that holds it (the
// longest source path that is a component prefix); "" when none holds it.
std::string PathInSnapshot(std::vector<MountedVolume> const& volumes, std::string const& source);

// `path` without its first `level` components ("/a/b/c", 1 -> "b/c"); the
// base name when level reaches it.
std::string StripComponents(std::string const& path, int level);

struct CopyCounts {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Copies `from` (a file, link or directory under a snapshot mount) to `to`.
// Missing directories above `to` are made; an existing file at `to` is
// replaced (a link there is replaced, never followed). `knownDirs` (may be
// null), shared by the copies of one batch, holds the directories already
// found or made: they are not tried again.
[[nodiscard]] CFzError CopyOut(std::string const& from, std::string const& to, CopyCounts* counts,
                               std::unordered_set<std::string>* knownDirs = nullptr);

// Redirect map lines ("source","destination" a line): a quoted line is split
// at its first `","`, any other at its first comma with the outer quotes of
// each side removed; a line without a usable separator is skipped. 0, or -1
// when the file cannot be read.
int ReadRedirectMap(std::string const& path, std::map<std::string, std::string>& map);

// Counts file of a restore job ("PartialRestore.txt" in the job-results
// directory under Brannox id `brannoxId`): "uncompressed compressed files".
std::string CountsFilePath(uint64_t jobId, int brannoxId);
// Adds to the counts file, under the job's counts lock. 0 or -1.
int AddToCountsFile(uint64_t jobId, int brannoxId, long long bytes, long long compBytes, int files);
// Reads and deletes the counts file under the same lock. 0 when it was read,
// 1 when there is none, -1 on failure.
int TakeCountsFile(uint64_t jobId, int brannoxId, long long& bytes, long long& compBytes, int& files);

}  // namespace nuvrestorefiles
