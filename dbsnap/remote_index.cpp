// The remote index programs of the database snapshot utility: the road of the
// index client with its own argument text, time-out floor and log lines, and
// index archive files of type 6.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/index/remote_programs.h"
#include "nuvdbsnap/platform/base/log.h"

#include <ctime>

CFzError NuvSnapUtilDb::runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient) {
    unsigned long const refTime = arg.useCurrentTime ? static_cast<unsigned long>(time(nullptr)) : 0;
    char buffer[512];
    snprintf(buffer, sizeof(buffer), "-j %lld -a %lu:%lu -t %d %s -r %lu -c 0 -appType %lu -silent",
             static_cast<long long>(arg.jobId), static_cast<unsigned long>(arg.brannoxId),
             static_cast<unsigned long>(arg.appId), arg.jobType, arg.snap ? "-snap" : "", refTime,
             static_cast<unsigned long>(arg.appType));
    std::string text = buffer;
    text += " -logsonly";
    if (!arg.jobToken.empty()) text += " -jt " + arg.jobToken;
    nuvremoteindex::ArchiveIndexRoad const road{
        "NuvSnapUtilDb::runArchiveIndex", nuvremoteindex::kSnapIndexArchiveType, 300, " function begin ",
        "Indexing V2 sub-client - sending LogManager msg for archive Index\taction",
        "Failed to retrieve Index ArchiveFile Info from ArchiveManager"};
    CFzError e = nuvremoteindex::RunArchiveIndex(arg, jobClient, text, road);
    return e.IsError() ? e.Push(FZ_LOC) : e;
}

CFzError NuvSnapUtilDb::runIndexRestore(IndexRestoreArg const& arg) {
    nuvremoteindex::IndexRestoreRoad const road{"NuvSnapUtilDb::runIndexRestore", " function begin ", 1, ""};
    CFzError e = nuvremoteindex::RunIndexRestore(arg, road);
    return e.IsError() ? e.Push(FZ_LOC) : e;
}
