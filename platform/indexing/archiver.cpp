#include "nuvdbsnap/platform/indexing/archiver.h"

#include "store.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace nuvindexing {

namespace {

// Makes and closes one index archive file of the job, of `type`, sized by the
// entries of the job's good index runs.
CFzError MakeIndexArchiveFile(int64_t jobId, uint32_t appId, uint32_t appType, int type, size_t entries,
                              int64_t* archFileId) {
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(jobId);
    CreateArgs_t args;
    args.archiveName = "index of job " + std::to_string(jobId);
    args.archFileType = type;
    args.appId = appId;
    args.appType = appType;
    CreateRet_t created;
    if (archive.CreateArchiveForSnapBackup(&args, &created) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "cannot make the index archive file (type %d) of job %lld: %s",
                                       type, (long long)jobId, archive.getErrorString());
    CloseAfileArgs_t close;
    close.brannoxId = created.brannoxId;
    close.archGroupId = created.archGroupId;
    close.archFileId = created.archFileId;
    close.sizeBytes = static_cast<int64_t>(entries);
    CloseAfileRet_t closed;
    if (archive.closeAfile(&close, &closed) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "cannot close the index archive file (type %d) of job %lld: %s",
                                       type, (long long)jobId, archive.getErrorString());
    *archFileId = created.archFileId;
    return CFzError::Success();
}

}  // namespace

CFzError ArchiveJobIndex(int64_t jobId, uint32_t appId, uint32_t appType, std::vector<int64_t>* archFileIds) {
    nuvjobmgr::JobInfo job;
    if (jobId <= 0 || !nuvjobmgr::GetJob(jobId, &job))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "no job %lld to archive the index of", (long long)jobId);
    std::vector<int> types;
    std::string typeError;
    if (IndexArchiveTypesOf(jobId, nuvsuite::kLocalBrannoxId, &types, &typeError) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "cannot tell the index archive types of job %lld: %s",
                                       (long long)jobId, typeError.c_str());
    size_t entries = 0;
    for (IndexRun const& run : ListRuns(jobId))
        if (run.status == "good") entries += static_cast<size_t>(run.entries);
    if (archFileIds) archFileIds->clear();
    for (int type : types) {
        int64_t id = 0;
        CFzError e = MakeIndexArchiveFile(jobId, appId != 0 ? appId : job.appId, appType, type, entries, &id);
        if (e.IsError()) return e;
        if (archFileIds) archFileIds->push_back(id);
    }
    return CFzError::Success();
}

int IndexArchiveTypesOf(int64_t jobId, uint32_t brannoxId, std::vector<int>* types, std::string* error) {
    ArMgrClientAPI client;
    auto failed = [&](int rc) {
        if (error) *error = client.getErrorString();
        return rc;
    };
    GetArchFileListForJobArgsCC_t request;
    request.brannoxId = brannoxId;
    request.jobId = jobId;
    std::vector<GetArchFileListForJobRetCC_t> rows;
    int rc = client.getArchFileListForJob(&request, &rows);
    if (rc != 0) return failed(rc);
    *types = {kIndexArchiveFileType};
    for (auto const& row : rows) {
        if (row.archFileType == kIndexArchiveFileType || row.archFileType == kSnapIndexArchiveFileType) continue;
        GetAfileInfoArgsCC_t key;
        key.brannoxId = row.brannoxId;
        key.archFileId = row.archFileId;
        GetAfileInfoRetCC_t info;
        rc = client.getAfileInfo(&key, &info);
        if (rc != 0) return failed(rc);
        if (info.flags & nuvarchive::kSnapshotArchiveFlag) {
            types->push_back(kSnapIndexArchiveFileType);
            break;
        }
    }
    return 0;
}

bool HasIndexArchive(int64_t jobId, uint32_t brannoxId) {
    GetArchFileListForJobArgsCC_t request;
    request.brannoxId = brannoxId;
    request.jobId = jobId;
    request.archFileTypes = {kIndexArchiveFileType, kSnapIndexArchiveFileType};
    std::vector<GetArchFileListForJobRetCC_t> rows;
    ArMgrClientAPI client;
    return client.getArchFileListForJob(&request, &rows) == 0 && !rows.empty();
}

bool ParseArchiveIndexArguments(std::string const& text, int64_t* jobId, uint32_t* brannoxId, uint32_t* appId,
                                uint32_t* appType) {
    std::istringstream in(text);
    std::string word;
    bool haveJob = false, haveApp = false;
    *appType = 0;
    while (in >> word) {
        std::string value;
        if (word == "-j" && in >> value) {
            char* end = nullptr;
            long long j = std::strtoll(value.c_str(), &end, 10);
            if (*end != '\0' || j <= 0) return false;
            *jobId = j;
            haveJob = true;
        } else if (word == "-a" && in >> value) {
            size_t colon = value.find(':');
            if (colon == std::string::npos) return false;
            std::string const brannoxText = value.substr(0, colon);
            std::string const appText = value.substr(colon + 1);
            char* end1 = nullptr;
            char* end2 = nullptr;
            unsigned long b = std::strtoul(brannoxText.c_str(), &end1, 10);
            unsigned long a = std::strtoul(appText.c_str(), &end2, 10);
            if (*end1 != '\0' || *end2 != '\0' || brannoxText.empty() || appText.empty()) return false;
            *brannoxId = static_cast<uint32_t>(b);
            *appId = static_cast<uint32_t>(a);
            haveApp = true;
        } else if (word == "-appType" && in >> value) {
            *appType = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        }
    }
    return haveJob && haveApp;
}

}  // namespace nuvindexing

int clV2LogArchiver(JobManager::ArchiveIndexParam& parameters, std::string host) {
    std::string const text = parameters.getstring(13, 19);
    int code = -1;
    std::string fault;
    if (!nuvindexing::detail::Enter("clV2LogArchiver", "host=" + host + " arguments=[" + text + "]", &code, &fault))
        return code < 0 ? code : -code;
    int64_t jobId = 0;
    uint32_t brannoxId = 0, appId = 0, appType = 0;
    if (!nuvindexing::ParseArchiveIndexArguments(text, &jobId, &brannoxId, &appId, &appType)) {
        g_ptrLogWriter->Write(-1, "clV2LogArchiver", 0, "no job in the archive-index arguments [%s]", text.c_str());
        return -1;
    }
    CFzError e = nuvindexing::ArchiveJobIndex(jobId, appId, appType, nullptr);
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, "clV2LogArchiver", 0, "%s", e.AsString().c_str());
        return -1;
    }
    return 0;
}
