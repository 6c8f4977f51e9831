// The archive manager's query client. Rows of a job come newest first (by
// creation time, then by id). Calls return 0 on success and a non-zero number
// on failure, with getLastError / getErrorString telling why.
#pragma once

#include "nuvdbsnap/platform/archive/records.h"
#include "nuvdbsnap/platform/archive/status.h"

#include <vector>

class ArMgrClientAPI : public nuvsuite::LastErrorRecord {
public:
    ArMgrClientAPI() = default;
    virtual ~ArMgrClientAPI();

    // The job's archive files of the listed types (an empty list: every type),
    // replacing the rows of `result`.
    [[nodiscard]] int getArchFileListForJob(GetArchFileListForJobArgsCC_t* args,
                                            std::vector<GetArchFileListForJobRetCC_t>* result);

    // Every archive file of the snap job and the Sarnel that holds it (the
    // local host, mangled); a job without archive files names no Sarnel.
    [[nodiscard]] int getArchFileListForSnapshotJob(GetArchFileInfoForSnapJob_ArgsCC_t* args,
                                                    GetArchFileInfoForSnapJob_Ret_t* result);

    // One archive file by id and Brannox id (and group id when not 0).
    [[nodiscard]] int getAfileInfo(GetAfileInfoArgsCC_t* args, GetAfileInfoRetCC_t* result);

    // The data mover that serves a restore of the archive file: the local
    // host, mangled. An unknown archive file fails.
    [[nodiscard]] int getRestoreSarnel(GetRestoreSarnelInput_t* input, GetRestoreSarnelOutput_t* output);
};
