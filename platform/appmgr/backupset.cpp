#include "nuvdbsnap/platform/appmgr/backupset.h"

#include "call.h"
#include "nuvdbsnap/platform/base/strings.h"

using namespace nuvappmgr;
using nuvappmgr::detail::Id;
using nuvappmgr::detail::QueryOne;

BackupSet::BackupSet(unsigned long backupSetId) : m_backupSetId(backupSetId) {}

BackupSet::~BackupSet() = default;

int BackupSet::getBackupSetName(std::string& name, void* /*context*/) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", "BackupSet::getBackupSetName", FXString::Format("backupset=%lu", m_backupSetId), &fault))
        return setError(fault);
    bool found = false;
    nuvsuite::CatRow row;
    CFzError err = QueryOne("SELECT name FROM backupsets WHERE id = ?", {Id(m_backupSetId)}, &row, &found);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (!found) return setError(kAppMgrNotFound, FXString::Format("backup set %lu not found", m_backupSetId));
    name = nuvsuite::AsText(row[0]);
    clearError();
    return 0;
}
