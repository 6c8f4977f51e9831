// The snap-backup job driver: construction, option parsing, registration with
// the job manager, the run of the phases and the final report.
#include "nuvdbsnap/dbsnap/db_snap_backup.h"

#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>

namespace {

// Leading decimal digits of text as an unsigned number no larger than max;
// trailing text is tolerated. 0 when there are no digits or the value does not fit.
uint64_t ParseId(char const* text, uint64_t max) {
    if (text == nullptr || *text < '0' || *text > '9') return 0;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno == ERANGE || value > max) return 0;
    return static_cast<uint64_t>(value);
}

}  // namespace

DBSnapBackup::DBSnapBackup(int const& appType, int const& archiveFileType)
    : m_appType(appType),
      m_archiveFileType(archiveFileType),
      m_jobCtrlClient(new JZJobCtrlClient(0)),
      m_jobObject(new JZBkpJobClient()) {}

DBSnapBackup::~DBSnapBackup() {
    delete m_nuvSnapUtilDb;
    m_nuvSnapUtilDb = nullptr;
    delete m_bkArgs;
    m_bkArgs = nullptr;
    if (m_ownsJobClients) {
        delete m_jobCtrlClient;
        m_jobCtrlClient = nullptr;
        delete m_jobObject;
        m_jobObject = nullptr;
    }
    delete m_applicationId;
    m_applicationId = nullptr;
}

void DBSnapBackup::raisePendingCause(int cause, char const* text) {
    if (m_jobObject == nullptr) return;
    *m_jobObject << text;
    (void)m_jobObject->setPendingCauseAndEvent(cause, 9, 0, false, 300, false, 0, 0, 0, 0);
}

