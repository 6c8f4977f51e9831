// What a copy of a file system entry keeps beside its data, as `cp -a` keeps
// it: the kind of a special file, owner, mode, times and extended attributes
// (POSIX access and default ACLs are the extended attributes
// "system.posix_acl_access" and "system.posix_acl_default").
//
// - Extended attributes are copied in full. An attribute the destination
//   refuses for its name space (EPERM, ENOTSUP: "trusted." without the
//   privilege, "user." on a link) is passed over, as `cp -a` passes it over;
//   an ACL the destination cannot hold is an error, and so is any other
//   failure. An ACL the destination inherited (from a default ACL of its
//   directory) that the source does not have is removed.
// - Owner, mode and times go on in the order that keeps all of them: the
//   owner first (a change of owner clears set-id bits and capabilities), then
//   the extended attributes, the mode, and the times last. A change of owner
//   that is not permitted leaves the copier's owner and is not an error.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <sys/stat.h>

namespace nuvbase {

// The extended attributes of the open entry `src` onto the open entry `dst`
// (descriptors open for reading or writing, not O_PATH). `what` names the
// destination in errors.
[[nodiscard]] CFzError CopyExtendedAttributes(int src, int dst, std::string const& what);

// The same for the entries `srcName` of `srcDir` and `dstName` of `dstDir`,
// neither followed when it is a symbolic link (for links, FIFOs, sockets and
// device nodes, which are not opened).
[[nodiscard]] CFzError CopyExtendedAttributesAt(int srcDir, std::string const& srcName, int dstDir,
                                                std::string const& dstName, std::string const& what);

// Makes `name` of `dirFd` a FIFO, socket, character or block device as `st`
// describes it (kind, permission bits, device number), as mknod makes it.
// EINVAL for any other kind.
[[nodiscard]] CFzError MakeSpecialAt(int dirFd, std::string const& name, struct stat const& st,
                                     std::string const& what);

// Everything but the data, in the order that keeps all of it: owner (where
// permitted), the extended attributes of `src`, mode and times of `st` (the
// source's status) onto the open entry `dst`.
[[nodiscard]] CFzError KeepMetadata(int src, int dst, struct stat const& st, std::string const& what);

// The same from `srcName` of `srcDir` onto `dstName` of `dstDir`, neither
// followed when it is a symbolic link (a link keeps owner, attributes and
// times; links have no mode of their own).
[[nodiscard]] CFzError KeepMetadataAt(int srcDir, std::string const& srcName, int dstDir, std::string const& dstName,
                                      struct stat const& st, std::string const& what);

// What a regular file this process makes in a directory gets from the
// start, without a default ACL there (a directory with one gives its own
// mode: the caller passes it by): the process's effective user, the
// directory's group when it is set-group-ID and the process's effective
// group else, and the mode asked for less the process's umask.
struct NewFileOwner {
    bool known = false;  // false when the umask or the directory cannot be told
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t umask = 0;
};
NewFileOwner NewFilesOf(int dirFd);

// True when a file made as `owner` says with the permission bits of `st` has
// the owner, group and mode of `st` already: nothing to set but the times.
// False for set-ID and sticky bits (KeepMetadata sets them after the owner).
bool MadeAsOwnFile(NewFileOwner const& owner, struct stat const& st);

// The process's umask as the kernel reports it (/proc/self/status), read
// without changing it; -1 when it cannot be told.
int ProcessUmask();

// Times only (access, modification) of `st` onto `name` of `dirFd`, not followed.
[[nodiscard]] CFzError KeepTimesAt(int dirFd, std::string const& name, struct stat const& st,
                                   std::string const& what);

}  // namespace nuvbase
