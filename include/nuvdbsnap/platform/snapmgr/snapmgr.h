// Everything the snapshot manager of the local suite offers.
#pragma once

#include "nuvdbsnap/platform/snapmgr/asm_disk_group_name.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"
#include "nuvdbsnap/platform/snapmgr/failed_create.h"
#include "nuvdbsnap/platform/snapmgr/mm_snap_api.h"
#include "nuvdbsnap/platform/snapmgr/prepared_record.h"
#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/snapmgr/snap_tasks.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"
