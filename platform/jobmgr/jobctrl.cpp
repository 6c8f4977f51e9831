// The job-control client.
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "jobmgr_internal.h"

#include <unistd.h>

using nuvjobmgr::JobInfo;
namespace detail = nuvjobmgr::detail;

JZJobCtrlClient::JZJobCtrlClient(int verbose) : m_verbose(verbose) {}

JZJobCtrlClient::~JZJobCtrlClient() {
    if (m_contextTicket != 0) nuvbase::UnregisterJobContext(m_contextTicket);
}

bool JZJobCtrlClient::Init2(long long jobId, char const* server, int flags, int platformType, char const* token,
                            void* /*reserved*/) {
    std::string args = "job=" + std::to_string(jobId) + " server=" + (server ? server : "") +
                       " flags=" + std::to_string(flags) + " platform=" + std::to_string(platformType);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("jobmgr", "JZJobCtrlClient::Init2", args, &fault)) {
        m_lastError = fault.text;
        return false;
    }
    JobInfo job;
    if (!detail::CheckJob(jobId, token, true, &job, &m_lastError)) return false;

    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    CFzError e = cat.Exec(
        "UPDATE jobs SET registered_pid = ?, server = ?, status = CASE WHEN status = 'new' THEN 'running' ELSE status END,"
        " started = CASE WHEN started = 0 THEN ? ELSE started END WHERE id = ?",
        {int64_t(getpid()), std::string(server ? server : ""), detail::NowSeconds(), int64_t(jobId)});
    if (e.IsError()) {
        m_lastError = e.AsString();
        return false;
    }
    m_jobId = static_cast<uint64_t>(jobId);
    m_token = job.token;
    m_registered = true;
    if (m_contextTicket != 0) nuvbase::UnregisterJobContext(m_contextTicket);
    m_contextTicket = nuvbase::RegisterJobContext(m_jobId);
    m_lastError.clear();
    return true;
}

int JZJobCtrlClient::checkQuitFlag() {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("jobmgr", "JZJobCtrlClient::checkQuitFlag", "job=" + std::to_string(m_jobId), &fault)) {
        m_lastError = fault.text;
        return 1;
    }
    if (m_jobId == 0) return 0;  // no job: nobody can ask it to stop
    JobInfo job;
    if (!nuvjobmgr::GetJob(static_cast<int64_t>(m_jobId), &job)) {
        m_lastError = "job " + std::to_string(m_jobId) + " is gone";
        return 1;
    }
    return job.quitFlag ? 1 : 0;
}

std::string constructJobToken(long long jobId, unsigned long, unsigned long, unsigned long) {
    nuvjobmgr::JobInfo job;
    if (jobId <= 0 || !nuvjobmgr::GetJob(jobId, &job)) return std::string();
    return job.token;
}