int DBSnapBackup::Initialize(int const& argc, char** argv, JZBkpJobClient* jobClient, JZJobCtrlClient* jobControl) {
    static char const* const kTag = "DBSnapBackup::Initialize";
    m_argc = argc;
    m_argv = argv;
    delete m_bkArgs;
    m_bkArgs = new (std::nothrow) DBSnapBackupArgs_t();
    if (m_bkArgs == nullptr) {
        EvDebug::Debug(&m_ev, kTag, "could not allocate memory for new DBSnapBackupArgs_t");
        return -1;
    }
    m_snapRefTime = std::time(nullptr);

    bool const handedIn = jobClient != nullptr && jobControl != nullptr;
    if (handedIn) {
        if (m_ownsJobClients) {
            delete m_jobCtrlClient;
            delete m_jobObject;
        }
        m_jobCtrlClient = jobControl;
        m_jobObject = jobClient;
        m_registeredWithJM = true;
        m_ownsJobClients = false;
    }

    if (ParseArgs() < 0) {
        EvDebug::Debug(&m_ev, kTag, "cannot parse the argument list for snap backup");
        return -1;
    }
    (void)shouldUseIndexingV2(m_bkArgs->brannoxId, static_cast<int>(m_bkArgs->appId), m_useIndexingV2);
    m_ev.setJobId(static_cast<uint64_t>(m_bkArgs->jobId));

    if (!handedIn && InitJM() != 0) {
        EvDebug::Debug(&m_ev, kTag, "cannot initialize Job Client and Job Control objects");
        return -1;
    }
    if (setPhaseParams() != 0) {
        EvDebug::Debug(&m_ev, kTag, "cannot update JM phase params. Intialize failed.");
        raisePendingCause(0x070000ce, "Could not update JM phase params.");
        return -1;
    }
    if (m_jobCtrlClient->checkQuitFlag() != 0) {
        EvDebug::Debug(&m_ev, kTag, "Quit Flag set. Exiting...");
        return -1;
    }

    delete m_applicationId;
    m_applicationId = new (std::nothrow) ApplicationId(m_bkArgs->brannoxId, m_bkArgs->appId);
    if (m_applicationId == nullptr) {
        EvDebug::Debug(&m_ev, kTag, "cannot construct ApplicationId with %u %lu parameters.", m_bkArgs->brannoxId,
                       static_cast<unsigned long>(m_bkArgs->appId));
        raisePendingCause(0x070000ce, "Could not create ApplicationId object.");
        return -1;
    }
    Instance* instance = m_applicationId->getInstance(nullptr);
    if (instance == nullptr) {
        EvDebug::Debug(&m_ev, kTag,
                       "Could not get Instance object. ApplicationId::getInstance() returned NULL. "
                       "uvid:appId=[%u:%lu]",
                       m_bkArgs->brannoxId, static_cast<unsigned long>(m_bkArgs->appId));
        raisePendingCause(0x070000ce, "Could not Instance object using ApplicationId::getInstance()");
        return -1;
    }
    m_instanceId = instance->getInstanceId();
    EvDebug::DebugLvl(&m_ev, 6, kTag, "instanceId = [%lu]", static_cast<unsigned long>(m_instanceId));

    if (m_engineType == 0) {
        Subclient* subclient = m_applicationId->getSubclient(nullptr);
        if (subclient == nullptr || subclient->getSnapEngine(m_engineType, nullptr) != 0) {
            EvDebug::Debug(&m_ev, kTag, "m_failed to get the engine type from JM.");
            raisePendingCause(0x070000ce, "Could not obtain snap engine type");
            return -1;
        }
    }
    EvDebug::Debug(&m_ev, kTag, "EngineType %lu", m_engineType);

    JZClient* client = m_applicationId->getClient(nullptr);
    if (client == nullptr) {
        EvDebug::Debug(&m_ev, kTag, "ApplicationId::getClient() returned NULL");
        raisePendingCause(0x070000ce, "Could not obtain Client details from Kelvane");
        return -1;
    }
    unsigned long clientId = 0;
    if (client->getClientId(clientId, nullptr) != 0) {
        EvDebug::Debug(&m_ev, kTag, "JZClient::getClientId() failed.");
        raisePendingCause(0x070000ce, "Could not obtain ClientId details from Kelvane");
        return -1;
    }
    m_bkArgs->clientId = clientId;
    EvDebug::Debug(&m_ev, kTag, "Got ClientId = %lu", clientId);

    m_verbose = EvDebug::getDebugLevel() > 1;
    return 0;
}

