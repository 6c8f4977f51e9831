// Restore and browse: NuvSnapRestore (partial, full, redirected and
// multi-stream restores from snapshots) and NuvUtilBrowse (browse of the
// index by item name, also as the C entry point nuvBrowseByItemName).
#pragma once

#include "nuvdbsnap/restore/browse.h"
#include "nuvdbsnap/restore/redirect_paths.h"
#include "nuvdbsnap/restore/snap_restore.h"
