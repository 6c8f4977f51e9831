// Subsystem: the index-service client and the table-level metadata.
#pragma once

#include "nuvdbsnap/index/browseable_path.h"
#include "nuvdbsnap/index/db_tab_restore_utils.h"
#include "nuvdbsnap/index/idx_util.h"
