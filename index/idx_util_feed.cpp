// IdxUtil: life, metadata records, and the two index feeds.
#include "nuvdbsnap/index/idx_util.h"

#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <cstring>
#include <ctime>
#include <unordered_set>

namespace {

char const kTagV1[] = "IdxUtil::addBrowseAblePath";
char const kTagV2[] = "IdxUtil::addBrowseAblePathIndV2";
char const kTableView[] = "TABLEVIEW";

// The header fields every record sets (name aside).
void FillHeader(JzFileHeader& header, browseablePath_t const& record, int32_t now) {
    header.attributes = 0x50C0;
    header.nameLength = JzFileHeader::kNameSize;
    header.size = static_cast<int64_t>(record.size);
    header.time = static_cast<int64_t>(now);
}

// The table-view record: words 1 to 4 and the length of "TABLEVIEW" with its NUL.
int SendTableView(IndexingConnection& connection) {
    IndexMetaDataStruct record;
    record.magic = IndexMetaDataStruct::kMagic;
    record.version = 1;
    record.metadataType = kIdxMetaTableView;
    record.reserved = 0;
    record.valueLength = sizeof(kTableView);
    record.dataLength = sizeof(kTableView);
    return connection.sendMetaDataInfo(record, const_cast<char*>(kTableView));
}

}  // namespace

IdxUtil::IdxUtil(EvEvent* ev, bool verbose, JZJobCtrlClient* jobCtrlClient, char* clientName)
    : m_ev(ev), m_verbose(verbose), m_clientName(clientName), m_jobCtrlClient(jobCtrlClient) {}

IdxUtil::~IdxUtil() = default;

int IdxUtil::InitEncodeType(int type) {
    m_encodeType = type;
    return 0;
}

bool IdxUtil::checkIfShouldQuit() { return m_jobCtrlClient != nullptr && m_jobCtrlClient->checkQuitFlag() != 0; }

int IdxUtil::sendOsPathMetadata(IndexingConnection& connection, std::string const& osPath) {
    IndexMetaDataStruct record;
    uint32_t length = static_cast<uint32_t>(strlen(osPath.c_str()) + 1);
    record.magic = IndexMetaDataStruct::kMagic;
    record.version = 1;
    record.metadataType = static_cast<uint32_t>(m_encodeType);
    record.dataLength = length;
    record.reserved = 0;
    record.valueLength = length;
    return connection.sendMetaDataInfo(record, const_cast<char*>(osPath.c_str()));
}

int IdxUtil::addBrowseAblePath(std::vector<browseablePath_t> paths, JZBkpLevel level, char const* host,
                               unsigned const& brannoxId, unsigned const& appId, unsigned const& appType,
                               JZJobID& jobId, EvEvent* ev, bool const& trace, unsigned long long flags,
                               char const* jobToken) {
    int32_t const now = static_cast<int32_t>(time(nullptr));
    if (trace) EvDebug::Debug(ev, kTagV1, "Entering function");
    std::string hostName, clientName;
    JzFileHeader header;

    bool useV2 = false;
    if (shouldUseIndexingV2(brannoxId, static_cast<int>(appId), useV2) != 0) {
        EvDebug::Error(ev, kTagV1, "cannot figure out if Index V2 is to be used");
        return -1;
    }
    if (appType == 64) {
        EvDebug::Debug(ev, kTagV1, "useIndexV2 ");
        useV2 = true;
    }
    if (useV2)
        return addBrowseAblePathIndV2(paths, level, host, brannoxId, appId, appType, jobId, ev, trace, flags,
                                      jobToken);

    int port = 0, hostBrannox = 0;
    (void)DemangleHostName(host, hostName, clientName, port, hostBrannox);
    IndexingConnection connection;
    if (paths.empty()) {
        EvDebug::Error(ev, kTagV1, "empty list passed to addBrowseAblePath()... \n");
        return -1;
    }
    if (connection.initialize(brannoxId, appId, appType, level, jobToken, host, clientName.c_str(), flags) != 0) {
        EvDebug::Error(ev, kTagV1, "Index initialization failed");
        return -1;
    }
    ArchiveFileId_t key = paths.front().afile;
    if (key.archFileId == 0) key = ArchiveFileId_t{brannoxId, 0, 1};
    if (connection.sendAfileInfo(&key, false) != 0) {
        EvDebug::Error(ev, kTagV1, "sendFileInfo failed ");
        connection.backupDone(0);
        return -1;
    }
    int32_t offset = 0;
    for (browseablePath_t const& record : paths) {
        FillHeader(header, record, now);
        if (!header.setName(record.phonyPath)) {
            EvDebug::Error(ev, kTagV1, "path of %zu characters does not fit a file header: %.64s...",
                           record.phonyPath.size(), record.phonyPath.c_str());
            connection.backupDone(0);
            return -1;
        }
        header.mode = record.isDir != 0 ? 0x4000 : 0;
        if (!record.osPath.empty() && sendOsPathMetadata(connection, record.osPath) != 0) {
            connection.backupDone(0);
            EvDebug::Error(ev, kTagV1, "sendMetaDataInfo failed for file %s ", header.name);
            return -1;
        }
        if (m_verbose) {
            EvDebug::Debug(ev, kTagV1, "phonyPath %s ", record.phonyPath.c_str());
            EvDebug::Debug(ev, kTagV1, "Os Path  %s ", record.osPath.c_str());
        }
        ++offset;
        if (connection.sendFileInfo(&header, static_cast<unsigned long long>(static_cast<int64_t>(offset)), nullptr,
                                    0) != 0) {
            connection.backupDone(0);
            EvDebug::Error(ev, kTagV1, "sendFileInfo failed for file %s ", header.name);
            return -1;
        }
    }
    if (connection.updateRestartInfo(~0ull) != 0)
        EvDebug::Error(ev, kTagV1, "updateRestartInfo failed with an error for archiveFileId %u",
                       paths.front().afile.archFileId);
    EvDebug::Debug(ev, kTagV1, "calling idx.backupDone(1) ");
    int rc = connection.backupDone(1);
    if (rc != 0) {
        EvDebug::Error(ev, kTagV1, "Index backupDone call returned with an error %d", rc);
        return -1;
    }
    EvDebug::DebugLvl(ev, 2, kTagV1, "end function");
    return 0;
}

