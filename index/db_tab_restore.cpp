// DbTabRestoreUtils at restore: the browse request, the index lookup and the
// rows it hands back.
#include "nuvdbsnap/index/db_tab_restore_utils.h"

#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/msg/index_clients.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/msg/xml_decoder.h"

#include <algorithm>
#include <memory>

namespace {

char const kTblViewMarker[] = "+tblview+";
char const kTblSpaceDepMarker[] = "+TblSpaceDep+";   // 13 characters
constexpr uint32_t kOptionDataMoverClient = 0x4AC24417;

size_t CountAfterFirst(std::string const& path, char sep) {
    size_t n = 0;
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == sep) ++n;
    return n;
}

// The components after the view root (or after the first component when the
// path has no "+tblview+"): `count` of them, each ended by sep, then the rest.
// False when the path is too short.
bool ParseRow(std::string const& path, char sep, size_t count, std::vector<std::string>* parts, std::string* rest) {
    std::string marker = std::string(1, sep) + kTblViewMarker;
    size_t start = path.find(marker);
    start = start == std::string::npos ? 0 : start + marker.size();
    if (start >= path.size() || path[start] != sep) return false;
    size_t pos = path.find(sep, start + 1);   // end of the view root (or first component)
    if (pos == std::string::npos) return false;
    parts->clear();
    for (size_t i = 0; i < count; ++i) {
        size_t next = path.find(sep, pos + 1);
        if (next == std::string::npos) return false;
        parts->push_back(path.substr(pos + 1, next - pos - 1));
        pos = next;
    }
    *rest = path.substr(pos + 1);
    return true;
}

}  // namespace

bool DbTabRestoreUtils::FilteredOut(std::string const& path) const {
    for (std::string const& f : m_filterPaths) {
        if (f.empty()) continue;
        for (size_t p = path.find(f); p != std::string::npos; p = path.find(f, p + 1)) {
            bool startOk = p == 0 || path[p - 1] == '/' || f.front() == '/';
            size_t end = p + f.size();
            bool endOk = end == path.size() || path[end] == '/' || f.back() == '/';
            if (startOk && endOk) return true;
        }
    }
    return false;
}

