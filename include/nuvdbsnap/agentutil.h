// Database-agent utilities: the redirect-restore map and the other helpers
// that the agent programs call.
#pragma once

#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/agentutil/redirect_map_line.h"
