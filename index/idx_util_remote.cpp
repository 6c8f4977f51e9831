// IdxUtil: the remote index programs and the log-manager message.
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/index/remote_programs.h"

#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/indexing/archiver.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr unsigned kRemoteActionError = 774;

// Index archive files of the job: 0 and the rows, or the archive manager's result.
int IndexArchiveFiles(ArchiveIndexArg const& arg, std::vector<GetArchFileListForJobRetCC_t>* rows) {
    return nuvremoteindex::ArchiveFilesOfJob(arg.brannoxId, arg.jobId, nuvindexing::kIndexArchiveFileType, rows);
}

}  // namespace

CFzError IdxUtil::runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient) {
    char const tag[] = "IdxUtil::runArchiveIndex";
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    unsigned long long const refTime = arg.useCurrentTime ? static_cast<unsigned long long>(time(nullptr)) : 0;
    std::vector<GetArchFileListForJobRetCC_t> rows;
    unsigned long earlier = 0;
    if (IndexArchiveFiles(arg, &rows) == 0 && !rows.empty()) earlier = static_cast<unsigned long>(rows[0].archFileId);

    EvDebug::Debug(&ev, tag, "function begin ");
    char buffer[512];
    snprintf(buffer, sizeof(buffer), "-j %lld -a %u:%u -t %u %s -r %llu -c 0 -appType %u -silent",
             static_cast<long long>(arg.jobId), arg.brannoxId, arg.appId, static_cast<unsigned>(arg.jobType),
             arg.snap ? "-snap" : "", refTime, arg.appType);
    std::string text = buffer;
    text += " -logsonly";
    if (!arg.jobToken.empty()) text += " -jt " + arg.jobToken;
    if (arg.snapToTape) {
        snprintf(buffer, sizeof(buffer), " -snapJID %lld", static_cast<long long>(arg.snapJobId));
        text += std::string(" -snaptape") + buffer;
    }

    bool useV2 = false;
    if (shouldUseIndexingV2(arg.brannoxId, static_cast<int>(arg.appId), useV2) == 0 && useV2) {
        EvDebug::Debug(&ev, tag, "Indexing V2 sub-client - sending LogManager msg for archive Index action");
        CFzError e = sendLogManagerMsg(arg, text, earlier, jobClient);
        if (e.IsError()) {
            EvDebug::Error(&ev, tag, "Sending message to LogManager on KV failed. ArchiveIndex failure:%s",
                           e.AsString().c_str());
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                           "Sending message to LogManager on KV failed for archive index");
        }
    } else {
        EvDebug::Debug(&ev, tag, "Invoking %s %s on sarnel %s", "archiveIndex", text.c_str(), arg.dataMover.c_str());
        int returnCode = 0;
        CFzError e = nuvremoteindex::RunProgram("archiveIndex", text, arg.dataMover,
                                                nuvremoteindex::AttachTimeOut(900), &returnCode);
        if (e.IsError()) {
            EvDebug::Error(&ev, tag, "Invoking ArchiveIndex on the sarnel failed with an error [%s]",
                           e.AsString().c_str());
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                           "Invoking ArchiveIndex on the sarnel failed with an error");
        }
        EvDebug::Debug(&ev, tag, "Got process rcode [%d] (0=success)", returnCode);
        if (returnCode != 0) {
            EvDebug::Error(&ev, tag, "ArchiveIndex failed with return code %d", returnCode);
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "ArchiveIndex did not complete with success");
        }
    }

    rows.clear();
    int rc = IndexArchiveFiles(arg, &rows);
    if (rc != 0) {
        EvDebug::Error(&ev, tag, "Call ArMgrClientAPI::getArchFileListForJob after archiveIndex failed with return code %d",
                       rc);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "Call ArMgrClientAPI::getArchFileListForJob failed");
    }
    if (rows.empty()) {
        EvDebug::Error(&ev, tag, "Failed to retrieve Index ArchiveFile Info  from ArchiveManager");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Call ArMgrClientAPI::getArchFileListForJob returned empty vector");
    }
    if (earlier == 0 || static_cast<unsigned long>(rows[0].archFileId) != earlier)
        EvDebug::Debug(&ev, tag, "ArchiveIndex executed successfully");
    return CFzError::Success();
}

