// jzsuite declare, remove and list: generic over the registered admin tables.
// Every declared value is read by its column's rule (the service's own, else
// by the column's SQL type), references must name existing rows, and the
// service's row check has the last word; a refused row stores nothing.
#include "cli_args.h"
#include "commands.h"
#include "table_output.h"

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace jzsuite {
namespace {

using nuvsuite::AdminColumn;
using nuvsuite::AdminTable;
using nuvsuite::AdminValue;
using nuvsuite::CatValue;

std::string KnownKinds(bool declarableOnly) {
    std::vector<std::string> kinds;
    for (AdminTable const* t : nuvsuite::AdminTables())
        if (!declarableOnly || t->declarable) kinds.push_back(t->kind);
    std::sort(kinds.begin(), kinds.end());
    std::string out;
    for (auto const& k : kinds) out += (out.empty() ? "" : ", ") + k;
    return out.empty() ? "(none)" : out;
}

bool HasColumn(std::vector<std::string> const& columns, std::string const& name) {
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

// The rule by which a value of `column` is read: the service's, else by SQL type.
AdminValue RuleOf(AdminTable const& table, ColumnInfo const& column) {
    if (AdminColumn const* c = table.Column(column.name)) {
        bool const listing = c->value == AdminValue::kJsonArray || c->value == AdminValue::kLines;
        return listing ? AdminValue::kText : c->value;
    }
    return column.type.find("INT") != std::string::npos ? AdminValue::kInteger : AdminValue::kText;
}

// The declarable table of words[0], or a usage error / failure in *exitCode.
AdminTable const* DeclarableTable(char const* command, Words const& words, int* exitCode) {
    if (words.empty()) {
        *exitCode = UsageError(command, "KIND expected; declarable kinds: " + KnownKinds(true));
        return nullptr;
    }
    AdminTable const* table = nuvsuite::FindAdminTable(words[0]);
    if (table == nullptr) {
        *exitCode = UsageError(command, "unknown kind '" + words[0] + "'; declarable kinds: " + KnownKinds(true));
        return nullptr;
    }
    if (!table->declarable) {
        *exitCode = Fail(1, "rows of kind '" + words[0] + "' cannot be " + (command[0] == 'd' ? "declared" : "removed"));
        return nullptr;
    }
    return table;
}

using Row = std::vector<std::pair<std::string, CatValue>>;

// Reads the col=value words after the kind into *row (in the order given),
// each by its column's rule. 0, else the exit code of the refusal.
int ReadRow(char const* command, AdminTable const& table, Words const& words, std::vector<ColumnInfo> const& columns,
            Row* row) {
    std::set<std::string> seen;
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) return UsageError(command, "col=value expected, not '" + words[i] + "'");
        std::string const name = words[i].substr(0, eq);
        auto column = std::find_if(columns.begin(), columns.end(), [&](ColumnInfo const& c) { return c.name == name; });
        if (column == columns.end()) {
            std::string known;
            for (auto const& c : columns) known += (known.empty() ? "" : ", ") + c.name;
            return Fail(1, "kind '" + words[0] + "' has no column '" + name + "' (columns: " + known + ")");
        }
        if (!seen.insert(name).second) return Fail(1, "column '" + name + "' given twice");
        CatValue value;
        std::string error;
        if (!ReadValue(name, words[i].substr(eq + 1), RuleOf(table, *column), &value, &error)) return Fail(1, error);
        row->emplace_back(name, value);  // bound, never part of the SQL text
    }
    return 0;
}

// The declarable table that words[0] names, its columns, and the col=value
// words after it read by their rules. 0, else the exit code of the refusal.
int ReadCommand(char const* command, Words const& words, AdminTable const** table, std::vector<ColumnInfo>* columns,
                Row* row) {
    int exitCode = 0;
    *table = DeclarableTable(command, words, &exitCode);
    if (*table == nullptr) return exitCode;
    if (words.size() < 2) return UsageError(command, "at least one col=value expected");
    CFzError e = TableColumnInfo((*table)->table, columns);
    if (e.IsError()) return Fail(1, e.AsString());
    return ReadRow(command, **table, words, *columns, row);
}

// Why the row cannot be declared by its references ("" when they all hold).
CFzError CheckReferences(AdminTable const& table, nuvsuite::AdminRow const& row, std::string* why) {
    for (AdminColumn const& c : table.columns) {
        if (!c.refKind) continue;
        auto given = row.find(c.name);
        if (given == row.end()) {
            if (c.required) *why = "column '" + std::string(c.name) + "' is needed: it names the " + c.refKind;
            if (!why->empty()) return CFzError::Success();
            continue;
        }
        if (c.zeroIsNone && nuvsuite::AsInt(given->second) == 0) continue;
        bool exists = false;
        CFzError e = RowExists(c.refKind, c.refColumn, given->second, &exists);
        if (e.IsError()) return e;
        if (!exists) {
            *why = std::string("no ") + c.refKind + " with " + c.refColumn + " " + nuvsuite::AsText(given->second) +
                   " (" + c.name + ")";
            return CFzError::Success();
        }
    }
    return CFzError::Success();
}

// Why the row may not go: a declared row of another kind names it ("" when none does).
CFzError CheckReferrers(AdminTable const& table, nuvsuite::AdminRow const& key, std::string* why) {
    for (AdminTable const* other : nuvsuite::AdminTables()) {
        for (AdminColumn const& c : other->columns) {
            if (!c.refKind || table.kind != std::string(c.refKind)) continue;
            auto value = key.find(c.refColumn);
            if (value == key.end()) continue;
            bool exists = false;
            CFzError e = RowExists(other->kind, c.name, value->second, &exists);
            if (e.IsError()) return e;
            if (exists) {
                *why = std::string("a row of kind '") + other->kind + "' names it (" + c.name + " " +
                       nuvsuite::AsText(value->second) + "): remove that first";
                return CFzError::Success();
            }
        }
    }
    return CFzError::Success();
}

}  // namespace

