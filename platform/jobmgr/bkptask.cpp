// The backup task of a job.
#include "nuvdbsnap/platform/jobmgr/bkptask.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "jobmgr/jobmgr_internal.h"

EvBkpTask::EvBkpTask(long long jobId, int /*reserved*/, void* /*context*/) : m_jobId(jobId) {}

EvBkpTask::~EvBkpTask() = default;

int EvBkpTask::getBackupLevel(JZBkpLevel& level, void* /*reserved*/) {
    level = static_cast<JZBkpLevel>(0);
    std::string error;
    if (!nuvjobmgr::detail::Guard("getBackupLevel", "job=" + std::to_string(m_jobId), &error)) return -1;
    nuvjobmgr::JobInfo job;
    if (!nuvjobmgr::GetJob(m_jobId, &job)) return -1;
    level = static_cast<JZBkpLevel>(job.type);
    return 0;
}
