// Restoring files out of a mounted snapshot: where a source path lies under
// the snapshot's mount, where a file goes, and the copy itself (below).
// Shared by the restore-files client and the
// file-restore program.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <functional>
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

// True when a volume of `volumes` holds `source` (PathInSnapshot gives a path).
bool OnAVolume(std::vector<MountedVolume> const& volumes, std::string const& source);

// `path` without its first `level` components ("/a/b/c", 1 -> "b/c"); the
// base name when level reaches it. The components are those the path names
// ("." dropped, ".." taking back the one before it, as a source is read out
// of the snapshot): the result never holds "." or "..".
std::string StripComponents(std::string const& path, int level);

struct CopyCounts {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Finds (and may mount) the job's volume whose source path holds `path` when
// none of the volumes a copy was given holds it, or a volume of the job
// mounted inside theirs does; false when none does.
using VolumeFinder = std::function<bool(std::string const& path, MountedVolume* out)>;

// The state that the copies of one batch share: the volumes found on the
// way, the hard links among the restored files, the destination directory
// opened last, and the directories the batch made above its entries (they
// take their times when the batch ends).
class CopySession {
public:
    CopySession();
    CopySession(CopySession const&) = delete;
    CopySession& operator=(CopySession const&) = delete;
    ~CopySession();  // ends the batch (see finish) when that was not done
    void setVolumeFinder(VolumeFinder finder);
    // The source paths of every volume of the snap job. A volume mounted
    // inside another (its mount point a directory of the other) gives what
    // lies below its mount point, from its own snapshot (found through the
    // VolumeFinder when the copy was not given it); the volumes a copy is
    // given count as well.
    void setJobVolumes(std::vector<std::string> sourcePaths);
    // Who the batch is, as a restore refused by its claims is told ("restore
    // job 12"). The batch claims the trees it writes (nuvbase::TreeClaim)
    // until it ends: a restore of another process into the same tree, one
    // below or above it, is refused (EBUSY) naming the destination and holder.
    void setHolder(std::string const& holder);
    // Gives the directories the batch made their times; the error names each
    // one that could not take them.
    [[nodiscard]] CFzError finish();
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

// Copies `source` (an absolute path as the protected host saw it: a file,
// link, directory, FIFO, socket or device node on one of `volumes`) out of the
// snapshots to `to` (an absolute path), as `cp -a` copies it.
// - Nothing is read outside the snapshots: the source is walked by descriptor
//   from its volume's mount; a symbolic link on the way is resolved within
//   the snapshots (an absolute target on the snapshot of the volume that
//   holds it, found through the session's VolumeFinder when `volumes` lack
//   it); a link that leads to no snapshot fails the entry, naming the link.
// - `to` in the suite's own state (see nuvsuite::SuiteStateHolding) is
//   refused (EPERM), and so is every entry below `to` that would land there.
// - The directories above `to` are walked from "/" one by one; a symbolic
//   link on the way is followed only when root owns it, this process laid it
//   out from a snapshot, or (`to` being the source's own place) the snapshot
//   holds the same link (target and owner); any other fails the entry (ELOOP)
//   and writes nothing. Missing ones are made and take the owner, mode,
//   extended attributes and times of the snapshot's directory at the same
//   level above the source (0700 and the restorer's owner where the snapshot
//   has none); the times when the batch ends (`session`'s finish).
// - Each entry is made under a temporary name of its own in its directory
//   and renamed over the old name when complete: an inode the name held
//   (maybe a hard link of a file elsewhere) is never written, and a copy that
//   fails leaves the old entry whole and no partial file behind.
// - Kinds, owners, modes, times (links' too), extended attributes, ACLs and
//   holes are kept; names of one inode in the snapshot (file, symbolic
//   link, FIFO, socket, device node) stay one inode among the entries
//   `session` restores (copies where the destination cannot link them);
//   symbolic links are copied as links, never followed; directories with
//   their content.
// - An entry below a directory that cannot be restored does not stop the
//   others: the rest is restored and the error names each entry that was not.
// `session` (may be null) is shared by the copies of one batch.
// Hold point: ("restorefiles", "hold") matched against "written <path>" holds
// a file's copy with its content written under its temporary name, before
// the rename (see HoldWhereFaulted).
[[nodiscard]] CFzError CopyOut(std::vector<MountedVolume> const& volumes, std::string const& source,
                               std::string const& to, CopyCounts* counts, CopySession* session = nullptr);

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
