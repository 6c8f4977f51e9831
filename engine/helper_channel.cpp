// The helper-process road of the executors: start and attach "NuvSnapUtil",
// one request and its reply, the patient receive.
#include "nuvdbsnap/engine/hold_file.h"
#include "nuvdbsnap/engine/snap_util_interface.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvwire/snap_wire.h"

#include <cstring>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

// The request and reply areas are part of the exchange with the helper.
static_assert(sizeof(NuvSnapUtilRequest) == 248, "the request area is 248 bytes");
static_assert(offsetof(NuvSnapUtilRequest, record) == 8, "the request's record starts at byte 8");
static_assert(sizeof(NuvSnapUtilReply) == 512, "the reply area is 512 bytes");
static_assert(offsetof(NuvSnapUtilReply, result) == 256, "the reply's result is at byte 256");
static_assert(offsetof(NuvSnapUtilReply, errorText) == 264, "the reply's error text is at byte 264");
static_assert(offsetof(NuvSnapUtilReply, record) == 272, "the reply's record starts at byte 272");

namespace nuvengine {

bool HoldFileHolds(char const* path, EvEvent* logger, char const* tag) {
    struct stat st;
    if (lstat(path, &st) != 0) return false;
    if (S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid())) return true;
    EvDebug::Debug(logger, tag, "Ignoring the hold file %s: not a regular file owned by root or by this user", path);
    return false;
}

}  // namespace nuvengine

namespace {

// The start request's argument text: job, token (when the job has one), client,
// instance. The text for the log (`forLog`) gives the token's length instead of
// the token: whoever reads the log must not be able to act as the job.
std::string HelperArguments(JZJobCtrlClient* jobControl, std::string const& host, bool forLog) {
    std::string hostName, clientName;
    int port = 0, brannox = 0;
    (void)DemangleHostName(host.c_str(), hostName, clientName, port, brannox);
    std::string text = " -j " + std::to_string(jobControl ? jobControl->GetJobID() : 0);
    char const* token = jobControl ? jobControl->GetJobToken() : nullptr;
    if (token != nullptr)
        text += std::string(" -jt ") + (forLog ? "<" + std::to_string(strlen(token)) + " characters>" : token);
    text += " -cn " + clientName;
    text += std::string(" -vm ") + JZPI_Focus::getFocus();
    return text;
}

// This machine's name as the attach gives it.
std::string LocalMachineName() {
    JZPlatformInfo platform;
    char buffer[256] = {0};
    if ((platform.getJZPlatformType() & 1u) != 0) {
        (void)platform.getKelvanerClientName(buffer, sizeof buffer);
    } else {
        char const* physical = platform.getPhysicalMachine();
        strncpy(buffer, physical ? physical : "", sizeof buffer - 1);
    }
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

}  // namespace

int SnapUtilInterface::CreateSnapUtilProcess() {
    static char const* const kTag = "DbSnapUtil::CreateSnapUtilProcess";
    if (m_helperStarted) return 0;

    JZPI_Session session(0, 1);
    session.setFocus(JZPI_Focus::getFocus());
    int timeOut = session.getAttachTimeOut(true);

    CNSession::jzsExecuteRemoteCommandType request;
    request.setint64(1, 1, 0, 0x9000111, 0x747fe5);
    request.setstring(2, 2, "NuvSnapUtil", 0x9000111, 0x790fdb);
    request.setstring(3, 6, HelperArguments(m_jobControl, m_host, false), 0x9000111, 0xea35c);
    std::string const loggedArguments = HelperArguments(m_jobControl, m_host, true);
    request.setint64(4, 10, 1, 0x9000111, 0x1fe53b);
    request.setint64(5, 11, 0, 0x9000111, 0x96188b);

    delete m_channel;  // left by an earlier failed attempt
    m_channel = new (std::nothrow) CJzNetwork();
    if (m_channel == nullptr) {
        EvDebug::Debug(m_logger, kTag, "Memory allocation of the CJzNetwork failed");
        return -1;
    }
    EvDebug::Debug(m_logger, kTag, "dataAgentAttach-> remoteExecutableName=%s commandLineArgs=%s, HostName=%s",
                   request.getstring(2).c_str(), loggedArguments.c_str(), m_host.c_str());
    std::string const machine = LocalMachineName();
    if (timeOut < 300) timeOut = 300;
    bool flag = false;
    CFzError e = m_channel->Attach_RemoteCommand(m_host.c_str(), &request, nullptr, machine.c_str(),
                                                 static_cast<unsigned>(timeOut), flag);
    if (e.IsError()) {
        EvDebug::Debug(m_logger, kTag, "dataAgentAttach() failed: m_jzsMux.getLastError: Error=%s",
                       e.AsString().c_str());
        return -1;
    }
    EvDebug::Debug(m_logger, kTag, " after dataAgentAttach-> remoteExecutableName=%s commandLineArgs=%s, HostName=%s",
                   request.getstring(2).c_str(), loggedArguments.c_str(), m_host.c_str());
    m_helperStarted = true;
    return 0;
}

int SnapUtilInterface::SndRcvFromSnapUtilProcess(SMVolSnapInfo& record, unsigned long requestType,
                                                 unsigned long replyType) {
    static char const* const kTag = "SnapUtilInterface::SndRcvFromSnapUtilProcess";
    if (m_channel == nullptr || !m_helperStarted) {
        EvDebug::Debug(m_logger, kTag, "-getLastError: Error=%s\n", "the helper process is not attached");
        return -1;
    }
    NuvSnapUtilRequest request;
    memset(&request, 0, sizeof request);
    request.engineType = m_engineType;
    record.fillXDRStruct(request.record);
    jzsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request);
    bool flag = false;
    CFzError e = m_channel->SendXDRMessage(requestType, buffer, 0, -1, flag);
    CJzNetwork::FreeXDRMessage(requestType, buffer);
    if (e.IsError()) {
        EvDebug::Debug(m_logger, kTag, "-getLastError: Error=%s\n", e.AsString().c_str());
        return -1;
    }

