#include "nuvdbsnap/platform/snapmgr/snap_tasks.h"

#include "nuvdbsnap/platform/suite/catalogue.h"

namespace nuvsnapmgr {

CFzError GetSnapTask(unsigned long appId, int phase, SnapTask* task, bool* found) {
    *found = false;
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query(
        "SELECT program, args FROM sm_snap_tasks WHERE app_id = ? AND phase = ?",
        {static_cast<int64_t>(appId), static_cast<int64_t>(phase)}, &rows);
    if (e.IsError() || rows.empty()) return e;
    task->program = nuvsuite::AsText(rows[0][0]);
    task->args = nuvsuite::AsText(rows[0][1]);
    *found = true;
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
