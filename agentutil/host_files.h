// Host files that the probes read natively (never through a shell): the
// oratab and the process table. Their paths lie under $JZ_PROBE_ROOT when it
// is set (tests point it at fixtures), else under "/".
#pragma once

#include <string>
#include <vector>

namespace nuvagentutil {

// The path of a host file ("/etc/oratab", "/proc") under the probe root.
std::string HostPath(std::string const& path);

// The instances of the oratab whose home is exactly `home` (comment lines
// skipped) and whose monitor process ("ora_pmon_<SID>" or "xe_pmon_<SID>",
// matched whole) runs, in oratab order, each once. False (with why) when the
// oratab or the process table cannot be read.
bool RunningOracleInstances(std::string const& home, std::vector<std::string>* names, std::string* error);

// The text between the first '(' and the next ',' of the first line of
// /proc/1/sched, trimmed: the host's process id of this namespace's process 1.
// False when the file cannot be read or the line has no such text.
bool HostPidOfInit(std::string* pid, std::string* source, std::string* error);

}  // namespace nuvagentutil