    NuvSnapUtilReply reply;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
    memset(&reply, 0, sizeof reply);
    if (receiveMessage(buffer) != 0) {
        EvDebug::Debug(m_logger, kTag, "receiveMessage failed");
        return -1;
    }
    if (m_replyType != replyType) {
        EvDebug::Debug(m_logger, kTag, "Unexpected message type received = %ld", static_cast<long>(m_replyType));
        CJzNetwork::FreeXDRMessage(m_replyType, buffer);
        return -1;
    }
    NuvSnapUtilReply const* got = reinterpret_cast<NuvSnapUtilReply const*>(buffer.getDataBuffer());
    record = got->record;
    int const result = got->result;
    if (result != 0)
        EvDebug::Error(m_logger, kTag, "Create SnapShot failed with an error %s", got->errorText ? got->errorText : "");
    CJzNetwork::FreeXDRMessage(replyType, buffer);
    return result;
}

int SnapUtilInterface::receiveMessage(jzsDatabuf_v2& buffer) {
    static char const* const kTag = "DbSnapUtil::ReceiveXDRMessage";
    buffer.setValidLen(512);
    for (;;) {
        m_replyType = 0;
        bool retry = false;
        while (nuvengine::HoldFileHolds(nuvengine::kSnapUtilHoldFile, m_logger, kTag))
            FZSLEEP_InTeRnAl(1000, __FILE__, __LINE__);
        CFzError e = m_channel->ReceiveXDRMessage(&m_replyType, buffer, nullptr, 0, 0, retry);
        if (e.IsError() && !retry) {
            EvDebug::Debug(m_logger, kTag, "getLastError: Error=[%s]\n", e.AsString().c_str());
            return -1;
        }
        if (retry) {
            FZSLEEP_InTeRnAl(100, __FILE__, __LINE__);
            continue;
        }
        return 0;
    }
}

int SnapUtilInterface::RunInHelper(SMVolSnapInfo& record, unsigned long requestType, unsigned long replyType,
                                   char const* tag) {
    if (CreateSnapUtilProcess() != 0) {
        EvDebug::Debug(m_logger, tag, "CreateSnapUtilProcess failed");
        return -1;
    }
    return SndRcvFromSnapUtilProcess(record, requestType, replyType);
}
