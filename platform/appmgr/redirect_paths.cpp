// The agent request client over the local central server: the redirect
// paths of restore jobs, kept in rst_redirect_paths.
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

namespace {

nuvsuite::SchemaPart s_schema{"appmgr.redirect", 1, R"SQL(
CREATE TABLE IF NOT EXISTS rst_redirect_paths (
    job_id      INTEGER NOT NULL,
    seq         INTEGER NOT NULL,
    source      TEXT NOT NULL DEFAULT '',
    dest        TEXT NOT NULL DEFAULT '',
    path_type   INTEGER NOT NULL DEFAULT 0,
    result_type INTEGER NOT NULL DEFAULT -1,
    error_code  INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (job_id, seq)
);
)SQL"};

nuvsuite::AdminTable s_redirects{"rstredirect", "rst_redirect_paths", true, "job_id, seq"};

}  // namespace

int NuvBackup::getOracleDB2RedirectRestorePaths(uint32_t appType, long long jobId, Nuv::OracleDB2DatabasePaths& list,
                                                long long snapJobId) {
    if (!nuvsuite::EnterCall("appmgr", "NuvBackup::getOracleDB2RedirectRestorePaths",
                             "app=" + std::to_string(appType) + " job=" + std::to_string(jobId) +
                                 " snapjob=" + std::to_string(snapJobId)))
        return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT source, dest, path_type, result_type, error_code FROM rst_redirect_paths "
                   "WHERE job_id = ? ORDER BY seq",
                   {int64_t(jobId)}, &rows)
            .IsError())
        return -1;
    std::vector<Nuv::OracleDB2DatafilePath> entries;
    for (CatRow const& r : rows) {
        if (AsInt(r[4]) != 0) {
            list.setint64(nuvredirect::kErrorCode, nuvredirect::kErrorCode, AsInt(r[4]));
            return 0;
        }
        Nuv::OracleDB2DatafilePath e;
        e.setstring(nuvredirect::kSourcePath, nuvredirect::kSourcePath, AsText(r[0]));
        e.setstring(nuvredirect::kDestPath, nuvredirect::kDestPath, AsText(r[1]));
        e.setint64(nuvredirect::kPathType, nuvredirect::kPathType, AsInt(r[2]));
        if (AsInt(r[3]) >= 0) e.setint64(nuvredirect::kResultType, nuvredirect::kResultType, AsInt(r[3]));
        entries.push_back(e);
    }
    if (!entries.empty()) list.setlistobject(nuvredirect::kEntries, nuvredirect::kEntries, entries);
    return 0;
}

namespace nuvrequest {

bool AddRedirectPath(long long jobId, std::string const& source, std::string const& dest, int64_t pathType,
                     int64_t resultType, int64_t errorCode) {
    Catalogue& cat = Catalogue::Instance();
    CFzError e = cat.Exec(
        "INSERT INTO rst_redirect_paths(job_id, seq, source, dest, path_type, result_type, error_code) "
        "VALUES(?, (SELECT COALESCE(MAX(seq), 0) + 1 FROM rst_redirect_paths WHERE job_id = ?), ?, ?, ?, ?, ?)",
        {int64_t(jobId), int64_t(jobId), source, dest, pathType, resultType, errorCode});
    return !e.IsError();
}

}  // namespace nuvrequest
