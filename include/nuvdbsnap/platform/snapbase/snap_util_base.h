// NuvSnapUtilBase: the suite's base of a job's snapshot utility. It owns the
// job's snapshot record, the mount-point table (volume mount point -> the paths
// registered under it), the job-state flags shared with the derived utility,
// the job's event and job object, and offers mount and unmount of a job's
// snapshots through the local snapshot manager.
//
// Reload rule: the job-state flag `reload` is 1 when, at construction, the
// job's snapshot-info file exists - <job-results root>/JZ_JobResults/2/0/<job>/
// .snapShotInfo_<job> - i.e. a prepare made in another process left it there;
// refreshReloadFlag() applies the rule again.
//
// Job rules, applied at construction (refreshJobFlags() applies them again):
// `fullRanInCurrCycle` is 1 when the job manager says a full backup ran in the
// job's current backup cycle (nuvjobmgr::FullRanInCurrentCycle); `zfsContent`
// is 1 when a content path of the job's application's subclient lies on a
// volume of file-system type "zfs" (declared volume or mount). A lookup that
// fails leaves the flag 0.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class EvEvent;
class JZJobClient;
class JZJobCtrlClient;

// The road a snapshot utility's executors take to the snapshot manager.
enum SpawnProcess {
    SPAWN_HELPER_PROCESS = 0,  // prepare, snap and delete in the helper process
    SPAWN_SNAP_HANDLER = 1,    // snap through the snap-handler plug-in, the rest in process
    SPAWN_IN_PROCESS = 2,      // everything in process through the snapshot client
};

// Flags shared between the base and the derived utility (one byte each).
struct NuvSnapJobState {
    uint8_t reload = 0;              // the prepare was made in another process (see the reload rule)
    uint8_t skipDelete = 0;          // set by the derived utility
    uint8_t zfsContent = 0;          // the job's volumes carry ZFS content
    uint8_t fullRanInCurrCycle = 0;  // a full block-level pass ran in the current cycle
    // The database utility's map of listed file path -> path to examine instead (empty until allocated).
    std::unique_ptr<std::map<std::string, std::string>> customizedIndexMap;
};

// How an agent wants a job's snapshots mounted (mount mode 1: data volumes at
// their source, 2: clone), set by the agent's side; null until set.
struct NuvSnapMountRequest {
    uint32_t mountMode = 0;
    std::string cloneMountPrefix;
    std::map<std::string, std::string> diskGroupMountMap;  // disk group (no "+") -> mount disk group
};

class NuvSnapUtilBase {
public:
    // jobControl and host may be null. The job id is jobControl's when it has
    // one, else the process's job context (JZ_JOB_ID).
    NuvSnapUtilBase(int engineType, int snapType, bool verbose, JZJobCtrlClient* jobControl, char* host,
                    SpawnProcess const& spawnMode);
    virtual ~NuvSnapUtilBase();
    NuvSnapUtilBase(NuvSnapUtilBase const&) = delete;
    NuvSnapUtilBase& operator=(NuvSnapUtilBase const&) = delete;

    // Virtual operations in slot order; the derived utility declares initialize().
    virtual bool checkIfShouldQuit();                  // the job manager asked the job to stop
    // The mount path of one volume of a record being mounted (base rule: keep
    // the volume's mount path). Called by the mount loops (applyMountPaths),
    // which hand the volume's position in the record in m_mountVolumeIndex.
    virtual CFzError setMountPath(SMVolumeInfo& volume);
    virtual void setBrannoxId(int id) { m_brannoxId = id; }
    virtual void setClientId(int id) { m_ClientID = id; }

    // Registers `path` under the volume that holds it (the key is the volume's
    // mount point; the path joins its set). 1 added, 0 not added (empty,
    // relative or missing path, or no volume holds it). The second argument is not used.
    // An ASM path ("+NAME", "+NAME/...") is registered under its disk group,
    // key "+NAME" (the name in capitals), when the group is declared and the
    // path exists on one of its disk volumes (see asm_disk_groups.h); the
    // snapshot manager makes that key a disk-group volume at the prepare. An
    // undeclared group is refused with an error that says so.
    int addMountPoint(char const* path, void* reserved);
    // The same for a directory: 0 when the path is not a directory.
    int addMountPointByDirectory(char const* path, void* reserved);
    // The volume mount point that holds `path` ("" when none). The second argument is not used.
    std::string getMountPoint(char const* path, bool reserved = false) const;
    std::map<std::string, std::set<std::string>> const& getMountPoints() const { return m_mountPoints; }
    // The symbolic links among the registered paths: consecutive pairs, link
    // path then target path (absolute), each link once.
    std::vector<std::string> const& getSymbolicLinks() const { return m_symbolicLinks; }

    // The job's job client (a backup-job client bound to the job when the job
    // manager accepts it), built once from the job-control client's job id;
    // null without one. Owned by this object.
    JZJobClient* getJobObject();

