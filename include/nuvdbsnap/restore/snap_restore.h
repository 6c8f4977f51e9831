// NuvSnapRestore: restores database files that a snap backup protected.
// An agent builds it (full constructor, then Init with its job-control
// client), calls restoreData with the archive files to restore and ends with
// Finalize. The partial road restores file by file through the embedded
// restore-files client; the full road mounts each snap job's snapshots and
// lets the remote file-restore program copy them. multithreadedRestore runs
// one partial restore per stream on a thread pool.
//
// Results: 0 success; 1 the quit flag or a failure before any data moved
// (map file, temporary directory); negative codes name the failing step:
// -10 the restore-files client did not initialise (Init then says -1),
// kRestoreDestinationCollision, two files of the restore mapped to one
// destination, and kRestoreDestinationRoot, a file restored onto the root
// directory (both refused before any data moved). failureText() names the
// cause of a failure as the log does.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/foundation/restore_records.h"
#include "nuvdbsnap/platform/base/critical_section.h"
#include "nuvdbsnap/platform/restorefiles/restore_files.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

// Two files of one restore mapped to one destination path.
constexpr int kRestoreDestinationCollision = -11;
// A data file whose destination (or, going back to its place, whose source)
// is the root directory "/".
constexpr int kRestoreDestinationRoot = -12;

class CJzNetwork;
class EvEvent;
class EvRstTask;
class JZJobCtrlClient;
class JZRstJobClient;
class JzThreadPool;
struct jzsDatabuf_v2;


// One database file of an archive file.
struct DataFileInfo {
    std::string srcPath;
    std::string destPath;      // empty: back to srcPath
    std::string auxText;       // not read
    uint64_t offset = 0;
    uint32_t resultType = 0;
    uint32_t pathType = 0;
    int32_t sizeFactor1 = 0;
    int32_t sizeFactor2 = 0;
};

// One archive file to restore.
struct ArchFileInfo {
    uint64_t snapJobId = 0;
    uint32_t brannoxId = 0;
    uint32_t groupId = 0;
    uint32_t archFileId = 0;
    int32_t copyId = 0;
    uint32_t archFileKind = 0;  // 0 snapshot archive file, 1 normal archive file
    std::list<DataFileInfo> dataFiles;
};

// The key of one snap job.
struct NuvSnapRestoreJob {
    uint64_t snapJobId;
    uint32_t brannoxId;
    NuvSnapRestoreJob(uint32_t brannox, uint64_t snapJob) : snapJobId(snapJob), brannoxId(brannox) {}
    bool operator==(NuvSnapRestoreJob const& o) const { return snapJobId == o.snapJobId && brannoxId == o.brannoxId; }
    bool operator!=(NuvSnapRestoreJob const& o) const { return !(*this == o); }
};

// One directory the restore made, with the file it was made for.
struct MkDirFileMap {
    std::string filePath;
    std::string dirPath;
};

// The shared state of one multi-stream restore.
struct MultiThreadedRestoreParams {
    MultiThreadedRestoreParams(EvEvent* event, std::map<int, std::list<ArchFileInfo>>& streams,
                               unsigned long restoreFlags, JzRstInitParams& initParams, JZRstJobClient* rstJobClient,
                               JZJobCtrlClient* jobCtrlClient, bool multiplexed, ErrorCallback callback,
                               void* callbackContext)
        : m_event(event), m_streams(&streams), m_restoreFlags(restoreFlags), m_initParams(&initParams),
          m_rstJobClient(rstJobClient), m_jobCtrlClient(jobCtrlClient), m_callback(callback),
          m_callbackContext(callbackContext), m_multiplexed(multiplexed), m_pending(streams.size()) {}

    EvEvent* m_event;
    std::map<int, std::list<ArchFileInfo>>* m_streams;
    unsigned long m_restoreFlags;
    JzRstInitParams* m_initParams;
    JZRstJobClient* m_rstJobClient;
    JZJobCtrlClient* m_jobCtrlClient;
    ErrorCallback m_callback;
    void* m_callbackContext;
    bool m_multiplexed;
    int m_result = 0;
    std::string m_failureText;  // the cause of m_result's failure, as logged
    unsigned long m_pending;
    JzCriticalSection m_lock;
    boost::shared_ptr<JzThreadPool> m_threadPool;
    // Set by the monitor's per-job work, which runs once before any stream.
    bool m_redirect = false;
};

class NuvSnapRestore {
public:
    NuvSnapRestore(EvEvent* event, std::string srcClient, std::string destClient, std::string restoreType,
                   char const** srcPaths, int numSrcPaths, char const** destPaths, int numDestPaths,
                   unsigned long restoreFlags, long long jobId, unsigned long rstValueA, unsigned long appType,
                   unsigned long destBrannoxId, unsigned long rstValueB, char* userName, char* password,
                   unsigned long destClientId, bool logRestoredFiles, int const& stripLevel, bool const& fullRestore,
                   JZJobCtrlClient* jobCtrlClient);
    NuvSnapRestore(EvEvent* event, bool fullRestore, JZJobCtrlClient* jobCtrlClient, unsigned long restoreFlags);
    ~NuvSnapRestore();
    NuvSnapRestore(NuvSnapRestore const&) = delete;
    NuvSnapRestore& operator=(NuvSnapRestore const&) = delete;

