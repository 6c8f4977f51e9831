// A snapshot made by a create that reported failure afterwards (its thaw was
// refused, say) is kept, for nothing may delete what the create made, but the
// snapshot manager records why (catalogue column sm_snapshots.failed_create)
// and never hands it out as a good one without saying so: the records it
// returns carry kSnapFlagExFailedCreate in the snapshot's extended flags, and
// a mount, a lookup or a copy of it logs a warning.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <cstdint>
#include <string>

namespace nuvsnapmgr {

// Extended snapshot flag (SMSnapInfo::getSnapFlagsEx) of a snapshot of a failed create.
constexpr uint64_t kSnapFlagExFailedCreate = 0x200000000ull;

// Marks the ready snapshots of the record (its snaps and its volumes' SM snap
// ids, of the record's job) as made by a create that failed: `why`. An error
// when none of them could be marked. Takes the service-call step ("snapmgr",
// "MarkFailedCreate").
[[nodiscard]] CFzError MarkFailedCreate(SMVolSnapInfo const& record, std::string const& why);

}  // namespace nuvsnapmgr
