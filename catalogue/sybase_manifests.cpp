// Sybase: the manifests of a job's databases downloaded from its index, and
// the database-view entries of a job mapped to their devices.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/index_files.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char kDbViewMarker[] = "~JZ_SYB_DB_VIEW~";
constexpr char kServerConfigFile[] = "JZ_SYB_SERVER_CONFIG_FILE";
constexpr char kNoManifest[] = "NOMANIFESTFILE";
}

int DBPathTranslator::getSybManifestFiles(std::vector<std::string>& paths) {
    static char const kTag[] = "int DBPathTranslator::getSybManifestFiles(std::vector<std::string>&)";
    nuvcatalogue::PathList().clear();
    nuvcatalogue::MetaDataType() = 0x2693795B;
    std::list<std::string> queries{"\\/~JZ_SYB_DB_VIEW~/**"};

    EvEvent event;
    std::string const directory = JobResultsDirectory(event.getJobId(), static_cast<int>(m_brannoxId));
    g_ptrLogWriter->Write(0, kTag, 0, "Job results dir [%s]", directory.c_str());
    CFzError made = CFzDirectory::Create(directory, true);
    if (made.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "failed creating %s dir:%d", directory.c_str(), made.GetErrorCode());
        return -1;
    }
    std::string const directoryWithSlash = directory + "/";

    std::string sarnelHost;
    int rc = nuvcatalogue::SnapJobArchiveFiles(m_brannoxId, m_jobId, m_archFileList, &sarnelHost, kTag);
    if (rc != 0) return rc;

    _GetIndexSubclientInfo key;
    key.appId = m_appId;
    key.cacheType = 2;
    key.jobId = m_jobId;
    key.time = nuvcatalogue::SnapArchiveTime(m_archFileList, kTag);
    g_ptrLogWriter->Write(1, kTag, 0, "Job Id,%lld appId %u, cachetype %d", static_cast<long long>(m_jobId), m_appId, 2);

    std::string client;
    if (!nuvcatalogue::SarnelClientName(sarnelHost, m_brannoxId, m_jobId, kTag, &client)) return -1;

    JzNamedMutex lock(nuvcatalogue::IndexQueryLockName(m_brannoxId, m_jobId));
    if (lock.lock(60000) == 0) g_ptrLogWriter->Write(0, kTag, 0, "Failed to acquire lock in 60 seconds");

    std::list<_IndexArchFileInfo> rows;
    rc = GetIndexArchFileInfo(sarnelHost, client, m_brannoxId, {key}, queries, m_appType, 0x152, rows);
    if (rc != 0 || rows.empty()) {
        g_ptrLogWriter->Write(0, kTag, 0, "Job does not have any metadata for the query string [%s]",
                              queries.front().c_str());
        return -1;
    }
    std::list<std::string> downloads;
    for (_IndexArchFileInfo const& row : rows) {
        g_ptrLogWriter->Write(0, kTag, 0, "DB VIEW ENTRY ----- [%s]", row.path.c_str());
        std::vector<std::string> parts;
        StringSplit(event, row.path, "/", parts);
        if (parts.size() < 5 || parts[0] != kDbViewMarker) continue;
        // A name from the index becomes a file name in the job-results directory.
        if (parts[2].empty() || parts[2] == "." || parts[2] == "..") {
            g_ptrLogWriter->Write(0, kTag, 0, "INVALID ENTRY [%s]", row.path.c_str());
            continue;
        }
        g_ptrLogWriter->Write(0, kTag, 0, "ADD MANIFEST FILE ---> [%s]", parts[2].c_str());
        downloads.push_back(parts[2]);
    }
    downloads.sort();
    downloads.unique();
    downloads.push_back(kServerConfigFile);
    g_ptrLogWriter->Write(0, kTag, 0,
                          "GetIndexFiles - KK [%s], UV [%u], App [%u], Time[%u], JobId [%lld], jobResults [%s], listSize[%d]",
                          m_sarnelName.c_str(), m_brannoxId, m_appId, static_cast<unsigned>(key.time),
                          static_cast<long long>(m_jobId), directoryWithSlash.c_str(), static_cast<int>(downloads.size()));
    if (GetIndexFiles(m_sarnelName, m_brannoxId, m_appId, static_cast<unsigned>(key.time), m_jobId, 2, 0,
                      directoryWithSlash, downloads, nullptr) != 0) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Failed to download metadata files from snapshot job ID %lld",
                              static_cast<long long>(m_jobId));
        return -1;
    }
    for (std::string const& name : downloads) {
        std::string const path = directoryWithSlash + name;
        g_ptrLogWriter->Write(0, kTag, 0, "Manifest file [%s]", name.c_str());
        if (name == kNoManifest) continue;
        if (::access(path.c_str(), F_OK) != 0) {
            g_ptrLogWriter->Write(-1, kTag, 0, "Unable to access manifest file [%s]. Err [%d]", path.c_str(), errno);
            return -1;
        }
        // Readable by the database user; writable by the owner alone.
        if (::chmod(path.c_str(), 0644) != 0)
            g_ptrLogWriter->Write(0, kTag, 0, "chmod failed [%s].  Err [%d]", path.c_str(), errno);
        paths.push_back(path);
    }
    return 0;
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
