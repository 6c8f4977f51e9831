// The archive-file client of one job. Archive files are catalogue rows shared
// by every process of the state root; each application's files form one
// archive group, and all go to the local suite's primary copy (kPrimaryCopyId).
// Calls return 0 on success and a non-zero number on failure, with
// getLastError / getErrorString telling why.
#pragma once

#include "nuvdbsnap/platform/archive/records.h"
#include "nuvdbsnap/platform/archive/status.h"

class EvEvent;

namespace nuvarchive {
constexpr int kPrimaryCopyId = 1;
// Archive-file flag (getAfileInfo's flags) of a snapshot archive record: a
// file made from a request with snapArchive set.
constexpr int kSnapshotArchiveFlag = 0x1;
}

class JZArchive : public nuvsuite::LastErrorRecord {
public:
    // The event and the context are not used; verbose logs each created file.
    JZArchive(EvEvent* event, bool verbose, void* context);
    virtual ~JZArchive();

    void SetJobID(int64_t jobId) { m_jobId = jobId; }
    int64_t GetJobID() const { return m_jobId; }

    // Creates an open archive file of the job from the request's backup type,
    // archive-file type (3rd field), application, client (a request with
    // snapArchive set makes a snapshot archive record, flag
    // kSnapshotArchiveFlag); fills `result` with
    // its Brannox id, group id and id. Fails without a job or a record.
    [[nodiscard]] int CreateArchiveForSnapBackup(CreateArgs_t* args, CreateRet_t* result);

    // The copy the archive files of this client go to.
    int GetCopyId() const { return m_copyId; }

    // Closes an open archive file; an unknown key or a file closed before fails.
    [[nodiscard]] int closeAfile(CloseAfileArgs_t* args, CloseAfileRet_t* result);

private:
    int64_t m_jobId = 0;
    int m_copyId = nuvarchive::kPrimaryCopyId;
    bool m_verbose = false;
};
