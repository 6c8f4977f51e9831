// The declared ASM disk groups of the local snapshot manager (catalogue kinds
// "asmgroup" and "asmdisk"). A group is named by a path that begins with "+"
// ("+DATA", "+DATA/ORCL/users.dbf"); its disk volumes are real volumes
// (directories or loop volumes), and a path inside the group stands for the
// same relative path on each of its disks.
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

// The ASM disk-group path of a volume: its source path when that names a group,
// else, for a disk volume that a group volume was turned into, the group's
// path it keeps as its original source path; "" for any other volume.
std::string AsmGroupPathOf(SMVolumeInfo const& volume);

// Whether the group is declared (names compared without case) and the paths
// of its disk volumes, in path order.
[[nodiscard]] CFzError AsmGroupDisks(std::string const& group, bool* declared, std::vector<std::string>* disks);

// The files that an ASM path stands for: for each disk of its group, the disk
// path followed by the part of `asmPath` after the group's name, when it
// exists there ("+DATA" itself stands for the disk volumes). `declared` tells
// whether the group is declared; a path with a ".." component stands for nothing.
[[nodiscard]] CFzError AsmPathOnDisks(std::string const& asmPath, bool* declared, std::vector<std::string>* files);

// Turns one volume of a disk group (flag JZSM_VOLUMEFLAGS_ASM_DISKGROUP, a
// "+NAME" source path) into one volume per disk volume of the declared group:
// the disk's path, device and mount options, the group's path as original
// source path, and the group's other fields; the group flag stays when
// `keepGroupFlag`. A volume that already is a disk volume of a group (an
// absolute source path) is copied. False, with a code (SM_ERR_*) and a text,
// for an undeclared group, a group without disks or a disk path that is no volume.
bool AsmDiskVolumes(SMVolumeInfo const& volume, bool keepGroupFlag, std::vector<SMVolumeInfo>* disks, int* code,
                    std::string* text);

}  // namespace nuvsnapmgr