    // 1, or -1 when an earlier restoreData failed to initialise the restore-files client.
    int Init(JZJobCtrlClient* jobCtrlClient);
    // The process-wide mirror of the last redirect decision.
    static bool& isRedirectRestore();
    // This object's redirect decision.
    bool redirected() const { return m_redirect; }
    // The cause of the last restoreData that failed, as the log names it (the
    // first failure it met); empty after one that succeeded.
    std::string const& failureText() const { return m_failureText; }

    int restoreData(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles, JzRstInitParams& params,
                    ErrorCallback callback, void* context, std::string const& extendedOptions);
    int restoreData(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles, ErrorCallback callback,
                    void* context);
    // 0 computed, 1 left as the caller set it.
    static int computeStripLevel(char const* path, int& level);

    int partialRestore(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles, JzRstInitParams& params,
                       ErrorCallback callback, void* context);
    int partialRestore(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles, ErrorCallback callback,
                       void* context);

    int getRestoreSarnelAndMountSnap(ArchFileInfo const& first, unsigned long& clientId, std::string& host);
    void setNumberofStreams(EvRstTask& task, unsigned long const& numArchFiles);
    int attachToProcess(CJzNetwork& link, std::string const& host, char const* executable,
                        JZJobCtrlClient* jobCtrlClient, std::string& commandLine, std::string& error,
                        std::string const& unused);
    int receiveMessage(CJzNetwork& link, jzsDatabuf_v2& buffer, unsigned long& messageType);
    int unmountSnapshots(ArchFileInfo const& archFile);
    static void freeSnapArray(FSRSnapSrcPath* entries, int const& count);

    bool createDirectoryStructureIfNotExist(std::string const& path);
    // The same for a file the snapshot copy restores: missing directories are
    // left to the copy, which makes them as the snapshot holds them, and so is
    // a link the walk may not follow (the copy names the entry it stops).
    bool checkDirectoryStructure(std::string const& path);
    int Finalize(JZRstJobClient* jobClient);

    static int multithreadedRestore(MultiThreadedRestoreParams& params);
    static void* MonitorMultiThreadRestore(void* params);
    static int doRestore(MultiThreadedRestoreParams& params, std::list<ArchFileInfo>& stream, JzRstInitParams& slot);
    // doRestore that also gives the cause of the stream's failure (`cause` may be null).
    static int restoreStream(MultiThreadedRestoreParams& params, std::list<ArchFileInfo>& stream,
                             JzRstInitParams& slot, std::string* cause);

    // Process-wide statics of the restore.
    static long long destBrannoxId;
    static JzRstInitParams jzRstInitParams;
    static bool m_redirectRestore;

    // Members (public for the agents that read them after a restore).
    EvEvent* m_event = nullptr;
    bool m_logRestoredFiles = false;
    std::string m_destClientName;
    std::string m_srcClient;
    std::string m_destClient;
    std::string m_restoreType;
    SMVolSnapInfo m_snapInfo;
    bool m_snapsMounted = false;
    JZRestoreFiles restoreFiles;
    int m_errorFlag = 0;
    unsigned long m_restoreFlags = 0;
    int m_stripLevel = 0;
    std::list<MkDirFileMap> m_createdDirs;
    std::list<std::string> m_knownDirs;
    JZJobCtrlClient* m_jobCtrlClient = nullptr;
    bool m_fullRestore = false;
    unsigned long m_destClientId = 0;

private:
    bool directoryStructure(std::string const& path, bool make);
    std::unordered_set<std::string> m_knownIndex;  // m_knownDirs, to look up
    std::unordered_set<std::string> m_leftToCopy;  // missing directories the copy makes

    // The per-job work of a restore (refusal of the root directory as a
    // destination, task values, token file, redirect decision, map file,
    // physical paths, the layout of files going back to their place, done as
    // the user name of `params`); `archFiles` changed in place.
    int prepareJob(long long snapJobId, std::vector<std::list<ArchFileInfo>*> const& lists,
                   std::string const& extendedOptions, JzRstInitParams const& params);
    // The road after the per-job work (strip levels, then partial or full).
    int runRoad(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles, JzRstInitParams& params,
                ErrorCallback callback, void* context, std::string const& extendedOptions);
    int fullRestore(std::list<ArchFileInfo>& archFiles);
    int restoreSnapJob(NuvSnapRestoreJob const& job, std::vector<ArchFileInfo*> const& run);
    uint64_t jobId() const;
    // Logs the error line of a failure and keeps it as the restore's cause,
    // unless a cause was kept already.
    void failed(char const* tag, char const* format, ...) __attribute__((format(printf, 3, 4)));
    void noteCause(std::string const& cause) {
        if (m_failureText.empty()) m_failureText = cause;
    }

    bool m_redirect = false;    // this object's redirect decision
    bool m_jobPrepared = false; // the per-job work was done (by a multi-stream monitor)
    long long m_countsBrannoxId = 0;  // Brannox id of the counts file (0: destBrannoxId)
    std::string m_failureText;        // see failureText()
    friend struct MultiStreamRun;
};

// The suite's temporary directory followed by "/" (at most length bytes with
// the terminator); 0, or -1 for a null buffer, no directory or no room.
int GetDrevoxBaseTempPath(char* buffer, int length);
