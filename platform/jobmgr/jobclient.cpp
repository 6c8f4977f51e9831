// The job clients: pending causes, phase parameters, job updates, completion.
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/json.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "jobmgr_internal.h"

#include <cstdio>

using nuvjobmgr::JobInfo;
using nuvsuite::Catalogue;
namespace detail = nuvjobmgr::detail;

namespace {

std::string JobArg(uint64_t jobId) {
    return "job=" + std::to_string(jobId);
}

std::string Hex(int code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(code));
    return buf;
}

}  // namespace

JZJobClient::JZJobClient() = default;

JZJobClient::JZJobClient(uint64_t jobId) : EvEvent(jobId) {}

JZJobClient::~JZJobClient() = default;

bool JZJobClient::guard(char const* call, std::string const& args) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("jobmgr", call, args, &fault)) return true;
    m_lastError = fault.text;
    return false;
}

bool JZJobClient::setPendingCauseAndEvent(int code, int level, int subcode, bool append, EvMessageType messageType,
                                          bool notify, JMGUIAlertColorLevel alertLevel, JMPendingCauseFlags flags,
                                          unsigned extra1, unsigned extra2) {
    std::vector<std::string> args = takeArguments();
    std::string const argsJson = nuvsuite::JsonStringArray(args);
    int64_t const jobId = static_cast<int64_t>(getJobId());
    if (!guard("JZJobClient::setPendingCauseAndEvent", JobArg(getJobId()) + " code=" + Hex(code) + " args=" + argsJson))
        return false;
    JobInfo job;
    if (!detail::CheckJob(jobId, nullptr, false, &job, &m_lastError)) return false;

    Catalogue& cat = Catalogue::Instance();
    int64_t const now = detail::NowSeconds();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError r = cat.Exec(
            "INSERT INTO job_pending_causes(job_id, time, code, level, subcode, append, message_type, notify,"
            " alert_level, flags, extra1, extra2, args) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {jobId, now, int64_t(code), int64_t(level), int64_t(subcode), int64_t(append ? 1 : 0),
             int64_t(int(messageType)), int64_t(notify ? 1 : 0), int64_t(int(alertLevel)),
             int64_t(unsigned(flags)), int64_t(extra1), int64_t(extra2), argsJson});
        if (r.IsError()) return r;
        return cat.Exec(
            "INSERT INTO job_events(job_id, time, code, severity, kind, message_type, args)"
            " VALUES(?, ?, ?, ?, 'cause', ?, ?)",
            {jobId, now, int64_t(code), int64_t(level), int64_t(int(messageType)), argsJson});
    });
    if (e.IsError()) {
        m_lastError = e.AsString();
        return false;
    }
    return true;
}

bool JZJobClient::concatPhaseParams(char const* text, int action) {
    if (!guard("JZJobClient::concatPhaseParams", JobArg(getJobId()) + " action=" + std::to_string(action) +
                                        " text=" + (text ? text : "(null)")))
        return false;
    if (text == nullptr || (action != 1 && action != 3)) {
        m_lastError = "concatPhaseParams: a text and action 1 (replace) or 3 (append) expected";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_pendingLock);
    if (action == 1) {
        m_pending.phaseReplace = true;
        m_pending.phaseText = text;
    } else {
        m_pending.phaseText += text;
    }
    m_pending.phaseDirty = true;
    return true;
}

bool JZJobClient::updateInfo(bool /*urgent*/, bool* sent) {
    if (sent) *sent = false;
    if (!guard("JZJobClient::updateInfo", JobArg(getJobId()))) return false;
    int64_t const jobId = static_cast<int64_t>(getJobId());
    JobInfo job;
    if (!detail::CheckJob(jobId, nullptr, true, &job, &m_lastError)) return false;

    std::lock_guard<std::mutex> lock(m_pendingLock);
    Pending const& p = m_pending;
    bool const any = p.phaseDirty || p.metadataDirty || p.addFiles || p.addUncompressed || p.addCompressed;
    if (!any) return true;
    Catalogue& cat = Catalogue::Instance();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError r;
        if (p.phaseDirty) {
            r = p.phaseReplace
                    ? cat.Exec("UPDATE jobs SET phase_params = ? WHERE id = ?", {p.phaseText, jobId})
                    : cat.Exec("UPDATE jobs SET phase_params = phase_params || ? WHERE id = ?", {p.phaseText, jobId});
            if (r.IsError()) return r;
        }
        if (p.metadataDirty) {
            r = cat.Exec("UPDATE jobs SET metadata_collection = ? WHERE id = ?",
                         {int64_t(p.metadataCollection ? 1 : 0), jobId});
            if (r.IsError()) return r;
        }
        if (p.addFiles || p.addUncompressed || p.addCompressed) {
            r = cat.Exec("UPDATE jobs SET successful_files = successful_files + ?, uncomp_bytes = uncomp_bytes + ?,"
                         " comp_bytes = comp_bytes + ? WHERE id = ?",
                         {p.addFiles, p.addUncompressed, p.addCompressed, jobId});
        }
        return r;
    });
    if (e.IsError()) {
        m_lastError = e.AsString();
        return false;
    }
    bool const metadata = m_pending.metadataCollection;
    m_pending = Pending();
    m_pending.metadataCollection = metadata;
    if (sent) *sent = true;
    return true;
}