int DBSnapBackup::ParseArgs() {
    static char const* const kTag = "DBSnapBackup::ParseArgs";
    for (int i = 1; i < m_argc; ++i) {
        char const* token = m_argv[i];
        if (token == nullptr) continue;
        bool const hasValue = i + 1 < m_argc && m_argv[i + 1] != nullptr;
        char const* value = hasValue ? m_argv[i + 1] : nullptr;
        if (std::strcmp(token, "-j") == 0) {
            if (!hasValue) {
                EvDebug::Debug(&m_ev, kTag, "-j should get a jobId value");
                return -1;
            }
            m_bkArgs->jobId = std::atol(value);
        } else if (std::strcmp(token, "-a") == 0) {
            if (!hasValue) {
                EvDebug::Debug(&m_ev, kTag, "-a  should get valid brannoxId:AppId pair");
                return -1;
            }
            EvDebug::Debug(&m_ev, kTag, "-a args = [%s]", value);
            std::string const text(value);  // a private copy: split without touching argv
            size_t const start = text.find_first_not_of(':');
            if (start != std::string::npos) {
                size_t const colon = text.find(':', start);
                std::string const first = text.substr(start, colon == std::string::npos ? std::string::npos
                                                                                         : colon - start);
                m_bkArgs->brannoxId =
                    static_cast<uint32_t>(ParseId(first.c_str(), std::numeric_limits<uint32_t>::max()));
                if (colon != std::string::npos && colon + 1 < text.size())
                    m_bkArgs->appId = ParseId(text.c_str() + colon + 1, std::numeric_limits<uint64_t>::max());
            }
            EvDebug::Debug(&m_ev, kTag, "m_bkArgs->brannoxId = [%u] m_bkArgs->appId = [%lu]", m_bkArgs->brannoxId,
                           static_cast<unsigned long>(m_bkArgs->appId));
            if (m_bkArgs->brannoxId == 0 || m_bkArgs->appId == 0) {
                EvDebug::Debug(&m_ev, kTag, " the program not received valid brannoxId and appId values.");
                return -1;
            }
        } else if (std::strcmp(token, "-t") == 0) {
            if (!hasValue) {
                EvDebug::Debug(&m_ev, kTag, "-t should get a job type value");
                return -1;
            }
            m_bkArgs->jobType = std::atoi(value);
        } else if (std::strcmp(token, "-jt") == 0) {
            // A token that does not fit the field with its NUL is refused, never cut.
            if (!hasValue || std::strlen(value) >= sizeof m_bkArgs->jobToken) {
                EvDebug::Debug(&m_ev, kTag, "-jt should get a  valud job token ");
                return -1;
            }
            std::memcpy(m_bkArgs->jobToken, value, std::strlen(value) + 1);
        } else if (std::strcmp(token, "-d") == 0) {
            if (!hasValue) {
                EvDebug::Debug(&m_ev, kTag, "-d should get a  valud KK details");
                return -1;
            }
            m_bkArgs->dataMover = value;
        } else if (std::strcmp(token, "-idxkk") == 0) {
            if (!hasValue) {
                EvDebug::Debug(&m_ev, kTag, "-idxkk should get a  valid KK details");
                return -1;
            }
            m_bkArgs->indexDataMover = value;
        } else {
            continue;  // another token: skipped alone
        }
        ++i;  // the value
    }
    return 0;
}

int DBSnapBackup::InitJM() {
    static char const* const kTag = "DBSnapBackup::InitJM";
    JZPI_CommClient comm;
    comm.setFocus(JZPI_Focus::getFocus());
    char const* server = comm.invalidJZPlatform() ? nullptr : comm.getKelvanerHostName();
    if (server == nullptr || *server == '\0') {
        EvDebug::Debug(&m_ev, kTag, "Error obtaining Kelvaner name.");
        (void)m_ev.CriticalEvent(0x4800000a, 0, 0);
        return -1;
    }
    std::string const serverName(server);
    EvDebug::DebugLvl(&m_ev, 6, kTag, "KelvanerName=%s", serverName.c_str());
    EvDebug::Debug(&m_ev, kTag, "Initalizing with JM...");
    EvDebug::Debug(&m_ev, kTag, "JOBID [%lld] , JOBTOKEN [%s]", static_cast<long long>(m_bkArgs->jobId),
                   m_bkArgs->jobToken);
    if (!m_jobObject->init(serverName.c_str(), m_bkArgs->jobId, 0, 4, true, m_bkArgs->jobToken)) {
        EvDebug::Debug(&m_ev, kTag, "Could not initialize job object.");
        (void)m_ev.CriticalEvent(0x06000005, 0, 0);
        return -1;
    }
    if (!m_jobCtrlClient->Init2(m_bkArgs->jobId, serverName.c_str(), 1, 4, m_bkArgs->jobToken, nullptr)) {
        EvDebug::Debug(&m_ev, kTag, "Could not register with JM");
        (void)m_ev.CriticalEvent(0x06000006, 0, 0);
        return -1;
    }
    EvDebug::Debug(&m_ev, kTag, "Registered with Job Manager.");
    m_registeredWithJM = true;
    return 0;
}

