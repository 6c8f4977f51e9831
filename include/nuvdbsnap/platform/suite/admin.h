// Tables that the admin command (jzsuite) can list and, when declarable,
// fill: each service registers its own with a static AdminTable, e.g.
//   static nuvsuite::AdminTable s_volumes{"volume", "volumes", true, "path"};
// `jzsuite declare volume path=/data device=/dev/sdb fstype=xfs options=rw`
// inserts a row (columns checked against the table), `jzsuite list volume`
// prints the rows (--json for scripts, --job N where the table has job_id).
#pragma once

#include <string>
#include <vector>

namespace nuvsuite {

struct AdminTable {
    AdminTable(char const* kind, char const* table, bool declarable, char const* orderBy);
    char const* kind;      // name on the command line (singular)
    char const* table;     // catalogue table
    bool declarable;       // operators may insert rows
    char const* orderBy;   // ORDER BY clause for listings
};

std::vector<AdminTable const*> const& AdminTables();
AdminTable const* FindAdminTable(std::string const& kind);

}  // namespace nuvsuite
