// Database-agent utilities: the redirect-restore map, the readiness check, job
// submission inputs, host and proxy probes, PostgreSQL job rules and resource control.
#pragma once

#include "nuvdbsnap/agentutil/db_agent_readiness_check.h"
#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/agentutil/nuv_db_agents_rcg_mgr.h"
#include "nuvdbsnap/agentutil/redirect_map_line.h"
