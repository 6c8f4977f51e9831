// Files put in place in a directory that others may reach: what a restore
// writes into its destination.
//
// - FileDataCopier copies a file's data extents only (SEEK_DATA/SEEK_HOLE),
//   with copy_file_range, else read/write: holes stay holes. A file whose
//   blocks cover its size has no holes: its data is copied whole, unsearched.
// - OpenDirectoryGuarded opens a directory path component by component from
//   "/" (or from a directory descriptor), with path-only descriptors, never
//   through a symbolic link unless root owns the link or this process laid it
//   out (NoteLaidOutLink) or the caller allows it - so a link planted in a
//   destination cannot lead a write elsewhere.
// - PlaceFileAt / PlaceSymlinkAt / PlaceHardLinkAt / PlaceAt give a name of an
//   open directory a new file, link, hard link or special file: it is made
//   under a temporary name of its own writer in that directory
//   (ReplacementName: made with O_EXCL, never an entry of another writer) and
//   renamed over the name once complete. The inode the name held before is
//   never written (a hard link of an outside file stays as it was), and a
//   failure removes the temporary entry and leaves the name as it was.
//   Temporary entries that killed writers left are removed by
//   ClearStaleReplacements from a directory a restore enters, and from a
//   killed restore's whole destination by SweepAbandonedClaims (tree_claim.h).
//
// Fault point: ("file", "write", <directory path>/<name>) fails a placement
// after its content was written, before the rename.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace nuvbase {

// Copies file data between descriptors, keeping holes; one per thread (it
// keeps its buffer and what the file systems allowed).
class FileDataCopier {
public:
    // The first `size` bytes of `src` into `dst` (a new, empty file) at the
    // same offsets; `dst` is sized to `size` at the end. `what` names the file in errors. A source
    // that ends before `size` (shorter than recorded, or cut during the copy)
    // fails the copy (EIO): it is never made up with zeros.
    [[nodiscard]] CFzError Copy(int src, int dst, uint64_t size, std::string const& what);
    // The same for a source whose status `st` was taken (its size is the size
    // copied): a file whose blocks cover its size is dense and copied as one
    // range, without looking for holes; any other as above.
    [[nodiscard]] CFzError Copy(int src, int dst, struct stat const& st, std::string const& what);

private:
    CFzError CopyRange(int src, int dst, off_t from, off_t to, uint64_t size, std::string const& what);
    static constexpr size_t kBuffer = 256 << 10;
    bool m_useRange = true;
    std::unique_ptr<char[]> m_buffer;
};

// Records that this process made the symbolic link `name` of `dirFd` from a
// snapshot's layout: OpenDirectoryGuarded may go through it.
void NoteLaidOutLink(int dirFd, std::string const& name);

// True when a link may be followed by a restore's walk: root owns it or
// NoteLaidOutLink recorded it.
bool MayFollowLink(struct stat const& link);

// Opens the directory `path` (absolute) component by component: a path-only
// descriptor (O_PATH: for the *at calls; fchown, fchmod and reading need a
// descriptor opened from it). A symbolic link on the way is followed (its
// target walked the same way) only when root owns it or NoteLaidOutLink
// recorded it; any other link fails with ELOOP. With `make`, missing
// directories are made with `mode` (and *made, when not null, tells whether
// the last one was made). The descriptor, or -1 with errno set and *error
// (when not null) saying which component.
int OpenDirectoryGuarded(std::string const& path, bool make, mode_t mode, std::string* error, bool* made = nullptr);

// A link the caller allows to be followed beside those above: its path as
// walked, its status and its target.
using LinkAllowance = std::function<bool(std::string const& path, struct stat const& link, std::string const& target)>;

// The same from the directory `startFd` (shown as `shown` in errors) when
// `path` is relative (an absolute path, or startFd < 0, starts at "/").
int OpenDirectoryGuardedAt(int startFd, std::string const& shown, std::string const& path, bool make, mode_t mode,
                           std::string* error, bool* made = nullptr, LinkAllowance const& allow = nullptr);

// The target of the link `name` of `dirFd`, whatever size its status shows
// (0 for links of /proc). False with errno set.
bool ReadLinkAt(int dirFd, std::string const& name, std::string* target);

// A new temporary name for a placement of `name` by this process:
// ".<name>.<pid>-<start time>-<count>.nuvrst" (a digest stands for a name too
// long), different at every call.
std::string ReplacementName(std::string const& name);
// The writer (pid and start time) of a temporary name: false when `entry` is
// not one exactly as ReplacementName writes them.
bool ReplacementWriter(std::string const& entry, pid_t* pid, unsigned long long* start);
// True when `entry` is a temporary name whose writer is gone.
bool IsStaleReplacement(std::string const& entry);
// Removes the temporary entries of gone writers from the directory; how many
// (-1 when it cannot be read).
int ClearStaleReplacements(int dirFd);

// `fill` writes the new file's content (and may set its owner, mode and
// times) on the open descriptor. `shown` names the directory in errors.
[[nodiscard]] CFzError PlaceFileAt(int dirFd, std::string const& shown, std::string const& name, mode_t mode,
                                   std::function<CFzError(int fd)> const& fill);
// A symbolic link to `target`, owned by uid:gid where permitted.
[[nodiscard]] CFzError PlaceSymlinkAt(int dirFd, std::string const& shown, std::string const& name,
                                      std::string const& target, uid_t uid, gid_t gid);
// A hard link of the file `fromName` of `fromDirFd`.
[[nodiscard]] CFzError PlaceHardLinkAt(int dirFd, std::string const& shown, std::string const& name, int fromDirFd,
                                       std::string const& fromName);
// Any entry: `make` makes it under the temporary name it is given (0, or -1
// with errno: EEXIST tries another name); `finish` (may be empty) completes it.
[[nodiscard]] CFzError PlaceAt(int dirFd, std::string const& shown, std::string const& name,
                               std::function<int(std::string const& temp)> const& make,
                               std::function<CFzError(std::string const& temp)> const& finish);

}  // namespace nuvbase
