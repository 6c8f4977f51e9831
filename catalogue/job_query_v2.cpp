// The job file query over the second-generation index: a browse of the snap
// job's index in up to two passes (view prefixes, then data paths), each item
// of the answers classified by engine into file entities, browsable paths and
// Sybase entries.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/msg/index_clients.h"

#include <deque>
#include <string_view>
#include <vector>

namespace {

char const kTag[] = "int DBPathTranslator::getArchiveFileIdsFromIndexV2ForAJob(bool&)";
char const kMetaTag[] =
    "int DBPathTranslator::populateMetaDataList(std::vector<databrowse::BrowseData>::iterator, "
    "std::list<_IndexMetaDataInfo>&)";

bool StartsWith(std::string const& text, std::string const& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The paths a query has seen: an open-addressed table of the paths' hashes
// and places (the texts stay where their owner keeps them), kept at most half
// full.
class PathsSeen {
public:
    // Makes room for `more` paths beyond those held.
    void reserve(size_t more) {
        size_t want = 16;
        while (want < 2 * (m_count + more)) want *= 2;
        if (want > m_slots.size()) grow(want);
    }
    // True when the path was not held (it is held now).
    bool insert(std::string_view path) {
        reserve(1);
        uint32_t const hash = Hash(path);
        Slot& slot = find(hash, path);
        if (slot.text != nullptr) return false;
        slot = {path.data(), hash, static_cast<uint32_t>(path.size())};
        ++m_count;
        return true;
    }
    // The held path's place replaced by an equal text's.
    void rebind(std::string_view path, std::string_view same) {
        Slot& slot = find(Hash(path), path);
        if (slot.text != nullptr) slot.text = same.data();
    }

private:
    struct Slot {
        char const* text = nullptr;   // null: a free slot
        uint32_t hash = 0;
        uint32_t size = 0;
    };
    static uint32_t Hash(std::string_view path) {
        size_t const h = std::hash<std::string_view>()(path);
        return static_cast<uint32_t>(h ^ (h >> 32));
    }
    // The slot holding the path, else the free slot where it goes. Paths
    // longer than 4 GiB do not occur (a path's length is bounded far below).
    Slot& find(uint32_t hash, std::string_view path) {
        size_t const mask = m_slots.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = m_slots[i];
            if (slot.text == nullptr ||
                (slot.hash == hash && slot.size == path.size() && std::string_view(slot.text, slot.size) == path))
                return slot;
        }
    }
    void grow(size_t size) {
        std::vector<Slot> old(size);
        old.swap(m_slots);
        for (Slot const& slot : old)
            if (slot.text != nullptr) find(slot.hash, std::string_view(slot.text, slot.size)) = slot;
    }

    std::vector<Slot> m_slots;
    size_t m_count = 0;
};

}  // namespace

struct DBPathTranslator::BrowseQuery {
    EvEvent event;
    std::vector<std::string> viewPrefixes;
    std::map<int, std::vector<std::string>> passes;   // pass number -> browse paths
    std::vector<std::string> dbViews;                 // Sybase database-view entries
    std::map<std::string, std::string> devices;       // Sybase device name -> index path
    databrowse::BrowseRequest request;

    // An item is classified once per query. The paths of the answer being
    // classified are looked up where the answer holds them; before the next
    // browse replaces the answer, they are kept as copies.
    PathsSeen classified;
    std::vector<std::string_view> ofThisAnswer;
    std::deque<std::string> ofEarlierAnswers;
    bool firstClassification(std::string const& path) {
        if (!classified.insert(path)) return false;
        ofThisAnswer.push_back(path);
        return true;
    }
    void keepClassifiedPaths() {
        for (std::string_view path : ofThisAnswer) classified.rebind(path, ofEarlierAnswers.emplace_back(path));
        ofThisAnswer.clear();
    }
};

