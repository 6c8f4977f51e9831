// XML requests of a job client to the job manager.
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/msg/message_base.h"
#include "nuvdbsnap/platform/msg/registry.h"
#include "jobmgr_internal.h"

namespace {

// JobManager::GetArchiveIndexParamForJob and the JobManager::ArchiveIndexParam it answers with.
constexpr int kJobManagerFamily = 21;
constexpr int kGetArchiveIndexParamForJob = 173;
constexpr int kArchiveIndexParam = 97;

CNMessageBase* NewArchiveIndexParam() {
    CNMessageTypeInfo const* info = CNMessageRegistry::findByType(kJobManagerFamily, kArchiveIndexParam);
    if (info && info->create) return info->create();
    return new CNMessageBase(kJobManagerFamily, kArchiveIndexParam);
}

}  // namespace

bool JZJobClient::processXmlReq(CNMessageBase& request, CNMessageBase** answer) {
    if (answer) *answer = nullptr;
    int64_t const requestJob = request.getint64(1, 1);
    std::string const args = "job=" + std::to_string(getJobId()) + " request=" + request.getTagName() +
                             " requestJob=" + std::to_string(requestJob);
    if (!guard("JZJobClient::processXmlReq", args)) return false;
    if (answer == nullptr) {
        setLastError("processXmlReq: no place for the answer");
        return false;
    }
    if (request.getFamily() != kJobManagerFamily || request.getType() != kGetArchiveIndexParamForJob) {
        setLastError("processXmlReq: request " + request.getTagName() + " is not served");
        return false;
    }
    // The request names its job; it must be this client's job, and known.
    nuvjobmgr::JobInfo job;
    if (requestJob != static_cast<int64_t>(getJobId())) {
        setLastError("processXmlReq: request for job " + std::to_string(requestJob) + " on the client of job " +
                     std::to_string(getJobId()));
        return false;
    }
    if (!nuvjobmgr::detail::CheckJob(requestJob, nullptr, false, &job, &m_lastError)) return false;

    // The answer starts from the parameters the caller attached (4,4), so the
    // index data mover and arguments it set travel back unchanged.
    CNMessageBase const* attached = static_cast<CNMessageBase const&>(request).getObjectAccessor(4, 4);
    if (attached && attached->getFamily() == kJobManagerFamily && attached->getType() == kArchiveIndexParam)
        *answer = attached->clone().release();
    else
        *answer = NewArchiveIndexParam();
    return true;
}
