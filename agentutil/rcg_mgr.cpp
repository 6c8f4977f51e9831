// Resource control: not offered on this platform.
#include "nuvdbsnap/agentutil/nuv_db_agents_rcg_mgr.h"
#include "nuvdbsnap/platform/base/log.h"

int NuvDBAgentsRcgMgr::disableResourceControl(unsigned long) { return 1; }

int NuvDBAgentsRcgMgr::controlResourceUtilization(EvEvent* ev, unsigned long, std::list<unsigned>) {
    if (ev != nullptr)
        EvDebug::Debug(ev, "NuvDBAgentsRcgMgr::controlResourceUtilization",
                       "CPU Resource control supported only on linux-x86, linux-x8664, Solaris, HPUX and AIX.");
    return 1;
}

int NuvDBAgentsRcgMgr::findAndAssignPidsToRCGroup(EvEvent*, std::string, std::list<unsigned>) { return 1; }
