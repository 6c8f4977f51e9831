// The test program doubles as the peer of the channel tests: started under the
// name "netpeer" (a link in the base home directory), it attaches back to its
// caller and acts as the argument text it receives says, then exits.
#include "nuvdbsnap/platform/network/network.h"

#include "nuvwire/snap_wire.h"
#include "support/suite_root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {


// Modes (the argument text holds the mode word anywhere):
//   echo     replies to each request with its reply type, result = engine type,
//            error text = the argument text, record = the request's record
//   wrong    replies with the delete reply type to every request
//   exit     exits with status 7 after reading one request, without a reply
//   silent   reads one request and then waits for the channel to close
//   wait-eof waits for the channel to close, then exits 0
int RunPeer() {
    CJzNetwork channel;
    bool retry = false;
    if (channel.AttachBackToCaller(0, nullptr, retry).IsError()) return 3;
    std::string const args = channel.getRemoteArguments();
    auto has = [&](char const* word) { return args.find(word) != std::string::npos; };
    for (;;) {
        NuvSnapUtilRequest request;
        jzsDatabuf_v2 in;
        in.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request);
        unsigned long type = 0;
        if (channel.ReceiveXDRMessage(&type, in, nullptr, 0, 0, retry).IsError()) return 0;  // caller closed
        if (has("exit")) _exit(7);
        if (has("silent")) {
            CJzNetwork::FreeXDRMessage(type, in);
            channel.ReceiveXDRMessage(&type, in, nullptr, 0, 0, retry);
            return 0;
        }
        NuvSnapUtilReply reply;
        memset(&reply, 0, sizeof reply);
        reply.result = request.engineType;
        reply.errorText = strdup(args.c_str());
        reply.record = request.record;  // moved: the request area is not freed below
        memset(&request.record, 0, sizeof request.record);
        jzsDatabuf_v2 out;
        out.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
        unsigned long const replyType = has("wrong") ? 0x200004f8 : type + 1;
        CFzError e = channel.SendXDRMessage(replyType, out, 0, -1, retry);
        CJzNetwork::FreeXDRMessage(replyType, out);
        if (e.IsError()) return 4;
    }
}

struct PeerHook {
    PeerHook() {
        if (nuvtest::OwnProgramName() == "netpeer") _exit(RunPeer());
    }
} s_peerHook;

}  // namespace
