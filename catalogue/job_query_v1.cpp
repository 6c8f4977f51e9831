// The job file query: the choice of index generation, and the first-generation
// query (browsable paths, then the database files) over GetIndexArchFileInfo.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <unordered_map>

namespace {

char const kTag[] = "int DBPathTranslator::getArchiveFileIdsFromIndexForAJob()";
char const kDbDir[] = "/+DBDIR+/";

bool StartsWith(std::string const& text, std::string const& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

namespace nuvcatalogue {

void SybaseIds(uint32_t brannoxId, uint32_t appId, uint64_t* clientId, uint64_t* instanceId, char const* tag) {
    ApplicationId app(brannoxId, appId);
    Instance* instance = app.getInstance(nullptr);
    if (dynamic_cast<SybaseInstance*>(instance) != nullptr) {
        *instanceId = instance->getInstanceId();
        g_ptrLogWriter->Write(0, tag, 0, "Instance ID [%lu]", static_cast<unsigned long>(*instanceId));
    }
    if (JZClient* client = app.getClient(nullptr)) {
        unsigned long id = 0;
        if (client->getClientId(id, nullptr) == 0) {
            *clientId = id;
            g_ptrLogWriter->Write(0, tag, 0, "Client ID [%lu]", id);
        }
    }
}

bool OracleInstanceName(uint32_t brannoxId, uint32_t appId, std::string* name) {
    ApplicationId app(brannoxId, appId);
    Instance* instance = app.getInstance(nullptr);
    if (instance == nullptr) return false;
    *name = JZ_DEFAULT_STR_PROP_VALUE;
    (void)instance->getInstanceName(*name, nullptr);
    return true;
}

}  // namespace nuvcatalogue

int DBPathTranslator::getArchiveFileIdsFromIndexForAJob() {
    bool useV2 = false;
    if (shouldUseIndexingV2(m_brannoxId, static_cast<int>(m_appId), useV2) != 0) {
        g_ptrLogWriter->Write(0, kTag, 0, "Error figuring out indexing Version");
        return -1;
    }
    if (useV2) {
        bool v1Cycle = false;
        int rc = getArchiveFileIdsFromIndexV2ForAJob(v1Cycle);
        if (rc == 0 || !v1Cycle) return rc;
    }

    std::vector<browseablePath_t>& pathList = nuvcatalogue::PathList();
    pathList.clear();
    EvEvent event;
    uint64_t clientId = 0, instanceId = 0;
    if (m_appType == 5) nuvcatalogue::SybaseIds(m_brannoxId, m_appId, &clientId, &instanceId, kTag);

    std::vector<std::string> patterns;
    int32_t& metaDataType = nuvcatalogue::MetaDataType();
    switch (m_appType) {
    case 5: patterns = {"/~JZ_SYB_DB_VIEW~/"}; metaDataType = 0x2693795B; break;
    case 22:
    case 80:
        patterns = {"/TblView/", "/+TblSpaceDep+/", "/+SYMLINK2FILE+/", "/+SYMLINK2DIR+/"};
        metaDataType = 0x2693795B;
        break;
    case 61:
        patterns = {"/+BROWSE+/", "/+SYMLINK2FILE+/", "/+SYMLINK2DIR+/", "/+COPYFILE2DIR+/", "/+ConfigFileInMetaData+/"};
        metaDataType = 0x4B0A9800;
        break;
    case 104: patterns = {"/*/", "/+SYMLINK2FILE+/", "/+SYMLINK2DIR+/"}; metaDataType = 0x2DF08A7C; break;
    case 125:
        patterns = {"/TblView/", kDbDir, "/+SYMLINK2FILE+/", "/+SYMLINK2DIR+/"};
        metaDataType = 0x2693795B;
        break;
    default: patterns = {"/+SYMLINK2FILE+/", "/+SYMLINK2DIR+/"}; break;
    }

    std::string sarnelHost;
    int rc = nuvcatalogue::SnapJobArchiveFiles(m_brannoxId, m_jobId, m_archFileList, &sarnelHost, kTag);
    if (rc != 0) return rc;
    _GetIndexSubclientInfo key;
    key.appId = m_appId;
    key.cacheType = 2;
    key.jobId = m_jobId;
    key.time = nuvcatalogue::SnapArchiveTime(m_archFileList, kTag);
    g_ptrLogWriter->Write(1, kTag, 0, "Job Id %llu, appId %u, cachetype %d", static_cast<unsigned long long>(m_jobId),
                          m_appId, 2);
    std::list<std::string> queries;
    for (std::string const& p : patterns) queries.push_back("\\" + p + "**");
    std::string sarnelClient;
    if (!nuvcatalogue::SarnelClientName(sarnelHost, m_brannoxId, m_jobId, kTag, &sarnelClient)) return -1;

    JzNamedMutex lock(nuvcatalogue::IndexQueryLockName(m_brannoxId, m_jobId));
    bool const locked = lock.lock(60000) != 0;
    if (!locked) g_ptrLogWriter->Write(0, kTag, 0, "Failed to acquire lock in 60 seconds");

    // First query: the browsable paths.
    std::list<_IndexArchFileInfo> rows;
    int first = GetIndexArchFileInfo(sarnelHost, sarnelClient, m_brannoxId, {key}, queries, m_appType, 0x152, rows);
    std::vector<std::string> dbViews;
    if (first == 0 && !rows.empty()) {
        for (_IndexArchFileInfo& row : rows) {
            if (m_appType == 104) {
                browseablePath_t entry;
                IdxUtil::populateBrowsablePath(entry, row);
                entry.size = 0;
                g_ptrLogWriter->Write(2, kTag, 0, "phony=[%s] osPath=[%s]", entry.phonyPath.c_str(), entry.osPath.c_str());
                if (StartsWith(entry.phonyPath, "/+NO") || StartsWith(entry.phonyPath, "\\+NO")) {
                    g_ptrLogWriter->Write(2, kTag, 0, "This path is snap entity list with NOBROWSE prefix, ignoring here..");
                    continue;
                }
                g_ptrLogWriter->Write(2, kTag, 0, "This path browsable path, adding to m_pathList");
                pathList.push_back(std::move(entry));
                continue;
            }
            if (m_appType == 5) {
                g_ptrLogWriter->Write(0, kTag, 0, "DB VIEW ENTRY ----- [%s]", row.path.c_str());
                dbViews.push_back(row.path);
            }
            g_ptrLogWriter->Write(2, kTag, 0, "Index entry [%s]", row.path.c_str());
            pathList.emplace_back();
            IdxUtil::populateBrowsablePath(pathList.back(), row);
        }
    } else if (!queries.empty()) {
        g_ptrLogWriter->Write(0, kTag, 0, "Job does not have any metadata for the query string [%s]",
                              queries.back().c_str());
    }

    // Second query: the database files.
    queries.clear();
    if (m_appType == 22) {
        std::string name;
        if (!nuvcatalogue::OracleInstanceName(m_brannoxId, m_appId, &name)) {
            g_ptrLogWriter->Write(0, kTag, 0, "Failed to lookup Oracle instance  for [%u:%u]", m_brannoxId, m_appId);
            return -1;
        }
        queries = {"/" + name + "/**", "/TblView/" + name + "/**", "/+TblSpaceDep+/" + name + "/**",
                   "/+SYMLINK2FILE+/**", "/+SYMLINK2DIR+/**"};
        g_ptrLogWriter->Write(2, kTag, 0,
                              "Fetch instance specific index for oracle backup copy  job with regular expression [%s]",
                              queries.back().c_str());
    } else if (m_appType == 104) {
        queries = {"\\/+NOBROWSE+/**"};
    } else {
        queries = {"\\/*/**"};
    }
    rows.clear();
    unsigned flags = 0x12;
    if (!patterns.empty()) flags += kIndexQueryFilesOnly;   // the database files, not their directories
    if (m_appType == 125) flags += kIndexQueryWithDirectories;   // and PostgreSQL's data directories
    rc = GetIndexArchFileInfo(sarnelHost, sarnelClient, m_brannoxId, {key}, queries, m_appType, flags, rows);
    std::map<std::string, std::string> devices;
    bool const anyRow = !rows.empty();
    if (rc == 0 && anyRow) {
        // A browsable row marks the entry of its own path (hashed, first of a name).
        std::unordered_map<std::string, size_t> byPath;
        byPath.reserve(pathList.size());
        for (size_t i = 0; i < pathList.size(); ++i) byPath.emplace(pathList[i].phonyPath, i);
        // Each row is let go of once read: the file entities take its place.
        for (; !rows.empty(); rows.pop_front()) {
            _IndexArchFileInfo& row = rows.front();
            g_ptrLogWriter->Write(2, kTag, 0, "BCD string is %s", row.path.c_str());
            if (m_appType == 125 && row.path.find("TblView") == std::string::npos && !row.path.empty() &&
                row.path[0] == '\\') {
                row.path.erase(0, 1);
                g_ptrLogWriter->Write(2, kTag, 0, "Postgres BCD string is %s", row.path.c_str());
            }
            if (m_appType == 5) {
                std::vector<std::string> parts;
                StringSplit(event, row.path, "/", parts);
                if (parts.size() >= 3 && parts[0] == "~JZ_SYB_DEVICES~") {
                    g_ptrLogWriter->Write(0, kTag, 0, "SYB DEVICE ENTRY  [%s] -> [%s]", parts[1].c_str(), parts[2].c_str());
                    devices[parts[1]] = row.path;
                }
            }
            if (!row.metadata.empty() &&
                !(m_appType == 61 && (row.path.find("/+COPYFILE2DIR+/") != std::string::npos ||
                                      row.path.find("/+ConfigFileInMetaData+/") != std::string::npos)))
                NuvSymLink::checkAndAddToSymlinkMap(row.path, row.metadata.front().value, row.jobId,
                                                    static_cast<int>(m_brannoxId));
            bool browsable = false;
            for (std::string const& p : patterns)
                if (BrowsablePathSearch(row.path)(p)) browsable = true;
            if (!browsable) {
                m_fileEntities.emplace_back();   // filled in place
                DBFileSnapshotEntity& entity = m_fileEntities.back();
                entity.m_bcdString = std::move(row.path);
                entity.m_archiveFileId = static_cast<uint64_t>(row.archFileId);
                continue;
            }
            std::string trimmed = row.path;
            while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
            auto found = byPath.find(trimmed);
            if (found == byPath.end()) continue;
            if (m_appType == 125 && StartsWith(row.path, kDbDir)) continue;
            pathList[found->second].isDir = 0;
        }
    }
    if (rc == 0 && !anyRow) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Index Query returned empty list");
        rc = -1;
    }
    if (rc != 0) g_ptrLogWriter->Write(-1, kTag, 0, "Failed to get Snapshot Info from SnapHandler");
    if (locked) lock.unlock();
    if (m_appType == 5 && rc == 0 &&
        processSybaseDevicePaths(dbViews, devices, static_cast<int>(clientId), static_cast<int>(instanceId), event) != 0)
        rc = -1;
    return rc;
}
