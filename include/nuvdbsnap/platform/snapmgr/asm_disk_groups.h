// The declared ASM disk groups of the local snapshot manager (catalogue kinds
// "asmgroup" and "asmdisk"). A group is named by a path that begins with "+"
// ("+DATA", "+DATA/ORCL/users.dbf"); its disk volumes are real volumes
// (directories or loop volumes), and a path inside the group stands for the
// same relative path on the disk that holds it. A volume of the group is one
// volume of the snapshot record (source "+NAME", flag 0x10000 once prepared);
// only GetDiskVolSnapForASMVolSnap shows its disks.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <vector>

class SMVolumeInfo;

namespace nuvsnapmgr {

// True when `path` names an ASM disk group (begins with "+").
bool IsAsmGroupPath(std::string const& path);

// The group that an ASM source path names: "+DATA/f" -> "DATA" ("+" optional).
std::string AsmGroupName(std::string const& sourcePath);

// Whether the group is declared (names compared without case) and the paths
// of its disk volumes, in path order.
[[nodiscard]] CFzError AsmGroupDisks(std::string const& group, bool* declared, std::vector<std::string>* disks);

// The files that an ASM path stands for: for each disk of its group, the disk
// path followed by the part of `asmPath` after the group's name, when it
// exists there ("+DATA" itself stands for the disk volumes). `declared` tells
// whether the group is declared; a path with a ".." component stands for nothing.
[[nodiscard]] CFzError AsmPathOnDisks(std::string const& asmPath, bool* declared, std::vector<std::string>* files);

// Turns one volume of a disk group (a "+NAME" source path) into one volume per
// disk volume of the declared group, in path order: the disk's path, device
// and mount options, the group's path as original source path, and the
// group's other fields without the flag JZSM_VOLUMEFLAGS_ASM_DISKGROUP. False,
// with a code (SM_ERR_*) and a text, for a source path that names no group, an
// undeclared group, a group without disks or a disk path that is no volume.
bool AsmDiskVolumes(SMVolumeInfo const& volume, std::vector<SMVolumeInfo>* disks, int* code, std::string* text);

}  // namespace nuvsnapmgr
