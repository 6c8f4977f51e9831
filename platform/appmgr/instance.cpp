#include "nuvdbsnap/platform/appmgr/instance.h"

#include "call.h"
#include "nuvdbsnap/platform/base/strings.h"

using nuvappmgr::kAppMgrBadArgument;
using nuvappmgr::kAppMgrCatalogue;
using nuvappmgr::kAppMgrNotFound;
using nuvappmgr::detail::Id;
using nuvappmgr::detail::QueryOne;
using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;

namespace {
constexpr unsigned long kPostgreSQLAppType = 125;
}

Instance::Instance(unsigned long instanceId) : m_instanceId(instanceId) {}

Instance::~Instance() = default;

int Instance::enter(char const* call) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", call, FXString::Format("instance=%lu", m_instanceId), &fault))
        return setError(fault);
    return 0;
}

namespace {

// Reads the instance row's (name, app_type); 0 or an error number with text.
int ReadInstanceRow(unsigned long id, CatRow* row, std::string* text) {
    bool found = false;
    CFzError err = QueryOne("SELECT name, app_type FROM instances WHERE id = ?", {Id(id)}, row, &found);
    if (err.IsError()) {
        *text = err.AsString();
        return kAppMgrCatalogue;
    }
    if (!found) {
        *text = FXString::Format("instance %lu not found", id);
        return kAppMgrNotFound;
    }
    return 0;
}

}  // namespace

int Instance::lookup(void* /*context*/) {
    if (int rc = enter("Instance::lookup")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadInstanceRow(m_instanceId, &row, &text)) return setError(rc, text);
    clearError();
    return 0;
}

int Instance::getInstanceName(std::string& name, void* /*context*/) {
    if (int rc = enter("Instance::getInstanceName")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadInstanceRow(m_instanceId, &row, &text)) return setError(rc, text);
    name = AsText(row[0]);
    clearError();
    return 0;
}

int Instance::getAppType(unsigned long& appType, void* /*context*/) {
    if (int rc = enter("Instance::getAppType")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadInstanceRow(m_instanceId, &row, &text)) return setError(rc, text);
    appType = static_cast<unsigned long>(AsInt(row[1]));
    clearError();
    return 0;
}

int Instance::initProperties(void* /*context*/) {
    if (int rc = enter("Instance::initProperties")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadInstanceRow(m_instanceId, &row, &text)) return setError(rc, text);
    std::vector<CatRow> rows;
    CFzError err = nuvsuite::Catalogue::Instance().Query(
        "SELECT name, type, value, number FROM instance_properties WHERE instance_id = ? ORDER BY name",
        {Id(m_instanceId)}, &rows);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    for (CatRow const& r : rows)
        getPropertiesCallback(AsText(r[0]), static_cast<unsigned long>(AsInt(r[1])), AsText(r[2]),
                              static_cast<unsigned long>(AsInt(r[3])));
    clearError();
    return 0;
}

int Instance::initContent(void* /*context*/, bool clearFirst, bool /*unused*/) {
    if (int rc = enter("Instance::initContent")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadInstanceRow(m_instanceId, &row, &text)) return setError(rc, text);
    std::vector<CatRow> rows;
    CFzError err = nuvsuite::Catalogue::Instance().Query(
        "SELECT seq, path FROM content_paths WHERE owner = 'instance' AND owner_id = ? ORDER BY seq",
        {Id(m_instanceId)}, &rows);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (clearFirst) clearContentCache();
    for (CatRow const& r : rows) initContentCallback(static_cast<unsigned long>(AsInt(r[0])), AsText(r[1]));
    clearError();
    return 0;
}

int Instance::readProperty(char const* call, std::string const& name, std::string& value) {
    bool found = false;
    CatRow row;
    CFzError err = QueryOne("SELECT value FROM instance_properties WHERE instance_id = ? AND name = ?",
                            {Id(m_instanceId), name}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found || AsText(row[0]).empty())
        return setError(kAppMgrNotFound, FXString::Format("%s: instance %lu has no property %s", call,
                                                          m_instanceId, name.c_str()));
    value = AsText(row[0]);
    return 0;
}

SybaseInstance::SybaseInstance(unsigned long instanceId) : Instance(instanceId) {}

SybaseInstance::~SybaseInstance() = default;

PostgreSQLInstance::PostgreSQLInstance(unsigned long instanceId) : Instance(instanceId) {}

PostgreSQLInstance::~PostgreSQLInstance() = default;

int PostgreSQLInstance::getWriteAheadArchiveLogDir(std::string& dir, void* /*context*/) {
    static char const* const kCall = "PostgreSQLInstance::getWriteAheadArchiveLogDir";
    if (int rc = enter(kCall)) return rc;
    std::string text;
    CatRow row;
    if (int rc = ReadInstanceRow(getInstanceId(), &row, &text)) return setError(rc, text);
    if (static_cast<unsigned long>(AsInt(row[1])) != kPostgreSQLAppType)
        return setError(kAppMgrBadArgument,
                        FXString::Format("instance %lu is not a PostgreSQL instance (application type %lld)",
                                         getInstanceId(), static_cast<long long>(AsInt(row[1]))));
    std::string value;
    if (int rc = readProperty(kCall, kWalArchiveDirProperty, value)) return rc;
    dir = value;
    clearError();
    return 0;
}

AdaptersBase::~AdaptersBase() = default;

InstanceByName::~InstanceByName() = default;

int InstanceByName::getInstanceId(unsigned long clientId, unsigned long appType, std::string const& name,
                                  unsigned long* instanceId, void* /*context*/) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "InstanceByName::getInstanceId",
               FXString::Format("client=%lu apptype=%lu name=%s", clientId, appType, name.c_str()), &fault)) {
        m_errorString = fault.text;
        return fault.code < 0 ? fault.code : -fault.code;
    }
    if (instanceId == nullptr) {
        m_errorString = "no place for the instance id";
        return -kAppMgrBadArgument;
    }
    bool found = false;
    CatRow row;
    CFzError err = QueryOne(
        "SELECT id FROM instances WHERE client_id = ? AND app_type = ? AND name = ? ORDER BY id LIMIT 1",
        {Id(clientId), Id(appType), name}, &row, &found);
    if (err.IsError()) {
        m_errorString = err.AsString();
        return -kAppMgrCatalogue;
    }
    if (!found) {
        m_errorString = FXString::Format("client %lu has no instance %s of application type %lu", clientId,
                                         name.c_str(), appType);
        return 0;
    }
    *instanceId = static_cast<unsigned long>(AsInt(row[0]));
    m_errorString.clear();
    return 1;
}
