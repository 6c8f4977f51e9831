// NuvSnapUtil: construction, start-up with the block-level settings, small
// accessors and the destructor's rule.
#include "nuvdbsnap/engine/nuv_snap_util.h"

#include "nuvdbsnap/engine/block_level_entry.h"
#include "nuvdbsnap/foundation/device_config.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/library.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"

#include <cerrno>
#include <memory>
#include <unistd.h>

namespace {

bool m_multiInstanceFlag = false;

char const* const kBlockLevelHookFile = "/tmp/BlockLevelSCHookForDBBackups";

}  // namespace

NuvSnapUtil::NuvSnapUtil(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType,
                         bool verbose, JZJobCtrlClient* jobControl, char* host, SpawnProcess const& spawnMode)
    : NuvSnapUtilBase(engineType, snapType, verbose, jobControl, host, spawnMode),
      m_blockLevel(false),
      m_blockLevelMetaData(false),
      m_extentSize(0),
      m_backupLevel(backupLevel),
      m_deviceConfigHandler(nullptr),
      m_application(application) {
    m_replicationType = 0;
}

NuvSnapUtil::~NuvSnapUtil() {
    static char const* const kTag = "NuvSnapUtil::~NuvSnapUtil";
    EvDebug::Debug(m_event, kTag, "Entering function");
    if (ShouldDeleteSnapOnFailure() && m_prepared) {
        EvDebug::Debug(m_event, kTag,
                       "Prepare snapshot is complete, but snap creation was not attempted or has failed. "
                       "Deleting devices created in prepare phase");
        if (deleteSnapShot(nullptr, nullptr, false) != 0) EvDebug::Error(m_event, kTag, "Delete snapshot failed");
    }
    EvDebug::Debug(m_event, kTag, "Exit");
}

CFzError NuvSnapUtil::initialize() {
    static char const* const kTag = "NuvSnapUtil::initialize";
    CFzError error = LoadBlockLevelSubClientInfo();
    if (error.IsError()) {
        EvDebug::Debug(m_event, kTag, "LoadBlockLevelSubClientInfo: %s", error.AsString().c_str());
        if (FXErrorUtil::IsErrNo(error, 95)) return CFzError::Success();
        return error.Push(FZ_LOC, "LoadBlockLevelSubClientInfo failed");
    }
    return CFzError::Success();
}

CFzError NuvSnapUtil::initialize(std::vector<std::string>& arguments) {
    static char const* const kTag = "NuvSnapUtil::initialize";
    m_arguments = arguments;
    CFzError error = LoadBlockLevelSubClientInfo(m_arguments);
    if (error.IsError()) {
        EvDebug::Debug(m_event, kTag, "LoadBlockLevelSubClientInfo: %s", error.AsString().c_str());
        if (FXErrorUtil::IsErrNo(error, 95)) return CFzError::Success();
        return error.Push(FZ_LOC, "LoadBlockLevelSubClientInfo failed");
    }
    return CFzError::Success();
}

void NuvSnapUtil::raisePendingCause(char const* text, int code, int level) {
    JZJobClient* job = getJobObject();
    // Without a job-control client (the exported door) the job is the event's.
    std::unique_ptr<JZJobClient> ownJob;
    if (job == nullptr && m_event != nullptr && m_event->getJobId() != 0) {
        ownJob.reset(new JZJobClient(m_event->getJobId()));
        job = ownJob.get();
    }
    if (job == nullptr) return;
    *job << text;
    (void)job->setPendingCauseAndEvent(code, level, 0, false, 300, false, 0, 0, 0, 0);
}

