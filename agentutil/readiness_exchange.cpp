// The readiness exchange with the event manager over the network layer.
#include "nuvdbsnap/agentutil/db_agent_readiness_check.h"
#include "nuvdbsnap/foundation/network_records.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <memory>

namespace {
char const kTag[] = "DBAgentReadinessCheck";
constexpr int kTimeOut = 120;
}  // namespace

int DBAgentReadinessCheck::RecvDBReadinessXMLRequest(int argc, char** argv, std::string& xml) {
    if (m_network == nullptr) {
        EvDebug::Error(m_ev, kTag, "No network connection to the event manager");
        return 1;
    }
    // A deep copy of the arguments, ended by a null pointer.
    std::vector<std::string> copies;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) copies.emplace_back(argv[i]);
    std::vector<char*> arguments;
    for (std::string& a : copies) arguments.push_back(&a[0]);
    arguments.push_back(nullptr);
    bool retry = false;
    CFzError e = m_network->AttachBackToCaller(static_cast<int>(copies.size()), arguments.data(), retry);
    if (e.IsError()) {
        EvDebug::Error(m_ev, kTag, "AttachBackToCaller(EventMgr) failed: %s. ", e.AsString().c_str());
        return 1;
    }
    Nuv::RegisterSubsystem();  // the request is a message of this family
    unsigned long type = 0;
    CNMessageBase* received = nullptr;
    jzsHostProtocolHeader header;
    retry = false;
    e = m_network->ReceiveXMLMessage(&type, &received, &header, 0, kTimeOut, retry);
    std::unique_ptr<CNMessageBase> message(received);
    if (e.IsError()) {
        EvDebug::Error(m_ev, kTag, "Error while receiving DB agent readiness request error=[%s]", e.AsString().c_str());
        return 1;
    }
    if (!message) {
        EvDebug::Error(m_ev, kTag, "DB readiness request object received is NULL");
        return 1;
    }
    if (message->getTagID() == kRequestTag) {
        std::string text;
        if (message->serialize(text, false) == 0) xml = text;
        EvDebug::Debug(m_ev, kTag, "DB Agent Readiness request xml=[%s]", xml.c_str());
    }
    return 0;
}

int DBAgentReadinessCheck::SendDBReadinessXMLResponse(Nuv::CheckDBAgentReadinessResp& response) {
    if (m_network == nullptr) {
        EvDebug::Error(m_ev, kTag, "No network connection to the event manager");
        return 1;
    }
    std::string xml;
    (void)response.serialize(xml);
    bool retry = false;
    CFzError e = m_network->SendXMLMessage(&response, 0, kTimeOut, retry);
    if (e.IsError()) {
        EvDebug::Error(m_ev, kTag, "Error while sending DB Agent readiness response error=[%s]", e.AsString().c_str());
        return 1;
    }
    EvDebug::Debug(m_ev, kTag, "Send DB Agent Readiness response xml=[%s]", xml.c_str());
    retry = false;
    e = m_network->Disconnect(kTimeOut, retry);
    if (e.IsError()) EvDebug::Error(m_ev, kTag, "Disconnect with EventMgr failed :%s", e.AsString().c_str());
    return 0;
}