CFzError DbTabRestoreUtils::GetBrowsePaths(EvRstTask& task, std::vector<DbTableInfo>& tables,
                                           std::vector<DbTableSpaceInfo>& tablespaces) {
    char const tag[] = "DbTabRestoreUtils::GetBrowsePaths";
    databrowse::RegisterSubsystem();
    Indexing::RegisterSubsystem();
    IdxMetadata::RegisterSubsystem();
    Common::RegisterSubsystem();
    databrowse::BrowseRequest request;

    uint64_t brannoxId = 0, clientId = 0, appType = 0, instanceId = 0, backupSetId = 0, appId = 0;
    (void)task.getBrannoxId(brannoxId, nullptr);
    (void)task.getSourceClientId(clientId, nullptr);
    (void)task.getAppTypeId(appType, nullptr);
    (void)task.getInstanceId(instanceId, nullptr);
    (void)task.getBackupSetId(backupSetId, nullptr);
    (void)task.getAppId(appId, nullptr);
    m_dbTableInfo = &tables;
    tsList = &tablespaces;

    CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(1, 1, static_cast<int64_t>(brannoxId));
    entity->setint64(17, 47, static_cast<int64_t>(clientId));
    entity->setint64(14, 38, static_cast<int64_t>(appType));
    entity->setint64(11, 29, static_cast<int64_t>(instanceId));
    entity->setint64(8, 20, static_cast<int64_t>(backupSetId));
    if (appId == 0) {
        entity->setint64(5, 11, -1);
        (void)task.setAppId(static_cast<uint64_t>(-1), nullptr);
        EvDebug::DebugLvl(m_event, 2, tag, "set AppId in rstTask and SubclientId in BrowseRequest to -1");
    } else {
        entity->setint64(5, 11, static_cast<int64_t>(appId));
        EvDebug::DebugLvl(m_event, 2, tag, "set subclientId in BrowseRequest to %d ", static_cast<int>(appId));
    }
    if (backupSetId == 0) {
        EvDebug::DebugLvl(m_event, 2, tag, "getCommandLineAppId for brannoxId %d|clientId %ld| appType %ld| instanceId %lu",
                          m_brannoxId, static_cast<long>(m_clientId), static_cast<long>(appType),
                          static_cast<unsigned long>(m_instanceId));
        ApplicationId* app = CommandLineSubclient::getCommandLineAppId(
            static_cast<unsigned long>(m_brannoxId), static_cast<unsigned long>(m_clientId),
            static_cast<unsigned long>(appType), static_cast<unsigned long>(m_instanceId), 0, nullptr);
        BackupSet* set = app ? app->getBackupSet(nullptr) : nullptr;
        if (app && set) {
            backupSetId = set->getBackupSetId();
        } else {
            backupSetId = 0;
            EvDebug::DebugLvl(m_event, 2, tag, "Check: appIdPtr %s ; getBackupSet %s", app ? " NotNull " : " NULL ",
                              set ? " NotNull " : " NULL ");
        }
        EvDebug::DebugLvl(m_event, 2, tag, "setBackupSetId to %d ", static_cast<int>(backupSetId));
        (void)task.setBackupSetId(backupSetId, nullptr);
        entity->setint64(8, 20, static_cast<int64_t>(backupSetId));
    }

    std::vector<databrowse::BrowsePath> paths;
    std::string path;
    for (int rc = task.getFirstPath(EvRstTask::kSourcePaths, path, nullptr); rc == 0;
         rc = task.getNextPath(EvRstTask::kSourcePaths, path, nullptr)) {
        EvDebug::DebugLvl(m_event, 2, tag, "RP_SOURCE: path = [%s]", path.c_str());
        paths.emplace_back();
        paths.back().setstring(1, 1, "/**" + path + "/*");
    }
    paths.emplace_back();
    paths.back().setstring(1, 1, "/+TblSpaceDep+/" + m_viewRootName + "**" + "/" + "*");
    request.setlistobject(4, 4, paths);
    std::vector<databrowse::BrowsePath> filters;
    for (int rc = task.getFirstPath(EvRstTask::kFilterPaths, path, nullptr); rc == 0;
         rc = task.getNextPath(EvRstTask::kFilterPaths, path, nullptr)) {
        EvDebug::DebugLvl(m_event, 2, tag, "RP_FILTER: path = [%s]", path.c_str());
        filters.emplace_back();
        filters.back().setstring(1, 1, path);
    }
    if (!filters.empty()) request.setlistobject(5, 5, filters);

    uint64_t fromTime = 0, toTime = 0, copyPrecedence = 0;
    (void)task.getFromTime(fromTime, nullptr);
    (void)task.getToTime(toTime, nullptr);
    (void)task.getArchGroupCopyPrecedence(copyPrecedence, nullptr);
    request.setint64(1, 1, 1);
    CNMessageBase* range = request.getObjectAccessor(6, 6, true, 100, 64);
    range->setint64(2, 2, static_cast<int64_t>(fromTime));
    range->setint64(1, 1, static_cast<int64_t>(toTime));
    std::vector<databrowse::Query> queries(1);
    queries[0].setint64(1, 1, 0);
    CNMessageBase* paging =
        queries[0].getObjectAccessor(5, 8, true, 100, 71)->getObjectAccessor(2, 2, true, 100, 6);
    paging->setint64(1, 1, 0);
    paging->setint64(2, 2, 0);
    paging->setint64(3, 3, 4294967295ll);
    request.setlistobject(12, 12, queries);
    request.getObjectAccessor(11, 11, true, 100, 63)->setint64(1, 1, static_cast<int64_t>(uint32_t(copyPrecedence)));
    request.getObjectAccessor(7, 7, true, 100, 4)->setint64(2, 2, 1);
    int64_t dataMoverClient = 0;
    if (task.getOptionNumber(kOptionDataMoverClient, dataMoverClient, nullptr) != 0) dataMoverClient = 0;
    request.getObjectAccessor(9, 9, true, 18, 4)->setint64(0, 0, dataMoverClient);
    EvDebug::DebugLvl(m_event, 2, tag, "set KK ClientId in BrowseRequest to %d ", static_cast<int>(dataMoverClient));

    IdxBrowseClient browse;
    if (browse.Initialize(request, nullptr, 2000, nullptr, nullptr) != 0) {
        EvDebug::Error(m_event, tag, "failed to initialize IdxBrowseClient");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "failed to initialize IdxBrowseClient");
    }
    CNMessageBase* v1 = browse.getV1BrowseReq();
    if (v1 == nullptr) {
        EvDebug::Error(m_event, tag, "Indexing::BrowseReq object received from IdxBrowseClient object is NULL");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1,
                                       "Indexing::BrowseReq object received from IdxBrowseClient object is NULL");
    }
    std::string host = v1->getstring(84, 138);
    std::string subclientName = v1->getstring(38, 62);
    unsigned const lastSubclientId = static_cast<uint32_t>(v1->getint64(14));
    EvDebug::Debug(m_event, tag, "kkHost [%s] subClientName [%s] lastSubclientId [%u]", host.c_str(),
                   subclientName.c_str(), lastSubclientId);
    std::vector<CNMessageBase>* cycles = v1->getlistobject<CNMessageBase>(79, 133, false);
    EvDebug::Debug(m_event, tag, "browseReq->getBackupCycles()->size() [%d]", cycles ? int(cycles->size()) : 0);
    (void)task.getFromTime(fromTime, nullptr);
    (void)task.getToTime(toTime, nullptr);
    EvDebug::Debug(m_event, tag, "fromTime [%lu] toTime [%lu]", static_cast<unsigned long>(fromTime),
                   static_cast<unsigned long>(toTime));

    CFzError e = FetchInfoFromIndexQuery(task, host, lastSubclientId);
    if (e.IsError()) {
        EvDebug::Error(m_event, tag, "Could not get fetchindexinfo information");
        return e;
    }
    int index = 0;
    for (DbTableInfo const& t : tables)
        EvDebug::Debug(m_event, tag, "ind = [%d], Database = [%s] Schema name = [%s], table list = [%s]", index++,
                       t.database.c_str(), t.schema.c_str(), t.table.c_str());
    for (DbTableSpaceInfo const& ts : tablespaces)
        for (std::string const& name : ts.tablespaces) EvDebug::Debug(m_event, tag, "TS name = [%s]", name.c_str());
    return CFzError::Success();
}

