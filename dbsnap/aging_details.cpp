// Snapshot details of an earlier snap job for data aging, the archive-file
// type map of the mount-path rules and the cloning of index entries under new
// archive file ids.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

namespace {

// The agent's map, borrowed (setOraArchFileMap); null until set and after
// clearOraArchFileMap.
std::map<int, int> const* sArchFileId2TypeMap = nullptr;

constexpr char kCloneTag[] = "NuvSnapUtilDb::cloneIndexFromMaster";

}  // namespace

void NuvSnapUtilDb::setOraArchFileMap(std::map<int, int> const& archFileTypes) { sArchFileId2TypeMap = &archFileTypes; }

void NuvSnapUtilDb::clearOraArchFileMap() { sArchFileId2TypeMap = nullptr; }

std::map<int, int> const* NuvSnapUtilDb::getOraArchFileMap() { return sArchFileId2TypeMap; }

CFzError NuvSnapUtilDb::getSnapShotDetailsForDatAging(long long const& snapJobId) {
    static char const* const kTag = "NuvSnapUtilDb::getSnapShotDetailsForDatAging";
    SMVolSnapInfo& record = m_snapShotInfo;
    record.reset(0);
    record.setJobId(static_cast<int>(m_event != nullptr ? m_event->getJobId() : 0));
    record.setSnapJobId(static_cast<int>(snapJobId));
    record.setBrannoxId(m_brannoxId);
    record.setSnapActionFlags(8);
    record.setRetrieveValidFlags(0x25);
    EvDebug::Debug(m_event, kTag, "Requesting information based on job id for:\n  current jobID:%d\n snap jobID:%d\n  BrannoxID=%d",
                   record.getJobId(), record.getSnapJobId(), record.getBrannoxId());
    JZSnapClientAPI client;
    if (client.getVolumeSnaps(record)) return CFzError::Success();
    std::string clientText;
    (void)client.getErrCodeAndStr(clientText);
    std::string const text = "Failed to get SnapShot info for snapshot JID [" +
                             std::to_string(static_cast<int>(snapJobId)) + "]: " + clientText + "\nVolSnapInfo:" +
                             record.getErrorString() + " code:" + std::to_string(record.getErrorCode());
    EvDebug::Error(m_event, kTag, "%s", text.c_str());
    return FXErrorUtil::ErrorJZResult(FZ_LOC, client.getErrCode(), "%s", text.c_str());
}

int NuvSnapUtilDb::cloneIndexFromMaster(unsigned int brannoxId, unsigned int appId, unsigned int appType,
                                        long long jobId, std::string jobToken, char const* indexHost,
                                        char const* clientName, std::vector<_IndexArchFileInfo>* masterEntries,
                                        std::map<int, int>& newIds, EvEvent* event, bool const&, bool skipDirChange) {
    size_t const count = masterEntries != nullptr ? masterEntries->size() : 0;
    EvDebug::DebugLvl(event, 2, kCloneTag, "Entering function sizeof indexList=%d", static_cast<int>(count));
    bool useV2 = false;
    (void)shouldUseIndexingV2(brannoxId, static_cast<int>(appId), useV2);
    unsigned long long connectionFlags = 0;
    if (!skipDirChange) {
        int const changed = sendDirChange(brannoxId, appId, 1, jobToken.c_str(), indexHost, nullptr, '/', false, false,
                                          true, true, nullptr, false, 240, 2, nullptr, nullptr, jobId, false);
        if (changed < 0) {
            // Entries cloned into a job whose directory change failed would not be browsable.
            EvDebug::Error(event, kCloneTag, "sendDirChange failed with %d", changed);
            return -1;
        }
        connectionFlags = 1;
    }
    IndexingConnection connection;
    if (connection.initialize(brannoxId, appId, appType, static_cast<JZBkpLevel>(1), jobToken.c_str(), indexHost,
                              clientName, connectionFlags) != 0) {
        EvDebug::Error(event, kCloneTag, "Index initialization failed");
        return -1;
    }
    auto failed = [&]() {
        (void)connection.backupDone(0);
        return -1;
    };
    unsigned long long previous = 0;
    int offset = 0;
    std::string lastPath;
    auto closeArchiveFile = [&]() {
        if (previous == 0) return;
        if (connection.updateRestartInfo(0xFFFFFFFFFFFFFFFFull) != 0)
            EvDebug::Error(event, kCloneTag, "updateRestartInfo failed with an error for archiveFileId %lu",
                           static_cast<unsigned long>(previous));
        EvDebug::DebugLvl(event, 2, kCloneTag, "Files sent for archfile [%lu] = offset [%d] lastFilePath=[%s]",
                          static_cast<unsigned long>(previous), offset, lastPath.c_str());
    };
    for (size_t i = 0; i < count; ++i) {
        _IndexArchFileInfo const& entry = (*masterEntries)[i];
        unsigned long long const masterId = static_cast<unsigned long long>(entry.archFileId);
        auto mapped = newIds.find(static_cast<int>(entry.archFileId));
        if (mapped == newIds.end()) {
            EvDebug::Error(event, kCloneTag, "Internal error unable to find archivefileId [%llu] in map", masterId);
            return failed();
        }
        int const newId = mapped->second;
        EvDebug::DebugLvl(event, 2, kCloneTag, "Index entry path=%s|archId=%llu|newArchId=%d", entry.path.c_str(),
                          masterId, newId);
        if (masterId != previous) {
            closeArchiveFile();
            EvDebug::DebugLvl(event, 2, kCloneTag, "In new Archive File %u", static_cast<unsigned>(newId));
            ArchiveFileId_t key;
            key.brannoxId = brannoxId;
            key.archFileId = static_cast<uint32_t>(newId);
            if (connection.sendAfileInfo(&key, false) != 0) {
                // Entries must not go in under an archive file the index does not know.
                EvDebug::Error(event, kCloneTag, "sendAfileInfo failed for archive file %d", newId);
                return failed();
            }
            offset = 0;
        } else {
            ++offset;
        }
        previous = masterId;
        JzFileHeader header;
        if (!header.setName(entry.path.c_str())) {
            EvDebug::Error(event, kCloneTag, "path [%s] does not fit the file header", entry.path.c_str());
            return failed();
        }
        header.nameLength = static_cast<uint32_t>(entry.path.size());
        header.attributes = 0x50C0;
        header.size = 10;
        if (useV2 && IdxUtil::sendIndexGUID(entry.path, &connection) != 0) {
            (void)connection.backupDone(0);
            EvDebug::Error(event, kCloneTag, "sendGUIDMetadata failed for %s", entry.path.c_str());
            return -1;
        }
        if (connection.sendFileInfo(&header, static_cast<unsigned long long>(offset), nullptr, 0) != 0) {
            (void)connection.backupDone(0);
            EvDebug::Error(event, kCloneTag, "sendFileInfo failed for file %s ", entry.path.c_str());
            return -1;
        }
        lastPath = entry.path;
    }
    closeArchiveFile();
    EvDebug::DebugLvl(event, 2, kCloneTag, "calling idx.backupDone(1) ");
    int const done = connection.backupDone(1);
    if (done != 0) {
        EvDebug::Error(event, kCloneTag, "Index backupDone call returned with an error %d", done);
        return -1;
    }
    return 0;
}
