// The freeze guard's private parts: catalogue rows of the freezes, the freeze
// tool and the channel between a freezing process and its guard.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvfreeze {

// Channel bytes. Guard to freezer: ready, and the answers to kThawing.
constexpr char kReady = 'R';
constexpr char kYouThaw = 'K';  // not expired: the freezer thaws
constexpr char kExpired = 'E';  // the time limit passed: the guard has thawed
// Freezer to guard: about to thaw; thawed (or never frozen), stand down.
constexpr char kThawing = 'T';
constexpr char kDone = 'D';

struct FreezeRow {
    int64_t id = 0;
    std::string mountPoint;
    std::string device;
    int pid = 0;
    int guardPid = 0;
    std::string state;  // "freezing", "frozen", "expired"
};

int64_t InsertFreezeRow(std::string const& mountPoint, std::string const& device, int limitSeconds);
void SetFreezeGuard(int64_t id, int guardPid);
void SetFreezeState(int64_t id, char const* state);
void DeleteFreezeRow(int64_t id);
// Every row, or those of one device.
std::vector<FreezeRow> FreezeRows(std::string const& device = "");
bool FreezeRowExists(int64_t id);

// Runs the freeze tool ("-f" or "-u") on a mount point: its result (0 done),
// with its error output in *error.
int RunFreezeTool(char const* mode, std::string const& mountPoint, std::string* error);

// Thaws the recorded freezes of dead processes, of `device` only when given;
// `locked`: the caller holds that device's named mutex.
std::vector<std::string> ThawDeadFreezesOf(std::string const& device, bool locked);

// The named mutex of a device's freezes.
std::string FreezeMutexName(std::string const& device);

}  // namespace nuvfreeze
