#include "nuvdbsnap/platform/appmgr/application.h"

#include "call.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/base/strings.h"

using namespace nuvappmgr;
using nuvappmgr::detail::Id;
using nuvappmgr::detail::Keep;
using nuvappmgr::detail::QueryOne;
using nuvsuite::AsInt;
using nuvsuite::CatRow;

namespace {

// 0 when `table` has a row `id`, else an error number with text.
int RowExists(char const* table, char const* what, unsigned long id, std::string* text) {
    bool found = false;
    CatRow row;
    CFzError err = QueryOne(std::string("SELECT id FROM ") + table + " WHERE id = ?", {Id(id)}, &row, &found);
    if (err.IsError()) {
        *text = err.AsString();
        return kAppMgrCatalogue;
    }
    if (!found) {
        *text = FXString::Format("%s %lu not found", what, id);
        return kAppMgrNotFound;
    }
    return 0;
}

}  // namespace

ApplicationId::ApplicationId(unsigned long brannoxId, unsigned long appId)
    : m_brannoxId(brannoxId), m_appId(appId) {}

ApplicationId::~ApplicationId() = default;

struct ApplicationId::Row {
    unsigned long appType = 0;
    unsigned long clientId = 0;
    unsigned long instanceId = 0;
    unsigned long backupSetId = 0;
    unsigned long subclientId = 0;
};

int ApplicationId::enter(char const* call, Row& out) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", call, FXString::Format("brannox=%lu app=%lu", m_brannoxId, m_appId), &fault))
        return setError(fault);
    bool found = false;
    CatRow row;
    CFzError err = QueryOne(
        "SELECT app_type, client_id, instance_id, backupset_id, subclient_id FROM applications "
        "WHERE id = ? AND brannox_id = ?",
        {Id(m_appId), Id(m_brannoxId)}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found)
        return setError(kAppMgrNotFound,
                        FXString::Format("application %lu:%lu not found", m_brannoxId, m_appId));
    out.appType = static_cast<unsigned long>(AsInt(row[0]));
    out.clientId = static_cast<unsigned long>(AsInt(row[1]));
    out.instanceId = static_cast<unsigned long>(AsInt(row[2]));
    out.backupSetId = static_cast<unsigned long>(AsInt(row[3]));
    out.subclientId = static_cast<unsigned long>(AsInt(row[4]));
    return 0;
}

int ApplicationId::lookup(void* /*context*/) {
    Row row;
    if (int rc = enter("ApplicationId::lookup", row)) return rc;
    clearError();
    return 0;
}

int ApplicationId::getAppType(unsigned long& appType, void* /*context*/) {
    Row row;
    if (int rc = enter("ApplicationId::getAppType", row)) return rc;
    appType = row.appType;
    clearError();
    return 0;
}

Subclient* ApplicationId::getSubclient(void* /*context*/) {
    Row row;
    if (enter("ApplicationId::getSubclient", row)) return nullptr;
    std::string text;
    if (row.subclientId == 0) {
        setError(kAppMgrNotFound,
                 FXString::Format("application %lu:%lu has no subclient", m_brannoxId, m_appId));
        return nullptr;
    }
    if (int rc = RowExists("subclients", "subclient", row.subclientId, &text)) {
        setError(rc, text);
        return nullptr;
    }
    clearError();
    unsigned long id = row.subclientId;
    if (IsOracle(row.appType))
        return Keep<OracleBackpack>(FXString::Format("oracle-subclient:%lu", id),
                                    [id] { return std::make_unique<OracleBackpack>(id); });
    return Keep<Subclient>(FXString::Format("subclient:%lu", id),
                           [id] { return std::make_unique<Subclient>(id); });
}

