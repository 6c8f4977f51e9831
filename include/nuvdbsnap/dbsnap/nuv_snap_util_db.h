// NuvSnapUtilDb: the snapshot utility of database jobs. On top of NuvSnapUtil
// it keeps mount points registered with a number (path -> SM volume id, which
// the content indexing uses to keep each file on its volume), a borrowed list
// of optional index files, the archive-file key of the job's content index and
// the agents' two mount-mode flags. One job thread uses an object.
#pragma once

#include "nuvdbsnap/dbsnap/data_aging.h"
#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/platform/indexing/records.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EvEvent;
class IndexingConnection;
class JZJobClient;
struct ArchiveIndexArg;
struct IndexRestoreArg;
struct NuvContentRun;

class NuvSnapUtilDb : public NuvSnapUtil {
public:
    NuvSnapUtilDb(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType, bool verbose,
                  JZJobCtrlClient* jobControl, char* host, SpawnProcess const& spawnMode);
    ~NuvSnapUtilDb() override;  // the optional-file list is borrowed and left alone

    // Hand the path to the base's registration; true when it was added. The
    // second argument is handed on unchanged (callers pass null).
    bool addMountPointByDirectory(char const* path, char const* reserved);
    bool addMountPoint(char const* path, char const* reserved);
    // Records number as the path's SM volume id (also when the base refuses the
    // path), then registers the path.
    bool addMountPoint(char const* path, char const* reserved, int const& number);

    // Borrowed: the caller keeps the vector alive and unchanged until the
    // content indexing is over.
    void setIndexOptionalFileList(std::vector<std::string>* files) { m_optionalFileList = files; }
    std::vector<std::string>* getIndexOptionalFileList() const { return m_optionalFileList; }
    std::map<std::string, int> const& getPathToVolumeId() const { return m_pathToVolumeId; }

    // Content indexing of the job's snapshot (short form): the snapshot record,
    // mount-point file map, event log and verbose flag of this object, this
    // object as the quit hook. 0 on success, -1 on failure.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                    bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                    bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                    bool dirChangeOnly);
    // The same with extra paths that are indexed without being examined.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                    bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                    bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                    bool dirChangeOnly, std::vector<std::string>* nonStatAbleIndexFiles);

