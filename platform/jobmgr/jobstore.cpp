// Jobs, events and pending causes as catalogue rows.
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/json.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "jobmgr_internal.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <random>

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;
using nuvsuite::Catalogue;

namespace nuvjobmgr {
namespace {

nuvsuite::SchemaPart s_schema{"jobmgr", 1,
    "CREATE TABLE IF NOT EXISTS jobs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " token TEXT NOT NULL DEFAULT '',"
    " type INTEGER NOT NULL DEFAULT 0,"
    " app_id INTEGER NOT NULL DEFAULT 0,"
    " brannox_id INTEGER NOT NULL DEFAULT 2,"
    " status TEXT NOT NULL DEFAULT 'new',"
    " status_code INTEGER NOT NULL DEFAULT 0,"
    " server TEXT NOT NULL DEFAULT '',"
    " phase_params TEXT NOT NULL DEFAULT '',"
    " metadata_collection INTEGER NOT NULL DEFAULT 1,"
    " quit_flag INTEGER NOT NULL DEFAULT 0,"
    " registered_pid INTEGER NOT NULL DEFAULT 0,"
    " started INTEGER NOT NULL DEFAULT 0,"
    " ended INTEGER NOT NULL DEFAULT 0,"
    " successful_files INTEGER NOT NULL DEFAULT 0,"
    " uncomp_bytes INTEGER NOT NULL DEFAULT 0,"
    " comp_bytes INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS job_events ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " job_id INTEGER NOT NULL, time INTEGER NOT NULL,"
    " code INTEGER NOT NULL, severity INTEGER NOT NULL, kind TEXT NOT NULL,"
    " message_type INTEGER NOT NULL DEFAULT 0, args TEXT NOT NULL DEFAULT '[]');"
    "CREATE INDEX IF NOT EXISTS job_events_by_job ON job_events(job_id);"
    "CREATE TABLE IF NOT EXISTS job_pending_causes ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " job_id INTEGER NOT NULL, time INTEGER NOT NULL, code INTEGER NOT NULL,"
    " level INTEGER NOT NULL, subcode INTEGER NOT NULL, append INTEGER NOT NULL,"
    " message_type INTEGER NOT NULL, notify INTEGER NOT NULL, alert_level INTEGER NOT NULL,"
    " flags INTEGER NOT NULL, extra1 INTEGER NOT NULL, extra2 INTEGER NOT NULL,"
    " args TEXT NOT NULL DEFAULT '[]');"
    "CREATE INDEX IF NOT EXISTS job_pending_causes_by_job ON job_pending_causes(job_id);"};

nuvsuite::AdminTable s_jobAdmin{"job", "jobs", false, "id"};
nuvsuite::AdminTable s_eventAdmin{"event", "job_events", false, "id"};
nuvsuite::AdminTable s_causeAdmin{"cause", "job_pending_causes", false, "id"};

char const* const kJobColumns =
    "id, token, type, app_id, brannox_id, status, status_code, server, phase_params, metadata_collection,"
    " quit_flag, registered_pid, started, ended, successful_files, uncomp_bytes, comp_bytes";

JobInfo JobFromRow(CatRow const& r) {
    JobInfo j;
    j.id = AsInt(r[0]);
    j.token = AsText(r[1]);
    j.type = static_cast<int>(AsInt(r[2]));
    j.appId = AsInt(r[3]);
    j.brannoxId = static_cast<int>(AsInt(r[4]));
    j.status = AsText(r[5]);
    j.statusCode = static_cast<int>(AsInt(r[6]));
    j.server = AsText(r[7]);
    j.phaseParams = AsText(r[8]);
    j.metadataCollection = AsInt(r[9]) != 0;
    j.quitFlag = AsInt(r[10]) != 0;
    j.registeredPid = AsInt(r[11]);
    j.started = AsInt(r[12]);
    j.ended = AsInt(r[13]);
    j.successfulFiles = AsInt(r[14]);
    j.uncompressedBytes = AsInt(r[15]);
    j.compressedBytes = AsInt(r[16]);
    return j;
}

std::vector<std::string> ParseArgs(nuvsuite::CatValue const& v) {
    std::vector<std::string> args;
    if (!nuvsuite::ParseJsonStringArray(AsText(v), &args)) args.clear();
    return args;
}

std::string NewToken() {
    std::random_device rd;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
    return buf;
}

}  // namespace

namespace detail {

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool CheckJob(int64_t jobId, char const* token, bool mustBeOpen, JobInfo* job, std::string* error) {
    if (jobId <= 0) {
        *error = "no job id";
        return false;
    }
    if (!GetJob(jobId, job)) {
        *error = "unknown job " + std::to_string(jobId);
        return false;
    }
    if (mustBeOpen && job->ended != 0) {
        *error = "job " + std::to_string(jobId) + " has ended (" + job->status + ")";
        return false;
    }
    if (token && *token && job->token != token) {
        *error = "job token does not match job " + std::to_string(jobId);
        return false;
    }
    return true;
}

}  // namespace detail

CFzError NewJob(int64_t appId, int type, JobInfo* job) {
    Catalogue& cat = Catalogue::Instance();
    int64_t id = 0;
    std::string token = NewToken();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError r = cat.Exec("INSERT INTO jobs(token, type, app_id, brannox_id, status) VALUES(?, ?, ?, ?, 'new')",
                              {token, int64_t(type), appId, int64_t(nuvsuite::kLocalBrannoxId)});
        if (!r.IsError()) id = cat.LastInsertId();
        return r;
    });
    if (e.IsError()) return e.Push(FZ_LOC, "cannot create a job for application %lld", (long long)appId);
    nuvsuite::JournalCall("jobmgr", "NewJob", "job=" + std::to_string(id) + " app=" + std::to_string(appId));
    (void)MakeJobResultsDirectory(static_cast<uint64_t>(id), nullptr);  // a failure shows when the job writes there
    if (job && !GetJob(id, job))
        return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "job %lld created but not readable", (long long)id);
    return CFzError::Success();
}

