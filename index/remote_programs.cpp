// The shared steps of the remote index programs' callers.
#include "nuvdbsnap/index/remote_programs.h"

#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/base/log.h"

#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <cstring>

namespace {

constexpr unsigned kRemoteActionError = 774;

}  // namespace

namespace nuvremoteindex {

std::string LocalClientName() {
    JZPlatformInfo info;
    char buffer[256] = {};
    if (info.getJZPlatformType() & 1) {
        if (info.getKelvanerClientName(buffer, sizeof(buffer)) == 0) buffer[0] = '\0';
    } else if (char const* machine = info.getPhysicalMachine()) {
        strncpy(buffer, machine, sizeof(buffer) - 1);
    }
    buffer[sizeof(buffer) - 1] = '\0';
    return buffer;
}

unsigned AttachTimeOut(unsigned floor) {
    JZPI_Session session(0, 1);
    session.setFocus(JZPI_Focus::getFocus());
    int t = session.getAttachTimeOut(true);
    return t < static_cast<int>(floor) ? floor : static_cast<unsigned>(t);
}

CFzError RunProgram(char const* program, std::string const& argumentText, std::string const& dataMover,
                    unsigned timeOut, int* returnCode) {
    CNSession::jzsRemoteExecuteAsUserRequestType request;
    CNMessageBase* record = request.getObjectAccessor(1, 1, true, 9, 1);
    record->setint64(1, 1, 2);
    record->setstring(2, 2, program);
    record->setstring(3, 6, argumentText);
    jzsRemoteExecuteResponseType response;
    bool retry = false;
    CJzNetwork network;
    CFzError e = network.ExecRemoteCmdAndWait(dataMover.c_str(), &request, LocalClientName().c_str(), &response,
                                              timeOut, retry);
    if (!e.IsError() && returnCode != nullptr) *returnCode = response.returnCode;
    return e;
}

int ArchiveFilesOfJob(uint32_t brannoxId, int64_t jobId, int type, std::vector<GetArchFileListForJobRetCC_t>* rows) {
    GetArchFileListForJobArgsCC_t request;
    request.brannoxId = brannoxId;
    request.jobId = jobId;
    request.archFileTypes = {type};
    ArMgrClientAPI client;
    return client.getArchFileListForJob(&request, rows);
}

CFzError RunArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient, std::string const& argumentText,
                         ArchiveIndexRoad const& road) {
    char const* const tag = road.tag;
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    std::vector<GetArchFileListForJobRetCC_t> rows;
    unsigned long earlier = 0;
    if (ArchiveFilesOfJob(arg.brannoxId, arg.jobId, road.archiveType, &rows) == 0 && !rows.empty())
        earlier = static_cast<unsigned long>(rows[0].archFileId);
    EvDebug::Debug(&ev, tag, "%s", road.beginText);

    bool useV2 = false;
    if (shouldUseIndexingV2(arg.brannoxId, static_cast<int>(arg.appId), useV2) == 0 && useV2) {
        EvDebug::Debug(&ev, tag, "%s", road.v2Text);
        CFzError e = IdxUtil::sendLogManagerMsg(arg, argumentText, earlier, jobClient);
        if (e.IsError()) {
            EvDebug::Error(&ev, tag, "Sending message to LogManager on KV failed. ArchiveIndex failure:%s",
                           e.AsString().c_str());
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                           "Sending message to LogManager on KV failed for archive index");
        }
    } else {
        EvDebug::Debug(&ev, tag, "Invoking %s %s on sarnel %s", "archiveIndex", argumentText.c_str(),
                       arg.dataMover.c_str());
        int returnCode = 0;
        CFzError e = RunProgram("archiveIndex", argumentText, arg.dataMover, AttachTimeOut(road.timeOutFloor),
                                &returnCode);
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
    int const rc = ArchiveFilesOfJob(arg.brannoxId, arg.jobId, road.archiveType, &rows);
    if (rc != 0) {
        EvDebug::Error(&ev, tag, "Call ArMgrClientAPI::getArchFileListForJob after archiveIndex failed with return code %d",
                       rc);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "Call ArMgrClientAPI::getArchFileListForJob failed");
    }
    if (rows.empty()) {
        EvDebug::Error(&ev, tag, "%s", road.emptyListText);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Call ArMgrClientAPI::getArchFileListForJob returned empty vector");
    }
    if (earlier == 0 || static_cast<unsigned long>(rows[0].archFileId) != earlier)
        EvDebug::Debug(&ev, tag, "ArchiveIndex executed successfully");
    return CFzError::Success();
}

CFzError RunIndexRestore(IndexRestoreArg const& arg, IndexRestoreRoad const& road) {
    char const* const tag = road.tag;
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    EvDebug::Debug(&ev, tag, "%s", road.beginText);
    char buffer[256];
    snprintf(buffer, sizeof(buffer), "%lld  %u %u %lu %s -silent", static_cast<long long>(arg.jobId), arg.brannoxId,
             arg.appId, 0ul, arg.snap ? "-snap" : "");
    EvDebug::DebugLvl(&ev, road.invokeLevel, road.invokeTag, "Invoking <%s %s> on sarnel <%s>", "indexRestore", buffer,
                      arg.dataMover.c_str());
    int returnCode = 0;
    CFzError e = RunProgram("indexRestore", buffer, arg.dataMover, AttachTimeOut(300), &returnCode);
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

}  // namespace nuvremoteindex
