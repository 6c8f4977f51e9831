// archiveIndex: writes a job's index out into the index archive files of the
// job, of type 2 and, for a job with snapshot archive records, of type 6
// (installed in the base home directory; started by the network layer).
//   archiveIndex -j JOB -a BRANNOX:APP -t TYPE [-snap] -r TIME -c 0 -appType T -silent
//                [-logsonly] [-jt TOKEN] [-snaptape -snapJID JOB]
// Exit status: 0 archived; 2 unusable arguments; 3 the archive failed; a
// fault of ("archiveIndex", "main") exits with its code.
#include "nuvdbsnap/platform/indexing/archiver.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) text += (i > 1 ? " " : "") + std::string(argv[i]);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("archiveIndex", "main", text, &fault)) {
        std::fprintf(stderr, "archiveIndex: %s\n", fault.text.c_str());
        return fault.code < 0 ? -fault.code : fault.code;
    }
    int64_t jobId = 0;
    uint32_t brannoxId = 0, appId = 0, appType = 0;
    if (!nuvindexing::ParseArchiveIndexArguments(text, &jobId, &brannoxId, &appId, &appType)) {
        std::fprintf(stderr, "archiveIndex: needs -j JOB and -a BRANNOX:APP\n");
        return 2;
    }
    std::vector<int64_t> archFileIds;
    CFzError e = nuvindexing::ArchiveJobIndex(jobId, appId, appType, &archFileIds);
    if (e.IsError()) {
        std::fprintf(stderr, "archiveIndex: %s\n", e.AsString().c_str());
        return 3;
    }
    std::string ids;
    for (int64_t id : archFileIds) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    std::printf("index of job %lld archived in archive files %s\n", (long long)jobId, ids.c_str());
    return 0;
}
