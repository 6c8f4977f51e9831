// Every foundation type of the system.
#pragma once

#include "nuvdbsnap/foundation/agent_records.h"
#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/device_config.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/foundation/memory.h"
#include "nuvdbsnap/foundation/network_records.h"
#include "nuvdbsnap/foundation/restore_records.h"
#include "nuvdbsnap/foundation/smvolblock.h"
#include "nuvdbsnap/foundation/so_interface.h"
#include "nuvdbsnap/foundation/sp.h"
