// The remote index programs of the database snapshot utility: the index of a
// snapshot backup is archived as an index archive file of type 6.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/index/remote_programs.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing/archiver.h"

#include <ctime>

namespace {

constexpr unsigned kRemoteActionError = 774;

int SnapIndexArchiveFiles(ArchiveIndexArg const& arg, std::vector<GetArchFileListForJobRetCC_t>* rows) {
    return nuvremoteindex::ArchiveFilesOfJob(arg.brannoxId, arg.jobId, nuvindexing::kSnapIndexArchiveFileType, rows);
}

}  // namespace

CFzError NuvSnapUtilDb::runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient) {
    char const tag[] = "NuvSnapUtilDb::runArchiveIndex";
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    unsigned long const refTime = arg.useCurrentTime ? static_cast<unsigned long>(time(nullptr)) : 0;
    std::vector<GetArchFileListForJobRetCC_t> rows;
    unsigned long earlier = 0;
    if (SnapIndexArchiveFiles(arg, &rows) == 0 && !rows.empty()) earlier = static_cast<unsigned long>(rows[0].archFileId);

    EvDebug::Debug(&ev, tag, " function begin ");
    char buffer[512];
    snprintf(buffer, sizeof(buffer), "-j %lld -a %lu:%lu -t %d %s -r %lu -c 0 -appType %lu -silent",
             static_cast<long long>(arg.jobId), static_cast<unsigned long>(arg.brannoxId),
             static_cast<unsigned long>(arg.appId), arg.jobType, arg.snap ? "-snap" : "", refTime,
             static_cast<unsigned long>(arg.appType));
    std::string text = buffer;
    text += " -logsonly";
    if (!arg.jobToken.empty()) text += " -jt " + arg.jobToken;

    bool useV2 = false;
    if (shouldUseIndexingV2(arg.brannoxId, static_cast<int>(arg.appId), useV2) == 0 && useV2) {
        EvDebug::Debug(&ev, tag, "Indexing V2 sub-client - sending LogManager msg for archive Index\taction");
        CFzError e = IdxUtil::sendLogManagerMsg(arg, text, earlier, jobClient);
        if (e.IsError()) {
            EvDebug::Error(&ev, tag, "Sending message to LogManager on KV failed. ArchiveIndex failure:%s",
                           e.AsString().c_str());
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                           "Sending message to LogManager on KV failed for archive index");
        }
    } else {
        EvDebug::Debug(&ev, tag, "Invoking %s %s on sarnel %s", "archiveIndex", text.c_str(), arg.dataMover.c_str());
        int returnCode = 0;
        CFzError e = nuvremoteindex::RunProgram("archiveIndex", text, arg.dataMover,
                                                nuvremoteindex::AttachTimeOut(300), &returnCode);
        if (e.IsError()) {
            EvDebug::Error(&ev, tag, "Invoking ArchiveIndex on the sarnel failed with an error [%s]",
                           e.AsString().c_str());
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                           "Invoking ArchiveIndex on the sarnel failed with an error");
        }
        EvDebug::Debug(&ev, tag, "Got process rcode [%d] (0=success)", returnCode);
        if (returnCode != 0) {
            EvDebug::Error(&ev, tag, "ArchiveIndex failed with return code %d", returnCode);
            return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "ArchiveIndex did not complete with success");
        }
    }

    rows.clear();
    int const rc = SnapIndexArchiveFiles(arg, &rows);
    if (rc != 0) {
        EvDebug::Error(&ev, tag, "Call ArMgrClientAPI::getArchFileListForJob after archiveIndex failed with return code %d",
                       rc);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "Call ArMgrClientAPI::getArchFileListForJob failed");
    }
    if (rows.empty()) {
        EvDebug::Error(&ev, tag, "Failed to retrieve Index ArchiveFile Info from ArchiveManager");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Call ArMgrClientAPI::getArchFileListForJob returned empty vector");
    }
    if (earlier == 0 || static_cast<unsigned long>(rows[0].archFileId) != earlier)
        EvDebug::Debug(&ev, tag, "ArchiveIndex executed successfully");
    return CFzError::Success();
}

CFzError NuvSnapUtilDb::runIndexRestore(IndexRestoreArg const& arg) {
    char const tag[] = "NuvSnapUtilDb::runIndexRestore";
    EvEvent ev(static_cast<uint64_t>(arg.jobId));
    EvDebug::Debug(&ev, tag, " function begin ");
    char buffer[256];
    snprintf(buffer, sizeof(buffer), "%lld  %u %u %lu %s -silent", static_cast<long long>(arg.jobId), arg.brannoxId,
             arg.appId, 0ul, arg.snap ? "-snap" : "");
    EvDebug::DebugLvl(&ev, 1, "", "Invoking <%s %s> on sarnel <%s>", "indexRestore", buffer, arg.dataMover.c_str());
    int returnCode = 0;
    CFzError e = nuvremoteindex::RunProgram("indexRestore", buffer, arg.dataMover, nuvremoteindex::AttachTimeOut(300),
                                            &returnCode);
    if (e.IsError()) {
        EvDebug::Error(&ev, tag, "Invoking IndexRestore on the sarnel failed with an error [%s]", e.AsString().c_str());
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError,
                                       "Invoking IndexRestore on the sarnel failed with an error");
    }
    EvDebug::Debug(&ev, tag, "Got process rcode [%d] (0=success)", returnCode);
    if (returnCode != 0) {
        EvDebug::Error(&ev, tag, "IndexRestore failed with return code %d", returnCode);
        return FXErrorUtil::ErrorWin32(FZ_LOC, kRemoteActionError, "IndexRestore did not complete with success");
    }
    return CFzError::Success();
}