int DBPathTranslator::getArchiveFileIdsFromIndexV2ForAJob(bool& v1Cycle) {
    std::vector<browseablePath_t>& pathList = nuvcatalogue::PathList();
    pathList.clear();
    BrowseQuery query;
    std::string const clientName = EvDebug::getClientName();

    std::vector<std::string> dataPaths;
    int32_t& metaDataType = nuvcatalogue::MetaDataType();
    uint64_t clientId = 0, instanceId = 0;
    switch (m_appType) {
    case 125: query.viewPrefixes = {"/TblView/", "/+DBDIR+/"}; metaDataType = 0x2693795B; break;
    case 104: query.viewPrefixes = {"/+NOBROWSE+/"}; dataPaths = {"/*/"}; metaDataType = 0x2DF08A7C; break;
    case 22:
    case 80: {
        std::string name;
        if (!nuvcatalogue::OracleInstanceName(m_brannoxId, m_appId, &name)) {
            g_ptrLogWriter->Write(0, kTag, 0, "Failed to lookup Oracle instance for [%u:%u]", m_brannoxId, m_appId);
            return -1;
        }
        query.viewPrefixes = {"/TblView/" + name + "/", "/+TblSpaceDep+/" + name + "/"};
        dataPaths = {"/" + name + "/"};
        metaDataType = 0x2693795B;
        CFzError e = queryOracleImageCopyContent();
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0,
                                  "Failed to query Image copy tag/content from Index, cannot complete backup copy:[%s]",
                                  e.AsString().c_str());
            return -1;
        }
        break;
    }
    case 61:
        query.viewPrefixes = {"/+BROWSE+/", "/+COPYFILE2DIR+/", "/+ConfigFileInMetaData+/"};
        dataPaths = {"/*/"};
        metaDataType = 0x4B0A9800;
        break;
    case 5:
        query.viewPrefixes = {"/~JZ_SYB_DB_VIEW~/"};
        dataPaths = {"/*/"};
        metaDataType = 0x2693795B;
        nuvcatalogue::SybaseIds(m_brannoxId, m_appId, &clientId, &instanceId, kTag);
        break;
    default:
        dataPaths = {"/*/"};
        g_ptrLogWriter->Write(0, kTag, 0, "no appType passed");
        break;
    }
    dataPaths.push_back("/+SYMLINK2FILE+/");
    dataPaths.push_back("/+SYMLINK2DIR+/");

    // The snap job's archive files give the browse's time window: from the
    // oldest archive file to the newest snapshot archive file (full width).
    std::string sarnelHost;
    int rc = nuvcatalogue::SnapJobArchiveFiles(m_brannoxId, m_jobId, m_archFileList, &sarnelHost, kTag);
    if (rc != 0) return rc;
    int64_t fromTime = 0, toTime = 0;
    if (m_archFileList.empty()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Unable to get the timestamp of BCD Snap Index Archive file defaulting to 0");
    } else {
        nuvcatalogue::SnapArchiveTime(m_archFileList, kTag);   // sorts newest first
        for (auto const& row : m_archFileList)
            g_ptrLogWriter->Write(1, kTag, 0, "afileId:%lu cTime:%lu", static_cast<unsigned long>(row.archFileId),
                                  static_cast<unsigned long>(row.createTime));
        auto snap = std::find_if(m_archFileList.begin(), m_archFileList.end(), nuvcatalogue::firstSnapArchFile);
        toTime = snap == m_archFileList.end() ? 0 : snap->createTime;
        fromTime = m_archFileList.back().createTime;
    }
    g_ptrLogWriter->Write(1, kTag, 0, "Job Id %llu, appId %u", static_cast<unsigned long long>(m_jobId), m_appId);

    JzNamedMutex lock(nuvcatalogue::IndexQueryLockName(m_brannoxId, m_jobId));
    bool const locked = lock.lock(60000) != 0;
    if (!locked) g_ptrLogWriter->Write(0, kTag, 0, "Failed to acquire lock in 60 seconds");

    databrowse::BrowseRequest& req = query.request;
    JzEntities::GenericEntity entity;
    entity.setint64(5, 11, static_cast<int64_t>(m_appId));
    entity.setint64(1, 1, static_cast<int64_t>(m_brannoxId));
    entity.setint64(14, 38, static_cast<int64_t>(m_appType));
    // The snap job itself: its time window alone does not tell it from a job
    // of the same application that started in the same second.
    entity.setint64(9, 9, m_jobId);
    req.setObjectAccessor(3, 3, entity);
    databrowse::BrowseMode mode;
    mode.setint64(1, 1, 2);
    req.setObjectAccessor(8, 8, mode);
    req.setint64(1, 1, 1);
    g_ptrLogWriter->Write(0, kTag, 0, "fromTime = %lld , toTime = %lld", static_cast<long long>(fromTime),
                          static_cast<long long>(toTime));
    databrowse::BrowseTimeRange range;
    range.setint64(1, 1, toTime);
    range.setint64(2, 2, fromTime);
    req.setObjectAccessor(6, 6, range);
    std::vector<databrowse::Query> queries(1);
    queries[0].setint64(1, 1, 0);
    queries[0].setstring(2, 2, "0");
    queries[0].getObjectAccessor(5, 8, true, 100, 71)->getObjectAccessor(2, 2, true, 100, 6)->setint64(3, 3, 4294967295ll);
    req.setlistobject(12, 12, queries);
    CNMessageBase* advanced = req.getObjectAccessor(11, 11, true, 100, 63);
    advanced->setint64(1, 1, 0);
    advanced->setint64(4, 7, 1);
    req.getObjectAccessor(7, 7, true, 100, 4)->setint64(10, 10, 0);
    if (m_appType == 125 && !clientName.empty()) {
        req.getObjectAccessor(9, 9, true, 18, 4)->setstring(1, 1, clientName);
        g_ptrLogWriter->Write(3, kTag, 0, "Set live browse KK to the current client %s", clientName.c_str());
        JZClient client(clientName, false, 0);
        unsigned long id = 0;
        std::string mangled;
        if (client.getClientId(id, nullptr) == 0 && client.getNetworkHostnameMangled(mangled, nullptr) == 0) {
            CNMessageBase* mover = advanced->getObjectAccessor(3, 6, true, 100, 61)
                                       ->getObjectAccessor(5, 5, true, 100, 38)
                                       ->getObjectAccessor(3, 3, true, 100, 35);
            JzEntities::ClientEntity mountClient;
            mountClient.setint64(0, 0, static_cast<int32_t>(id));
            mountClient.setstring(1, 1, clientName);
            mover->setObjectAccessor(1, 1, mountClient);
            mover->setstring(2, 2, mangled);
            g_ptrLogWriter->Write(0, kTag, 0, "Live browse MountKK set to current client %lu : %s", id, mangled.c_str());
        } else {
            g_ptrLogWriter->Write(-1, kTag, 0, "Unable to get MangledNetHostname for current/mount KK");
        }
    }

    query.passes[0] = query.viewPrefixes;
    query.passes[1] = dataPaths;
    rc = runBrowsePasses(query, v1Cycle);
    if (rc != 0) return rc;
    if (locked) lock.unlock();
    if (m_appType == 5)
        (void)processSybaseDevicePaths(query.dbViews, query.devices, static_cast<int>(clientId),
                                       static_cast<int>(instanceId), query.event);
    return 0;
}