    // --- content indexing ---
    // The explicit form: every input given. 0 on success, -1 on failure.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, ArchiveFileId_t& afile, SMVolSnapInfo& snapInfo,
                    std::map<std::string, std::set<std::string>>& mountFiles, EvEvent* ev, bool const& verbose,
                    std::map<std::string, std::string>* fileNameMap, bool const& levelOne,
                    bool const& updateIndexOnly, bool const& updateOption, bool const& dirChangeFlag,
                    std::string const& dirChangeFile, bool const& statFiles, NuvSnapUtil* quitHook,
                    bool dirChangeOnly);
    // The worker: the explicit form with the extra paths.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, ArchiveFileId_t& afile, SMVolSnapInfo& snapInfo,
                    std::map<std::string, std::set<std::string>>& mountFiles, EvEvent* ev, bool const& verbose,
                    std::map<std::string, std::string>* fileNameMap, bool const& levelOne,
                    bool const& updateIndexOnly, bool const& updateOption, bool const& dirChangeFlag,
                    std::string const& dirChangeFile, bool const& statFiles, NuvSnapUtil* quitHook,
                    bool dirChangeOnly, std::vector<std::string>* nonStatAbleIndexFiles);

    // The optional files of a job under the second index generation; only
    // Oracle (22, 80) has any. 0 on success, -1 on failure.
    int sendOptionalFilesForIdxV2(char const* indexHost, std::vector<std::string>& files, unsigned brannoxId,
                                  unsigned appId, unsigned appType, long long jobId, int archFileId,
                                  std::string jobToken, EvEvent* ev);
    // Volume components on an open run: Oracle block level (the subclient's
    // volume list), and one PostgreSQL volume. 0 when done or nothing applies.
    int sendVolComponent(IndexingConnection* connection, int appType, int brannoxId, int appId);
    int sendVolComponent(IndexingConnection* connection, int appType, std::string const& volume);
    // The GUID message of one path (object, version and parent GUIDs).
    int sendIndexGUID(std::string path, IndexingConnection* connection);

    ArchiveFileId_t const& getArchiveFileId() const { return m_archiveFileId; }

    // Live-browse mode of the content index: the second index generation and PostgreSQL.
    static bool IsLiveBrowseEnabledApp(unsigned const& appType, bool flag) { return flag && appType == 125; }
    // The map through which an agent has a listed file examined at another path.
    void allocateCustomizedIndexMap();
    std::unique_ptr<std::map<std::string, std::string>>& getCustomizedIndexMap();

    // Process-wide copy-file map (file -> place it is copied to); the agents
    // fill it, the content indexing of SAP for Oracle (61) reads it.
    static std::map<std::string, std::string> m_copyFilesToDirMap;

    // --- mount and verification ---
    // Gives every volume of the record its mount path (setMountPath, in list
    // order), stamps the Brannox id and the mount host (mountHostId 0: each
    // volume's source client), mounts them all and sets mountMap[source path]
    // = mount path. flag turns true (never false) when a volume has 0x1 or 0x2
    // without 0x10. Nothing is unmounted, on any road.
    [[nodiscard]] CFzError mountAllSnapShotsForCurrentPhase(std::map<std::string, std::string>& mountMap, bool& flag);
    [[nodiscard]] CFzError mountAllSnapShotsForCurrentPhase(std::map<std::string, std::string>& mountMap, bool& flag,
                                                            unsigned long mountHostId);
    // Mounts every volume at its temporary path and checks that each file
    // registered under the volume's source path exists on the snapshot; stops
    // at the first missing one (callback, may be null: -1, "<Snap Verification
    // failed>", 2 no files / 3 missing file). The snapshots stay mounted.
    [[nodiscard]] CFzError verifySnapShot(ErrorCallback callback, void* context);
    // The temporary mount path of a verification ("/ora_snap<B>_<A>/" in the
    // Oracle form, else <temp>/FSSNAP_[<client>_]<B>_<A>/).
    static std::string FormSnapTempMountPath(int const& brannoxId, int const& archiveFileId, bool oraForm);
    // path under sourceMount rewritten under snapMount; "" when the path does not
    // lie under the source mount point (matched at a component boundary).
    static std::string translatePath(std::string const& path, std::string const& sourceMount,
                                     std::string const& snapMount);
    // The Sybase IQ form: the path's last name with "~" for "/" is translated.
    static std::string sybiqTranslatePath(std::string const& path, std::string const& sourceMount,
                                          std::string const& snapMount);
    // The database agents' mount-path rules (in place, clone, ASM disk groups).
    // Called by a mount loop, which hands the volume's position in the record
    // through the base (see NuvSnapUtilBase::m_mountVolumeIndex).
    CFzError setMountPath(SMVolumeInfo& volume) override;

    // --- data aging ---
    // Appends one record per aged snapshot (type 2) or tape (type 4) archive
    // file to the work files of each application's subclient directory, under
    // both lock files of the directory. 0, -1 or the directory call's result.
    static int createDeleteIndexEntry(EvEvent* event, OraSnapDataAging_t& list, ErrorCallback callback,
                                      void* context);
    static int compareSnapDataAgingAppId(void const* a, void const* b);
    // Builds the deletion list of the aged index entries of one application and
    // copy kind (2 snapshot, else tape); deletionList names it ("" when none is
    // left). Always 0.
    static int deleteIndex(EvEvent* event, unsigned int const& brannoxId, int const& appId, int const& appType,
                           TCacheTypeEnum const& kind, std::string const& indexHost, std::string& deletionList);
    // One record line of a data-aging text file into the key and id lists (cut up in place). Always 0.
    static int fetchIndexListForDeletion(EvEvent* event, char* line, std::list<_GetIndexSubclientInfo>& keys,
                                         int const& appId, TCacheTypeEnum const& kind,
                                         std::list<unsigned long long>& archiveFileIds);
    // Removes a tape deletion list none of whose entries is in the index any
    // more: 0 removed; -1 kept (an entry is still indexed, the list cannot be
    // read, or the index cannot be asked).
    static int cleanTapeDataAgingFile(EvEvent* event, unsigned int const& brannoxId, int const& appId,
                                      int const& appType, TCacheTypeEnum const& kind, std::string const& indexHost,
                                      std::string& deletionList);

    // --- snapshot details, index cloning ---
    // Borrows the caller's map of archive file id -> archive-file type (1 =
    // data) for the mount-path rules of every NuvSnapUtilDb of the process:
    // its address is kept, not a copy, so the rules read the map as the caller
    // changes it in place. REQUIRES: the caller keeps the map alive while
    // mounts may run, and calls clearOraArchFileMap (or sets another map)
    // before destroying it. A later set replaces the borrowed map.
    static void setOraArchFileMap(std::map<int, int> const& archFileTypes);
    static void clearOraArchFileMap();
    // The borrowed map, or null when none is set.
    static std::map<int, int> const* getOraArchFileMap();
    // Loads an earlier snap job's volumes and snapshots into the record.
    [[nodiscard]] CFzError getSnapShotDetailsForDatAging(long long const& snapJobId);
    // Sends the master job's index entries again under their new archive file
    // ids (master id -> new id). 0 or -1.
    static int cloneIndexFromMaster(unsigned int brannoxId, unsigned int appId, unsigned int appType, long long jobId,
                                    std::string jobToken, char const* indexHost, char const* clientName,
                                    std::vector<_IndexArchFileInfo>* masterEntries, std::map<int, int>& newIds,
                                    EvEvent* event, bool const& extraFlag, bool skipDirChange);

    // --- remote index programs (index archive files of type 6) ---
    [[nodiscard]] static CFzError runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient);
    [[nodiscard]] static CFzError runIndexRestore(IndexRestoreArg const& arg);

    bool m_oraSnap = false;       // "/ora_snap" form of mounts (set by the agents)
    bool m_mountAtSource = false; // mount every volume at its source path (set by the agents)