bool JZJobClient::complete(int status, int statusFor, int reserved, int pendingCause) {
    int64_t const jobId = static_cast<int64_t>(getJobId());
    if (!guard("JZJobClient::complete", JobArg(getJobId()) + " status=" + std::to_string(status) +
                               " for=" + std::to_string(statusFor) + " cause=" + Hex(pendingCause)))
        return false;
    char const* text = status == nuvjobmgr::kJobStatusSuccess   ? "completed"
                       : status == nuvjobmgr::kJobStatusFailure ? "failed"
                       : status == nuvjobmgr::kJobStatusKilled  ? "killed"
                                                                : nullptr;
    if (text == nullptr) {
        m_lastError = "complete: unknown status " + std::to_string(status);
        return false;
    }
    JobInfo job;
    if (!detail::CheckJob(jobId, nullptr, true, &job, &m_lastError)) return false;
    Catalogue& cat = Catalogue::Instance();
    bool ended = false;
    CFzError e = cat.Transaction([&]() -> CFzError {
        // Re-read inside the write lock: two processes must not both end the job.
        std::vector<nuvsuite::CatRow> rows;
        CFzError r = cat.Query("SELECT ended FROM jobs WHERE id = ?", {jobId}, &rows);
        if (r.IsError() || rows.empty() || nuvsuite::AsInt(rows[0][0]) != 0) return r;
        r = cat.Exec("UPDATE jobs SET status = ?, status_code = ?, ended = ? WHERE id = ?",
                     {std::string(text), int64_t(status), detail::NowSeconds(), jobId});
        ended = !r.IsError();
        return r;
    });
    if (e.IsError()) {
        m_lastError = e.AsString();
        return false;
    }
    if (!ended) {
        m_lastError = "job " + std::to_string(jobId) + " has already ended";
        return false;
    }
    return true;
}

int JZJobClient::checkQuitFlag() {
    if (!guard("JZJobClient::checkQuitFlag", JobArg(getJobId()))) return 1;
    if (getJobId() == 0) return 0;
    JobInfo job;
    if (!nuvjobmgr::GetJob(static_cast<int64_t>(getJobId()), &job)) {
        m_lastError = "job " + std::to_string(getJobId()) + " is gone";
        return 1;
    }
    return job.quitFlag ? 1 : 0;
}

JZBkpJobClient::JZBkpJobClient() = default;

JZBkpJobClient::~JZBkpJobClient() = default;

bool JZBkpJobClient::init(char const* server, long long jobId, int /*reserved*/, int platformType,
                          bool /*interactive*/, char const* token) {
    if (!guard("JZBkpJobClient::init", JobArg(static_cast<uint64_t>(jobId)) + " server=" + (server ? server : "") +
                           " platform=" + std::to_string(platformType)))
        return false;
    JobInfo job;
    if (!detail::CheckJob(jobId, token, true, &job, &m_lastError)) return false;
    setJobId(static_cast<uint64_t>(jobId));
    std::lock_guard<std::mutex> lock(m_pendingLock);
    m_pending = Pending();
    m_pending.metadataCollection = job.metadataCollection;
    m_lastError.clear();
    return true;
}

void JZBkpJobClient::turnOffMetaDataCollection() {
    if (!guard("JZBkpJobClient::turnOffMetaDataCollection", JobArg(getJobId()))) return;  // a faulted call changes nothing
    std::lock_guard<std::mutex> lock(m_pendingLock);
    m_pending.metadataCollection = false;
    m_pending.metadataDirty = true;
}

JZRstJobClient::JZRstJobClient() = default;

JZRstJobClient::JZRstJobClient(uint64_t jobId) : JZJobClient(jobId) {}

JZRstJobClient::~JZRstJobClient() = default;