int DBPathTranslator::runBrowsePasses(BrowseQuery& query, bool& v1Cycle) {
    bool const postgres = m_appType == 125;
    // Classifying the items of this query (see populateMetaDataList).
    struct Classifying {
        DBPathTranslator& t;
        explicit Classifying(DBPathTranslator& translator) : t(translator) {
            t.m_classifying = true;
            t.m_metadataEngineLogged = false;
        }
        ~Classifying() { t.m_classifying = false; }
    } classifying(*this);
    IdxBrowseClient client;
    databrowse::BrowseResponseList responses;
    for (auto& pass : query.passes) {
        if (pass.second.empty()) continue;
        if (postgres && pass.first == 1) query.request.getObjectAccessor(7, 7, true, 100, 4)->setint64(10, 10, 1);
        std::vector<databrowse::BrowsePath> paths;
        for (std::string const& e : pass.second) {
            if (!postgres) {
                paths.emplace_back();
                paths.back().setstring(1, 1, e + "**");
            }
            paths.emplace_back();
            paths.back().setstring(1, 1, e);
        }
        query.request.setlistobject(4, 4, paths);
        std::string xml;
        if (query.request.serialize(xml) != 0) xml.clear();
        for (int retries = 0;;) {
            g_ptrLogWriter->Write(0, kTag, 0, "browseReq=[%s]", xml.c_str());
            if (client.Initialize(query.request, nullptr, 2000, nullptr, nullptr) != 0 || client.isInitFailed()) {
                g_ptrLogWriter->Write(0, kTag, 0, "Error initializing browse request with Kelvane");
                return -1;
            }
            if (!client.isIndexingV2BrowseRequest()) {
                g_ptrLogWriter->Write(0, kTag, 0, "Indexing V1 cycle detected in this browse");
                v1Cycle = true;
                return -1;
            }
            query.keepClassifiedPaths();   // the browse replaces the answer that holds them
            if (client.Browse(nullptr, &responses) != 0) {
                g_ptrLogWriter->Write(0, kTag, 0, "Error doing browse operation: check Browse.log on Sarnel");
                return -1;
            }
            if (g_ptrLogWriter->enabled(9)) {
                std::string answerXml;
                if (responses.serialize(answerXml) == 0) g_ptrLogWriter->Write(9, kTag, 0, "brXml=[%s]", answerXml.c_str());
            }
            auto* list = responses.getlistobject<databrowse::BrowseResponse>(1, 1, false);
            // An answer without any response is an answer without results.
            int64_t const type = list && !list->empty() ? static_cast<int32_t>(list->front().getint64(1)) : -1;
            bool const warning = postgres && pass.first == 1 && type == 4;
            if (type == 0 || warning) {
                if (warning) g_ptrLogWriter->Write(7, kTag, 0, "Warning message received. Ignore this error.");
                for (databrowse::BrowseResponse& response : *list) {
                    CNMessageBase* block = response.getObjectAccessor(6, 9, false);
                    auto* items = block ? block->getlistobject<databrowse::BrowseData>(3, 6, false) : nullptr;
                    if (items == nullptr) continue;
                    query.classified.reserve(items->size());
                    for (auto item = items->begin(); item != items->end(); ++item) classifyBrowseItem(item, query);
                }
                break;
            }
            g_ptrLogWriter->Write(0, kTag, 0, "Browse response did not contain result items, check Browse.log on Sarnel");
            if (type == 2) {
                if (++retries > 4) return -1;
                g_ptrLogWriter->Write(0, kTag, 0, "will retry in 30 seconds..");
                FZSLEEP_InTeRnAl(30000, __FILE__, __LINE__);
                continue;
            }
            if (pass.first == 1) return -1;
            g_ptrLogWriter->Write(0, kTag, 0, "table view/sym links not found");
            break;
        }
    }
    return 0;
}

