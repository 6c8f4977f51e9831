// Catalogue rows as text lines or as JSON.
#pragma once

#include "nuvdbsnap/platform/suite/catalogue.h"

#include <string>
#include <vector>

namespace jzsuite {

struct Table {
    std::vector<std::string> columns;
    std::vector<nuvsuite::CatRow> rows;
};

// One JSON value: number, null or string.
std::string JsonValue(nuvsuite::CatValue const& v);
// [{"col": value, ...}, ...]
std::string TableJson(Table const& table);
// A header line of column names, then one line per row; tab-separated, with
// tabs, line breaks and backslashes in values written as \t, \n, \\.
std::string TableText(Table const& table);

// The rows of `sql` (the caller fills table->columns).
[[nodiscard]] CFzError ReadTable(std::string const& sql, std::vector<nuvsuite::CatValue> const& params,
                                 Table* table);
// Column names of a catalogue table (PRAGMA table_info).
[[nodiscard]] CFzError TableColumns(std::string const& table, std::vector<std::string>* columns);

// "quoted" SQL identifier for a name known to exist.
std::string QuoteIdentifier(std::string const& name);

}  // namespace jzsuite
