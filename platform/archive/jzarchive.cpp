#include "nuvdbsnap/platform/archive/jzarchive.h"

#include "call.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <climits>
#include <ctime>

using namespace nuvarchive;
using nuvsuite::AsInt;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;
using nuvsuite::CatValue;

namespace {

// The request's third 64-bit field carries the archive-file type.
int64_t ArchiveFileTypeOf(CreateArgs_t const& args) {
    return args.archFileType;
}

}  // namespace

JZArchive::JZArchive(EvEvent* /*event*/, bool verbose, void* /*context*/) : m_verbose(verbose) {}

JZArchive::~JZArchive() = default;

int JZArchive::CreateArchiveForSnapBackup(CreateArgs_t* args, CreateRet_t* result) {
    static char const* const kCall = "JZArchive::CreateArchiveForSnapBackup";
    nuvsuite::CallFault fault;
    std::string callArgs =
        args ? FXString::Format(
                   "job=%lld app=%lld client=%lld type=%lld backup=%lld", static_cast<long long>(m_jobId),
                   static_cast<long long>(args->appId), static_cast<long long>(args->clientId),
                   static_cast<long long>(ArchiveFileTypeOf(*args)), static_cast<long long>(args->backupType))
             : FXString::Format("job=%lld", static_cast<long long>(m_jobId));
    if (!nuvsuite::EnterCall("archive", kCall, callArgs, &fault)) return setError(fault);
    if (!args || !result) return setError(kArchiveBadArgument, "no request or no result record");
    if (m_jobId <= 0) return setError(kArchiveBadArgument, "no job set on the archive client (SetJobID)");

    int64_t groupId = 0, fileId = 0;
    int64_t const now = static_cast<int64_t>(std::time(nullptr));
    Catalogue& cat = Catalogue::Instance();
    CFzError err = cat.Transaction([&]() -> CFzError {
        CFzError e = cat.Exec("INSERT OR IGNORE INTO archive_groups (app_id) VALUES (?)", {args->appId});
        if (e.IsError()) return e;
        std::vector<CatRow> rows;
        e = cat.Query("SELECT id FROM archive_groups WHERE app_id = ?", {args->appId}, &rows);
        if (e.IsError()) return e;
        if (rows.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "archive group vanished");
        groupId = AsInt(rows[0][0]);
        rows.clear();
        e = cat.Query(
            "INSERT INTO archive_files (brannox_id, group_id, job_id, type, created, flags, copy_id, app_id, "
            "client_id, backup_type, name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
            {static_cast<int64_t>(nuvsuite::kLocalBrannoxId), groupId, m_jobId, ArchiveFileTypeOf(*args), now,
             static_cast<int64_t>(args->snapArchive != 0 ? nuvarchive::kSnapshotArchiveFlag : 0),
             static_cast<int64_t>(m_copyId), args->appId, args->clientId, args->backupType,
             args->archiveName},
            &rows);
        if (e.IsError()) return e;
        if (rows.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "no id for the new archive file");
        fileId = AsInt(rows[0][0]);
        if (fileId > INT32_MAX || groupId > INT32_MAX)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EOVERFLOW, "archive ids ran past 32 bits");
        return CFzError::Success();
    });
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());

    result->brannoxId = nuvsuite::kLocalBrannoxId;
    result->archGroupId = static_cast<int32_t>(groupId);
    result->archFileId = static_cast<int32_t>(fileId);
    if (m_verbose)
        EvDebug::DebugLvl(nullptr, 2, kCall, "job %lld: archive file %lld created in group %lld",
                          static_cast<long long>(m_jobId), static_cast<long long>(fileId),
                          static_cast<long long>(groupId));
    clearError();
    return 0;
}

int JZArchive::closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t* result) {
    static char const* const kCall = "JZArchive::closeAfile";
    nuvsuite::CallFault fault;
    std::string callArgs = args ? FXString::Format("brannox=%d group=%d afile=%d", args->brannoxId,
                                                   args->archGroupId, args->archFileId)
                                : std::string();
    if (!nuvsuite::EnterCall("archive", kCall, callArgs, &fault)) return setError(fault);
    if (!args) return setError(kArchiveBadArgument, "no close request");

    int rc = 0;
    int64_t const now = static_cast<int64_t>(std::time(nullptr));
    Catalogue& cat = Catalogue::Instance();
    CFzError err = cat.Transaction([&]() -> CFzError {
        std::vector<CatRow> rows;
        CFzError e =
            cat.Query("SELECT closed FROM archive_files WHERE id = ? AND brannox_id = ? AND group_id = ?",
                      {static_cast<int64_t>(args->archFileId), static_cast<int64_t>(args->brannoxId),
                       static_cast<int64_t>(args->archGroupId)},
                      &rows);
        if (e.IsError()) return e;
        if (rows.empty()) {
            rc = setError(kArchiveNotFound,
                          FXString::Format("archive file %d:%d:%d not found", args->brannoxId,
                                           args->archGroupId, args->archFileId));
            return CFzError::Success();
        }
        if (AsInt(rows[0][0]) != 0) {
            rc = setError(kArchiveAlreadyClosed,
                          FXString::Format("archive file %d was closed before", args->archFileId));
            return CFzError::Success();
        }
        return cat.Exec("UPDATE archive_files SET closed = 1, closed_time = ?, size_bytes = ? WHERE id = ?",
                        {now, args->sizeBytes, static_cast<int64_t>(args->archFileId)});
    });
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());
    if (rc) return rc;
    if (result) result->closeTime = now;
    clearError();
    return 0;
}
