// Content indexing of a job's snapshot: the directory change with the job's
// optional files, then one connection run of the indexing service with the
// records of every volume, the volume components, the link and copy markers.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "content_run.h"
#include "nuvdbsnap/engine/replication_engine.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"

#include <ctime>

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::createIndex";

// The quit hook that the directory-change sender consults: the job's quit flag.
class QuitHook : public CheckIfShouldQuit {
public:
    explicit QuitHook(NuvSnapUtil* utility) : m_utility(utility) {}
    bool checkIfShouldQuit() override { return m_utility != nullptr && m_utility->checkIfShouldQuit(); }

private:
    NuvSnapUtil* m_utility;
};

// The job token: the job-control client's when it has a non-empty one, else one made for the job.
std::string JobToken(JZJobCtrlClient* control, long long jobId) {
    char const* token = control != nullptr ? control->GetJobToken() : nullptr;
    if (token != nullptr && *token != '\0') return token;
    return constructJobToken(jobId, 0, 0, 0);
}

}  // namespace

Subclient* NuvSubclientOf(ApplicationId& application, unsigned brannoxId, unsigned appId, EvEvent* ev,
                          char const* tag) {
    Subclient* subclient = application.getSubclient(nullptr);
    if (subclient == nullptr)
        EvDebug::Debug(ev, tag, "getSubclient(%d,%d) failed[%d-%s]", static_cast<int>(brannoxId),
                       static_cast<int>(appId), static_cast<int>(application.getLastError()),
                       application.getErrorString());
    return subclient;
}

int NuvSnapUtilDb::replicationMetadataFiles(unsigned appId, unsigned brannoxId, unsigned appType, long long jobId,
                                            std::vector<std::string>& files) {
    _ReplicationInputParams params;
    params.appId = appId;
    params.brannoxId = brannoxId;
    params.appTypeId = appType;
    params.jobId = static_cast<uint64_t>(jobId);
    params.backupLevel = 0;
    EvEvent logger = m_event != nullptr ? *m_event : EvEvent();
    try {
        JzReplicationEngineDynamic* engine = JzReplicationEngineDynamic::getInstance(
            1, static_cast<unsigned long long>(jobId), getJobControl(), logger, params);
        if (engine == nullptr) {
            EvDebug::Error(m_event, kTag, "Failed to instantiate JzReplicationEngine");
            (void)m_event->CriticalEvent(0x39000073, 0, 0);
            return -1;
        }
        if (engine->GetMetadataFiles(files) == 0) {
            EvDebug::Error(m_event, kTag, "Unable to get metadata files required specific to derived classes for backup");
            (void)m_event->CriticalEvent(0x39000073, 0, 0);
            return -1;
        }
    } catch (...) {
        EvDebug::Error(m_event, kTag,
                       "Unknown exception.Unable to get metadata files required specific to derived classes for backup");
        (void)m_event->CriticalEvent(0x39000073, 0, 0);
        return -1;
    }
    return 0;
}

int NuvSnapUtilDb::createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                               unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                               bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                               bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                               bool dirChangeOnly) {
    return createIndex(dataAgingFile, indexHost, brannoxId, appId, appType, jobId, fileNameMap, levelOne,
                       updateIndexOnly, updateOption, dirChangeFlag, dirChangeFile, statFiles, dirChangeOnly, nullptr);
}

int NuvSnapUtilDb::createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                               unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                               bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                               bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                               bool dirChangeOnly, std::vector<std::string>* nonStatAbleIndexFiles) {
    bool const verbose = m_verbose;
    return createIndex(dataAgingFile, indexHost, brannoxId, appId, appType, jobId, m_archiveFileId, m_snapShotInfo,
                       m_mountPoints, m_event, verbose, fileNameMap, levelOne, updateIndexOnly, updateOption,
                       dirChangeFlag, dirChangeFile, statFiles, this, dirChangeOnly, nonStatAbleIndexFiles);
}

int NuvSnapUtilDb::createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                               unsigned appType, long long jobId, ArchiveFileId_t& afile, SMVolSnapInfo& snapInfo,
                               std::map<std::string, std::set<std::string>>& mountFiles, EvEvent* ev,
                               bool const& verbose, std::map<std::string, std::string>* fileNameMap,
                               bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                               bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                               NuvSnapUtil* quitHook, bool dirChangeOnly) {
    return createIndex(dataAgingFile, indexHost, brannoxId, appId, appType, jobId, afile, snapInfo, mountFiles, ev,
                       verbose, fileNameMap, levelOne, updateIndexOnly, updateOption, dirChangeFlag, dirChangeFile,
                       statFiles, quitHook, dirChangeOnly, nullptr);
}

