// One protected application of the application manager, identified by its
// Brannox id and application id. ApplicationId is cheap to build (it reads
// nothing); each call reads the catalogue and leads to the application's
// subclient, instance, client and backup set. The objects those calls hand out
// belong to the application manager: they stay valid until the process ends
// (also after the ApplicationId is gone) and must not be deleted. A failing
// call returns null / non-zero and leaves its reason in getLastError /
// getErrorString.
#pragma once

#include "nuvdbsnap/platform/appmgr/backupset.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/appmgr/status.h"
#include "nuvdbsnap/platform/appmgr/subclient.h"

class ApplicationId : public nuvsuite::LastErrorRecord {
public:
    ApplicationId(unsigned long brannoxId, unsigned long appId);
    virtual ~ApplicationId();

    unsigned long getBrannoxId() const { return m_brannoxId; }
    unsigned long getAppId() const { return m_appId; }

    // 0 when the application exists.
    [[nodiscard]] int lookup(void* context);
    [[nodiscard]] int getAppType(unsigned long& appType, void* context);

    // Null when the application or the object does not exist.
    Subclient* getSubclient(void* context);  // an OracleBackpack for Oracle (22, 80)
    Instance* getInstance(void* context);    // PostgreSQLInstance (125), SybaseInstance (5)
    JZClient* getClient(void* context);
    BackupSet* getBackupSet(void* context);

private:
    struct Row;
    // Journals the call, consults the fault table and reads the application row;
    // 0, or the error number (also stored in the object).
    int enter(char const* call, Row& row);

    unsigned long m_brannoxId = 0;
    unsigned long m_appId = 0;
};

// The command-line application of a client's instance.
class CommandLineSubclient {
public:
    // The lowest-id application of (Brannox id, client, application type,
    // instance), or null. The object belongs to the application manager.
    static ApplicationId* getCommandLineAppId(unsigned long brannoxId, unsigned long clientId,
                                              unsigned long appType, unsigned long instanceId,
                                              unsigned long /*unused*/, void* context);
};

namespace nuvappmgr {
// The Unix file-system backup-set application types of the local suite.
constexpr int kAppTypeUnixFs = 29;
constexpr int kAppTypeUnixFsCluster = 58;
constexpr int kAppTypeUnixFsArchiver = 89;
}  // namespace nuvappmgr

// True for the Unix file-system backup-set application types above.
bool IsUnixFsBackupSetType(int appType);

// The application type of an application (Brannox id, application id); 0 when
// the application is unknown or cannot be read. Journalled as the lookup it makes.
unsigned long GetAppType(unsigned long brannoxId, unsigned long appId);
