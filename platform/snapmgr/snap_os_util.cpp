// JZSnapOSUtil over the catalogue table sm_ddr_hosts.
#include "nuvdbsnap/platform/snapmgr/snap_os_util.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <string>
#include <vector>

unsigned long JZSnapOSUtil::getDDRHostID(unsigned long appId) {
    static char const* const kTag = "JZSnapOSUtil::getDDRHostID";
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "getDDRHostID", "app=" + std::to_string(appId), &fault)) {
        EvDebug::Error(nullptr, kTag, "The DDR host of application %lu is not known: [%d] %s", appId, fault.code,
                       fault.text.c_str());
        return 0;
    }
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT client_id FROM sm_ddr_hosts WHERE app_id = ?",
                                                       {static_cast<int64_t>(appId)}, &rows);
    if (e.IsError()) {
        EvDebug::Error(nullptr, kTag, "The DDR host of application %lu is not known: %s", appId, e.AsString().c_str());
        return 0;
    }
    if (rows.empty() || nuvsuite::AsInt(rows[0][0]) < 0) return 0;
    return static_cast<unsigned long>(nuvsuite::AsInt(rows[0][0]));
}
