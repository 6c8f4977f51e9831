// NuvBackup: the central server's answers about database installations on
// proxies. The install directories are declared per (proxy client, application
// type, version) in the catalogue table proxy_db_homes (admin kind
// "proxydbhome"); a row with an empty version serves every version.
#pragma once

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
};
