// Whether a snapshot record handed over from another process (the
// snapshot-info file of a prepare) is one the snapshot manager prepared for
// this job: same job, and each volume a volume the job's prepare gave its id to.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <cstdint>

namespace nuvsnapmgr {

// Success when the record belongs to job `jobId` (the record's and each
// volume's job id), and each volume's SM volume id was given by a prepare of
// that job to the same source path, which is a volume of its own (a declared
// volume or a mount point, not a folder inside one). Otherwise an error whose
// text says what does not belong. Takes the service-call step ("snapmgr",
// "CheckPreparedRecord").
[[nodiscard]] CFzError CheckPreparedRecord(SMVolSnapInfo const& record, int64_t jobId);

}  // namespace nuvsnapmgr
