// The proxy database install directories of the central server (contract in nuv_backup.h).
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/appmgr/status.h"

#include "call.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/service_call.h"

namespace {

nuvsuite::SchemaPart s_schema{"appmgr.proxyhomes", 1, R"SQL(
CREATE TABLE IF NOT EXISTS proxy_db_homes (
    client_id   INTEGER NOT NULL,
    app_type    INTEGER NOT NULL,
    version     TEXT NOT NULL DEFAULT '',
    install_dir TEXT NOT NULL,
    PRIMARY KEY (client_id, app_type, version)
);
)SQL"};
nuvsuite::AdminTable s_proxyHomes{"proxydbhome", "proxy_db_homes", true, "client_id, app_type, version"};

constexpr int kNuvFamily = 22;
constexpr int kErrorRecord = 422;

}  // namespace

int NuvBackup::getProxyDBInstallDir(Nuv::GetProxyDBInstallDirReq const& request,
                                    Nuv::GetProxyDBInstallDirResp& response) {
    int64_t const appType = request.getint64(2);
    std::string const version = request.getstring(3);
    int64_t const proxy = request.getint64(4);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "NuvBackup::getProxyDBInstallDir",
                             FXString::Format("proxy=%lld appType=%lld version=%s", static_cast<long long>(proxy),
                                              static_cast<long long>(appType), version.c_str()),
                             &fault))
        return fault.code != 0 ? fault.code : -1;
    nuvsuite::CatRow row;
    bool found = false;
    CFzError e = nuvappmgr::detail::QueryOne(
        "SELECT install_dir FROM proxy_db_homes WHERE client_id = ? AND app_type = ? AND version IN (?, '') "
        "ORDER BY version DESC LIMIT 1",
        {proxy, appType, version}, &row, &found);
    if (e.IsError()) return nuvappmgr::kAppMgrCatalogue;
    if (found) {
        (void)response.setstring(1, 1, nuvsuite::AsText(row[0]));
        return 0;
    }
    CNMessageBase error(kNuvFamily, kErrorRecord);
    (void)error.setint64(1, 1, nuvappmgr::kAppMgrNotFound);
    (void)error.setstring(2, 2,
                          FXString::Format("No install directory of application type %lld version [%s] on client %lld",
                                           static_cast<long long>(appType), version.c_str(),
                                           static_cast<long long>(proxy)));
    (void)response.setObjectAccessor(2, 5, error);
    return 0;
}