int NuvSnapUtilDb::createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                               unsigned appType, long long jobId, ArchiveFileId_t& afile, SMVolSnapInfo& snapInfo,
                               std::map<std::string, std::set<std::string>>& mountFiles, EvEvent* ev,
                               bool const& verbose, std::map<std::string, std::string>* fileNameMap,
                               bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                               bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                               NuvSnapUtil* quitHook, bool dirChangeOnly,
                               std::vector<std::string>* nonStatAbleIndexFiles) {
    NuvContentRun run;
    run.startTime = static_cast<int64_t>(std::time(nullptr));  // time stamps are 64-bit
    if (verbose) EvDebug::Debug(ev, kTag, "Entering function updateIndex only = [%d]", updateIndexOnly ? 1 : 0);
    bool useIndexingV2 = false;
    (void)shouldUseIndexingV2(brannoxId, static_cast<int>(appId), useIndexingV2);
    EvDebug::Debug(ev, kTag, "useIndexingV2 [%s]", useIndexingV2 ? "true" : "false");
    bool const liveBrowse = IsLiveBrowseEnabledApp(appType, useIndexingV2);

    if (snapInfo.volumeListBegin() == snapInfo.volumeListEnd()) {
        EvDebug::Error(ev, kTag, "SnapShot vector is empty");
        return -1;
    }
    SMVolumeInfo const& first = *snapInfo.volumeListBegin();
    std::string const host = indexHost != nullptr ? indexHost : "";

    int r = 0;
    if (!updateIndexOnly) {
        dataAgingFile.clear();
        std::vector<std::string> optionalFiles;     // shipped with the directory change
        std::vector<std::string> indexOptional;     // handed to the second generation's store
        if (getReplicationType() == LREP_REPLICATION) {
            if (replicationMetadataFiles(appId, brannoxId, appType, jobId, optionalFiles) != 0) return -1;
            // Only Oracle's store takes them; for any other application they
            // travel with the directory change alone.
            if (IsOracle(appType)) indexOptional = optionalFiles;
        }
        if (m_optionalFileList != nullptr) {
            for (std::string const& file : *m_optionalFileList) {
                optionalFiles.push_back(file);
                indexOptional.push_back(file);
            }
        }
        EvDebug::Debug(ev, kTag, "No DataAging to be done for appId %d during createIndex ", static_cast<int>(appId));
        int const level = (appType == kAppTypeOracle || appType == kAppTypeMySql || appType == kAppTypePostgreSql) && !levelOne ? 2 : 1;
        EvDebug::DebugLvl(ev, 1, kTag,
                          "sendDirChange(%u, %u, %u, %llu, %s, %s, %c, %s, false, true, %s, NULL, false, 240, "
                          "SENDDIRCHG_JOB_OPT_SNAP_BACKUP, %s,NULL)",
                          brannoxId, appId, appType == kAppTypeOracle && !levelOne ? 2u : 1u,
                          static_cast<unsigned long long>(jobId), host.c_str(),
                          dirChangeFile.empty() ? "NULL" : dirChangeFile.c_str(), '/',
                          dirChangeFlag ? "true" : "false", levelOne ? "true" : "false", "NULL");
        std::string const token = JobToken(getJobControl(), jobId);
        EvDebug::Debug(ev, kTag, "jobToken used '%s'", token.c_str());
        QuitHook hook(quitHook);
        r = sendDirChange(brannoxId, appId, level, token.c_str(), host.c_str(),
                          dirChangeFile.empty() ? nullptr : dirChangeFile.c_str(), '/', dirChangeFlag, false, true,
                          levelOne, &hook, false, 240, 2, optionalFiles.empty() ? nullptr : &optionalFiles, nullptr,
                          first.getJobId(), false);
        if (useIndexingV2) {
            EvDebug::Debug(ev, kTag, "IndexV2 appType, opt files being sent ");
            if (sendOptionalFilesForIdxV2(host.c_str(), indexOptional, brannoxId, appId, appType, jobId,
                                          first.getArchFileId(), token, ev) != 0) {
                EvDebug::Debug(ev, kTag, "Sending optional files as metadata to RFC or indexV2 failed");
                return -1;
            }
        } else {
            EvDebug::Debug(ev, kTag, "Not an Index V2 appType, optional files not sent");
        }
        if (dirChangeOnly && r >= 0) return 0;
    }

    ApplicationId application(brannoxId, appId);
    Subclient* subclient = NuvSubclientOf(application, brannoxId, appId, ev, kTag);
    if (subclient == nullptr) return -1;
    unsigned long blockLevel = 0;
    (void)subclient->getUseBlockLevelBackup(blockLevel, nullptr);
    if (!updateIndexOnly && r < 0) {
        if (quitHook != nullptr && quitHook->getJobControl() != nullptr &&
            quitHook->getJobControl()->checkQuitFlag() != 0)
            EvDebug::Error(ev, kTag, "CreateIndex interrupted by Job Manager during createIndex");
        EvDebug::Error(ev, kTag, "Error During sendDirChange%s", r < -1 ? " (fail job)" : "");
        return -1;
    }
    if (blockLevel != 0 && appType == kAppTypePostgreSql && useIndexingV2) {
        EvDebug::Debug(ev, kTag, "Skip sending volume metadata to indexing.. for postgres blocklvl indexing v2");
        return 0;
    }

    std::string first1, second;
    int count1 = 0, count2 = 0;
    DemangleHostName(host.c_str(), first1, second, count1, count2);
    IndexingConnection connection;
    EvDebug::Debug(ev, kTag, "Fake jobToken used - please fix by passing the actual one");
    std::string const token = JobToken(getJobControl(), jobId);
    unsigned long long flags = 1;
    if (blockLevel != 0) {
        flags |= 0x10;
        unsigned long metadata = 0;
        if (subclient->getEnableMetadataBackup(metadata, nullptr) == 0 && metadata == 0) flags |= 0x8;
    }
    if (liveBrowse) flags |= 0x8;
    bool const updateRun = updateIndexOnly && updateOption;
    JZBkpLevel level;
    if (useIndexingV2)
        level = static_cast<JZBkpLevel>(GetBackupType());
    else
        level = static_cast<JZBkpLevel>(updateRun ? 1 : ((appType == kAppTypeOracle || appType == kAppTypePostgreSql) && !levelOne ? 2 : 1));
    unsigned long const connectionType = appType | (updateRun ? 0x20000000u : 0u);
    if (connection.initialize(brannoxId, appId, connectionType, level, token.c_str(), host.c_str(), second.c_str(),
                              flags) != 0) {
        EvDebug::Error(ev, kTag, "Index initialization failed");
        return -1;
    }
    EvDebug::Debug(ev, kTag, "bkpType=[%d]", static_cast<int>(level));

    run.connection = &connection;
    run.afile = &afile;
    run.mountFiles = &mountFiles;
    run.fileNameMap = fileNameMap;
    run.extras = nonStatAbleIndexFiles;
    run.ev = ev;
    run.appType = appType;
    run.statFiles = statFiles;
    run.useIndexingV2 = useIndexingV2;
    run.liveBrowse = liveBrowse;

    for (auto volume = snapInfo.volumeListBegin(); volume != snapInfo.volumeListEnd(); ++volume) {
        if (indexVolume(run, *volume) != 0) {
            run.Fail();
            return -1;
        }
    }
    if (blockLevel != 0 &&
        sendVolComponent(&connection, static_cast<int>(appType), static_cast<int>(brannoxId),
                         static_cast<int>(appId)) != 0) {
        EvDebug::Debug(ev, kTag, "Error in sending volume component to Index, failing");
        run.Fail();
        return -1;
    }
    if (indexLinksAndCopies(run) != 0) {
        run.Fail();
        return -1;
    }
    EvDebug::Debug(ev, kTag, "calling idx.backupDone(1) ");
    run.ended = true;
    int const done = connection.backupDone(1);
    if (done != 0) {
        EvDebug::Error(ev, kTag, "Index backupDone call returned with an error %d", done);
        return -1;
    }
    EvDebug::DebugLvl(ev, 2, kTag, "end function");
    return 0;
}
