// Runs whose feed was killed: an open run whose feeding process is gone never
// turns visible, so its entries only take room. The sweep fails such a run and
// removes its entries and their metadata.
#include "nuvdbsnap/platform/indexing/index_store.h"

#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <ctime>
#include <unistd.h>

namespace nuvindexing {

using nuvsuite::AsInt;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

CFzError SweepAbandonedRuns(int* swept) {
    if (swept) *swept = 0;
    Catalogue& cat = Catalogue::Instance();
    std::vector<CatRow> rows;
    CFzError e = cat.Query("SELECT id, pid FROM idx_runs WHERE status = 'open' AND pid != ?", {int64_t(::getpid())},
                           &rows);
    if (e.IsError()) return e;
    for (CatRow const& r : rows) {
        int64_t const run = AsInt(r[0]);
        int64_t const pid = AsInt(r[1]);
        if (JzProcess::IsAlive(static_cast<int>(pid))) continue;  // still feeding (or cannot be told)
        bool claimed = false;
        // Claimed by one sweep only: the run leaves 'open' in the transaction that empties it.
        e = cat.Transaction([&]() -> CFzError {
            std::vector<CatRow> taken;
            CFzError err = cat.Query(
                "UPDATE idx_runs SET status = 'failed', ended = ?, entries = 0"
                " WHERE id = ? AND status = 'open' AND pid = ? RETURNING id",
                {int64_t(time(nullptr)), run, pid}, &taken);
            if (err.IsError() || taken.empty()) return err;
            err = cat.Exec("DELETE FROM idx_metadata WHERE entry_id IN (SELECT id FROM idx_entries WHERE run_id = ?)",
                           {run});
            if (!err.IsError()) err = cat.Exec("DELETE FROM idx_entries WHERE run_id = ?", {run});
            claimed = !err.IsError();
            return err;
        });
        if (e.IsError()) return e;
        if (claimed && swept) ++*swept;
    }
    return CFzError::Success();
}

}  // namespace nuvindexing