protected:
    // Content-index steps of one run.
    int indexVolume(NuvContentRun& run, SMVolumeInfo const& volume);
    int indexLinksAndCopies(NuvContentRun& run);
    int sendMarker(NuvContentRun& run, std::string const& marker, int& offset, char const* offsetLog,
                   char const* afileFailure);
    int sendMarkedEntry(NuvContentRun& run, std::string const& marker, std::string const& path,
                        std::string const& attached, int& offset);
    // The replication engine's metadata files of an LREP job, appended to
    // `files`; -1 (logged, critical event raised) when the engine cannot give them.
    int replicationMetadataFiles(unsigned appId, unsigned brannoxId, unsigned appType, long long jobId,
                                 std::vector<std::string>& files);
    // Raises the pending cause 0x1200008d with the path and the error text.
    void raiseFileCause(std::string const& path, std::string const& text);

    ArchiveFileId_t m_archiveFileId;   // the key of the last volume indexed
    std::map<std::string, int> m_pathToVolumeId;
    void* m_spare = nullptr;
    std::vector<std::string>* m_optionalFileList = nullptr;  // borrowed
};

// A volume record with its position in the snapshot record.
class NuvSMVolumeExtension : public SMVolumeInfo {
public:
    NuvSMVolumeExtension(SMVolumeInfo const& volume, int const& index) : SMVolumeInfo(volume), index(index) {}
    virtual int& getIndex() { return index; }

    int index = 0;
};
