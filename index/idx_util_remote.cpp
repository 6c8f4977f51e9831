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

}  // namespace

CFzError IdxUtil::runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient) {
    unsigned long long const refTime = arg.useCurrentTime ? static_cast<unsigned long long>(time(nullptr)) : 0;
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
    nuvremoteindex::ArchiveIndexRoad const road{
        "IdxUtil::runArchiveIndex", nuvremoteindex::kIndexArchiveType, 900, "function begin ",
        "Indexing V2 sub-client - sending LogManager msg for archive Index action",
        "Failed to retrieve Index ArchiveFile Info  from ArchiveManager"};
    CFzError e = nuvremoteindex::RunArchiveIndex(arg, jobClient, text, road);
    return e.IsError() ? e.Push(FZ_LOC) : e;
}

CFzError IdxUtil::runIndexRestore(IndexRestoreArg const& arg) {
    nuvremoteindex::IndexRestoreRoad const road{"IdxUtil::runIndexRestore", "function begin", 0,
                                                "IdxUtil::runIndexRestore"};
    CFzError e = nuvremoteindex::RunIndexRestore(arg, road);
    return e.IsError() ? e.Push(FZ_LOC) : e;
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
