// Database snap backup: the job driver that agents derive from and the
// database snapshot utility it drives.
#pragma once

#include "nuvdbsnap/dbsnap/db_snap_backup.h"
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"
#include "nuvdbsnap/dbsnap/data_aging.h"
