// JZMMSnapAPI over the catalogue tables sm_control_hosts, sm_engines, sm_replication.
#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;
using nuvsuite::Catalogue;

namespace {

SMControlHostInfo ToHost(CatRow const& r) {
    SMControlHostInfo h;
    h.setControlHostId(static_cast<int>(AsInt(r[0])));
    h.setHostName(AsText(r[1]));
    h.setVendorName(AsText(r[2]));
    h.setSnapShotEngineId(static_cast<int>(AsInt(r[3])));
    return h;
}

}  // namespace

void JZMMSnapAPI::fail(int code, std::string const& text) {
    m_errCode = code == 0 ? SM_ERR_INTERNAL : code;
    m_errStr = text;
    EvEvent ev;
    EvDebug::Error(&ev, "JZMMSnapAPI", "[%d] %s", m_errCode, text.c_str());
}

bool JZMMSnapAPI::getControlHostInfoByHostName(char const* hostName, SMControlHostInfo& hostInfo) {
    std::string name = hostName ? hostName : "";
    m_errCode = 0;
    m_errStr.clear();
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "JZMMSnapAPI::getControlHostInfoByHostName", "host=" + name, &fault))
        return fail(fault.code, fault.text), false;
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "SELECT id, host_name, vendor_name, engine_id FROM sm_control_hosts WHERE host_name = ?", {name}, &rows);
    if (e.IsError()) return fail(SM_ERR_INTERNAL, e.AsString()), false;
    if (rows.empty()) return fail(SM_ERR_NOT_FOUND, "control host [" + name + "] is not known"), false;
    hostInfo = ToHost(rows[0]);
    return true;
}

bool JZMMSnapAPI::getControlHostList(std::vector<SMControlHostInfo>& hosts, std::string const& vendorName) {
    m_errCode = 0;
    m_errStr.clear();
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "JZMMSnapAPI::getControlHostList", "vendor=" + vendorName, &fault))
        return fail(fault.code, fault.text), false;
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "SELECT id, host_name, vendor_name, engine_id FROM sm_control_hosts WHERE vendor_name = ? ORDER BY id",
        {vendorName}, &rows);
    if (e.IsError()) return fail(SM_ERR_INTERNAL, e.AsString()), false;
    hosts.clear();
    for (auto const& r : rows) hosts.push_back(ToHost(r));
    return true;
}

bool JZMMSnapAPI::getSnapShotEngineList(std::vector<SMSnapShotEngineInfo>& engines, int listKind) {
    m_errCode = 0;
    m_errStr.clear();
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "JZMMSnapAPI::getSnapShotEngineList", "kind=" + std::to_string(listKind), &fault))
        return fail(fault.code, fault.text), false;
    std::vector<CatRow> rows;
    CFzError e =
        Catalogue::Instance().Query("SELECT id, vendor_name, engine_name FROM sm_engines ORDER BY id", {}, &rows);
    if (e.IsError()) return fail(SM_ERR_INTERNAL, e.AsString()), false;
    engines.clear();
    for (auto const& r : rows) {
        SMSnapShotEngineInfo info;
        info.setSnapShotEngineId(static_cast<int>(AsInt(r[0])));
        info.setVendorName(AsText(r[1]));
        info.setEngineName(AsText(r[2]));
        engines.push_back(info);
    }
    return true;
}

int JZMMSnapAPI::isReplicationEnabled(int appId, int, bool& enabled, int& type, std::string& text) {
    m_errCode = 0;
    m_errStr.clear();
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "JZMMSnapAPI::isReplicationEnabled", "app=" + std::to_string(appId), &fault)) {
        fail(fault.code, fault.text);
        text = m_errStr;
        return m_errCode;
    }
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query("SELECT enabled, type FROM sm_replication WHERE app_id = ?",
                                             {int64_t(appId)}, &rows);
    if (e.IsError()) {
        fail(SM_ERR_INTERNAL, e.AsString());
        text = m_errStr;
        return m_errCode;
    }
    enabled = !rows.empty() && AsInt(rows[0][0]) != 0;
    type = rows.empty() ? 0 : static_cast<int>(AsInt(rows[0][1]));
    text.clear();
    return 0;
}
