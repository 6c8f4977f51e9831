#include "nuvdbsnap/platform/archive/armgr_client.h"

#include "call.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/suite.h"

using namespace nuvarchive;
using nuvarchive::detail::SelectFiles;
using nuvsuite::CatValue;

namespace {

long long LL(int64_t v) {
    return static_cast<long long>(v);
}

}  // namespace

ArMgrClientAPI::~ArMgrClientAPI() = default;

int ArMgrClientAPI::getArchFileListForJob(GetArchFileListForJobArgsCC_t* args,
                                          std::vector<GetArchFileListForJobRetCC_t>* result) {
    nuvsuite::CallFault fault;
    std::string types;
    if (args)
        for (int t : args->archFileTypes) types += (types.empty() ? "" : ",") + std::to_string(t);
    std::string callArgs = args ? FXString::Format("brannox=%lld job=%lld types=%s", LL(args->brannoxId),
                                                   LL(args->jobId), types.c_str())
                                : "";
    if (!nuvsuite::EnterCall("archive", "ArMgrClientAPI::getArchFileListForJob", callArgs, &fault)) return setError(fault);
    if (!args || !result) return setError(kArchiveBadArgument, "no request or no result vector");

    std::string where = "job_id = ? AND brannox_id = ?";
    std::vector<CatValue> params{args->jobId, args->brannoxId};
    if (!args->archFileTypes.empty()) {
        where += " AND type IN (";
        for (size_t i = 0; i < args->archFileTypes.size(); ++i) {
            where += i ? ", ?" : "?";
            params.push_back(static_cast<int64_t>(args->archFileTypes[i]));
        }
        where += ")";
    }
    CFzError err = SelectFiles(where, params, result);
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());
    clearError();
    return 0;
}

int ArMgrClientAPI::getArchFileListForSnapshotJob(GetArchFileInfoForSnapJob_ArgsCC_t* args,
                                                  GetArchFileInfoForSnapJob_Ret_t* result) {
    nuvsuite::CallFault fault;
    std::string callArgs =
        args ? FXString::Format("brannox=%lld job=%lld", LL(args->brannoxId), LL(args->snapJobId)) : "";
    if (!nuvsuite::EnterCall("archive", "ArMgrClientAPI::getArchFileListForSnapshotJob", callArgs, &fault))
        return setError(fault);
    if (!args || !result) return setError(kArchiveBadArgument, "no request or no result record");

    std::vector<GetArchFileListForJobRetCC_t> files;
    CFzError err = SelectFiles("job_id = ? AND brannox_id = ?", {args->snapJobId, args->brannoxId}, &files);
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());
    std::string host;
    if (!files.empty()) {
        host = nuvsuite::LocalMangledHostName();
        if (host.empty()) return setError(kArchiveBadArgument, "the local host name cannot be mangled");
    }
    result->brannoxId = args->brannoxId;
    result->snapJobId = args->snapJobId;
    result->appId = files.empty() ? 0 : files.front().appId;
    result->copyId = files.empty() ? 0 : files.front().copyId;
    result->sarnelHost = host;
    result->archFiles = std::move(files);
    clearError();
    return 0;
}

int ArMgrClientAPI::getAfileInfo(GetAfileInfoArgsCC_t* args, GetAfileInfoRetCC_t* result) {
    nuvsuite::CallFault fault;
    std::string callArgs = args ? FXString::Format("brannox=%lld group=%lld afile=%lld", LL(args->brannoxId),
                                                   LL(args->archGroupId), LL(args->archFileId))
                                : "";
    if (!nuvsuite::EnterCall("archive", "ArMgrClientAPI::getAfileInfo", callArgs, &fault)) return setError(fault);
    if (!args || !result) return setError(kArchiveBadArgument, "no request or no result record");

    std::vector<nuvsuite::CatRow> rows;
    std::string sql =
        "SELECT id, group_id, brannox_id, name, job_id, app_id, created, flags, type FROM archive_files "
        "WHERE id = ? AND brannox_id = ?";
    std::vector<CatValue> params{args->archFileId, args->brannoxId};
    if (args->archGroupId != 0) {
        sql += " AND group_id = ?";
        params.push_back(args->archGroupId);
    }
    CFzError err = nuvsuite::Catalogue::Instance().Query(sql, params, &rows);
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());
    if (rows.empty())
        return setError(kArchiveNotFound, FXString::Format("archive file %lld:%lld not found",
                                                           LL(args->brannoxId), LL(args->archFileId)));
    nuvsuite::CatRow const& r = rows.front();
    result->archFileId = nuvsuite::AsInt(r[0]);
    result->archGroupId = nuvsuite::AsInt(r[1]);
    result->brannoxId = nuvsuite::AsInt(r[2]);
    result->name = nuvsuite::AsText(r[3]);
    result->sarnelHost = nuvsuite::LocalMangledHostName();
    result->jobId = nuvsuite::AsInt(r[4]);
    result->appId = nuvsuite::AsInt(r[5]);
    result->backupTime = nuvsuite::AsInt(r[6]);
    result->flags = nuvsuite::AsInt(r[7]);
    result->archFileType = nuvsuite::AsInt(r[8]);
    clearError();
    return 0;
}

int ArMgrClientAPI::getRestoreSarnel(GetRestoreSarnelInput_t* input, GetRestoreSarnelOutput_t* output) {
    nuvsuite::CallFault fault;
    std::string callArgs = input ? FXString::Format("brannox=%d afile=%d copy=%d job=%d dest=%s",
                                                    input->brannoxId, input->archFileId, input->copyId,
                                                    input->jobId, input->destClientName.c_str())
                                 : "";
    if (!nuvsuite::EnterCall("archive", "ArMgrClientAPI::getRestoreSarnel", callArgs, &fault)) return setError(fault);
    if (!input || !output) return setError(kArchiveBadArgument, "no request or no result record");

    std::vector<nuvsuite::CatRow> rows;
    CFzError err = nuvsuite::Catalogue::Instance().Query(
        "SELECT copy_id FROM archive_files WHERE id = ? AND brannox_id = ?",
        {static_cast<int64_t>(input->archFileId), static_cast<int64_t>(input->brannoxId)}, &rows);
    if (err.IsError()) return setError(kArchiveCatalogue, err.AsString());
    if (rows.empty())
        return setError(kArchiveNotFound, FXString::Format("archive file %d:%d not found", input->brannoxId,
                                                           input->archFileId));
    if (input->copyId != 0 && nuvsuite::AsInt(rows[0][0]) != input->copyId)
        return setError(kArchiveNotFound,
                        FXString::Format("archive file %d has no copy %d", input->archFileId, input->copyId));
    // The data mover is this host's client (the focus client of the suite).
    std::string host = nuvsuite::MangleHostName(nuvsuite::LocalHostName(), JZPI_Focus::getFocusClientName(true),
                                                nuvsuite::kLocalPort, nuvsuite::kLocalBrannoxId);
    if (host.empty()) return setError(kArchiveBadArgument, "the local host name cannot be mangled");
    output->sarnelHost = host;
    output->sarnelName = nuvsuite::LocalHostName();
    output->port = nuvsuite::kLocalPort;
    clearError();
    return 0;
}
