// IdxUtil: GUID messages, single file headers, records from index rows and
// browse items, directory changes and table-view classification.
#include "nuvdbsnap/index/idx_util.h"

#include "nuvdbsnap/platform/base/log.h"

#include <cstring>
#include <ctime>

namespace {

std::string TrimSlashes(std::string path) {
    while (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

// The path's trailing "/" removed while it is longer than one character.
void TrimRecordPath(std::string& path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
}

}  // namespace

int IdxUtil::sendFileInfo(bool sendGuid, JzFileHeader& header, IndexingConnection& connection, int const& offset) {
    char const* const tag = "static int IdxUtil::sendFileInfo(bool, JzFileHeader&, IndexingConnection&, const int&)";
    if (sendGuid) {
        g_ptrLogWriter->Write(7, tag, 0, "Calling sendIndexGUID for directory [%s]", header.name);
        if (sendIndexGUID(header.name, &connection) != 0) {
            connection.backupDone(0);
            g_ptrLogWriter->Write(-1, tag, 0, "sendIndexGUID failed for path [%s]", header.name);
            return -1;
        }
    }
    g_ptrLogWriter->Write(7, tag, 0, "Calling sendFileInfo for path [%s], offset [%d]", header.name, offset);
    if (connection.sendFileInfo(&header, static_cast<unsigned long long>(static_cast<int64_t>(offset)), nullptr, 0) !=
        0) {
        connection.backupDone(0);
        g_ptrLogWriter->Write(-1, tag, 0, "sendFileInfo failed for path [%s]", header.name);
        return -1;
    }
    return 0;
}

int IdxUtil::sendIndexGUID(std::string path, IndexingConnection* connection) {
    return sendIndexGUID(std::move(path), connection, false);
}

int IdxUtil::sendIndexGUID(std::string path, IndexingConnection* connection, bool component) {
    char const tag[] = "IdxUtil::sendIndexGUID";
    EvEvent ev;
    if (connection == nullptr) return -1;
    path = TrimSlashes(path);
    if (path.empty()) path = "/";
    std::string objectGuid;
    GetObjectGuid(path, 0, '/', objectGuid);
    EvDebug::DebugLvl(&ev, 10, tag, "Object %s GUID %s", path.c_str(), objectGuid.c_str());

    IdxMetadata::IdxMetaData message;
    CNMessageBase* version = message.getObjectAccessor(11, 11, true, 101, 37);
    CNMessageBase* object = message.getObjectAccessor(1, 1, true, 101, 1);
    if (component) {
        object->getObjectAccessor(12, 15, true, 101, 0)->setstring(3, 9, objectGuid);
    } else {
        object->setstring(13, 16, objectGuid);
        std::string versionGuid;
        GetObjectGuid(path + "." + std::to_string(static_cast<long long>(time(nullptr))), 0, '/', versionGuid);
        version->setstring(1, 1, versionGuid);
        if (path != "/") {
            size_t slash = path.rfind('/');
            std::string parent = TrimSlashes(slash == std::string::npos ? std::string() : path.substr(0, slash));
            if (parent.empty()) parent = "/";
            std::string parentGuid;
            GetObjectGuid(parent, 0, '/', parentGuid);
            EvDebug::DebugLvl(&ev, 10, tag, "For parent %s GUID %s", parent.c_str(), parentGuid.c_str());
            object->setstring(14, 20, parentGuid);
        }
    }
    int rc = connection->sendMetaDataInfo(&message);
    if (rc != 0) {
        EvDebug::Error(&ev, tag, "sendMetaDataInfo failed with rc %d", rc);
        return -1;
    }
    return 0;
}

int IdxUtil::populateBrowsablePath(browseablePath_t& record, _IndexArchFileInfo& row) {
    record.phonyPath = row.path;
    record.isDir = 1;
    TrimRecordPath(record.phonyPath);
    int type = 0;
    if (!row.metadata.empty()) {
        record.osPath = row.metadata.front().value;
        type = row.metadata.front().type;
    }
    record.spare = 0;
    record.afile = ArchiveFileId_t{2, 0, static_cast<uint32_t>(row.archFileId)};
    return type;
}

int IdxUtil::populateBrowsablePath(browseablePath_t& record, std::vector<databrowse::BrowseData>::iterator& item) {
    record.phonyPath = item->getstring(7, 13);
    record.isDir = 1;
    TrimRecordPath(record.phonyPath);
    CNMessageBase const* archive = static_cast<CNMessageBase const&>(*item).getObjectAccessor(9, 21);
    CNMessageBase const* meta = archive ? archive->getObjectAccessor(11, 14) : nullptr;
    if (meta != nullptr) {
        static short const kOrder[] = {2, 3, 4, 6, 12, 28};
        for (short field : kOrder) {
            CNMessageBase const* sub = meta->getObjectAccessor(field, field);
            if (sub == nullptr) continue;
            if (field == 6 || field == 28) {
                std::string text;
                if (sub->serialize(text, false) == 0) record.osPath = text;
            } else {
                record.osPath = sub->getstring(1, 1);
            }
            break;
        }
    }
    record.spare = 0;
    record.afile = ArchiveFileId_t{2, archive ? static_cast<uint32_t>(archive->getint64(11)) : 0u,
                                   archive ? static_cast<uint32_t>(archive->getint64(12)) : 0u};
    return 0;
}

int IdxUtil::CreateIndex(std::string& dataAgingFile, char const* indexHost, unsigned const& brannoxId,
                         unsigned const& appId, unsigned const& appType, char const* jobToken, bool const& levelOne,
                         bool const& updateIndexOnly, bool const& dirChangeFlag, std::string const& dirChangeFile) {
    return SendDirChange(dataAgingFile, indexHost, brannoxId, appId, appType, jobToken, levelOne, updateIndexOnly,
                         dirChangeFlag, dirChangeFile, this);
}

int IdxUtil::SendDirChange(std::string& dataAgingFile, char const* indexHost, unsigned const& brannoxId,
                           unsigned const& appId, unsigned const& appType, char const* jobToken,
                           bool const& levelOne, bool const& updateIndexOnly, bool const& dirChangeFlag,
                           std::string const& dirChangeFile, IdxUtil* quitHook) {
    char const tag[] = "IdxUtil::sendDirChange";
    if (updateIndexOnly) return 0;
    EvDebug::DebugLvl(m_ev, 1, tag,
                      "sendDirChange(%u, %u, %u, %s, %s, %s, %c, %s, false, true, %s, NULL, false, 240, 0 "
                      "/*SENDDIRCHG_JOB_OPT_SNAP_BACKUP*/, NULL,NULL)",
                      brannoxId, appId, 1u, jobToken ? jobToken : "NULL", indexHost ? indexHost : "NULL",
                      dataAgingFile.empty() ? "NULL" : dataAgingFile.c_str(), '/', dirChangeFlag ? "true" : "false",
                      levelOne ? "true" : "false");
    dataAgingFile.clear();
    EvDebug::Debug(m_ev, tag, "No DataAging to be done for appId %d during createIndex ", static_cast<int>(appId));
    int rc = ::sendDirChange(brannoxId, appId, 1, jobToken, indexHost,
                             dirChangeFile.empty() ? nullptr : dirChangeFile.c_str(), '/', dirChangeFlag, false, true,
                             levelOne, quitHook, false, 240, 0, nullptr, nullptr, 0, false);
    EvDebug::Debug(m_ev, tag, "retCode=%d from sendDirChange", rc);
    return rc < 0 ? -1 : 0;
}

bool IdxUtil::PathGoesToTblView(std::string path, int appType) {
    char const tag[] = "IdxUtil::PathGoesToTblView";
    EvEvent ev;
    EvDebug::DebugLvl(&ev, 10, tag, "ENTER [%s]", path.c_str());
    static char const* const kPostgres[] = {"TblView", "+DBDIR+", nullptr};
    static char const* const kMySql[] = {"+NOBROWSE", nullptr};
    static char const* const kOracle[] = {"TblView", "+TblSpaceDep", nullptr};
    static char const* const kOracleSap[] = {"+BROWSE+", nullptr};
    static char const* const kSybase[] = {"~JZ_SYB_DB_VIEW", nullptr};
    char const* const* markers = nullptr;
    switch (appType) {
    case 125: markers = kPostgres; break;
    case 104: markers = kMySql; break;
    case 22:
    case 80: markers = kOracle; break;
    case 61: markers = kOracleSap; break;
    case 5: markers = kSybase; break;
    default: EvDebug::Debug(&ev, tag, "AppType %d paths not handled", appType); return false;
    }
    if (path.size() < 2) return false;
    for (; *markers != nullptr; ++markers)
        if (path.compare(1, strlen(*markers), *markers) == 0) return true;
    return false;
}
