// jzsuite index: the runs of the local index and what they hold.
//   jzsuite index runs [--job N] [--json]
//   jzsuite index entries --run R [--json]
//   jzsuite index browse PATTERN --app A [--job J] [--json]
#include "cli_args.h"
#include "commands.h"
#include "table_output.h"

#include "nuvdbsnap/platform/indexing/index_store.h"

#include <cstdio>

namespace jzsuite {
namespace {

using nuvsuite::CatRow;

// One "0xTYPE=value" line per metadata slot.
std::string MetadataLines(nuvindexing::IndexEntry const& e) {
    std::string text;
    for (auto const& m : e.metadata) {
        char type[16];
        std::snprintf(type, sizeof(type), "0x%08X", m.first);
        text += std::string(type) + "=" + m.second + "\n";
    }
    return text;
}

Table EntryTable(std::vector<nuvindexing::IndexEntry> const& entries) {
    Table t;
    t.columns = {"run_id", "job_id", "path", "is_dir", "size", "sequence", "brannox_id", "group_id", "afile_id",
                 "guid", "parent_guid", "metadata"};
    t.lists["metadata"] = nuvsuite::AdminValue::kLines;
    for (auto const& e : entries)
        t.rows.push_back(CatRow{e.runId, e.jobId, e.path, int64_t(e.isDir ? 1 : 0), int64_t(e.size),
                                int64_t(e.sequence), int64_t(e.brannoxId), int64_t(e.archGroupId),
                                int64_t(e.archFileId), e.guid, e.parentGuid, MetadataLines(e)});
    return t;
}

int Print(Table const& table, bool json) {
    std::fputs((json ? TableJson(table) + "\n" : TableText(table)).c_str(), stdout);
    return 0;
}

int Runs(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"job"}, {"json"}, &args, &error) || !args.positional.empty())
        return UsageError("index", error.empty() ? "unexpected words" : error);
    int64_t job = 0;
    if (args.has("job") && !ReadNumber("--job", args.get("job"), nuvsuite::AdminValue::kId, &job, &error))
        return UsageError("index", error);
    Table t;
    t.columns = {"id", "job_id", "brannox_id", "app_id", "app_type", "level", "generation", "status", "pid",
                 "started", "ended", "entries"};
    for (auto const& r : nuvindexing::ListRuns(job))
        t.rows.push_back(CatRow{r.id, r.jobId, int64_t(r.brannoxId), int64_t(r.appId), int64_t(r.appType),
                                int64_t(r.level), int64_t(r.generation), r.status, r.pid, r.started, r.ended,
                                r.entries});
    return Print(t, args.flag("json"));
}

int Entries(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"run"}, {"json"}, &args, &error) || !args.positional.empty())
        return UsageError("index", error.empty() ? "unexpected words" : error);
    int64_t run = 0;
    if (!args.has("run")) return UsageError("index", "--run expected");
    if (!ReadNumber("--run", args.get("run"), nuvsuite::AdminValue::kId, &run, &error)) return UsageError("index", error);
    std::vector<nuvindexing::IndexEntry> entries;
    CFzError e = nuvindexing::ListEntries(run, &entries);
    if (e.IsError()) return Fail(1, e.AsString());
    return Print(EntryTable(entries), args.flag("json"));
}

int Browse(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"app", "job"}, {"json"}, &args, &error) || args.positional.size() != 1)
        return UsageError("index", error.empty() ? "one path or pattern expected" : error);
    int64_t app = 0, job = 0;
    if (!args.has("app")) return UsageError("index", "--app expected");
    if (!ReadNumber("--app", args.get("app"), nuvsuite::AdminValue::kId, &app, &error) ||
        (args.has("job") && !ReadNumber("--job", args.get("job"), nuvsuite::AdminValue::kId, &job, &error)))
        return UsageError("index", error);
    std::vector<nuvindexing::IndexEntry> entries;
    CFzError e = nuvindexing::BrowseIndex(static_cast<uint32_t>(app), job, args.positional[0], &entries);
    if (e.IsError()) return Fail(1, e.AsString());
    return Print(EntryTable(entries), args.flag("json"));
}

}  // namespace

int CmdIndex(Words const& words) {
    if (words.empty()) return UsageError("index", "runs, entries or browse expected");
    Words const rest(words.begin() + 1, words.end());
    if (words[0] == "runs") return Runs(rest);
    if (words[0] == "entries") return Entries(rest);
    if (words[0] == "browse") return Browse(rest);
    return UsageError("index", "unknown index command '" + words[0] + "'");
}

}  // namespace jzsuite
