// Tables that the admin command (jzsuite) can list and, when declarable,
// fill: each service registers its own with a static AdminTable, e.g.
//   static nuvsuite::AdminTable s_volumes{"volume", "sm_volumes", true, "path",
//       {{"path", nuvsuite::AdminValue::kPath}, {"fstype", nuvsuite::AdminValue::kFsType}}, CheckVolumeRow};
// `jzsuite declare volume path=/data device=/dev/sdb fstype=xfs options=rw`
// inserts a row (columns checked against the table, each value read by the
// column's rule), `jzsuite remove volume path=/data` removes one row by its
// key, `jzsuite list volume` prints the rows (--json for scripts, --job N
// where the table has job_id).
#pragma once

#include "nuvdbsnap/platform/suite/catalogue.h"

#include <map>
#include <string>
#include <vector>

namespace nuvsuite {

// How a value typed by an operator (a column of a declared row, an option of
// the admin command) is read. Numbers are whole decimal numbers, written
// without blanks, signs other than a leading '-' where negatives are allowed,
// or a leading '+'; "010" is ten.
enum class AdminValue {
    kText,       // any text, kept as given
    kInteger,    // a 64-bit number
    kId,         // 1 .. 4294967295
    kUnsigned,   // 0 .. 4294967295
    kNatural,    // 0 .. 2147483647
    kSigned,     // -2147483648 .. 2147483647
    kCode,       // a 32-bit code: decimal or "0x" hex, -2147483648 .. 4294967295, kept as its signed 32-bit form
    kFlag,       // 0/1, false/true, no/yes, off/on; kept as 0 or 1
    kPath,       // an absolute, normalised path ("/", or no "//", "/./", "/../" and no trailing '/')
    kFsType,     // a file-system type: letters, digits, '.', '_', '-'
    kJsonArray,  // (listings only) a JSON array of strings
    kLines,      // (listings only) one item a line
};

struct AdminColumn {
    char const* name;
    AdminValue value;
    // A reference: the value must name a row of the admin kind `refKind` by
    // its column `refColumn` (0 names none when `zeroIsNone`; `required`: the
    // column must be given).
    char const* refKind = nullptr;
    char const* refColumn = nullptr;
    bool zeroIsNone = false;
    bool required = false;
};

// A column value given to a declaration, as read by its rule.
using AdminRow = std::map<std::string, CatValue>;
// A service's own check of a whole declared row: "" to accept, else why not.
using AdminRowCheck = std::string (*)(AdminRow const& row);

struct AdminTable {
    AdminTable(char const* kind, char const* table, bool declarable, char const* orderBy,
               std::vector<AdminColumn> columns = {}, AdminRowCheck check = nullptr);
    char const* kind;      // name on the command line (singular)
    char const* table;     // catalogue table
    bool declarable;       // operators may insert and remove rows
    char const* orderBy;   // ORDER BY clause for listings
    std::vector<AdminColumn> columns;  // rules of the columns that need more than their SQL type
    AdminRowCheck check;

    // The rule of `column` (null when it has none of its own).
    AdminColumn const* Column(std::string const& column) const;
};

std::vector<AdminTable const*> const& AdminTables();
AdminTable const* FindAdminTable(std::string const& kind);

// Reads `text` by `rule`: true with *value set, or false with *why saying what
// is wrong (e.g. "4294967297 is out of range (0 .. 4294967295)").
[[nodiscard]] bool ParseAdminValue(AdminValue rule, std::string const& text, CatValue* value, std::string* why);

// A numeric argument of a program (a job id after "-j", a port, a count):
// `text` read as a whole decimal number by the rules above (no trailing text,
// no blank) within low .. high. False with *error naming the argument, e.g.
// "-j: '489abc' is no whole decimal number".
[[nodiscard]] bool ParseNumberArgument(std::string const& argument, std::string const& text, int64_t low,
                                       int64_t high, int64_t* value, std::string* error);

}  // namespace nuvsuite