CFzError NuvSnapUtil::LoadBlockLevelSubClientInfo() {
    static char const* const kTag = "NuvSnapUtil::LoadBlockLevelSubClientInfo";
    if (m_application == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, 95, "AppID is not set, Block Level support is disabled");

    Subclient* subclient = m_application->getSubclient(nullptr);
    unsigned long option = 0;
    if (subclient != nullptr && subclient->getUseBlockLevelBackup(option, nullptr) != 0)
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Failed to check for block level backup option");

    if (option != 0 || access(kBlockLevelHookFile, F_OK) == 0) {
        m_blockLevel = true;
        unsigned long appType = 0;
        if (m_application->getAppType(appType, nullptr) == 0 && (appType == 22 || appType == 80)) {
            JZPlatformInfo settings;
            settings.setFocus(JZPI_Focus::getFocus());
            std::string value;
            if (settings.getString("OracleAgent", "sSNAP_BACKUP_DISABLE_BLOCK_TRACKING", &value) != 0 &&
                !value.empty() && (value[0] == 'Y' || value[0] == 'y')) {
                EvDebug::Debug(m_event, kTag,
                               "*** SETUP USING SNAP ONLY PROTECTION - NO BLOCK LEVEL PROCESSING FOR BLB SUB_CLIENTS");
                m_blockLevel = false;
            }
        }
    }

    unsigned long metadata = 0;
    if (subclient != nullptr && m_blockLevel) {
        if (subclient->getEnableMetadataBackup(metadata, nullptr) != 0)
            return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Failed to check for block level backup index create option");
    }
    if (metadata != 0) {
        m_blockLevelMetaData = true;
        if (GetBlockLevelZFSContent()) {
            EvDebug::Debug(m_event, kTag, "File level metadata collection is not enabled for ZFS volumes");
            m_blockLevelMetaData = false;
            auto* backupJob = dynamic_cast<JZBkpJobClient*>(getJobObject());
            if (backupJob != nullptr) {
                backupJob->turnOffMetaDataCollection();
                if (!backupJob->updateInfo(false, nullptr))
                    return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Backup job client updateInfo failed");
                raisePendingCause("File level metadata collection is not supported for ZFS volumes", 0x0600003A, 3);
            }
        }
    }

    if (m_blockLevel) {
        EvDebug::DebugLvl(m_event, 0, kTag, "This is a BLOCK LEVEL backup");
        m_extentSize = 4;
        JZPlatformInfo settings;
        settings.setFocus(JZPI_Focus::getFocus());
        unsigned long extent = 0;
        if (settings.getNumber("FileSystemAgent", "nExtentSizeForBlockFilterDriver", &extent) != 0 && extent != 0)
            m_extentSize = static_cast<int>(extent);
        EvDebug::Debug(m_event, kTag, "Will use %dMB as extent size for non JZBF volumes if supported", m_extentSize);
    }
    return CFzError::Success();
}

CFzError NuvSnapUtil::LoadBlockLevelSubClientInfo(std::vector<std::string>& arguments) {
    CFzError error = LoadBlockLevelSubClientInfo();
    if (error.IsError()) return error;
    if (!m_blockLevel) return CFzError::Success();

    JZPI_PlatformBase platform;
    char const* home = platform.getBaseHomeDirectory();
    std::string const path = CFzPath::Append(home != nullptr ? home : "", JZBLKLVL_LIBRARY_NAME).str();

    CFzLibrary library(false);  // stays loaded for the life of the process
    CFzError loadError = library.Load(path, true);
    if (loadError.IsError())
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Failed to load library <%s>:%s", path.c_str(),
                                       loadError.AsString().c_str());
    void* address = nullptr;
    CFzError symbolError = library.GetAddress(JZBLKLVL_ENTRY_NAME, address);
    if (symbolError.IsError() || address == nullptr) {
        if (!symbolError.IsError())
            symbolError = FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "%s is null", JZBLKLVL_ENTRY_NAME);
        return symbolError.Push(FZ_LOC, "GetBlockDeviceConfigHandler symbol not found");
    }
    auto factory = reinterpret_cast<GetBlockDeviceConfigHandlerFn>(address);
    m_deviceConfigHandler = factory(arguments);
    if (m_deviceConfigHandler == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, 12, "Failed to instantiate DeviceConfigHandler");
    CFzError writeError = m_deviceConfigHandler->Write(m_blockLevelMetaData, true);
    if (writeError.IsError()) return writeError.Push(FZ_LOC, "BlockDeviceConfigHandler Write failed");
    return CFzError::Success();
}

bool NuvSnapUtil::GetFullRanInCurrCycle() const { return m_jobState->fullRanInCurrCycle != 0; }

bool NuvSnapUtil::GetBlockLevelZFSContent() const { return m_jobState->zfsContent != 0; }

bool NuvSnapUtil::getMultiInstanceFlag() {
    EvEvent event;
    EvDebug::DebugLvl(&event, 10, "NuvSnapUtil::getMultiInstanceFlag", "return m_multiInstanceFlag %d",
                      m_multiInstanceFlag ? 1 : 0);
    return m_multiInstanceFlag;
}

void NuvSnapUtil::setMultiInstanceFlag(void* /*unused*/) {
    m_multiInstanceFlag = true;
    EvEvent event;
    EvDebug::DebugLvl(&event, 10, "NuvSnapUtil::setMultiInstanceFlag", "m_multiInstanceFlag is true now");
}

void NuvSnapUtil::setSkipDeleteSnapFlag() { m_jobState->skipDelete = 1; }

bool NuvSnapUtil::ShouldDeleteSnapOnFailure() {
    int const appType = m_snapShotInfo.getAppTypeId();
    bool const db2 = appType == 37 || appType == 62 || appType == 103;
    return db2 && (m_engineType == 20 || m_engineType == 21);
}
