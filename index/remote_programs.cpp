// The shared steps of the remote index programs' callers.
#include "nuvdbsnap/index/remote_programs.h"

#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <cstring>

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

}  // namespace nuvremoteindex
