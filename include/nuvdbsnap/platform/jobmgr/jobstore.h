// The job manager's records in the catalogue: jobs, their events and pending
// causes. Read and control API for tests, the admin command and the job clients.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nuvjobmgr {

// Job status codes as complete() reports them.
constexpr int kJobStatusSuccess = 1;
constexpr int kJobStatusFailure = 2;
constexpr int kJobStatusKilled = 3;

// The backup level (job type) of a full backup.
constexpr int kBackupLevelFull = 1;

// Event severities.
constexpr int kEventCritical = 1;
constexpr int kEventMajor = 2;
constexpr int kEventMinor = 3;
constexpr int kEventInfo = 4;

struct JobInfo {
    int64_t id = 0;
    std::string token;
    int type = 0;                  // job type, also the backup level of a backup job
    int64_t appId = 0;
    int brannoxId = 0;
    std::string status;            // "new", "running", "completed", "failed", "killed"
    int statusCode = 0;            // the status complete() reported, 0 before
    std::string server;            // central server named at registration
    std::string phaseParams;
    bool metadataCollection = true;
    bool quitFlag = false;
    int64_t registeredPid = 0;     // process that registered the job (Init2)
    int64_t started = 0;           // seconds since the epoch
    int64_t ended = 0;
    int64_t successfulFiles = 0;   // restore totals (JZRstJobClient)
    int64_t uncompressedBytes = 0;
    int64_t compressedBytes = 0;
};

struct JobEvent {
    int64_t id = 0;
    int64_t jobId = 0;
    int64_t time = 0;
    int code = 0;
    int severity = 0;              // kEvent*, or the level given with a pending cause
    std::string kind;              // "critical", "major", "minor", "info", "cause"
    int messageType = 0;
    std::vector<std::string> args; // queued arguments, in order
};

struct PendingCause {
    int64_t id = 0;
    int64_t jobId = 0;
    int64_t time = 0;
    int code = 0;
    int level = 0;                 // the call's second argument
    int subcode = 0;               // the call's third argument
    bool append = false;           // fourth argument
    int messageType = 0;
    bool notify = false;           // sixth argument
    int alertLevel = 0;
    unsigned flags = 0;
    unsigned extra1 = 0;
    unsigned extra2 = 0;
    std::vector<std::string> args; // queued arguments, in order
};

// A new job of the local suite (Brannox id 2) with a fresh random token, status
// "new"; its job-results directory is made.
[[nodiscard]] CFzError NewJob(int64_t appId, int type, JobInfo* job);

// False when there is no such job (or the catalogue cannot be read).
[[nodiscard]] bool GetJob(int64_t jobId, JobInfo* job);

// True when a full backup ran in the current backup cycle of the job's
// application: the latest full job of that application before this job (the
// one that opened the cycle) completed with success. False for an unknown
// job, when there was no earlier full, or when that full did not succeed; a
// full job itself opens a new cycle, so it gets false. Journalled
// ("jobmgr", "FullRanInCurrentCycle"); a fault gives false.
[[nodiscard]] bool FullRanInCurrentCycle(int64_t jobId);

// The job that holds this token; false for an empty or unknown token.
[[nodiscard]] bool FindJobByToken(std::string const& token, JobInfo* job);

std::vector<JobEvent> ListEvents(int64_t jobId);
std::vector<PendingCause> ListPendingCauses(int64_t jobId);

// The job manager's stop request; fails for an unknown job.
[[nodiscard]] CFzError SetQuitFlag(int64_t jobId, bool quit);

// Records an event on a job (for the logger's critical/major events). Fails
// for job 0 or an unknown job.
[[nodiscard]] CFzError RecordEvent(int64_t jobId, int code, int severity, std::vector<std::string> const& args);

}  // namespace nuvjobmgr
