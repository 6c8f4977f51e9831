#include "nuvdbsnap/platform/appmgr/client.h"

#include "call.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/suite.h"

using namespace nuvappmgr;
using nuvappmgr::detail::Id;
using nuvappmgr::detail::QueryOne;
using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;

struct JZClient::Row {
    unsigned long id = 0;
    std::string name;
    std::string host;  // the declared host, else the name
};

JZClient::JZClient(std::string const& clientName, bool, int) : m_name(clientName), m_byName(true) {}

JZClient::JZClient(unsigned long clientId) : m_clientId(clientId) {}

JZClient::~JZClient() = default;

int JZClient::readRow(char const* call, Row& out) {
    nuvsuite::CallFault fault;
    std::string args = m_byName ? "name=" + m_name : FXString::Format("client=%lu", m_clientId);
    if (!nuvsuite::EnterCall("appmgr", call, args, &fault)) return setError(fault);
    if (m_byName && m_name.empty()) return setError(kAppMgrBadArgument, "empty client name");
    bool found = false;
    CatRow row;
    CFzError err =
        m_byName
            ? QueryOne("SELECT id, name, host FROM clients WHERE name = ?", {m_name}, &row, &found)
            : QueryOne("SELECT id, name, host FROM clients WHERE id = ?", {Id(m_clientId)}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found)
        return setError(kAppMgrNotFound, m_byName ? "client " + m_name + " not found"
                                                  : FXString::Format("client %lu not found", m_clientId));
    out.id = static_cast<unsigned long>(AsInt(row[0]));
    out.name = AsText(row[1]);
    out.host = AsText(row[2]).empty() ? out.name : AsText(row[2]);
    clearError();
    return 0;
}

int JZClient::lookup(void* /*context*/) {
    Row row;
    return readRow("JZClient::lookup", row);
}

int JZClient::getClientId(unsigned long& id, void* /*context*/) {
    Row row;
    if (int rc = readRow("JZClient::getClientId", row)) return rc;
    id = row.id;
    return 0;
}

int JZClient::getClientName(std::string& name, void* /*context*/) {
    Row row;
    if (int rc = readRow("JZClient::getClientName", row)) return rc;
    name = row.name;
    return 0;
}

int JZClient::getNetworkHostname(std::string& host, void* /*context*/) {
    Row row;
    if (int rc = readRow("JZClient::getNetworkHostname", row)) return rc;
    host = row.host;
    return 0;
}

int JZClient::getNetworkHostnameMangled(std::string& mangled, void* /*context*/) {
    Row row;
    if (int rc = readRow("JZClient::getNetworkHostnameMangled", row)) return rc;
    std::string result =
        nuvsuite::MangleHostName(row.host, row.name, nuvsuite::kLocalPort, nuvsuite::kLocalBrannoxId);
    if (result.empty())
        return setError(kAppMgrBadArgument,
                        "client " + row.name + " has a name or host that cannot be mangled: " + row.host);
    mangled = result;
    return 0;
}

ClientProperties::ClientProperties(unsigned long clientId) : m_clientId(clientId) {}

ClientProperties::~ClientProperties() = default;

int ClientProperties::getClientAppType(int& appType, void* /*context*/) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "ClientProperties::getClientAppType", FXString::Format("client=%lu", m_clientId), &fault))
        return setError(fault);
    bool found = false;
    CatRow row;
    CFzError err = QueryOne("SELECT app_type FROM clients WHERE id = ?", {Id(m_clientId)}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found) return setError(kAppMgrNotFound, FXString::Format("client %lu not found", m_clientId));
    appType = static_cast<int>(AsInt(row[0]));
    clearError();
    return 0;
}

ClientApplicationList::~ClientApplicationList() = default;

int ClientApplicationList::getDefaultBackupSet(unsigned long clientId, unsigned long appType,
                                               unsigned long instanceId, unsigned long& backupSetId,
                                               std::string& name, void* /*context*/) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "ClientApplicationList::getDefaultBackupSet",
               FXString::Format("client=%lu apptype=%lu instance=%lu", clientId, appType, instanceId), &fault))
        return setError(fault);
    bool found = false;
    CatRow row;
    CFzError err = QueryOne(
        "SELECT id, name FROM backupsets WHERE client_id = ? AND app_type = ? AND instance_id = ? "
        "AND is_default <> 0 ORDER BY id LIMIT 1",
        {Id(clientId), Id(appType), Id(instanceId)}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found)
        return setError(
            kAppMgrNotFound,
            FXString::Format("no default backup set for client %lu, application type %lu, instance %lu",
                             clientId, appType, instanceId));
    backupSetId = static_cast<unsigned long>(AsInt(row[0]));
    name = AsText(row[1]);
    clearError();
    return 0;
}
