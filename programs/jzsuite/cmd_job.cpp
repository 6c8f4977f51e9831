// jzsuite job new | show | quit.
#include "cli_args.h"
#include "commands.h"
#include "table_output.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/json.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <algorithm>
#include <cstdio>

namespace jzsuite {
namespace {

std::string Hex(int code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(code));
    return buf;
}

std::string JobJson(nuvjobmgr::JobInfo const& j) {
    using nuvsuite::JsonQuote;
    return std::string("{") + "\"id\": " + std::to_string(j.id) + ", \"token\": " + JsonQuote(j.token) +
           ", \"type\": " + std::to_string(j.type) + ", \"app_id\": " + std::to_string(j.appId) +
           ", \"brannox_id\": " + std::to_string(j.brannoxId) + ", \"status\": " + JsonQuote(j.status) +
           ", \"status_code\": " + std::to_string(j.statusCode) + ", \"server\": " + JsonQuote(j.server) +
           ", \"phase_params\": " + JsonQuote(j.phaseParams) +
           ", \"metadata_collection\": " + (j.metadataCollection ? "true" : "false") +
           ", \"quit_flag\": " + (j.quitFlag ? "true" : "false") +
           ", \"registered_pid\": " + std::to_string(j.registeredPid) + ", \"started\": " + std::to_string(j.started) +
           ", \"ended\": " + std::to_string(j.ended) + ", \"successful_files\": " + std::to_string(j.successfulFiles) +
           ", \"uncomp_bytes\": " + std::to_string(j.uncompressedBytes) +
           ", \"comp_bytes\": " + std::to_string(j.compressedBytes) +
           ", \"results_dir\": " + JsonQuote(JobResultsDirectory(static_cast<uint64_t>(j.id), j.brannoxId)) + "}";
}

std::string ArgsText(std::vector<std::string> const& args) {
    return nuvsuite::JsonStringArray(args);
}

// The other admin tables that keep rows per job (archive files, snapshots, mounts...).
struct JobTable {
    std::string kind;
    Table rows;
};

CFzError ReadJobTables(int64_t jobId, std::vector<JobTable>* out) {
    std::vector<nuvsuite::AdminTable const*> tables = nuvsuite::AdminTables();
    std::sort(tables.begin(), tables.end(),
              [](auto const* a, auto const* b) { return std::string(a->kind) < b->kind; });
    for (nuvsuite::AdminTable const* t : tables) {
        std::string const name = t->table;
        if (name == "job_events" || name == "job_pending_causes" || name == "jobs") continue;
        JobTable jt;
        jt.kind = t->kind;
        jt.rows.lists = ListColumns(*t);
        if (TableColumns(name, &jt.rows.columns).IsError()) continue;  // table of a service not in use
        if (std::find(jt.rows.columns.begin(), jt.rows.columns.end(), "job_id") == jt.rows.columns.end()) continue;
        std::string sql = "SELECT ";
        for (size_t i = 0; i < jt.rows.columns.size(); ++i)
            sql += (i ? ", " : "") + QuoteIdentifier(jt.rows.columns[i]);
        sql += " FROM " + QuoteIdentifier(name) + " WHERE job_id = ?";
        if (t->orderBy && *t->orderBy) sql += std::string(" ORDER BY ") + t->orderBy;
        CFzError e = ReadTable(sql, {jobId}, &jt.rows);
        if (e.IsError()) return e;
        out->push_back(std::move(jt));
    }
    return CFzError::Success();
}

// A job id given as the one positional word.
bool JobId(Words const& positional, int64_t* id, std::string* error) {
    if (positional.size() != 1) {
        *error = "a job id expected";
        return false;
    }
    return ReadNumber("job id", positional[0], nuvsuite::AdminValue::kId, id, error);
}

int JobNew(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"app", "type"}, {"json"}, &args, &error)) return UsageError("job", error);
    int64_t app = 0;
    int64_t type = 1;
    if (!args.positional.empty()) return UsageError("job", "unexpected word '" + args.positional[0] + "'");
    if (!args.has("app")) return UsageError("job", "--app expected");
    if (!ReadNumber("--app", args.get("app"), nuvsuite::AdminValue::kId, &app, &error) ||
        (args.has("type") && !ReadNumber("--type", args.get("type"), nuvsuite::AdminValue::kNatural, &type, &error)))
        return UsageError("job", error);
    bool known = false;
    CFzError e = RowExists("application", "id", app, &known);
    if (e.IsError()) return Fail(1, e.AsString());
    if (!known) return Fail(1, "no application " + std::to_string(app) + ": declare it first");
    nuvjobmgr::JobInfo job;
    e = nuvjobmgr::NewJob(app, static_cast<int>(type), &job);
    if (e.IsError()) return Fail(1, e.AsString());
    std::string const out = args.flag("json") ? JobJson(job) : std::to_string(job.id);
    std::printf("%s\n", out.c_str());
    return 0;
}

