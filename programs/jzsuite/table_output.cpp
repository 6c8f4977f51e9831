#include "table_output.h"

#include "nuvdbsnap/platform/suite/json.h"

#include <cmath>
#include <cstdio>

namespace jzsuite {

std::string JsonValue(nuvsuite::CatValue const& v) {
    if (std::holds_alternative<std::nullptr_t>(v)) return "null";
    if (auto const* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
    if (auto const* d = std::get_if<double>(&v)) {
        if (!std::isfinite(*d)) return "null";
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", *d);
        return buf;
    }
    return nuvsuite::JsonQuote(std::get<std::string>(v));
}

std::string TableJson(Table const& table) {
    std::string out = "[";
    for (size_t r = 0; r < table.rows.size(); ++r) {
        out += r ? ",\n {" : "\n {";
        for (size_t c = 0; c < table.columns.size() && c < table.rows[r].size(); ++c) {
            if (c) out += ", ";
            out += nuvsuite::JsonQuote(table.columns[c]) + ": " + JsonValue(table.rows[r][c]);
        }
        out += "}";
    }
    out += table.rows.empty() ? "]" : "\n]";
    return out;
}

namespace {

std::string TextCell(nuvsuite::CatValue const& v) {
    if (std::holds_alternative<std::nullptr_t>(v)) return "NULL";
    std::string out;
    for (char ch : nuvsuite::AsText(v)) {
        if (ch == '\t') out += "\\t";
        else if (ch == '\n') out += "\\n";
        else if (ch == '\r') out += "\\r";
        else if (ch == '\\') out += "\\\\";
        else out += ch;
    }
    return out;
}

}  // namespace

std::string TableText(Table const& table) {
    std::string out;
    for (size_t c = 0; c < table.columns.size(); ++c) out += (c ? "\t" : "") + table.columns[c];
    out += "\n";
    for (auto const& row : table.rows) {
        for (size_t c = 0; c < row.size(); ++c) out += (c ? "\t" : "") + TextCell(row[c]);
        out += "\n";
    }
    return out;
}

std::string QuoteIdentifier(std::string const& name) {
    std::string out = "\"";
    for (char ch : name) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    return out + "\"";
}

CFzError TableColumns(std::string const& table, std::vector<std::string>* columns) {
    columns->clear();
    std::vector<nuvsuite::CatRow> rows;
    // The table name travels as a bound parameter of the table-valued pragma.
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT name FROM pragma_table_info(?) ORDER BY cid",
                                                       {table}, &rows);
    if (e.IsError()) return e;
    for (auto const& r : rows) columns->push_back(nuvsuite::AsText(r[0]));
    if (columns->empty())
        return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "table %s does not exist in the catalogue", table.c_str());
    return CFzError::Success();
}

CFzError ReadTable(std::string const& sql, std::vector<nuvsuite::CatValue> const& params, Table* table) {
    table->rows.clear();
    return nuvsuite::Catalogue::Instance().Query(sql, params, &table->rows);
}

}  // namespace jzsuite
