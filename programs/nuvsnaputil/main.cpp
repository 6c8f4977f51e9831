// NuvSnapUtil: the snapshot helper program. Started by the network layer from
// the base home directory, it attaches back to its caller, takes the argument
// text (" -j <job> [-jt <token>] -cn <client> -vm <instance>") from the
// channel, and serves prepare, snap and delete requests with the in-process
// executor until the caller closes the channel. It keeps no state between
// runs: the catalogue holds it.
//
// Each request takes the service-call step ("NuvSnapUtil", "prepare" | "snap" |
// "delete", "job=<id>"). A fault of that call acts by its text:
//   "wrong reply type"  replies with the reply type of another request;
//   "no answer"         sends nothing and waits for the caller to close;
//   "exit"              exits at once with the fault's code;
//   any other text      replies with the fault's code as result and its text.
#include "nuvdbsnap/engine/snap_util_interface.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvwire/snap_wire.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

char const* const kTag = "NuvSnapUtil";

struct Operation {
    unsigned long request;
    char const* call;
};

Operation const kOperations[] = {
    {SnapUtilInterface::kPrepareRequest, "prepare"},
    {SnapUtilInterface::kSnapRequest, "snap"},
    {SnapUtilInterface::kDeleteRequest, "delete"},
};

Operation const* FindOperation(unsigned long type) {
    for (Operation const& op : kOperations)
        if (op.request == type) return &op;
    return nullptr;
}

// The value after `option` in the argument text ("" when absent).
std::string Option(std::string const& text, char const* option) {
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        if (word == option && in >> word) return word;
    return "";
}

// Runs one request on the in-process road; the executor's result, the record updated.
int Serve(unsigned long type, int engineType, SMVolSnapInfo& record, std::string const& host) {
    DbSnapUtil executor(engineType, 0, false, host, nullptr, SPAWN_IN_PROCESS);
    bool const flag = false;
    if (type == SnapUtilInterface::kPrepareRequest) return executor.PrepareSnap(record, nullptr, nullptr, flag);
    if (type == SnapUtilInterface::kSnapRequest) return executor.Snap(record, nullptr, nullptr, flag, 0);
    return executor.DeleteSnap(record, nullptr, nullptr, flag);
}

int SendReply(CJzNetwork& channel, unsigned long type, int result, std::string const& text, SMVolSnapInfo const& record) {
    NuvSnapUtilReply reply;
    memset(&reply, 0, sizeof reply);
    reply.result = result;
    reply.errorText = strdup(text.c_str());
    record.fillXDRStruct(reply.record);
    jzsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
    bool retry = false;
    CFzError e = channel.SendXDRMessage(type, buffer, 0, -1, retry);
    CJzNetwork::FreeXDRMessage(type, buffer);
    if (e.IsError()) EvDebug::Error(nullptr, kTag, "Sending the reply failed: %s", e.AsString().c_str());
    return e.IsError() ? -1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CJzNetwork channel;
    bool retry = false;
    CFzError e = channel.AttachBackToCaller(argc, argv, retry);
    if (e.IsError()) {
        EvDebug::Error(nullptr, kTag, "Attach to the caller failed: %s", e.AsString().c_str());
        return 2;
    }
    std::string const arguments = channel.getRemoteArguments();
    std::string const job = Option(arguments, "-j");
    std::string const client = Option(arguments, "-cn");
    EvDebug::DebugLvl(nullptr, 2, kTag, "Serving job %s for client %s", job.c_str(), client.c_str());

    for (;;) {
        NuvSnapUtilRequest request;
        jzsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request);
        unsigned long type = 0;
        if (channel.ReceiveXDRMessage(&type, buffer, nullptr, 0, 0, retry).IsError()) return 0;  // caller closed
        Operation const* op = FindOperation(type);
        if (op == nullptr) {
            EvDebug::Error(nullptr, kTag, "Unexpected request type 0x%lx", type);
            CJzNetwork::FreeXDRMessage(type, buffer);
            return 3;
        }
        SMVolSnapInfo record;
        record = request.record;
        int const engineType = request.engineType;
        CJzNetwork::FreeXDRMessage(type, buffer);

        unsigned long replyType = type + 1;
        int result = 0;
        std::string text;
        nuvsuite::CallFault fault;
        if (!nuvsuite::EnterCall(kTag, op->call, "job=" + std::to_string(record.getJobId()), &fault)) {
            if (fault.text == "exit") _exit(fault.code & 0xff);
            if (fault.text == "no answer") {
                (void)channel.ReceiveXDRMessage(&type, buffer, nullptr, 0, 0, retry);
                return 0;
            }
            if (fault.text == "wrong reply type") {
                replyType = type == SnapUtilInterface::kDeleteRequest ? SnapUtilInterface::kSnapReply
                                                                      : SnapUtilInterface::kDeleteReply;
            } else {
                result = fault.code;
                text = fault.text;
            }
        } else {
            result = Serve(type, engineType, record, client);
            if (result != 0) text = record.getErrorString();
        }
        if (SendReply(channel, replyType, result, text, record) != 0) return 4;
    }
}