int JobShow(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {}, {"json"}, &args, &error)) return UsageError("job", error);
    int64_t id = 0;
    if (!JobId(args.positional, &id, &error)) return UsageError("job", error);
    nuvjobmgr::JobInfo job;
    if (!nuvjobmgr::GetJob(id, &job)) return Fail(1, "no job " + std::to_string(id));
    auto events = nuvjobmgr::ListEvents(id);
    auto causes = nuvjobmgr::ListPendingCauses(id);
    std::vector<JobTable> tables;
    CFzError e = ReadJobTables(id, &tables);
    if (e.IsError()) return Fail(1, e.AsString());

    std::string out;
    if (args.flag("json")) {
        out = "{\"job\": " + JobJson(job) + ",\n \"events\": [";
        for (size_t i = 0; i < events.size(); ++i) {
            auto const& ev = events[i];
            out += std::string(i ? ", " : "") + "{\"id\": " + std::to_string(ev.id) + ", \"time\": " +
                   std::to_string(ev.time) + ", \"code\": " + std::to_string(ev.code) + ", \"severity\": " +
                   std::to_string(ev.severity) + ", \"kind\": " + nuvsuite::JsonQuote(ev.kind) +
                   ", \"message_type\": " + std::to_string(ev.messageType) + ", \"args\": " + ArgsText(ev.args) + "}";
        }
        out += "],\n \"causes\": [";
        for (size_t i = 0; i < causes.size(); ++i) {
            auto const& pc = causes[i];
            out += std::string(i ? ", " : "") + "{\"id\": " + std::to_string(pc.id) + ", \"time\": " +
                   std::to_string(pc.time) + ", \"code\": " + std::to_string(pc.code) + ", \"level\": " +
                   std::to_string(pc.level) + ", \"message_type\": " + std::to_string(pc.messageType) +
                   ", \"args\": " + ArgsText(pc.args) + "}";
        }
        out += "],\n \"tables\": {";
        for (size_t i = 0; i < tables.size(); ++i)
            out += std::string(i ? ",\n  " : "\n  ") + nuvsuite::JsonQuote(tables[i].kind) + ": " + TableJson(tables[i].rows);
        out += "}}\n";
    } else {
        out = "job " + std::to_string(job.id) + ": status " + job.status + ", app " + std::to_string(job.appId) +
              ", type " + std::to_string(job.type) + ", brannox " + std::to_string(job.brannoxId) + "\n";
        out += "  token " + job.token + "\n  phase params [" + job.phaseParams + "]\n";
        out += std::string("  metadata collection ") + (job.metadataCollection ? "on" : "off") + ", quit flag " +
               (job.quitFlag ? "set" : "clear") + "\n";
        out += "  results " + JobResultsDirectory(static_cast<uint64_t>(job.id), job.brannoxId) + "\n";
        out += "events:\n";
        for (auto const& ev : events)
            out += "  " + Hex(ev.code) + " " + ev.kind + " severity " + std::to_string(ev.severity) + " " +
                   ArgsText(ev.args) + "\n";
        out += "pending causes:\n";
        for (auto const& pc : causes)
            out += "  " + Hex(pc.code) + " level " + std::to_string(pc.level) + " " + ArgsText(pc.args) + "\n";
        for (auto const& t : tables) {
            out += t.kind + ":\n";
            out += TableText(t.rows);
        }
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

int JobQuit(Words const& words) {
    int64_t id = 0;
    std::string error;
    if (!JobId(words, &id, &error)) return UsageError("job", error);
    CFzError e = nuvjobmgr::SetQuitFlag(id, true);
    if (e.IsError()) return Fail(1, e.AsString());
    return 0;
}

}  // namespace

int CmdJob(Words const& words) {
    if (words.empty()) return UsageError("job", "new, show or quit expected");
    Words const rest(words.begin() + 1, words.end());
    if (words[0] == "new") return JobNew(rest);
    if (words[0] == "show") return JobShow(rest);
    if (words[0] == "quit") return JobQuit(rest);
    return UsageError("job", "unknown job command '" + words[0] + "'");
}

}  // namespace jzsuite