void DBPathTranslator::classifyBrowseItem(std::vector<databrowse::BrowseData>::iterator item, BrowseQuery& query) {
    std::string const& path = item->getstringByRef(7, 13);
    if (path.empty()) return;
    if (!query.firstClassification(path)) return;   // seen in an earlier pass or under another pattern
    g_ptrLogWriter->Write(3, kTag, 0, "path=[%s]", path.c_str());
    std::list<_IndexMetaDataInfo> metadata;
    populateMetaDataList(item, metadata);
    CNMessageBase const* archive = static_cast<CNMessageBase const&>(*item).getObjectAccessor(9, 21);
    if ((StartsWith(path, "/+SYMLINK2DIR+") || StartsWith(path, "/+SYMLINK2FILE+")) && !metadata.empty()) {
        CNMessageBase const* brannox = archive ? archive->getObjectAccessor(7, 10) : nullptr;
        NuvSymLink::checkAndAddToSymlinkMap(path, metadata.front().value, archive ? archive->getint64(9) : 0,
                                            static_cast<int32_t>(brannox ? brannox->getint64(0) : 0));
    }
    CNMessageBase const* flags = static_cast<CNMessageBase const&>(*item).getObjectAccessor(1, 1);
    bool const hasFileFlag = flags != nullptr && flags->isSet(1);
    bool const dirFlag = flags != nullptr && flags->getint64(2) != 0;

    auto addFile = [&]() {
        m_fileEntities.emplace_back();   // filled in place
        DBFileSnapshotEntity& entity = m_fileEntities.back();
        entity.m_bcdString = path;
        // Archive-file ids keep their full 32 bits (zero-extended).
        entity.m_archiveFileId = archive ? static_cast<uint32_t>(archive->getint64(12)) : 0;
    };
    std::vector<browseablePath_t>& pathList = nuvcatalogue::PathList();
    auto addBrowsable = [&]() -> browseablePath_t& {
        pathList.emplace_back();
        IdxUtil::populateBrowsablePath(pathList.back(), item);
        return pathList.back();
    };
    auto underViewPrefix = [&]() {
        for (std::string const& prefix : query.viewPrefixes)
            if (StartsWith(path, prefix)) return true;
        return false;
    };

    switch (m_appType) {
    case 125: {
        g_ptrLogWriter->Write(1, kTag, 0, "Postgres path [%s]", path.c_str());
        if (path.find("TblView") == 1) {
            addBrowsable();
        } else if (path.find("+DBDIR+") == 1) {
            browseablePath_t& entry = addBrowsable();
            if (!dirFlag) {
                entry.isDir = 0;
                size_t const slash = path.find('/', 1);
                if (slash != std::string::npos) {
                    std::string dir = path.substr(slash);
                    FXString::TrimRight(dir, "/");
                    if (!dir.empty()) query.passes[1].push_back(dir);
                }
            }
        } else {
            addFile();
        }
        break;
    }
    case 5: {
        std::vector<std::string> parts;
        StringSplit(query.event, path, "/", parts);
        if (parts.size() >= 3 && parts[0] == "~JZ_SYB_DEVICES~") {
            g_ptrLogWriter->Write(0, kTag, 0, "SYB DEVICE ENTRY  [%s] -> [%s]", parts[1].c_str(), parts[2].c_str());
            query.devices[parts[1]] = path;
        } else if (underViewPrefix()) {
            g_ptrLogWriter->Write(0, kTag, 0, "DB VIEW ENTRY ----- [%s]", path.c_str());
            query.dbViews.push_back(path);
            addBrowsable();
        } else if (hasFileFlag) {
            addFile();
        }
        break;
    }
    case 104: {
        browseablePath_t entry;
        IdxUtil::populateBrowsablePath(entry, item);
        g_ptrLogWriter->Write(2, kTag, 0, "phony=[%s] osPath=[%s]", entry.phonyPath.c_str(), entry.osPath.c_str());
        if (StartsWith(entry.phonyPath, "/+NO") || StartsWith(entry.phonyPath, "\\+NO")) {
            if (hasFileFlag) addFile();
        } else {
            g_ptrLogWriter->Write(2, kTag, 0, "This path browsable path, adding to m_pathList");
            pathList.push_back(std::move(entry));
        }
        break;
    }
    default:
        if (path.find("/+SYMLINK2DIR+") != std::string::npos || path.find("/+SYMLINK2FILE+") != std::string::npos ||
            underViewPrefix())
            addBrowsable().isDir = 0;
        else if (hasFileFlag)
            addFile();
        break;
    }
}

int DBPathTranslator::populateMetaDataList(std::vector<databrowse::BrowseData>::iterator item,
                                           std::list<_IndexMetaDataInfo>& list) {
    CNMessageBase const* archive = static_cast<CNMessageBase const&>(*item).getObjectAccessor(9, 21);
    CNMessageBase const* block = archive ? archive->getObjectAccessor(11, 14) : nullptr;
    auto text = [&](short field) {
        CNMessageBase const* sub = block->getObjectAccessor(field, field);
        return sub ? sub->getstring(1, 1) : std::string();
    };
    if (m_appType == 125) {
        if (block && block->isSet(12)) list.push_back({0x2693795B, text(12)});
    } else if (m_appType == 22 || m_appType == 80) {
        if (block && block->isSet(2))
            list.push_back({0x2693795B, text(2)});
        else if (block && block->isSet(4))
            list.push_back({static_cast<int32_t>(0x4B0A9800), text(4)});
    } else if (!m_classifying || !m_metadataEngineLogged) {
        g_ptrLogWriter->Write(0, kMetaTag, 0, "AppType %d not handled for index metadata parsing",
                              static_cast<int>(m_appType));
        m_metadataEngineLogged = m_classifying;
    }
    return 0;
}
