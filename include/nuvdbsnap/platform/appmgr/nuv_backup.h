// NuvBackup: the central server's answers about database installations on
// proxies. The install directories are declared per (proxy client, application
// type, version) in the catalogue table proxy_db_homes (admin kind
// "proxydbhome"); a row with an empty version serves every version. The
// redirect paths of each restore job are kept in rst_redirect_paths (admin
// kind "rstredirect"; a row with a non-zero error code stands for a server
// that failed to produce the list). Sybase catalogue entries it takes are
// kept in central_requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Nuv {
class GetProxyDBInstallDirReq;
class GetProxyDBInstallDirResp;
class OracleDB2DatabasePaths;
}  // namespace Nuv

// Fields of Nuv::OracleDB2DatabasePaths and Nuv::OracleDB2DatafilePath.
namespace nuvredirect {
constexpr short kAppType = 1;      // list: application type (64-bit)
constexpr short kErrorCode = 2;    // list: error code of the server, optional
constexpr short kEntries = 3;      // list: the entries (Nuv::OracleDB2DatafilePath)
constexpr short kSourcePath = 1;   // entry: source path
constexpr short kDestPath = 2;     // entry: destination path
constexpr short kPathType = 3;     // entry: path type (64-bit)
constexpr short kResultType = 4;   // entry: result type (64-bit), optional
}  // namespace nuvredirect

class NuvBackup {
public:
    // Answers the request (client id 1/1, application type 2/2, version 3/3,
    // proxy client id 4/7): the install directory in 1/1, or an error record
    // in 2/5 (code 1/1, text 2/2) when the proxy has none. 0 when the request
    // was answered; non-zero (the fault's code, or the catalogue's) when not.
    static int getProxyDBInstallDir(Nuv::GetProxyDBInstallDirReq const& request, Nuv::GetProxyDBInstallDirResp& response);
    // Fills the list's entries with the restore job's redirect paths, in
    // order; a failed server sets the list's error code. 0 when the server
    // answered (also with no entries), non-zero otherwise.
    int getOracleDB2RedirectRestorePaths(uint32_t appType, long long jobId, Nuv::OracleDB2DatabasePaths& list,
                                         long long snapJobId);

    // Catalogues Sybase databases: xml is the text of a Nuv::NuvBackupInfo
    // holding a catalogue entry. 0 when the central server took it; -1 for a
    // text that is no such message (kept nowhere), a fault's code otherwise.
    int setSybaseCatalogEntries(unsigned long brannoxId, std::string const& xml, void* context);
};

namespace nuvrequest {
// Stores one redirect path of a restore job (the central server's side, for
// jzsuite and the tests). resultType < 0: none.
[[nodiscard]] bool AddRedirectPath(long long jobId, std::string const& source, std::string const& dest,
                                   int64_t pathType, int64_t resultType, int64_t errorCode = 0);
}  // namespace nuvrequest

namespace nuvappmgr {

// One request the central server took.
struct CentralRequest {
    int64_t id = 0;
    uint32_t brannoxId = 0;
    std::string kind;      // "sybase-catalogue"
    std::string xml;
    int64_t time = 0;
};

// The requests of a kind (every kind when empty), oldest first.
std::vector<CentralRequest> ListCentralRequests(std::string const& kind);

}  // namespace nuvappmgr
