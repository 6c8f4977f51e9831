// The prepare and snap phases of the job driver and the error callback of the
// snapshot operations.
#include "nuvdbsnap/dbsnap/db_snap_backup.h"

#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"

#include <cstdio>
#include <new>

int DBSnapBackup::PrepareSnap() {
    static char const* const kTag = "DBSnapBackup::PrepareSnap";
    delete m_nuvSnapUtilDb;
    m_nuvSnapUtilDb = new (std::nothrow)
        NuvSnapUtilDb(static_cast<int>(m_engineType), static_cast<JZBkpLevel>(m_bkArgs->jobType), m_applicationId, 1,
                      m_verbose, m_jobCtrlClient, nullptr, SPAWN_IN_PROCESS);
    if (m_nuvSnapUtilDb == nullptr) {
        EvDebug::Debug(&m_ev, kTag, "new NuvSnapUtilDb() returned NULL");
        char text[128];
        std::snprintf(text, sizeof text, "Insufficient memory,attempted to allocate [%lld] bytes",
                      static_cast<long long>(sizeof(NuvSnapUtilDb)));
        raisePendingCause(0x070000ca, text);
        return -1;
    }
    return PrepareSnap(m_nuvSnapUtilDb, m_dataPaths);
}

int DBSnapBackup::PrepareSnap(NuvSnapUtilDb* utility, std::list<std::string>& mountPoints) {
    static char const* const kTag = "DBSnapBackup::PrepareSnap";
    std::vector<std::string> arguments;
    for (int i = 1; i < m_argc; ++i) {
        char const* argument = m_argv[i] != nullptr ? m_argv[i] : "";
        EvDebug::Debug(&m_ev, kTag, "   %d: '%s'", i, argument);
        arguments.push_back(argument);
    }
    utility->setBrannoxId(static_cast<int>(m_bkArgs->brannoxId));
    utility->setClientId(static_cast<int>(m_bkArgs->clientId));
    CFzError error = utility->initialize(arguments);
    if (error.IsError())
        EvDebug::Debug(&m_ev, kTag, "failed to Initialize SnapUtil, error=[%s]", error.AsString().c_str());

    for (std::string const& path : mountPoints) {
        EvDebug::DebugLvl(&m_ev, 6, kTag, "Adding path [%s]", path.c_str());
        bool const added = m_appType == kAppTypeMySql ? utility->addMountPointByDirectory(path.c_str(), nullptr)
                                            : utility->addMountPoint(path.c_str(), nullptr);
        if (!added) {
            EvDebug::Debug(&m_ev, kTag, "addMountPoint() failed while adding %s", path.c_str());
            raisePendingCause(0x070000ca, "Failure populating mountpoints to snap manager utility");
            return -1;
        }
    }

    JZArchive archive(nullptr, true, nullptr);
    archive.SetJobID(m_bkArgs->jobId);
    CreateArgs_t request;
    request.backupType = m_bkArgs->jobType;
    request.archFileType = m_archiveFileType;
    request.appId = static_cast<int64_t>(m_bkArgs->appId);
    request.clientId = static_cast<int64_t>(m_appType == kAppTypePostgreSql && m_bkArgs->overrideClientId != 0
                                                ? m_bkArgs->overrideClientId
                                                : m_bkArgs->clientId);
    request.appType = m_appType;
    request.instanceId = static_cast<int64_t>(m_instanceId);

    if (m_jobCtrlClient->checkQuitFlag() != 0) {
        EvDebug::Debug(&m_ev, kTag, "Quit Flag set. Exiting...");
        return -1;
    }
    EvDebug::DebugLvl(&m_ev, 6, kTag, "going to create Snap Archive File");
    if (utility->createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0) {
        EvDebug::Debug(&m_ev, kTag, "m_failed to create SnapArchive file.");
        raisePendingCause(0x070000ca, "Failure in creating snap archive file");
        return -1;
    }
    EvDebug::Debug(&m_ev, kTag, "created Snap Archive Files successfully.");

    if (m_engineType == kEngineLrep) {
        SMVolSnapInfo& record = utility->getSnapShotInfo();
        for (auto volume = record.volumeListBegin(); volume != record.volumeListEnd(); ++volume)
            volume->setVolumeFlags(volume->getVolumeFlags() | 0x4);
    }

    int const rc = utility->prepareSnapShot(&DBSnapBackup::errorHandler, this, m_failed);
    if (rc != 0 || m_failed) {
        EvDebug::Debug(&m_ev, kTag, "prepareSnapShot failed with error %d", rc);
        raisePendingCause(0x070000ca, "Snap manager utility prepare snapshot failed");
        return -1;
    }
    return 0;
}

void DBSnapBackup::errorHandler(void* context, int const& errorType, char const* mountPoint, int const& errorCode,
                                char const* errorText) {
    static char const* const kTag = "DBSnapBackup::errorHandler";
    auto* driver = static_cast<DBSnapBackup*>(context);
    if (driver == nullptr) return;
    driver->m_failed = true;
    char const* text = errorText != nullptr ? errorText : "";
    EvDebug::Debug(&driver->m_ev, kTag, "Snap function failed with errorType %d for mountPoint %s", errorType,
                   mountPoint != nullptr ? mountPoint : "");
    EvDebug::Debug(&driver->m_ev, kTag, " the error details[%d:%s]", errorCode, text);
    if (errorType == -1) driver->raisePendingCause(0x070000cb, text);
}

