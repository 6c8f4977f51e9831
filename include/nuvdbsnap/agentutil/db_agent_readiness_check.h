// DBAgentReadinessCheck: the readiness exchange of a database agent with the
// event manager (request and response as XML over the network layer) and the
// checks it answers with: the database user's membership of the install
// group, its read and write access to the suite's folders, and symbolic links.
//
// The checks report inside the messages they fill and return 0; only the two
// network operations fail (1). No value ever reaches a shell: the user name is
// checked first (letters, digits, '.', '_', '-', not starting with '-', at most
// 32 characters) and "id" runs with an argument vector.
#pragma once

#include <map>
#include <string>
#include <vector>

class EvEvent;
class CJzNetwork;
namespace Nuv {
class DBBaseInstanceStatus;
class CheckDBUserGroup;
class CheckDBUserPerms;
class CheckSymbolicLinks;
class CheckDBAgentReadinessResp;
}  // namespace Nuv

class DBAgentReadinessCheck {
public:
    // Takes ownership of the network connection (may be null).
    DBAgentReadinessCheck(EvEvent* ev, unsigned long appType, std::string dbUser, CJzNetwork* network);
    DBAgentReadinessCheck(DBAgentReadinessCheck const&) = delete;
    DBAgentReadinessCheck& operator=(DBAgentReadinessCheck const&) = delete;
    ~DBAgentReadinessCheck();

    // Attaches back to the caller with the program's arguments and receives the
    // request; xml gets the request's text when it is a readiness request.
    [[nodiscard]] int RecvDBReadinessXMLRequest(int argc, char** argv, std::string& xml);
    // Sends the response, then disconnects (a failed disconnect is only logged).
    [[nodiscard]] int SendDBReadinessXMLResponse(Nuv::CheckDBAgentReadinessResp& response);

    int CheckDBAgentReadiness(Nuv::DBBaseInstanceStatus& status, std::string dbUser, std::string text,
                              std::string instanceName, std::string ntDomain, std::string unused);
    int CheckDBUserGroup(Nuv::CheckDBUserGroup& group);
    int CheckDBUserPermissions(Nuv::CheckDBUserPerms& perms);
    // groupName: a buffer of at least 4192 bytes; idOutput: what "id" printed for the user.
    bool VerifyDBUserGroup(char* groupName, std::string& idOutput);
    int getDBUserPathsForAppType(std::vector<std::string>& paths);
    int CheckDBSymbolicLinks(Nuv::CheckSymbolicLinks& result, std::map<std::string, std::string> links);

    // The user-name rule above.
    static bool IsUsableUserName(std::string const& name);

    static constexpr unsigned long kRequestTag = 0x16E65AB3;
    static constexpr long long kEmptyUserError = 0x3D000EB3;
    static constexpr long long kLinkError = 0x3D000D8E;
    static constexpr std::size_t kGroupBufferSize = 4192;

private:
    EvEvent* m_ev;
    unsigned long m_appType;
    std::string m_dbUser;
    CJzNetwork* m_network;
};
