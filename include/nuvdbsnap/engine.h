// The snapshot engine: the snapshot utility, its executors, the snap-handler
// plug-in caller, file-system quiesce and the exported snapshot door.
#pragma once

#include "nuvdbsnap/engine/block_level_entry.h"
#include "nuvdbsnap/engine/entry_points.h"
#include "nuvdbsnap/engine/lrep_snap_util.h"
#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/engine/quiesce_fs.h"
#include "nuvdbsnap/engine/snap_handler_entry.h"
#include "nuvdbsnap/engine/snap_handler_interface.h"
#include "nuvdbsnap/engine/snap_util_interface.h"
#include "nuvdbsnap/engine/snap_util_types.h"
