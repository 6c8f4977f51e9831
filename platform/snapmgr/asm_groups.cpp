// ASM disk groups of the local snapshot manager: a declared group and the
// paths of its disk volumes (each a declared volume or a mount).
//   sm_asm_groups  one row per disk group (name, without the leading "+")
//   sm_asm_disks   the disk volumes of a group (group name, volume path)
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"

#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/path_text.h"

#include <sys/stat.h>

namespace nuvsnapmgr {
namespace {

nuvsuite::SchemaPart s_asm{"snapmgr", 6, R"SQL(
CREATE TABLE IF NOT EXISTS sm_asm_groups (
  name TEXT PRIMARY KEY COLLATE NOCASE);
CREATE TABLE IF NOT EXISTS sm_asm_disks (
  group_name TEXT NOT NULL COLLATE NOCASE,
  path TEXT NOT NULL,
  PRIMARY KEY (group_name, path));
)SQL"};

nuvsuite::AdminTable s_groups{"asmgroup", "sm_asm_groups", true, "name"};
nuvsuite::AdminTable s_disks{"asmdisk", "sm_asm_disks", true, "group_name, path"};

// True when a component of `path` is "..".
bool HasDotDot(std::string const& path) {
    for (nuvsuite::PathStep const step : nuvsuite::PathComponents(path))
        if (step.name == "..") return true;
    return false;
}

}  // namespace

bool IsAsmGroupPath(std::string const& path) { return !path.empty() && path[0] == '+'; }

std::string AsmGroupName(std::string const& sourcePath) {
    size_t const start = !sourcePath.empty() && sourcePath[0] == '+' ? 1 : 0;
    size_t const slash = sourcePath.find('/', start);
    return sourcePath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
}

CFzError AsmGroupDisks(std::string const& group, bool* declared, std::vector<std::string>* disks) {
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = cat.Query("SELECT name FROM sm_asm_groups WHERE name = ?", {group}, &rows);
    if (e.IsError()) return e;
    *declared = !rows.empty();
    disks->clear();
    if (!*declared) return CFzError::Success();
    rows.clear();
    e = cat.Query("SELECT path FROM sm_asm_disks WHERE group_name = ? ORDER BY path", {group}, &rows);
    if (e.IsError()) return e;
    for (auto const& r : rows) disks->push_back(nuvsuite::AsText(r[0]));
    return CFzError::Success();
}

CFzError AsmPathOnDisks(std::string const& asmPath, bool* declared, std::vector<std::string>* files) {
    files->clear();
    *declared = false;
    std::string const group = AsmGroupName(asmPath);
    if (!IsAsmGroupPath(asmPath) || group.empty()) return CFzError::Success();
    std::vector<std::string> disks;
    CFzError e = AsmGroupDisks(group, declared, &disks);
    if (e.IsError() || !*declared) return e;
    std::string const inside = asmPath.substr(1 + group.size());
    if (HasDotDot(inside)) return CFzError::Success();
    for (std::string const& disk : disks) {
        if (disk.empty() || disk[0] != '/') continue;
        std::string const file = nuvsuite::NormalisePath(nuvsuite::JoinPath(disk, inside));
        struct stat st;
        if (::lstat(file.c_str(), &st) == 0) files->push_back(file);
    }
    return CFzError::Success();
}

bool AsmDiskVolumes(SMVolumeInfo const& volume, std::vector<SMVolumeInfo>* disks, int* code, std::string* text) {
    disks->clear();
    int const flags = volume.getVolumeFlags() & ~JZSM_VOLUMEFLAGS_ASM_DISKGROUP;
    auto fail = [&](int c, std::string const& t) {
        *code = c;
        *text = t;
        disks->clear();
        return false;
    };
    std::string const& source = volume.getSourcePath();
    if (!IsAsmGroupPath(source))
        return fail(SM_ERR_INVALID_ARGUMENT, "volume [" + source + "] names no ASM disk group");
    std::string const group = AsmGroupName(source);
    bool declared = false;
    std::vector<std::string> paths;
    CFzError e = group.empty() ? CFzError::Success() : AsmGroupDisks(group, &declared, &paths);
    if (e.IsError()) return fail(SM_ERR_INTERNAL, "cannot read the ASM disk groups: " + e.AsString());
    if (!declared)
        return fail(SM_ERR_NOT_SUPPORTED, "ASM disk group [" + source + "] is unknown to the local snapshot manager");
    if (paths.empty()) return fail(SM_ERR_NOT_FOUND, "ASM disk group [" + source + "] has no disk volumes");
    for (std::string const& path : paths) {
        ResolvedVolume resolved;
        e = ResolveVolume(path, &resolved);
        if (e.IsError())
            return fail(SM_ERR_NOT_FOUND,
                        "disk [" + path + "] of ASM disk group [" + group + "] is no volume: " + e.AsString());
        SMVolumeInfo disk = volume;
        disk.setSourcePath(path);
        disk.setOriginalSourcePath(source);
        disk.setSourceDevice(resolved.device);
        disk.setMountOptions(resolved.MountOptions());
        disk.setVolumeFlags(flags);
        disks->push_back(disk);
    }
    return true;
}

}  // namespace nuvsnapmgr