bool GetJob(int64_t jobId, JobInfo* job) {
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query(std::string("SELECT ") + kJobColumns + " FROM jobs WHERE id = ?", {jobId}, &rows)
            .IsError() ||
        rows.empty())
        return false;
    if (job) *job = JobFromRow(rows[0]);
    return true;
}

bool FullRanInCurrentCycle(int64_t jobId) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("jobmgr", "FullRanInCurrentCycle", "job=" + std::to_string(jobId), &fault)) return false;
    JobInfo job;
    if (!GetJob(jobId, &job) || job.type == kBackupLevelFull) return false;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT status, status_code FROM jobs WHERE app_id = ? AND brannox_id = ? AND type = ? AND id < ?"
                   " ORDER BY id DESC LIMIT 1",
                   {job.appId, int64_t(job.brannoxId), int64_t(kBackupLevelFull), jobId}, &rows)
            .IsError() ||
        rows.empty())
        return false;
    return AsText(rows[0][0]) == "completed" && AsInt(rows[0][1]) == kJobStatusSuccess;
}

bool FindJobByToken(std::string const& token, JobInfo* job) {
    if (token.empty()) return false;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query(std::string("SELECT ") + kJobColumns + " FROM jobs WHERE token = ? ORDER BY id DESC LIMIT 1",
                   {token}, &rows)
            .IsError() ||
        rows.empty())
        return false;
    if (job) *job = JobFromRow(rows[0]);
    return true;
}

std::vector<JobEvent> ListEvents(int64_t jobId) {
    std::vector<CatRow> rows;
    std::vector<JobEvent> out;
    if (Catalogue::Instance()
            .Query("SELECT id, job_id, time, code, severity, kind, message_type, args FROM job_events"
                   " WHERE job_id = ? ORDER BY id",
                   {jobId}, &rows)
            .IsError())
        return out;
    for (CatRow const& r : rows) {
        JobEvent ev;
        ev.id = AsInt(r[0]);
        ev.jobId = AsInt(r[1]);
        ev.time = AsInt(r[2]);
        ev.code = static_cast<int>(AsInt(r[3]));
        ev.severity = static_cast<int>(AsInt(r[4]));
        ev.kind = AsText(r[5]);
        ev.messageType = static_cast<int>(AsInt(r[6]));
        ev.args = ParseArgs(r[7]);
        out.push_back(std::move(ev));
    }
    return out;
}

std::vector<PendingCause> ListPendingCauses(int64_t jobId) {
    std::vector<CatRow> rows;
    std::vector<PendingCause> out;
    if (Catalogue::Instance()
            .Query("SELECT id, job_id, time, code, level, subcode, append, message_type, notify, alert_level,"
                   " flags, extra1, extra2, args FROM job_pending_causes WHERE job_id = ? ORDER BY id",
                   {jobId}, &rows)
            .IsError())
        return out;
    for (CatRow const& r : rows) {
        PendingCause pc;
        pc.id = AsInt(r[0]);
        pc.jobId = AsInt(r[1]);
        pc.time = AsInt(r[2]);
        pc.code = static_cast<int>(AsInt(r[3]));
        pc.level = static_cast<int>(AsInt(r[4]));
        pc.subcode = static_cast<int>(AsInt(r[5]));
        pc.append = AsInt(r[6]) != 0;
        pc.messageType = static_cast<int>(AsInt(r[7]));
        pc.notify = AsInt(r[8]) != 0;
        pc.alertLevel = static_cast<int>(AsInt(r[9]));
        pc.flags = static_cast<unsigned>(AsInt(r[10]));
        pc.extra1 = static_cast<unsigned>(AsInt(r[11]));
        pc.extra2 = static_cast<unsigned>(AsInt(r[12]));
        pc.args = ParseArgs(r[13]);
        out.push_back(std::move(pc));
    }
    return out;
}

CFzError SetQuitFlag(int64_t jobId, bool quit) {
    if (!GetJob(jobId, nullptr))
        return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "unknown job %lld", (long long)jobId);
    nuvsuite::JournalCall("jobmgr", "SetQuitFlag", "job=" + std::to_string(jobId) + (quit ? " quit=1" : " quit=0"));
    return Catalogue::Instance().Exec("UPDATE jobs SET quit_flag = ? WHERE id = ?", {int64_t(quit ? 1 : 0), jobId});
}

CFzError RecordEvent(int64_t jobId, int code, int severity, std::vector<std::string> const& args) {
    if (jobId <= 0 || !GetJob(jobId, nullptr))
        return FXErrorUtil::ErrorJZResult(FZ_LOC, -1, "unknown job %lld", (long long)jobId);
    char const* kind = severity == kEventCritical ? "critical"
                       : severity == kEventMajor  ? "major"
                       : severity == kEventMinor  ? "minor"
                                                  : "info";
    nuvsuite::JournalCall("jobmgr", "RecordEvent", "job=" + std::to_string(jobId) + " code=" + std::to_string(code));
    return Catalogue::Instance().Exec(
        "INSERT INTO job_events(job_id, time, code, severity, kind, message_type, args) VALUES(?, ?, ?, ?, ?, 0, ?)",
        {jobId, detail::NowSeconds(), int64_t(code), int64_t(severity), std::string(kind),
         nuvsuite::JsonStringArray(args)});
}

}  // namespace nuvjobmgr
