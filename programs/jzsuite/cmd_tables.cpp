// jzsuite declare and jzsuite list: generic over the registered admin tables.
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

std::string KnownKinds(bool declarableOnly) {
    std::vector<std::string> kinds;
    for (nuvsuite::AdminTable const* t : nuvsuite::AdminTables())
        if (!declarableOnly || t->declarable) kinds.push_back(t->kind);
    std::sort(kinds.begin(), kinds.end());
    std::string out;
    for (auto const& k : kinds) out += (out.empty() ? "" : ", ") + k;
    return out.empty() ? "(none)" : out;
}

bool HasColumn(std::vector<std::string> const& columns, std::string const& name) {
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

}  // namespace

int CmdDeclare(Words const& words) {
    if (words.empty()) return UsageError("declare", "KIND expected; declarable kinds: " + KnownKinds(true));
    nuvsuite::AdminTable const* table = nuvsuite::FindAdminTable(words[0]);
    if (table == nullptr)
        return UsageError("declare", "unknown kind '" + words[0] + "'; declarable kinds: " + KnownKinds(true));
    if (!table->declarable) return Fail(1, "rows of kind '" + words[0] + "' cannot be declared");
    if (words.size() < 2) return UsageError("declare", "at least one col=value expected");

    std::vector<std::string> columns;
    CFzError e = TableColumns(table->table, &columns);
    if (e.IsError()) return Fail(1, e.AsString());

    std::vector<std::string> names;
    std::vector<nuvsuite::CatValue> values;
    std::set<std::string> seen;
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) return UsageError("declare", "col=value expected, not '" + words[i] + "'");
        std::string const name = words[i].substr(0, eq);
        if (!HasColumn(columns, name)) {
            std::string known;
            for (auto const& c : columns) known += (known.empty() ? "" : ", ") + c;
            return Fail(1, "kind '" + words[0] + "' has no column '" + name + "' (columns: " + known + ")");
        }
        if (!seen.insert(name).second) return Fail(1, "column '" + name + "' given twice");
        names.push_back(name);
        values.emplace_back(words[i].substr(eq + 1));  // bound, never part of the SQL text
    }
    std::string sql = "INSERT INTO " + QuoteIdentifier(table->table) + " (";
    std::string marks;
    for (size_t i = 0; i < names.size(); ++i) {
        sql += (i ? ", " : "") + QuoteIdentifier(names[i]);
        marks += i ? ", ?" : "?";
    }
    sql += ") VALUES (" + marks + ")";

    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    int64_t rowid = 0;
    e = cat.Transaction([&]() -> CFzError {
        CFzError r = cat.Exec(sql, values);
        if (!r.IsError()) rowid = cat.LastInsertId();
        return r;
    });
    if (e.IsError()) return Fail(1, "cannot declare " + words[0] + ": " + e.AsString());
    std::printf("%lld\n", static_cast<long long>(rowid));
    return 0;
}

int CmdList(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"job"}, {"json"}, &args, &error)) return UsageError("list", error);
    if (args.positional.size() != 1) return UsageError("list", "one KIND expected; kinds: " + KnownKinds(false));
    nuvsuite::AdminTable const* table = nuvsuite::FindAdminTable(args.positional[0]);
    if (table == nullptr)
        return UsageError("list", "unknown kind '" + args.positional[0] + "'; kinds: " + KnownKinds(false));

    Table out;
    CFzError e = TableColumns(table->table, &out.columns);
    if (e.IsError()) return Fail(1, e.AsString());
    std::string sql = "SELECT ";
    for (size_t i = 0; i < out.columns.size(); ++i) sql += (i ? ", " : "") + QuoteIdentifier(out.columns[i]);
    sql += " FROM " + QuoteIdentifier(table->table);
    std::vector<nuvsuite::CatValue> params;
    if (args.has("job")) {
        long long job = 0;
        if (!ParseInteger(args.get("job"), &job)) return UsageError("list", "--job needs a job id");
        if (!HasColumn(out.columns, "job_id")) return Fail(1, "rows of kind '" + args.positional[0] + "' have no job");
        sql += " WHERE job_id = ?";
        params.emplace_back(int64_t(job));
    }
    if (table->orderBy && *table->orderBy) sql += std::string(" ORDER BY ") + table->orderBy;
    e = ReadTable(sql, params, &out);
    if (e.IsError()) return Fail(1, e.AsString());
    std::string const text = args.flag("json") ? TableJson(out) + "\n" : TableText(out);
    std::fputs(text.c_str(), stdout);
    return 0;
}

}  // namespace jzsuite
