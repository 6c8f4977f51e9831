// The restore task's destination client, set back to what it was before a
// restore's per-job work changed it, on whatever road the restore ends.
#pragma once

#include "nuvdbsnap/platform/jobmgr/rsttask.h"

#include <cstdint>

class DestinationClientRestorer {
public:
    // `saved`: the task's destination client before the work; nothing is set
    // back unless `active`.
    DestinationClientRestorer(long long jobId, uint64_t saved, bool active)
        : m_jobId(jobId), m_saved(saved), m_active(active) {}
    ~DestinationClientRestorer() {
        if (!m_active) return;
        EvRstTask task(m_jobId, 0, nullptr, false);
        (void)task.setDestinationClientId(m_saved, nullptr);
    }
    DestinationClientRestorer(DestinationClientRestorer const&) = delete;
    DestinationClientRestorer& operator=(DestinationClientRestorer const&) = delete;

private:
    long long m_jobId;
    uint64_t m_saved;
    bool m_active;
};