int IdxUtil::addBrowseAblePathIndV2(std::vector<browseablePath_t> paths, JZBkpLevel level, char const* host,
                                    unsigned const& brannoxId, unsigned const& appId, unsigned const& appType,
                                    JZJobID& jobId, EvEvent* ev, bool const& trace, unsigned long long flags,
                                    char const* jobToken) {
    int32_t const now = static_cast<int32_t>(time(nullptr));
    if (trace) EvDebug::Debug(ev, kTagV2, "Entering function");
    std::string hostName, clientName;
    JzFileHeader header;
    int port = 0, hostBrannox = 0;
    (void)DemangleHostName(host, hostName, clientName, port, hostBrannox);
    IndexingConnection connection;
    if (paths.empty()) {
        EvDebug::Error(ev, kTagV2, "empty list passed to addBrowseAblePath()... \n");
        return -1;
    }
    if (connection.initialize(brannoxId, appId, appType, level, jobToken, host, clientName.c_str(), flags) != 0) {
        EvDebug::Error(ev, kTagV2, "Index initialization failed");
        return -1;
    }
    // From here every failure ends the run as failed, except a refused backupDone(1).
    auto fail = [&]() {
        connection.backupDone(0);
        return -1;
    };

    if (!IsValidArchiveFileKey(paths.front().afile)) {
        GetArchFileListForJobArgsCC_t request;
        request.brannoxId = brannoxId;
        request.jobId = jobId;
        request.archFileTypes = {1};
        if (appType == 125 && level == 2) {
            request.archFileTypes.push_back(4);
            g_ptrLogWriter->Write(0, kTagV2, 0, "Postgres Log backup. Query afile list for jobId %lld with fileType 4",
                                  (long long)jobId);
        } else {
            g_ptrLogWriter->Write(0, kTagV2, 0, "Query afile list for jobId %lld", (long long)jobId);
        }
        std::vector<GetArchFileListForJobRetCC_t> rows;
        ArMgrClientAPI archive;
        if (archive.getArchFileListForJob(&request, &rows) != 0 || rows.empty()) {
            EvDebug::Error(ev, kTagV2,
                           "Cannot figure out valid arch files for the job to use in Index population. cannot "
                           "proceed..");
            return fail();
        }
        auto keyOf = [](GetArchFileListForJobRetCC_t const& row) {
            return ArchiveFileId_t{static_cast<uint32_t>(row.brannoxId), static_cast<uint32_t>(row.archGroupId),
                                   static_cast<uint32_t>(row.archFileId)};
        };
        size_t next = 0;
        for (size_t r = 0; r < rows.size() && next < paths.size(); ++r) {
            if (!IsValidArchiveFileKey(paths[next].afile)) {
                paths[next].afile = keyOf(rows[r]);
                ++next;
            }
        }
        for (browseablePath_t& record : paths)
            if (!IsValidArchiveFileKey(record.afile)) record.afile = keyOf(rows.front());
    }

    ArchiveFileId_t current{0, 0, 0};
    std::unordered_set<std::string> parents;
    int32_t offset = 0;
    for (browseablePath_t& record : paths) {
        bool tableView = false;
        FillHeader(header, record, now);
        if (!header.setName(record.phonyPath)) {
            EvDebug::Error(ev, kTagV2, "path of %zu characters does not fit a file header: %.64s...",
                           record.phonyPath.size(), record.phonyPath.c_str());
            return fail();
        }
        EvDebug::DebugLvl(ev, 10, kTagV2, "processing %s path", header.name);

        if (record.afile.archFileId != 1 && record.afile.archFileId != current.archFileId) {
            current = record.afile;
            GetAfileInfoArgsCC_t request;
            request.archFileId = current.archFileId;
            request.archGroupId = 0;
            request.brannoxId = current.brannoxId;
            GetAfileInfoRetCC_t info;
            ArMgrClientAPI archive;
            if (archive.getAfileInfo(&request, &info) != 0) {
                g_ptrLogWriter->Write(0, kTagV2, 0, "Error from getAfileInfo() for %lu afile",
                                      (unsigned long)current.archFileId);
                return fail();
            }
            if (connection.sendAfileInfo(&current, false, static_cast<unsigned long>(info.backupTime),
                                         static_cast<unsigned long>(info.flags)) != 0) {
                EvDebug::Error(ev, kTagV2, "sendFileInfo failed");
                return fail();
            }
        }

        tableView = PathGoesToTblView(record.phonyPath, static_cast<int>(appType));
        EvDebug::DebugLvl(ev, 10, kTagV2, "pathIsTableView = [%s], osPath=[%s]", tableView ? "TRUE" : "FALSE",
                          record.osPath.c_str());
        if (tableView) EvDebug::DebugLvl(ev, 10, kTagV2, "sending [%s] into TABLEVIEW", record.phonyPath.c_str());

        std::string const name = header.name;
        for (size_t slash = name.find('/', 1); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            std::string parent = name.substr(0, slash);
            if (parents.count(parent)) continue;
            if (tableView && SendTableView(connection) != 0) {
                EvDebug::Error(ev, kTagV2, "Failed to send metadata[IDXDBINFO__VIEW_ID] = [%s] for path: %s",
                               kTableView, record.osPath.c_str());
                return fail();
            }
            if (sendIndexGUID(parent, &connection) != 0) {
                connection.backupDone(0);
                EvDebug::Error(ev, kTagV2, "sendIndexGUID failed for %s", parent.c_str());
                return -1;
            }
            EvDebug::DebugLvl(ev, 2, kTagV2, "sending fileinfo %s offset %d", parent.c_str(), offset);
            (void)header.setName(parent);   // a prefix of a name that fitted
            header.mode = 0x4000;
            if (connection.sendFileInfo(&header, static_cast<unsigned long long>(static_cast<int64_t>(offset)),
                                        nullptr, 0) != 0) {
                connection.backupDone(0);
                EvDebug::Error(ev, kTagV2, "sendFileInfo failed for file %s ", parent.c_str());
                return -1;
            }
            parents.insert(parent);
            ++offset;
        }
        EvDebug::DebugLvl(ev, 10, kTagV2, "parent end ");

        (void)header.setName(record.phonyPath);
        header.mode = record.isDir != 0 ? 0x4000 : 0;
        EvDebug::DebugLvl(ev, 10, kTagV2, "leaf node %s", header.name);
        if (tableView && SendTableView(connection) != 0) {
            EvDebug::Error(ev, kTagV2, "Failed to send metadata[IDXDBINFO__VIEW_ID] = [%s] for path: %s", kTableView,
                           record.osPath.c_str());
            return fail();
        }
        if (!record.osPath.empty() && sendOsPathMetadata(connection, record.osPath) != 0) {
            connection.backupDone(0);
            EvDebug::Error(ev, kTagV2, "sendMetaDataInfo failed for file %s ", header.name);
            return -1;
        }
        if (m_verbose) {
            EvDebug::Debug(ev, kTagV2, "phonyPath %s ", record.phonyPath.c_str());
            EvDebug::Debug(ev, kTagV2, "Os Path  %s ", record.osPath.c_str());
        }
        ++offset;
        if (sendIndexGUID(record.phonyPath, &connection) != 0) {
            connection.backupDone(0);
            EvDebug::Error(ev, kTagV2, "sendIndexGUID failed for %s", record.phonyPath.c_str());
            return -1;
        }
        if (connection.sendFileInfo(&header, static_cast<unsigned long long>(static_cast<int64_t>(offset)), nullptr,
                                    0) != 0) {
            connection.backupDone(0);
            EvDebug::Error(ev, kTagV2, "sendFileInfo failed for file %s ", header.name);
            return -1;
        }
        if (appType == 125) parents.insert(record.phonyPath);
    }
    if (connection.updateRestartInfo(~0ull) != 0)
        EvDebug::Error(ev, kTagV2, "updateRestartInfo failed with an error for archiveFileId %u",
                       paths.front().afile.archFileId);
    EvDebug::Debug(ev, kTagV2, "calling idx.backupDone(1) ");
    int rc = connection.backupDone(1);
    if (rc != 0) {
        EvDebug::Error(ev, kTagV2, "Index backupDone call returned with an error %d", rc);
        return -1;
    }
    EvDebug::DebugLvl(ev, 2, kTagV2, "end function");
    return 0;
}
