// The freeze guard's private parts: catalogue rows of the freezes, the freeze
// tool and the channel between a freezing process and its guard.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nuvfreeze {

// Channel bytes. Guard to freezer: ready, and the answers to kThawing.
constexpr char kReady = 'R';
constexpr char kYouThaw = 'K';  // not expired: the freezer thaws
constexpr char kExpired = 'E';  // the time limit passed: the guard thaws
// Freezer to guard: about to thaw; the file system is seen thawed (or was
// never frozen), stand down. The end of the channel without kDone: the guard
// thaws until it sees the file system thawed.
constexpr char kThawing = 'T';
constexpr char kDone = 'D';

// The freeze command's process group, recorded before the command may run and
// forgotten once it has been waited for and no program of it runs.
struct FreezeCommand {
    int group = 0;                  // 0: none, or none any more
    unsigned long long start = 0;   // JzProcess::StartTime of its leader
};

struct FreezeRow {
    int64_t id = 0;
    std::string mountPoint;
    std::string device;
    int pid = 0;
    int guardPid = 0;
    FreezeCommand command;
    std::string state;    // "freezing", "frozen", "expired", "thaw failed"
    int64_t startedMs = 0;  // when the freeze was recorded
    int limitSeconds = 0;
};

int64_t InsertFreezeRow(std::string const& mountPoint, std::string const& device, int limitSeconds);
void SetFreezeGuard(int64_t id, int guardPid);
void SetFreezeState(int64_t id, char const* state);
// Records the process group of the freeze command before it may run (its
// leader, `group`, is the command's process, not yet executed); false when it
// cannot be recorded (the command must not run then).
bool SetFreezeGroup(int64_t id, int group);
// Forgets it: the command was waited for and no program of it runs.
void ForgetFreezeGroup(int64_t id);
FreezeCommand FreezeCommandOf(int64_t id);
std::string FreezeDeviceOf(int64_t id);
void DeleteFreezeRow(int64_t id);
// Every row, or those of one device.
std::vector<FreezeRow> FreezeRows(std::string const& device = "");
bool FreezeRowExists(int64_t id);

// Runs the freeze tool ("-f" or "-u") on a mount point, its messages in the C
// locale: its result (0 done), with its error output in *error. With
// `started`: the tool runs only when `started` accepts the process group it
// runs in (see JzProcess::system).
int RunFreezeTool(char const* mode, std::string const& mountPoint, std::string* error,
                  std::function<bool(int group)> const& started = nullptr);

// True when the thaw's answer (in the C locale) says the file system was not frozen.
bool NotFrozenAnswer(int rc, std::string const& error);

// One thaw of a recorded freeze. The freeze command's process group (when
// known) is waited for first, up to `waitMs`: a program of it that still runs
// may freeze after any thaw. Thawed and NotFrozen: the file system is seen
// thawed. Failed: it is not, *error says why.
enum class ThawSeen { Thawed, NotFrozen, Failed };
ThawSeen ThawFreeze(std::string const& mountPoint, FreezeCommand const& command, int waitMs, std::string* error);

// Thaws the recorded freezes of dead processes, of `device` only when given;
// `locked`: the caller holds that device's named mutex. A freeze past its time
// limit whose guard is gone is thawed too, whoever made it: nothing else would
// end it.
std::vector<std::string> ThawDeadFreezesOf(std::string const& device, bool locked);

// The named mutex of a device's freezes.
std::string FreezeMutexName(std::string const& device);

}  // namespace nuvfreeze
