// The backup task of a job.
#include "nuvdbsnap/platform/jobmgr/bkptask.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/service_call.h"

EvBkpTask::EvBkpTask(long long jobId, int /*reserved*/, void* /*context*/) : m_jobId(jobId) {}

EvBkpTask::~EvBkpTask() = default;

int EvBkpTask::getBackupLevel(JZBkpLevel& level, void* /*reserved*/) {
    level = static_cast<JZBkpLevel>(0);
    if (!nuvsuite::EnterCall("jobmgr", "EvBkpTask::getBackupLevel", "job=" + std::to_string(m_jobId))) return -1;
    nuvjobmgr::JobInfo job;
    if (!nuvjobmgr::GetJob(m_jobId, &job)) return -1;
    level = static_cast<JZBkpLevel>(job.type);
    return 0;
}
