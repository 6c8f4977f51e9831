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

std::map<std::string, nuvsuite::AdminValue> ListColumns(nuvsuite::AdminTable const& table) {
    std::map<std::string, nuvsuite::AdminValue> lists;
    for (nuvsuite::AdminColumn const& c : table.columns)
        if (c.value == nuvsuite::AdminValue::kJsonArray || c.value == nuvsuite::AdminValue::kLines)
            lists[c.name] = c.value;
    return lists;
}

namespace {

// A list cell as a JSON array of strings; a cell that holds no list stays a string.
std::string ListJson(nuvsuite::CatValue const& v, nuvsuite::AdminValue shape) {
    if (!std::holds_alternative<std::string>(v)) return JsonValue(v);
    std::string const& text = std::get<std::string>(v);
    std::vector<std::string> items;
    if (shape == nuvsuite::AdminValue::kJsonArray)
        return nuvsuite::ParseJsonStringArray(text, &items) ? nuvsuite::JsonStringArray(items) : JsonValue(v);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return nuvsuite::JsonStringArray(items);
}

}  // namespace

std::string TableJson(Table const& table) {
    std::string out = "[";
    for (size_t r = 0; r < table.rows.size(); ++r) {
        out += r ? ",\n {" : "\n {";
        for (size_t c = 0; c < table.columns.size() && c < table.rows[r].size(); ++c) {
            if (c) out += ", ";
            auto list = table.lists.find(table.columns[c]);
            out += nuvsuite::JsonQuote(table.columns[c]) + ": " +
                   (list == table.lists.end() ? JsonValue(table.rows[r][c]) : ListJson(table.rows[r][c], list->second));
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

CFzError TableColumnInfo(std::string const& table, std::vector<ColumnInfo>* columns) {
    columns->clear();
    std::vector<nuvsuite::CatRow> rows;
    // The table name travels as a bound parameter of the table-valued pragma.
    CFzError e = nuvsuite::Catalogue::Instance().Query(
        "SELECT name, upper(type), pk FROM pragma_table_info(?) ORDER BY cid", {table}, &rows);
    if (e.IsError()) return e;
    for (auto const& r : rows)
        columns->push_back({nuvsuite::AsText(r[0]), nuvsuite::AsText(r[1]), static_cast<int>(nuvsuite::AsInt(r[2]))});
    if (columns->empty())
        return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "table %s does not exist in the catalogue", table.c_str());
    return CFzError::Success();
}

CFzError TableColumns(std::string const& table, std::vector<std::string>* columns) {
    std::vector<ColumnInfo> info;
    CFzError e = TableColumnInfo(table, &info);
    columns->clear();
    for (auto const& c : info) columns->push_back(c.name);
    return e;
}

CFzError RowExists(std::string const& kind, std::string const& column, nuvsuite::CatValue const& value, bool* exists) {
    nuvsuite::AdminTable const* table = nuvsuite::FindAdminTable(kind);
    if (table == nullptr) return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "no admin kind %s", kind.c_str());
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query(
        "SELECT 1 FROM " + QuoteIdentifier(table->table) + " WHERE " + QuoteIdentifier(column) + " = ? LIMIT 1",
        {value}, &rows);
    *exists = !rows.empty();
    return e;
}

CFzError ReadTable(std::string const& sql, std::vector<nuvsuite::CatValue> const& params, Table* table) {
    table->rows.clear();
    return nuvsuite::Catalogue::Instance().Query(sql, params, &table->rows);
}

}  // namespace jzsuite
