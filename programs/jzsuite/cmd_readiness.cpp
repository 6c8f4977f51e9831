// jzsuite readiness: the event manager's readiness request to a database agent.
//   jzsuite readiness PROGRAM --instance NAME --user USER
// Starts PROGRAM from the base home directory over the network layer, sends
// it the readiness request (instance name 1/1, database user 2/5), receives
// its response and prints the verdict with every finding. Exit status 0 when
// the agent is ready, 3 when it answered "not ready", 1 when the exchange did
// not work.
#include "cli_args.h"
#include "commands.h"

#include "nuvdbsnap/foundation/network_records.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <cstdio>
#include <memory>

namespace jzsuite {
namespace {

constexpr int kNuvFamily = 22;
constexpr int kReadinessRequest = 218;
constexpr int kNotReady = 3;  // exit status of a "not ready" verdict

std::vector<std::string> Texts(CNMessageBase& message, short a, short b) {
    std::vector<std::string>* list = message.getlistobject<std::string>(a, b);
    return list ? *list : std::vector<std::string>{};
}

// Prints one instance's findings; true when it is ready.
bool PrintStatus(Nuv::DBBaseInstanceStatus& status) {
    bool ready = true;
    std::printf("instance %s, database user [%s]\n", status.getstring(1).c_str(), status.getstring(2).c_str());
    if (auto* group = status.getObjectAccessor<Nuv::CheckDBUserGroup>(6, 18, false)) {
        bool const member = group->getint64(3) == 0;
        ready = ready && member;
        std::printf("  install group [%s]: %s\n", group->getstring(1).c_str(), member ? "member" : "not a member");
    } else {
        ready = false;
        std::printf("  install group: not checked\n");
    }
    if (auto* perms = status.getObjectAccessor<Nuv::CheckDBUserPerms>(7, 19, false)) {
        ready = ready && perms->getint64(1) == 0;
        if (auto* folders = perms->getlistobject<Nuv::DBUserPermissions>(2, 2))
            for (Nuv::DBUserPermissions& f : *folders)
                std::printf("  folder %s: %s\n", f.getstring(1).c_str(),
                            f.getint64(2) == 0 ? "read and write" : "no read and write access");
        for (std::string const& m : Texts(*perms, 4, 4)) std::printf("  %s\n", m.c_str());
    } else {
        ready = false;
    }
    return ready;
}

}  // namespace

int CmdReadiness(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"instance", "user"}, {}, &args, &error) || args.positional.size() != 1)
        return UsageError("readiness", error.empty() ? "one program name expected" : error);
    CJzNetwork channel;
    CNSession::jzsExecuteRemoteCommandType start;
    (void)start.setstring(2, 2, args.positional[0]);
    bool retry = false;
    CFzError e = channel.Attach_RemoteCommand("localhost", &start, nullptr, "jzsuite", 120, retry);
    if (e.IsError()) return Fail(1, "cannot start " + args.positional[0] + ": " + e.AsString());
    CNMessageBase request(kNuvFamily, kReadinessRequest);
    (void)request.setstring(1, 1, args.get("instance"));
    (void)request.setstring(2, 5, args.get("user"));
    e = channel.SendXMLMessage(&request, 0, 120, retry);
    if (e.IsError()) return Fail(1, "cannot send the readiness request: " + e.AsString());
    Nuv::RegisterSubsystem();  // the response is a message of this family
    unsigned long type = 0;
    CNMessageBase* received = nullptr;
    jzsHostProtocolHeader header;
    e = channel.ReceiveXMLMessage(&type, &received, &header, 0, 120, retry);
    std::unique_ptr<CNMessageBase> owned(received);
    if (e.IsError()) return Fail(1, "no readiness response: " + e.AsString());
    Nuv::CheckDBAgentReadinessResp response;
    std::string xml;
    if (received == nullptr || received->getTagID() != response.getTagID() || received->serialize(xml) != 0 ||
        response.unserialize(xml) != 0)
        return Fail(1, "the answer is no readiness response");
    bool ready = true;
    int count = 0;
    if (auto* statuses = response.getlistobject<Nuv::DBBaseInstanceStatus>(1, 1))
        for (Nuv::DBBaseInstanceStatus& s : *statuses) {
            ready = PrintStatus(s) && ready;
            ++count;
        }
    bool const verdict = count > 0 && ready;
    std::printf("readiness: %s\n", verdict ? "ready" : "not ready");
    return verdict ? 0 : kNotReady;
}

}  // namespace jzsuite