int CmdDeclare(Words const& words) {
    AdminTable const* table = nullptr;
    std::vector<ColumnInfo> columns;
    Row row;
    if (int exitCode = ReadCommand("declare", words, &table, &columns, &row)) return exitCode;
    nuvsuite::AdminRow const named(row.begin(), row.end());

    std::string sql = "INSERT INTO " + QuoteIdentifier(table->table) + " (";
    std::string marks;
    std::vector<CatValue> values;
    for (size_t i = 0; i < row.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdentifier(row[i].first);
        marks += i ? ", ?" : "?";
        values.push_back(row[i].second);
    }
    sql += ") VALUES (" + marks + ")";

    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    int64_t rowid = 0;
    std::string refused = table->check ? table->check(named) : std::string();
    if (!refused.empty()) return Fail(1, "cannot declare " + words[0] + ": " + refused);
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError r = CheckReferences(*table, named, &refused);
        if (r.IsError() || !refused.empty()) return r;
        r = cat.Exec(sql, values);
        if (!r.IsError()) rowid = cat.LastInsertId();
        return r;
    });
    if (e.IsError()) return Fail(1, "cannot declare " + words[0] + ": " + e.AsString());
    if (!refused.empty()) return Fail(1, "cannot declare " + words[0] + ": " + refused);
    std::printf("%lld\n", static_cast<long long>(rowid));
    return 0;
}

int CmdRemove(Words const& words) {
    AdminTable const* table = nullptr;
    std::vector<ColumnInfo> columns;
    Row key;
    if (int exitCode = ReadCommand("remove", words, &table, &columns, &key)) return exitCode;
    nuvsuite::AdminRow const named(key.begin(), key.end());
    // The words must name the whole primary key and nothing else: exactly one row.
    std::string keyNames;
    size_t keyColumns = 0;
    bool whole = true;
    for (auto const& c : columns) {
        if (c.key == 0) continue;
        keyNames += (keyNames.empty() ? "" : " ") + c.name + "=...";
        whole = whole && named.count(c.name);
        ++keyColumns;
    }
    if (keyColumns == 0) return Fail(1, "rows of kind '" + words[0] + "' have no key to remove them by");
    if (!whole || key.size() != keyColumns)
        return UsageError("remove", "a " + words[0] + " is named by its key: " + keyNames);

    std::string where;
    std::vector<CatValue> values;
    for (auto const& k : key) {
        where += (where.empty() ? "" : " AND ") + QuoteIdentifier(k.first) + " = ?";
        values.push_back(k.second);
    }
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    std::string refused;
    CFzError e = cat.Transaction([&]() -> CFzError {
        std::vector<nuvsuite::CatRow> rows;
        CFzError r = cat.Query("SELECT 1 FROM " + QuoteIdentifier(table->table) + " WHERE " + where, values, &rows);
        if (r.IsError()) return r;
        if (rows.empty()) {
            refused = "there is no such " + words[0];
            return r;
        }
        r = CheckReferrers(*table, named, &refused);
        if (r.IsError() || !refused.empty()) return r;
        return cat.Exec("DELETE FROM " + QuoteIdentifier(table->table) + " WHERE " + where, values);
    });
    if (e.IsError()) return Fail(1, "cannot remove the " + words[0] + ": " + e.AsString());
    if (!refused.empty()) return Fail(1, "cannot remove the " + words[0] + ": " + refused);
    return 0;
}

int CmdList(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"job"}, {"json"}, &args, &error)) return UsageError("list", error);
    if (args.positional.size() != 1) return UsageError("list", "one KIND expected; kinds: " + KnownKinds(false));
    AdminTable const* table = nuvsuite::FindAdminTable(args.positional[0]);
    if (table == nullptr)
        return UsageError("list", "unknown kind '" + args.positional[0] + "'; kinds: " + KnownKinds(false));

    Table out;
    out.lists = ListColumns(*table);
    CFzError e = TableColumns(table->table, &out.columns);
    if (e.IsError()) return Fail(1, e.AsString());
    std::string sql = "SELECT ";
    for (size_t i = 0; i < out.columns.size(); ++i) sql += (i ? ", " : "") + QuoteIdentifier(out.columns[i]);
    sql += " FROM " + QuoteIdentifier(table->table);
    std::vector<CatValue> params;
    if (args.has("job")) {
        int64_t job = 0;
        if (!ReadNumber("--job", args.get("job"), AdminValue::kId, &job, &error)) return UsageError("list", error);
        if (!HasColumn(out.columns, "job_id")) return Fail(1, "rows of kind '" + args.positional[0] + "' have no job");
        sql += " WHERE job_id = ?";
        params.emplace_back(job);
    }
    if (table->orderBy && *table->orderBy) sql += std::string(" ORDER BY ") + table->orderBy;
    e = ReadTable(sql, params, &out);
    if (e.IsError()) return Fail(1, e.AsString());
    std::string const text = args.flag("json") ? TableJson(out) + "\n" : TableText(out);
    std::fputs(text.c_str(), stdout);
    return 0;
}

}  // namespace jzsuite
