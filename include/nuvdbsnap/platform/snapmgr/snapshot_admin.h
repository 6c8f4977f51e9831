// The operator's hold on single snapshots (`jzsuite snapshot unmount|delete
// ID`): each goes through the snapshot client's own calls, so it is journalled,
// obeys the fault table and keeps the client's rules (only what the catalogue
// says the suite made, only copies under the snapshot root).
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>

namespace nuvsnapmgr {

// Unmounts every mount the suite made of snapshot `id` (JZSnapClientAPI::unmount)
// and every other bind of its copy the mount table shows; fails when one stays.
// An unknown snapshot is an error; one without mounts is left as it is.
[[nodiscard]] CFzError UnmountSnapshot(int64_t id);

// Deletes snapshot `id`, its copy and its row (JZSnapClientAPI::deleteVolumeSnaps).
// Refused while it is mounted (by the suite, a bind of its copy anywhere, or
// anything mounted inside it) and while its
// create is still running.
[[nodiscard]] CFzError DeleteSnapshot(int64_t id);

}  // namespace nuvsnapmgr
