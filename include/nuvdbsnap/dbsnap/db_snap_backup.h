// DBSnapBackup: the abstract driver of one database snap-backup job. An agent
// derives from it, supplies FindDataPaths, QuiesceDB, UnQuiesceDB and
// PrepareIndex, and runs: Initialize(argc, argv, ...), RunSnapBackup(),
// ExitHere(result), optionally Cleanup(), then destroys the object through its
// own class or through a DBSnapBackup pointer. The phases run in a fixed order
// and stop at the first failure:
//   FindDataPaths, PrepareSnap, Snap, PrepareIndex, CreateIndex, SendIndexMetaData.
// One driver serves one job on the agent's job thread.
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

class ApplicationId;
class JZBkpJobClient;
class JZJobCtrlClient;
class NuvSnapUtilDb;

// The parsed command line of the job.
struct DBSnapBackupArgs_t {
    int64_t jobId = 0;              // "-j"
    uint32_t brannoxId = 0;         // "-a", before the colon
    uint64_t appId = 0;             // "-a", after the colon
    int jobType = 0;                // "-t"; also the backup level
    char jobToken[64] = {0};        // "-jt"; always NUL-terminated (longer tokens are refused)
    std::string dataMover;          // "-d"
    std::string indexDataMover;     // "-idxkk"; used for indexing instead of dataMover when set
    uint64_t clientId = 0;          // this client, filled by Initialize
    uint64_t overrideClientId = 0;  // set by a derived class; used for PostgreSQL archive records
};

class DBSnapBackup {
public:
    DBSnapBackup(int const& appType, int const& archiveFileType);
    DBSnapBackup(DBSnapBackup const&) = delete;
    DBSnapBackup& operator=(DBSnapBackup const&) = delete;

    // Virtual operations, in the order of the table; 0 = success.
    virtual int ParseArgs();
    virtual int FindDataPaths() = 0;     // fill m_dataPaths with the server's data paths
    virtual int PrepareSnap();
    virtual int Snap();
    virtual int CreateSnapShot();
    virtual int PostCreateSnapShot();
    virtual int QuiesceDB() = 0;
    virtual int UnQuiesceDB() = 0;
    virtual int FetchDBList();
    virtual int CreateSnapEntityList();
    virtual int PrepareIndex() = 0;
    virtual int CreateIndex();
    virtual int SendIndexMetaData();
    virtual int RunVSAAppWareSnapsOperation(bool cleanup);
    virtual int Cleanup();
    // jobClient and jobControl: the caller's job clients (both, or they are
    // ignored); the driver then neither registers nor deletes them.
    virtual int Initialize(int const& argc, char** argv, JZBkpJobClient* jobClient, JZJobCtrlClient* jobControl);
    // Reports the end of the job to the job manager; does not end the process.
    virtual int ExitHere(int const& result);
    virtual ~DBSnapBackup();

    int InitJM();
    int setPhaseParams();
    // 1 when the job failed, else 0.
    int RunSnapBackup();

    int PrepareSnap(NuvSnapUtilDb* utility, std::list<std::string>& mountPoints);
    int CreateSnapShot(NuvSnapUtilDb* utility);
    int PostCreateSnapShot(NuvSnapUtilDb* utility);
    // The error callback of the snapshot operations; the context is the driver.
    static void errorHandler(void* context, int const& errorType, char const* mountPoint, int const& errorCode,
                             char const* errorText);

    int CreateIndex(NuvSnapUtilDb* utility, bool updateIndexOnly);
    int WriteMountPoints();
    // Lists a directory tree in pre-order: every directory (without a trailing
    // '/') before its content, every other entry (links not followed); with a
    // prefix, the directory part of each path is replaced by it. 0 when the
    // whole tree was listed, -1 on a refused directory or a failure, or the
    // error number of a failed directory read.
    static int ReadFilesFromDir(std::string const& directory, std::list<std::string>& out,
                                std::string const& prefix);

    // Engine 48 only: around an agent's own mounting of the snapshots (after the prepare phase).
    int SetVolumeFlagsBeforeMount();
    int UnsetVolumeFlagsAfterMount();
    // 1 when the settings say indexing should use the application-aware snapshot.
    int UseAppAwareSnapForIndexing();

    bool failed() const { return m_failed; }
    NuvSnapUtilDb* getSnapUtil() const { return m_nuvSnapUtilDb; }
    DBSnapBackupArgs_t const* getArgs() const { return m_bkArgs; }

protected:
    // Raises a pending cause on the job object with the text as its argument.
    void raisePendingCause(int cause, char const* text);

    int m_argc = 0;
    char** m_argv = nullptr;           // kept, not copied
    int m_appType = 0;
    int m_archiveFileType = 0;
    ApplicationId* m_applicationId = nullptr;  // owned; outlives m_nuvSnapUtilDb
    uint64_t m_instanceId = 0;
    EvEvent m_ev;
    JZJobCtrlClient* m_jobCtrlClient = nullptr;
    JZPlatformInfo m_platformInfo;
    bool m_verbose = false;
    bool m_registeredWithJM = false;
    time_t m_snapRefTime = 0;
    DBSnapBackupArgs_t* m_bkArgs = nullptr;   // owned
    NuvSnapUtilDb* m_nuvSnapUtilDb = nullptr; // owned; made by PrepareSnap
    uint64_t m_reserved = 0;
    unsigned long m_engineType = 0;           // a derived class may set it before Initialize
    bool m_failed = false;
    std::list<std::string> m_dataPaths;        // filled by FindDataPaths
    std::string m_dirChangeFile;
    std::map<std::string, std::string> m_fileNameMap;
    std::vector<std::string> m_optionalFiles;
    JZBkpJobClient* m_jobObject = nullptr;
    bool m_ownsJobClients = true;
    bool m_writeMountPoints = false;
    bool m_useIndexingV2 = false;
};
