// The freeze guard: freezes a file system with the system's XFS freeze tool
// (run by argument vector) so that no freeze outlives the process that made it
// or the freeze time limit.
//
// Each freeze is made under the suite's named mutex of its device (parallel
// freezes of one file system wait their turn), recorded in the catalogue
// (table `freezes`: mount point, device, pid of the freezing process, pid of
// its guard, process group of the freeze command), and watched by a guard
// process (`jzfreezeguard`) joined to the freezing process by a socket pair.
// The guard is ready before the tool runs, and the tool runs in a process
// group of its own that is recorded before it may run (it never runs once the
// freezing process is gone). The guard thaws when its channel reaches
// end-of-file without the freezing process having seen the file system thawed
// (that process died, or its thaw failed), and when the time limit passes
// first (the freezing process's Thaw then fails). Every thaw of a guard or a
// sweep waits for the freeze command's process group to end first; the group
// is recorded with its leader's start time and forgotten once the command was
// waited for and no program of it runs, so that a later, unrelated group given
// the same number is never waited for. A freeze's record goes only once its
// file system is seen thawed: the tool thawed it, or answered (the tool runs
// in the C locale) that it was not frozen. A failed thaw is tried again.
// A freeze whose process and guard are both gone, or that is past its time
// limit and whose guard is gone (its process may hang or be stopped), is
// thawed by the next freeze of its device, by ThawDeadFreezes (a later
// create, jzsuite).
//
// Journalled as ("freeze", "Freeze" | "Thaw", mount point); a fault of the
// table fails the call with its code and text (a faulted Thaw leaves the thaw
// to the guard). A fault ("freeze", "hold", mount point) makes a successful
// Freeze wait, the file system frozen, for its release (HoldWhereFaulted).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvfreeze {

struct Failure {
    int code = 0;      // an errno value, or the freeze tool's exit status
    std::string text;  // what went wrong, with the tool's error output
};

constexpr char const* kFreezeTool = "/usr/sbin/xfs_freeze";
constexpr int kDefaultTimeLimitSeconds = 60;

// FileSystemAgent / nFreezeTimeLimit in seconds; the default when unset or 0.
int FreezeTimeLimitSeconds();

// Freezes the file system mounted at `mountPoint`. Refused (EDEADLK) when it
// also holds a place the suite writes to (nuvsuite::SuiteStateOn), and (EBUSY)
// when this thread already froze it or another freeze of it lasts longer than
// the time limit plus a minute. true when frozen; otherwise nothing is frozen.
[[nodiscard]] bool Freeze(std::string const& mountPoint, Failure* failure);

// Thaws what Freeze froze at `mountPoint` (a mount point not frozen through
// Freeze is thawed with the tool alone). false when the tool failed (the guard
// then tries again until it sees the file system thawed) or the time limit
// had already thawed it (ETIMEDOUT).
[[nodiscard]] bool Thaw(std::string const& mountPoint, Failure* failure);

// Thaws every recorded freeze whose process and guard are gone, or that is
// past its time limit and whose guard is gone, and removes its record once the
// file system is seen thawed (a record whose thaw failed stays); one line for
// each, saying what was found and done.
std::vector<std::string> ThawDeadFreezes();

// The guard program's whole work (see jzfreezeguard): `channel` is its end of
// the socket pair. Returns its exit code.
int RunGuard(int channel, std::string const& mountPoint, int limitSeconds, int64_t row, int owner);

// The guard program: "nuvdbsnap/jzfreezeguard" beside the platform library.
std::string GuardProgramPath();

}  // namespace nuvfreeze
