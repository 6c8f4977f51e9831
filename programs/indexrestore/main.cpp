// indexRestore: brings a job's archived index back (installed in the base
// home directory; started by the network layer). The local index keeps every
// job's entries, so the restore checks that the job's index was archived.
//   indexRestore JOB BRANNOX APP 0 [-snap] -silent
// Exit status: 0 restored; 2 unusable arguments; 4 the job has no index
// archive file; a fault of ("indexRestore", "main") exits with its code.
#include "nuvdbsnap/platform/indexing/archiver.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) text += (i > 1 ? " " : "") + std::string(argv[i]);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("indexRestore", "main", text, &fault)) {
        std::fprintf(stderr, "indexRestore: %s\n", fault.text.c_str());
        return fault.code < 0 ? -fault.code : fault.code;
    }
    if (argc < 4) {
        std::fprintf(stderr, "indexRestore: needs JOB BRANNOX APP\n");
        return 2;
    }
    char* end1 = nullptr;
    char* end2 = nullptr;
    long long jobId = std::strtoll(argv[1], &end1, 10);
    unsigned long brannoxId = std::strtoul(argv[2], &end2, 10);
    if (*end1 != '\0' || *end2 != '\0' || jobId <= 0) {
        std::fprintf(stderr, "indexRestore: unusable job [%s] or Brannox id [%s]\n", argv[1], argv[2]);
        return 2;
    }
    if (!nuvindexing::HasIndexArchive(jobId, static_cast<uint32_t>(brannoxId))) {
        std::fprintf(stderr, "indexRestore: job %lld has no index archive file\n", jobId);
        return 4;
    }
    std::printf("index of job %lld restored\n", jobId);
    return 0;
}