Instance* ApplicationId::getInstance(void* /*context*/) {
    Row row;
    if (enter("ApplicationId::getInstance", row)) return nullptr;
    if (row.instanceId == 0) {
        setError(kAppMgrNotFound,
                 FXString::Format("application %lu:%lu has no instance", m_brannoxId, m_appId));
        return nullptr;
    }
    bool found = false;
    CatRow inst;
    CFzError err =
        QueryOne("SELECT app_type FROM instances WHERE id = ?", {Id(row.instanceId)}, &inst, &found);
    if (err.IsError()) {
        setError(kAppMgrCatalogue, err.AsString());
        return nullptr;
    }
    if (!found) {
        setError(kAppMgrNotFound, FXString::Format("instance %lu not found", row.instanceId));
        return nullptr;
    }
    clearError();
    unsigned long id = row.instanceId;
    switch (AsInt(inst[0])) {
    case 125:
        return Keep<PostgreSQLInstance>(FXString::Format("postgresql-instance:%lu", id),
                                        [id] { return std::make_unique<PostgreSQLInstance>(id); });
    case 5:
        return Keep<SybaseInstance>(FXString::Format("sybase-instance:%lu", id),
                                    [id] { return std::make_unique<SybaseInstance>(id); });
    default:
        return Keep<Instance>(FXString::Format("instance:%lu", id),
                              [id] { return std::make_unique<Instance>(id); });
    }
}

JZClient* ApplicationId::getClient(void* /*context*/) {
    Row row;
    if (enter("ApplicationId::getClient", row)) return nullptr;
    std::string text;
    if (int rc = RowExists("clients", "client", row.clientId, &text)) {
        setError(rc, text);
        return nullptr;
    }
    clearError();
    unsigned long id = row.clientId;
    return Keep<JZClient>(FXString::Format("client:%lu", id),
                          [id] { return std::make_unique<JZClient>(id); });
}

BackupSet* ApplicationId::getBackupSet(void* /*context*/) {
    Row row;
    if (enter("ApplicationId::getBackupSet", row)) return nullptr;
    std::string text;
    if (row.backupSetId == 0) {
        setError(kAppMgrNotFound,
                 FXString::Format("application %lu:%lu has no backup set", m_brannoxId, m_appId));
        return nullptr;
    }
    if (int rc = RowExists("backupsets", "backup set", row.backupSetId, &text)) {
        setError(rc, text);
        return nullptr;
    }
    clearError();
    unsigned long id = row.backupSetId;
    return Keep<BackupSet>(FXString::Format("backupset:%lu", id),
                           [id] { return std::make_unique<BackupSet>(id); });
}

ApplicationId* CommandLineSubclient::getCommandLineAppId(unsigned long brannoxId, unsigned long clientId,
                                                         unsigned long appType, unsigned long instanceId,
                                                         unsigned long, void* /*context*/) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "CommandLineSubclient::getCommandLineAppId",
               FXString::Format("brannox=%lu client=%lu apptype=%lu instance=%lu", brannoxId, clientId,
                                appType, instanceId), &fault))
        return nullptr;
    bool found = false;
    CatRow row;
    CFzError err = QueryOne(
        "SELECT id FROM applications WHERE brannox_id = ? AND client_id = ? AND app_type = ? "
        "AND instance_id = ? ORDER BY id LIMIT 1",
        {Id(brannoxId), Id(clientId), Id(appType), Id(instanceId)}, &row, &found);
    if (err.IsError() || !found) return nullptr;
    unsigned long appId = static_cast<unsigned long>(AsInt(row[0]));
    return Keep<ApplicationId>(FXString::Format("application:%lu:%lu", brannoxId, appId), [brannoxId, appId] {
        return std::make_unique<ApplicationId>(brannoxId, appId);
    });
}

bool IsUnixFsBackupSetType(int appType) {
    switch (appType) {
    case kAppTypeUnixFs:
    case kAppTypeUnixFsCluster:
    case kAppTypeUnixFsArchiver:
        return true;
    default:
        return false;
    }
}

unsigned long GetAppType(unsigned long brannoxId, unsigned long appId) {
    ApplicationId app(brannoxId, appId);
    unsigned long type = 0;
    return app.getAppType(type, nullptr) == 0 ? type : 0;
}
