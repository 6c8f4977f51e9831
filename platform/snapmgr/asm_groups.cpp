// ASM disk groups of the local snapshot manager: a declared group and the
// paths of its disk volumes (each a declared volume or a mount).
//   sm_asm_groups  one row per disk group (name, without the leading "+")
//   sm_asm_disks   the disk volumes of a group (group name, volume path)
#include "asm_groups.h"

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

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

}  // namespace

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

}  // namespace nuvsnapmgr