CFzError DbTabRestoreUtils::FetchInfoFromIndexQuery(EvRstTask& task, std::string& host, unsigned const& subclientId) {
    char const tag[] = "DbTabRestoreUtils::FetchInfoFromIndexQuery";
    if (m_dbTableInfo == nullptr || tsList == nullptr) {
        EvDebug::Error(m_event, tag, "no table selection to fill: GetBrowsePaths did not run");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "no table selection to fill: GetBrowsePaths did not run");
    }
    std::list<std::string> lookups;
    std::string path;
    for (int rc = task.getFirstPath(EvRstTask::kSourcePaths, path, nullptr); rc == 0;
         rc = task.getNextPath(EvRstTask::kSourcePaths, path, nullptr)) {
        size_t slash = path.rfind('/');
        lookups.push_back(slash == std::string::npos ? path : path.substr(0, slash));
        lookups.push_back(path + "/*");
        EvDebug::DebugLvl(m_event, 2, tag, "RP_SOURCE: path = [%s]", lookups.back().c_str());
    }
    lookups.push_back("/+TblSpaceDep+/" + m_viewRootName + "/" + "**" + "/" + "*");
    EvDebug::DebugLvl(m_event, 2, tag, "tablespace_pattern = [%s]", lookups.back().c_str());
    m_filterPaths.clear();
    for (int rc = task.getFirstPath(EvRstTask::kFilterPaths, path, nullptr); rc == 0;
         rc = task.getNextPath(EvRstTask::kFilterPaths, path, nullptr)) {
        m_filterPaths.push_back(path);
        EvDebug::DebugLvl(m_event, 2, tag, "RP_FILTER: path = [%s]", path.c_str());
    }

    std::unique_ptr<FetchIndexInfo> fetch(new FetchIndexInfo);
    std::unique_ptr<FetchIndexInfoSendResDb> adaptor(new FetchIndexInfoSendResDb(*this));
    fetch->clearInitFlags(0xFFFFFFFF);
    fetch->setInitFlags(0x18140);
    if (m_writeOnly) {
        EvDebug::Debug(m_event, tag, "Setting cachetype to ensnap metadata");
        fetch->setCacheType(2);
    }
    uint64_t brannoxId = 0, toTime = 0, appType = 0;
    (void)task.getBrannoxId(brannoxId, nullptr);
    (void)task.getToTime(toTime, nullptr);
    (void)task.getAppTypeId(appType, nullptr);
    int rc = fetch->init(host, static_cast<uint32_t>(brannoxId), subclientId, static_cast<uint32_t>(toTime),
                         static_cast<uint32_t>(appType));
    if (rc != 0) {
        EvDebug::Error(m_event, tag, "FetchIndexInfo::init failed with return code %d", rc);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "FetchIndexInfo::init failed with return code %d", rc);
    }
    rc = fetch->lookup(lookups, adaptor.get());
    if (rc != 0) {
        EvDebug::Error(m_event, tag, "FetchIndexInfo::lookup failed with return code %d", rc);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "FetchIndexInfo::lookup failed with return code %d", rc);
    }
    (void)MakeTableSpaceListSelfContained();
    (void)MakeTableListSelfContained();
    if (m_dbTableInfo->empty()) {
        EvDebug::Error(m_event, tag, "FetchIndexInfo lookup returned empty rows");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "FetchIndexInfo lookup returned empty rows");
    }
    EvDebug::Debug(m_event, tag, "fetchInfo lookup completed");
    return CFzError::Success();
}

