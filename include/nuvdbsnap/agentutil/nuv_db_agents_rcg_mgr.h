// NuvDBAgentsRcgMgr: resource-control groups for database processes. Not
// offered on this platform: every operation changes nothing and returns 1.
#pragma once

#include <list>
#include <string>

class EvEvent;

class NuvDBAgentsRcgMgr {
public:
    NuvDBAgentsRcgMgr(EvEvent* ev, unsigned long value) : m_value(value), m_ev(ev) {}
    ~NuvDBAgentsRcgMgr() = default;

    static int disableResourceControl(unsigned long value);
    // Says in the job log (when there is an event) where resource control is offered.
    static int controlResourceUtilization(EvEvent* ev, unsigned long value, std::list<unsigned> pids);
    static int findAndAssignPidsToRCGroup(EvEvent* ev, std::string group, std::list<unsigned> pids);

private:
    unsigned long m_value;
    EvEvent* m_ev;
};
