// Sybase: the database-view entries of a job mapped to their devices.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include <cstdlib>

namespace {
constexpr char kDbViewMarker[] = "~JZ_SYB_DB_VIEW~";
}

int DBPathTranslator::processSybaseDevicePaths(std::vector<std::string>& dbViewEntries,
                                               std::map<std::string, std::string>& deviceMap, int clientId,
                                               int instanceId, EvEvent& event) {
    static char const kTag[] = "DBPathTranslator::processSybaseDevicePaths";
    for (std::string const& entry : dbViewEntries) {
        EvDebug::DebugLvl(&event, 0, kTag, "DB VIEW ENTRY [%s]", entry.c_str());
        std::vector<std::string> parts;
        StringSplit(event, entry, "/", parts);
        if (parts.size() < 5 || parts[0] != kDbViewMarker) continue;
        EvDebug::DebugLvl(&event, 0, kTag, " DB->DEV [%s]->[%s]", parts[3].c_str(), parts[4].c_str());
        auto device = deviceMap.find(parts[4]);
        if (device == deviceMap.end()) {
            EvDebug::DebugLvl(&event, 0, kTag, "Unable to find entry for [%s] in the devToPath map", parts[4].c_str());
            return -1;
        }
        EvDebug::DebugLvl(&event, 0, kTag, "DEV PATH [%s]", device->second.c_str());
        std::vector<std::string> db;
        StringSplit(event, parts[3], "~", db);
        if (db.size() != 2) {
            EvDebug::DebugLvl(&event, 0, kTag, "INVALID ENTRY [%s]", parts[3].c_str());
            continue;
        }
        EvDebug::DebugLvl(&event, 0, kTag, "DB NAME [%s], DBID [%s]", db[0].c_str(), db[1].c_str());
        DBProperty property;
        property.m_dbName = db[0];
        property.m_dbId = atoi(db[1].c_str());
        property.m_brannoxId = m_brannoxId;
        property.m_jobId = m_jobId;
        property.m_appId = m_appId;
        property.m_clientId = clientId;
        property.m_instanceId = instanceId;
        m_devicePathDBMap[device->second].push_back(property);
    }
    return 0;
}