int DbTabRestoreUtils::FetchIndexInfoCallBack(FetchIndexInfoResp* batch) {
    char const tag[] = "DbTabRestoreUtils::FetchIndexInfoCallBack";
    static int32_t calls = 0;
    IdxMetadata::RegisterSubsystem();
    if (batch == nullptr) return 0;
    ++calls;
    EvDebug::DebugLvl(m_event, 2, tag, "Processing callback data.. (%d) = %d", static_cast<int>(batch->items.size()),
                      calls);
    if (m_dbTableInfo == nullptr || tsList == nullptr) {
        EvDebug::Error(m_event, tag, "no table selection to fill: GetBrowsePaths did not run");
        return -1;
    }
    std::vector<std::string> parts;
    std::string rest;
    for (FInfoRespItem const& row : batch->items) {
        if (!row.valid) {
            EvDebug::Debug(m_event, tag, "Invalid response.");
            continue;
        }
        if (FilteredOut(row.path)) {
            EvDebug::DebugLvl(m_event, 2, tag, "Path %s is filtered from Browse", row.path.c_str());
            continue;
        }
        bool reachedDependencies = false;
        for (MetaData const& item : row.metaData) {
            EvDebug::DebugLvl(m_event, 3, tag, "path = %s, id = %d, indexEntity.metaData.begin()->value = %s",
                              row.path.c_str(), item.id, row.metaData.front().value.c_str());
            std::string const path = row.path;
            if (path.empty()) {
                EvDebug::Debug(m_event, tag, "BrowsePath has zero length");
                continue;
            }
            char const sep = path[0];
            size_t const count = CountAfterFirst(path, sep);
            bool const hasMarker = path.find(std::string(1, sep) + kTblViewMarker) != std::string::npos;
            if (hasMarker && count <= 3) continue;
            if (!ParseRow(path, sep, 2, &parts, &rest) || rest.empty()) continue;
            DbTableInfo table{parts[0], parts[1], rest};
            EvDebug::DebugLvl(m_event, 2, tag, "Found database [%s] schema [%s] table [%s]", table.database.c_str(),
                              table.schema.c_str(), table.table.c_str());
            size_t const current = FindOrAddNode(table, SIZE_MAX);
            std::string value = item.value;
            std::unique_ptr<CNMessageBase> decoded(XMLDecoder::unSerialize(value, nullptr));
            if (!decoded || decoded->getFamily() != 101 || decoded->getType() != 11) {
                EvDebug::Error(m_event, tag, "unSerialize returned error!!!");
                return -1;
            }
            std::vector<CNMessageBase>* deps = decoded->getlistobject<CNMessageBase>(1, 1, false);
            if (deps == nullptr) {
                EvDebug::Debug(m_event, tag, "depTables is NULL");
            } else {
                for (CNMessageBase const& d : *deps) {
                    DbTableInfo dep{d.getstring(3, 9), d.getstring(1, 1), d.getstring(2, 5)};
                    EvDebug::Debug(m_event, tag, "Depends On [%s] [%s] [%s]", dep.database.c_str(), dep.table.c_str(),
                                   dep.schema.c_str());
                    if (dep == table) continue;
                    size_t const id = FindOrAddNode(dep, current);
                    m_dependsOn.push_back({static_cast<uint32_t>(current), static_cast<uint32_t>(id)});
                }
            }
            std::vector<CNMessageBase>* refs = decoded->getlistobject<CNMessageBase>(2, 2, false);
            if (refs == nullptr) {
                EvDebug::Debug(m_event, tag, "refTables is NULL");
            } else {
                for (CNMessageBase const& r : *refs)
                    EvDebug::Debug(m_event, tag, "Ref by [%s] [%s] [%s]", r.getstring(3, 9).c_str(),
                                   r.getstring(2, 5).c_str(), r.getstring(1, 1).c_str());
            }
            m_orderDirty = true;
            reachedDependencies = true;
        }
        if (reachedDependencies) continue;

        EvDebug::DebugLvl(m_event, 2, tag, "BrowsePath pSrc [%s]", row.path.c_str());
        if (row.path.empty()) {
            EvDebug::Debug(m_event, tag, "BrowsePath has zero length");
            continue;
        }
        char const sep = row.path[0];
        size_t const count = CountAfterFirst(row.path, sep);
        if (row.path.compare(1, 13, kTblSpaceDepMarker) == 0) {
            InsertTableSpaceInGraph(row.path.c_str(), sep);
            continue;
        }
        bool const hasMarker = row.path.find(std::string(1, sep) + kTblViewMarker) != std::string::npos;
        if (hasMarker && count <= 4) continue;
        if (!ParseRow(row.path, sep, 3, &parts, &rest) || rest.empty()) continue;
        DbTableInfo table{parts[0], parts[1], parts[2]};
        EvDebug::DebugLvl(m_event, 2, tag, "Found database [%s] schema [%s] table [%s] tableSpace [%s]",
                          table.database.c_str(), table.schema.c_str(), table.table.c_str(), rest.c_str());
        DbTableSpaceInfo* entry = nullptr;
        for (DbTableSpaceInfo& ts : *tsList)
            if (ts.database == table.database) {
                entry = &ts;
                break;
            }
        if (entry == nullptr) {
            tsList->push_back(DbTableSpaceInfo{table.database, {}});
            entry = &tsList->back();
        }
        entry->tablespaces.insert(rest);
        if (m_selectedFor != m_dbTableInfo || m_selectedSynced > m_dbTableInfo->size()) {
            for (NodeState& node : m_nodes) node.selected = false;
            m_selectedSynced = 0;
            m_selectedFor = m_dbTableInfo;
        }
        for (; m_selectedSynced < m_dbTableInfo->size(); ++m_selectedSynced)
            m_nodes[InternTable((*m_dbTableInfo)[m_selectedSynced])].selected = true;
        uint32_t const id = InternTable(table);
        if (!m_nodes[id].selected) {
            m_nodes[id].selected = true;
            m_dbTableInfo->push_back(std::move(table));
            ++m_selectedSynced;
        }
    }
    return 0;
}