    // Runs the application's pre-snap (phase 1) or post-snap (phase 2) program
    // (catalogue table "snaptask": program and a command line of arguments,
    // never through a shell). 0 when it succeeded or none is configured; the
    // program's result otherwise. The third argument is not used.
    int runPrePostSnapTask(unsigned long appId, int phase, int reserved, int backupLevel);

    // Loads the snapshots of these archive files into `out` (and the record)
    // and mounts them (mount paths by setMountPath, else defaults).
    [[nodiscard]] CFzError LoadAndMountVolumesForArchiveFiles(std::vector<unsigned int> const& archFileIds,
                                                              unsigned int brannoxId, SMVolSnapInfo& out);
    // Loads the snapshots of a snap job into the record; mounts them when `mount`.
    // mountHostId 0: each volume's source client.
    [[nodiscard]] CFzError LoadAndMountVolumestForJobID(long long const& snapJobId, bool mount,
                                                        unsigned long mountHostId);
    // Unmounts the snapshots the record holds / every mount of a snap job's
    // snapshots / the snapshots of `record` (at their mount paths when set).
    [[nodiscard]] CFzError UnmountSnapshots();
    [[nodiscard]] CFzError UnmountSnapshots(unsigned int brannoxId, long long snapJobId);
    [[nodiscard]] CFzError UnmountSnapshots(SMVolSnapInfo& record);

    // A copy of `record` with each volume (by SM volume id) and snap (by id) once;
    // snapToVolume: SM snap id -> SM volume id; volumeToSnap: SM volume id -> its last SM snap id.
    static void consolidateSnaps(SMVolSnapInfo const& record, SMVolSnapInfo& consolidated,
                                 std::map<int, int>& snapToVolume, std::map<int, int>& volumeToSnap);

    // The snapshot-info file of a job (see the reload rule).
    static std::string SnapShotInfoFilePath(uint64_t jobId);
    bool refreshReloadFlag();
    void refreshJobFlags();

    void setMountRequest(NuvSnapMountRequest const& request);
    NuvSnapMountRequest const* getMountRequest() const { return m_mountRequest.get(); }

    uint32_t getReplicationType() const { return m_replicationType; }
    uint64_t getBackupType() const { return m_backupType; }
    int getSnapType() const { return m_snapType; }
    int getEngineType() const { return m_engineType; }
    SpawnProcess getSpawnProcess() const { return m_spawnProcess; }
    int getBrannoxId() const { return m_brannoxId; }
    int getClientId() const { return m_ClientID; }
    uint64_t getJobId() const { return m_jobId; }
    bool isPrepared() const { return m_prepared; }
    EvEvent* getEvent() const { return m_event; }
    JZJobCtrlClient* getJobControl() const { return m_jobCtrlClient; }
    char const* getHost() const { return m_host; }
    SMVolSnapInfo& getSnapShotInfo() { return m_snapShotInfo; }
    NuvSnapJobState& getJobState() { return *m_jobState; }

protected:
    // The mount loop: each volume of `record`, in list order, gets its mount
    // path from setMountPath (a copy is handed over, with its position in
    // m_mountVolumeIndex, and copied back). Stops at the first error, which it
    // returns with its place pushed; the volumes before keep their new paths.
    [[nodiscard]] CFzError applyMountPaths(SMVolSnapInfo& record);

    // The position in its record of the volume that setMountPath is given; -1
    // outside a mount loop.
    int m_mountVolumeIndex = -1;

    SpawnProcess m_spawnProcess = SPAWN_IN_PROCESS;
    int m_engineType = 0;
    int m_snapType = 0;
    int m_ClientID = 0;
    int m_brannoxId = 0;
    uint32_t m_replicationType = 0;  // 0 plain snapshot, 1 LREP replication
    uint64_t m_backupType = 0;

    JZJobCtrlClient* m_jobCtrlClient = nullptr;  // borrowed
    SMVolSnapInfo m_snapShotInfo;
    std::map<std::string, std::set<std::string>> m_mountPoints;
    std::unique_ptr<NuvSnapJobState> m_jobState;
    EvEvent* m_event = nullptr;  // owned
    uint64_t m_jobId = 0;
    bool m_verbose = false;
    bool m_prepared = false;
    int m_ddrClientId = 0;
    char* m_host = nullptr;      // this object's copy of the host, null when none
    int m_currBrannoxId = 0;     // the current archive file
    int m_currArchGroupId = 0;
    int m_currArchFileId = 0;
    std::unique_ptr<NuvSnapMountRequest> m_mountRequest;
    std::vector<std::string> m_symbolicLinks;

private:
    int addPath(char const* path, bool directoryOnly);
    int addGroupPath(std::string const& path, bool directoryOnly);
    void noteSymbolicLink(std::string const& path);
    CFzError mountRecord(SMVolSnapInfo& record, unsigned long mountHostId);

    std::vector<char> m_hostCopy;
    std::unique_ptr<JZJobClient> m_jobObject;
    bool m_jobObjectBuilt = false;
};