CFzError IdxUtil::runIndexRestore(IndexRestoreArg const& arg) {
    char const tag[] = "IdxUtil::runIndexRestore";
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    EvDebug::Debug(&ev, tag, "function begin");
    char buffer[256];
    snprintf(buffer, sizeof(buffer), "%lld  %u %u %lu %s -silent", static_cast<long long>(arg.jobId), arg.brannoxId,
             arg.appId, 0ul, arg.snap ? "-snap" : "");
    EvDebug::Debug(&ev, tag, "Invoking <%s %s> on sarnel <%s>", "indexRestore", buffer, arg.dataMover.c_str());
    int returnCode = 0;
    CFzError e = nuvremoteindex::RunProgram("indexRestore", buffer, arg.dataMover, nuvremoteindex::AttachTimeOut(300),
                                            &returnCode);
    if (e.IsError()) {
        EvDebug::Error(&ev, tag, "Invoking IndexRestore on the sarnel failed with an error [%s]", e.AsString().c_str());
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Invoking IndexRestore on the sarnel failed with an error");
    }
    EvDebug::Debug(&ev, tag, "Got process rcode [%d] (0=success)", returnCode);
    if (returnCode != 0) {
        EvDebug::Error(&ev, tag, "IndexRestore failed with return code %d", returnCode);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "IndexRestore did not complete with success");
    }
    return CFzError::Success();
}

CFzError IdxUtil::sendLogManagerMsg(ArchiveIndexArg const& arg, std::string argumentText, unsigned long,
                                    JZJobClient* jobClient) {
    char const tag[] = "IdxUtil::sendLogManagerMsg";
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    JobManager::GetArchiveIndexParamForJob request;
    request.setint64(1, 1, arg.jobId);
    request.setint64(2, 2, static_cast<int64_t>(static_cast<int32_t>(arg.brannoxId)));
    request.setint64(3, 3, static_cast<int64_t>(static_cast<int32_t>(arg.appId)));
    std::string hostName, clientName;
    int port = 0, brannox = 0;
    (void)DemangleHostName(arg.dataMover.c_str(), hostName, clientName, port, brannox);
    if (jobClient == nullptr) {
        char const text[] = "Indexing V2 archiveIndex request, jobClient param must be passed for InlineArchiveIndex";
        EvDebug::Error(&ev, tag, "%s", text);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "%s", text);
    }
    JobManager::ArchiveIndexParam attached;
    attached.getObjectAccessor(10, 16, true, 18, 4)->setstring(1, 1, clientName);
    request.setObjectAccessor(4, 4, attached);
    CNMessageBase* answer = nullptr;
    if (!jobClient->processXmlReq(request, &answer)) {
        EvDebug::Error(&ev, tag, "Error from JM Client while fetching ArchiveIndexParam object");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Error from JM Client while fetching ArchiveIndexParam object,cannot run "
                                       "inlin archive index");
    }
    std::unique_ptr<CNMessageBase> owned(answer);
    if (!owned || owned->getFamily() != 21 || owned->getType() != 97) {
        EvDebug::Error(&ev, tag, "the job manager answered without an ArchiveIndexParam object");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Error from JM Client while fetching ArchiveIndexParam object,cannot run "
                                       "inlin archive index");
    }
    JobManager::ArchiveIndexParam parameters;
    static_cast<CNMessageBase&>(parameters) = *owned;
    parameters.getObjectAccessor(10, 16, true, 18, 4)->setstring(1, 1, clientName);
    if (arg.snapToTape) parameters.setint64(3, 3, arg.snapJobId);
    if (arg.appType == 22 || arg.appType == 80) argumentText += " -jobcmt ";
    parameters.setstring(13, 19, argumentText);
    if (clV2LogArchiver(parameters, arg.dataMover) < 0) {
        EvDebug::Error(&ev, tag, "Error from clV2LogArchiver() method");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "Failed to send Archive message to Log Manager");
    }
    return CFzError::Success();
}
