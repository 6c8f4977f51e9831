// Restoring files out of a mounted snapshot: where a source path lies under
// the snapshot's mount, where a file goes, and the copy itself (below).
// Shared by the restore-files client and the
// file-restore program.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
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

// The state that the copies of one batch share: the hard links among the
// restored files, and the destination directory opened last.
class CopySession {
public:
    CopySession();
    CopySession(CopySession const&) = delete;
    CopySession& operator=(CopySession const&) = delete;
    ~CopySession();
    struct State;
    State& state() { return *m_state; }

private:
    std::unique_ptr<State> m_state;
};

// Where an entry of a restore goes, decided by the request alone (never by
// what the destination holds, so that a rerun lays out what the first run
// did): no destination is the source path itself; a destination that ends in
// "/" is a directory the source goes into under its base name; any other is
// the source's whole new path.
std::string EntryDestination(std::string const& source, std::string const& dest);

// Copies `from` (a file, link or directory under a snapshot mount) to `to`
// (an absolute path).
// - `to` in the suite's own state (see nuvsnapmgr::SuiteStateHolding) is
//   refused (EPERM).
// - The directories above `to` are walked from "/" one by one; missing ones
//   are made (0755); a symbolic link on the way is followed only when root
//   owns it or this process laid it out from a snapshot, else the copy fails
//   (ELOOP) and writes nothing.
// - Each file, link and hard link is made under a temporary name in its
//   directory and renamed over the old name when complete: an inode the name
//   held (maybe a hard link of a file elsewhere) is never written, and a copy
//   that fails leaves the old file whole and no partial file behind.
// - Regular files keep mode, owner, times and holes; files that are hard links
//   of one another in the snapshot stay hard links among the files `session`
//   restores; symbolic links are copied as links (and may be followed later);
//   directories with their content.
// `session` (may be null) is shared by the copies of one batch.
[[nodiscard]] CFzError CopyOut(std::string const& from, std::string const& to, CopyCounts* counts,
                               CopySession* session = nullptr);

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
