// NuvBackup: the central server's answers about database installations on
// proxies. The install directories are declared per (proxy client, application
// type, version) in the catalogue table proxy_db_homes (admin kind
// "proxydbhome"); a row with an empty version serves every version. Sybase
// catalogue entries it takes are kept in central_requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Nuv {
class GetProxyDBInstallDirReq;
class GetProxyDBInstallDirResp;
}  // namespace Nuv

class NuvBackup {
public:
    // Answers the request (client id 1/1, application type 2/2, version 3/3,
    // proxy client id 4/7): the install directory in 1/1, or an error record
    // in 2/5 (code 1/1, text 2/2) when the proxy has none. 0 when the request
    // was answered; non-zero (the fault's code, or the catalogue's) when not.
    static int getProxyDBInstallDir(Nuv::GetProxyDBInstallDirReq const& request, Nuv::GetProxyDBInstallDirResp& response);

    // Catalogues Sybase databases: xml is the text of a Nuv::NuvBackupInfo
    // holding a catalogue entry. 0 when the central server took it; -1 for a
    // text that is no such message (kept nowhere), a fault's code otherwise.
    int setSybaseCatalogEntries(unsigned long brannoxId, std::string const& xml, void* context);
};

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
