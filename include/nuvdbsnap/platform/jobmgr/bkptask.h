// The backup task of a job: the backup level the job runs at.
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"

#include <cstdint>

class EvBkpTask {
public:
    EvBkpTask(long long jobId, int reserved, void* context);
    virtual ~EvBkpTask();

    // 0 and the job's backup level; non-zero with level 0 when the job is unknown.
    int getBackupLevel(JZBkpLevel& level, void* reserved);

private:
    int64_t m_jobId = 0;
};