int DBSnapBackup::Snap() {
    static char const* const kTag = "DBSnapBackup::Snap";
    static char const* const kUnquiesceFailed =
        "UnQuiesceDB failed. Automatic UnQuiesce would happen when this program exits";
    if (m_jobCtrlClient->checkQuitFlag() != 0) {
        EvDebug::Debug(&m_ev, kTag, "Quit Flag set. Exiting...");
        return -1;
    }
    int rc = m_nuvSnapUtilDb->runPrePostSnapTask(m_bkArgs->appId, 1, 0, 1);
    if (rc != 0) {
        EvDebug::Debug(&m_ev, kTag, "runPrePostSnapTask for appId %lu failed with error %d",
                       static_cast<unsigned long>(m_bkArgs->appId), rc);
        raisePendingCause(0x070000cb, "PreSnap task failed");
        return -1;
    }
    EvDebug::DebugLvl(&m_ev, 2, kTag, "Calling preCreateSnapShot()");
    if (m_nuvSnapUtilDb->preCreateSnapShot(&DBSnapBackup::errorHandler, this, false, nullptr) != 0) {
        EvDebug::Debug(&m_ev, kTag, "PreCreateSnapShot() failed.");
        return -1;
    }
    EvDebug::Debug(&m_ev, kTag, "Quiescing database server");
    if (QuiesceDB() != 0) {
        EvDebug::Debug(&m_ev, kTag, "QuiesceDB failed.");
        return -1;
    }
    if (CreateSnapEntityList() != 0) {
        EvDebug::Debug(&m_ev, kTag, "SnapBackup failed at CreateSnapEntityList");
        raisePendingCause(0x070000cb, "creation of snap entity list failed");
        if (UnQuiesceDB() != 0) EvDebug::Debug(&m_ev, kTag, "%s", kUnquiesceFailed);
        return -1;
    }
    if (FetchDBList() != 0) {
        EvDebug::Debug(&m_ev, kTag, "cannot find the database list from server.will UnQuiesce and exit");
        if (UnQuiesceDB() != 0) EvDebug::Debug(&m_ev, kTag, "%s", kUnquiesceFailed);
        return -1;
    }
    if (CreateSnapShot() != 0) {
        EvDebug::Debug(&m_ev, kTag, "CreateSnapShot module failed.");
        return -1;
    }
    EvDebug::Debug(&m_ev, kTag, "UnQuiescing database server");
    if (UnQuiesceDB() != 0) EvDebug::Debug(&m_ev, kTag, "%s", kUnquiesceFailed);
    if (PostCreateSnapShot() != 0) {
        EvDebug::Debug(&m_ev, kTag, "PostCreateSnapShot module failed.");
        return -1;
    }
    rc = m_nuvSnapUtilDb->runPrePostSnapTask(m_bkArgs->appId, 2, 0, 1);
    if (rc != 0) {
        EvDebug::Debug(&m_ev, kTag, "PostSnapTask for appId %lu failed with error %d",
                       static_cast<unsigned long>(m_bkArgs->appId), rc);
        raisePendingCause(0x070000cb, " PostSnap task failed");
    }
    EvDebug::Debug(&m_ev, kTag, "SnapShot creation successful.");
    return 0;
}

int DBSnapBackup::CreateSnapShot() { return CreateSnapShot(m_nuvSnapUtilDb); }

int DBSnapBackup::CreateSnapShot(NuvSnapUtilDb* utility) {
    static char const* const kTag = "DBSnapBackup::CreateSnapShot";
    if (utility->createSnapShot(&DBSnapBackup::errorHandler, this, false, nullptr) != 0) {
        EvDebug::Debug(&m_ev, kTag, "SnapShot creation failed.will UnQuiesce and exit");
        raisePendingCause(0x070000cb, " snap shot creation failed");
        if (UnQuiesceDB() != 0)
            EvDebug::Debug(&m_ev, kTag, "UnQuiesceDB failed. Automatic UnQuiesce would happen when this program exits");
        return -1;
    }
    return 0;
}

int DBSnapBackup::PostCreateSnapShot() { return PostCreateSnapShot(m_nuvSnapUtilDb); }

int DBSnapBackup::PostCreateSnapShot(NuvSnapUtilDb* utility) {
    static char const* const kTag = "DBSnapBackup::PostCreateSnapShot";
    EvDebug::DebugLvl(&m_ev, 2, kTag, "Calling postCreateSnapShot()");
    if (utility->postCreateSnapShot(&DBSnapBackup::errorHandler, this, false, nullptr) != 0) {
        EvDebug::Debug(&m_ev, kTag, "PostCreateSnapShot() failed.");
        return -1;
    }
    if (m_engineType == kEngineVsa && (m_appType == kAppTypeMySql || m_appType == kAppTypePostgreSql)) {
        if (RunVSAAppWareSnapsOperation(false) != 0) {
            EvDebug::Debug(&m_ev, kTag, "RunLREPOperations failed");
            return -1;
        }
    }
    return 0;
}
