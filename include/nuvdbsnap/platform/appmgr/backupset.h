// Backup sets of the application manager: a handle on one backup-set row.
#pragma once

#include "nuvdbsnap/platform/appmgr/status.h"

#include <string>

class BackupSet : public nuvsuite::LastErrorRecord {
public:
    explicit BackupSet(unsigned long backupSetId);
    virtual ~BackupSet();

    unsigned long getBackupSetId() const { return m_backupSetId; }
    [[nodiscard]] int getBackupSetName(std::string& name, void* context);

private:
    unsigned long m_backupSetId = 0;
};