int DBSnapBackup::setPhaseParams() {
    static char const* const kTag = "DBSnapBackup::setPhaseParams";
    char text[128];
    std::snprintf(text, sizeof text, "  -r %lld  --snapRefTime %lld", static_cast<long long>(m_snapRefTime),
                  static_cast<long long>(m_snapRefTime));
    EvDebug::Debug(&m_ev, kTag, " phaseParams = [%s]", text);
    if (!m_jobObject->concatPhaseParams(text, 3)) {
        EvDebug::Debug(&m_ev, kTag, "m_jobObject.concatePhaseParams() failed");
        return -1;
    }
    if (!m_jobObject->updateInfo(false, nullptr)) {
        EvDebug::Debug(&m_ev, kTag, "Error in updateInf() of phaseParams");
        return -1;
    }
    return 0;
}

int DBSnapBackup::RunSnapBackup() {
    static char const* const kTag = "DBSnapBackup::RunSnapBackup";
    EvDebug::Debug(&m_ev, kTag, "DB Snap Backup challege received ...");
    struct Phase {
        int (DBSnapBackup::*run)();
        char const* failure;
    };
    static Phase const kPhases[] = {
        {&DBSnapBackup::FindDataPaths, "SnapBackup failed at find data paths for the database server"},
        {static_cast<int (DBSnapBackup::*)()>(&DBSnapBackup::PrepareSnap), "SnapBackup failed at PrepareSnap"},
        {&DBSnapBackup::Snap, "SnapBackup failed at Snap shot prepartion/creation stage"},
        {&DBSnapBackup::PrepareIndex, "Snap Backup failed at preparing index"},
        {static_cast<int (DBSnapBackup::*)()>(&DBSnapBackup::CreateIndex), "SnapBackup failed at CreateIndex on KK"},
        {&DBSnapBackup::SendIndexMetaData, "SnapBackup failed at Updating Index MetaData"},
    };
    for (Phase const& phase : kPhases) {
        if ((this->*phase.run)() != 0) {
            EvDebug::Debug(&m_ev, kTag, "%s", phase.failure);
            m_failed = true;
            break;
        }
    }
    return m_failed ? 1 : 0;
}

int DBSnapBackup::ExitHere(int const& result) {
    static char const* const kTag = "DBSnapBackup::ExitHere";
    if (!m_registeredWithJM) {
        EvDebug::Debug(&m_ev, kTag, "not registered with JM yet. exiting without a notification to JM");
        return -1;
    }
    if (m_jobCtrlClient->checkQuitFlag() != 0) {
        EvDebug::Debug(&m_ev, kTag, "Quit Flag set. Exiting...");
        return -1;
    }
    if (result == 0) {
        EvDebug::Debug(&m_ev, kTag, "notifying Job Manager about JMSUCCESS ");
        if (!m_jobObject->complete(1, 1, 0, 0)) {
            EvDebug::Debug(&m_ev, kTag, "Failure while notifying JM about Job SUCCESS");
            (void)m_ev.MajorEvent(0x0600000c, 0, 0);
            return -1;
        }
    } else {
        EvDebug::Debug(&m_ev, kTag, "notifying Job Manager about FAILURE");
        if (!m_jobObject->complete(2, 1, 0, 0)) {
            EvDebug::Debug(&m_ev, kTag, "Failure while notifying JM about Job FAILURE");
            (void)m_ev.MajorEvent(0x0600000c, 0, 0);
            return -1;
        }
    }
    return 0;
}

int DBSnapBackup::Cleanup() {
    static char const* const kTag = "DBSnapBackup::Cleanup";
    if (m_engineType != kEngineVsa || UseAppAwareSnapForIndexing() != 0) return 0;
    int const rc = RunVSAAppWareSnapsOperation(true);
    if (rc != 0) EvDebug::Error(&m_ev, kTag, "Unable to cleanup native snaps. Ignoring the error.");
    return rc;
}

int DBSnapBackup::FetchDBList() { return 0; }
int DBSnapBackup::CreateSnapEntityList() { return 0; }
int DBSnapBackup::SendIndexMetaData() { return 0; }
