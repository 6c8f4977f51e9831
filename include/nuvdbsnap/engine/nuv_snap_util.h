// NuvSnapUtil: carries one job's snapshot through its life on the suite's
// snapshot-utility base: start-up (block-level settings and library), one
// snapshot archive record per mount point, prepare, pre-create, create (flush,
// block-level configuration, XFS freeze, snap, thaw), post-create, delete, and
// the block-level device configuration around the snap. One job thread uses it.
// Destroying a DB2 job (37, 62, 103) on engine 20 or 21 that prepared but never
// created deletes the prepared devices.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/snapbase/snap_util_base.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class ApplicationId;
class JZArchive;
class JzDeviceConfigHandler;
class SnapUtilInterface;

class NuvSnapUtil : public NuvSnapUtilBase {
public:
    // jobControl and host may be null. Reads nothing and loads nothing.
    NuvSnapUtil(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType, bool verbose,
                JZJobCtrlClient* jobControl, char* host, SpawnProcess const& spawnMode);
    ~NuvSnapUtil() override;

    // Start-up: reads the subclient's block-level settings. The second form keeps
    // the arguments and, with block level on, loads the block-level library and
    // its device-configuration handler. Block level unavailable (no application)
    // is no failure.
    [[nodiscard]] virtual CFzError initialize();
    [[nodiscard]] virtual CFzError initialize(std::vector<std::string>& arguments);

    [[nodiscard]] CFzError LoadBlockLevelSubClientInfo();
    [[nodiscard]] CFzError LoadBlockLevelSubClientInfo(std::vector<std::string>& arguments);

    bool IsBlockLevelBackup() const { return m_blockLevel; }
    bool IsBlockLevelMetaDataEnabled() const { return m_blockLevelMetaData; }
    int getBlockLevelExtentSize() const { return m_extentSize; }
    unsigned long GetBackupType() const { return static_cast<unsigned long>(m_backupLevel); }
    bool GetFullRanInCurrCycle() const;
    bool GetBlockLevelZFSContent() const;
    JzDeviceConfigHandler* getDeviceConfigHandler() const { return m_deviceConfigHandler; }
    std::vector<std::string> const& getArguments() const { return m_arguments; }

    static bool getMultiInstanceFlag();
    static void setMultiInstanceFlag(void* unused);
    void setSkipDeleteSnapFlag();
    // A DB2 application (37, 62, 103) on engine 20 or 21.
    bool ShouldDeleteSnapOnFailure();

    // --- snapshot archive records ---
    // Decides the replication type from the snapshot manager's settings; always 0.
    int InitReplicationType(unsigned long applicationId, int brannoxId);
    // One archive file and one record volume per mount point: 0, or -1 at the
    // first failed create or close. out and mountFiles may be null.
    [[nodiscard]] int createSnapArchiveFiles(JZArchive& archive, CreateArgs_t& request, SMVolSnapInfo* out,
                                             std::map<std::string, std::set<std::string>>* mountFiles);
    // New archive files for a master job's ones (id -> type; type 6 skipped).
    [[nodiscard]] int cloneSnapArchivesFromMaster(JZArchive& archive, CreateArgs_t& request,
                                                  std::map<int, int>& masterFiles, std::map<int, int>& newIds);

    // --- snapshot steps: 0 on success, -1 on failure ---
    [[nodiscard]] bool getJobResultsDir(std::string& directory);
    [[nodiscard]] bool getSnapShotInfoFilePath(std::string& path);
    [[nodiscard]] int prepareSnapShot(ErrorCallback callback, void* context, bool flag);
    [[nodiscard]] int preCreateSnapShot(ErrorCallback callback, void* context, bool flag, SMVolSnapInfo* out);
    // Every road out after a freeze thaws what was frozen; an exception from the
    // executor leaves only after the thaw.
    [[nodiscard]] int createSnapShot(ErrorCallback callback, void* context, bool flag, SMVolSnapInfo* out);
    [[nodiscard]] int postCreateSnapShot(ErrorCallback callback, void* context, bool flag, SMVolSnapInfo* out);
    [[nodiscard]] int deleteSnapShot(ErrorCallback callback, void* context, bool flag);

    // --- block-level device configuration ---
    [[nodiscard]] int HandleBlockLevelConfig(bool postSnap);
    bool shouldAppendDeviceConfig(int appType);
    // Removes the "*.bmp" disk bitmaps of the directory; false when it cannot be read.
    bool BlockLevelCleanup(std::string directory);
    // Writes "<directory>/IdxConfig_<job id>.xml" through a temporary file and a
    // rename; a short write or failed close fails and leaves any earlier file as it was.
    [[nodiscard]] CFzError GenerateBlocklevelIdxConfig(std::string directory);

private:
    SnapUtilInterface* newExecutor();
    [[nodiscard]] int reloadPreparedRecord();
    [[nodiscard]] CFzError checkReloadedRecord();
    // Records with the snapshot manager that the record's snapshots belong to a create that failed.
    void markFailedCreate(std::string const& why);
    [[nodiscard]] int writeSnapShotInfoFile(std::string const& text);
    void raisePendingCause(char const* text, int code, int level);

    bool m_blockLevel = false;
    bool m_blockLevelMetaData = false;
    int m_extentSize = 0;
    std::vector<std::string> m_arguments;
    JZBkpLevel m_backupLevel{};
    JzDeviceConfigHandler* m_deviceConfigHandler = nullptr;  // from the block-level library; not owned
    ApplicationId* m_application = nullptr;                  // borrowed
};
