// Catalogue rows as text lines or as JSON.
#pragma once

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <map>
#include <string>
#include <vector>

namespace jzsuite {

struct Table {
    std::vector<std::string> columns;
    std::vector<nuvsuite::CatRow> rows;
    // Columns that hold a list (kJsonArray: a JSON array of strings, kLines:
    // one item a line), by name; JSON listings give them as arrays.
    std::map<std::string, nuvsuite::AdminValue> lists;
};

// The list columns of an admin table.
std::map<std::string, nuvsuite::AdminValue> ListColumns(nuvsuite::AdminTable const& table);

// One JSON value: number, null or string.
std::string JsonValue(nuvsuite::CatValue const& v);
// [{"col": value, ...}, ...]; list columns as arrays of strings.
std::string TableJson(Table const& table);
// A header line of column names, then one line per row; tab-separated, with
// tabs, line breaks and backslashes in values written as \t, \n, \\.
std::string TableText(Table const& table);

// The rows of `sql` (the caller fills table->columns).
[[nodiscard]] CFzError ReadTable(std::string const& sql, std::vector<nuvsuite::CatValue> const& params,
                                 Table* table);
// Column names of a catalogue table (PRAGMA table_info).
[[nodiscard]] CFzError TableColumns(std::string const& table, std::vector<std::string>* columns);

struct ColumnInfo {
    std::string name;
    std::string type;  // declared SQL type, upper case
    int key = 0;       // position in the primary key (1-based), 0 when not part of it
};
[[nodiscard]] CFzError TableColumnInfo(std::string const& table, std::vector<ColumnInfo>* columns);

// Whether a row of admin kind `kind` has `column` = `value`.
[[nodiscard]] CFzError RowExists(std::string const& kind, std::string const& column, nuvsuite::CatValue const& value,
                                 bool* exists);

// "quoted" SQL identifier for a name known to exist.
std::string QuoteIdentifier(std::string const& name);

}  // namespace jzsuite
