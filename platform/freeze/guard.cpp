// The guard of one freeze (the work of the jzfreezeguard program).
//
// Ready at once; then it waits on its channel. The time limit passing first:
// thaw, and answer the freezing process's next "thawing" with "expired". End
// of file before the freezing process said the file system is seen thawed
// (that process died, gave up after a failed thaw or left the thaw to it), or
// a termination signal: take the device's mutex and thaw. Every thaw first
// waits for the freeze command's process group to end (a program of it may
// still freeze); a thaw counts once the file system is seen thawed (the tool
// thawed it, or answered that it was not frozen), and a failed one is tried
// again. The row in the catalogue goes only then; a guard that gives up
// leaves it, state "thaw failed", for the sweep of the next command.
#include "nuvdbsnap/platform/freeze/freeze_guard.h"

#include "freeze_rows.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace nuvfreeze {
namespace {

char const* const kTag = "jzfreezeguard";
volatile sig_atomic_t s_stop = 0;

void OnStop(int) { s_stop = 1; }

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: poll returns at once
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void Send(int channel, char byte) {
    while (::write(channel, &byte, 1) < 0 && errno == EINTR && !s_stop) {
    }
}

// One thaw; true when the file system is seen thawed.
bool ThawOnce(std::string const& mountPoint, int64_t row, int owner, char const* why) {
    std::string error;
    ThawSeen const seen = ThawFreeze(mountPoint, FreezeCommandOf(row), 1000, &error);
    EvDebug::DebugLvl(nullptr, -1, kTag, "%s [%s] of process %d: %s %s", why, mountPoint.c_str(), owner,
                      seen == ThawSeen::Thawed      ? "thawed"
                      : seen == ThawSeen::NotFrozen ? "not frozen"
                                                    : "thaw failed",
                      error.c_str());
    return seen != ThawSeen::Failed;
}

}  // namespace

int RunGuard(int channel, std::string const& mountPoint, int limitSeconds, int64_t row, int owner) {
    CatchStopSignals();
    // The catalogue is opened before the freeze: the thaw must not wait for it.
    std::vector<nuvsuite::CatRow> ignored;
    (void)nuvsuite::Catalogue::Instance().Query("SELECT 1", {}, &ignored);

    using Clock = std::chrono::steady_clock;
    auto const deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    bool expired = false;  // the time limit passed
    bool thawed = false;   // this guard saw the file system thawed
    bool done = false;     // the freezing process saw it thawed
    Send(channel, kReady);
    while (!s_stop) {
        int waitMs = -1;
        if (!expired) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        } else if (!thawed) {
            waitMs = 500;  // the thaw at the time limit failed: again
        }
        struct pollfd pfd = {channel, POLLIN, 0};
        int const r = ::poll(&pfd, 1, waitMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) {
            if (!expired) {
                EvDebug::DebugLvl(nullptr, -1, kTag, "The freeze of [%s] by process %d passed its time limit of %d seconds",
                                  mountPoint.c_str(), owner, limitSeconds);
                expired = true;
            }
            thawed = ThawOnce(mountPoint, row, owner, "Time limit:");
            SetFreezeState(row, thawed ? "expired" : "thaw failed");
            continue;
        }
        char byte = 0;
        ssize_t const n = ::read(channel, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file: the freezing process is gone or left the thaw to this guard
        if (byte == kThawing) {
            Send(channel, expired ? kExpired : kYouThaw);
        } else if (byte == kDone) {
            done = !expired || thawed;
            break;
        }
    }
    if (!done && !thawed) {
        // The freezing process is gone or let its mutex go: the device's freezes wait for this thaw.
        std::string const device = FreezeDeviceOf(row);
        JzNamedMutex mutex(FreezeMutexName(device.empty() ? "path:" + mountPoint : device));
        (void)mutex.lock(static_cast<unsigned long>(limitSeconds + 60) * 1000UL);
        auto const giveUp = Clock::now() + std::chrono::seconds(std::max(limitSeconds, 60));
        int pauseMs = 100;
        while (!(thawed = ThawOnce(mountPoint, row, owner, "Left frozen:")) && Clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            pauseMs = std::min(pauseMs * 2, 1000);
        }
    }
    if (done || thawed) {
        DeleteFreezeRow(row);
    } else {
        SetFreezeState(row, "thaw failed");
    }
    return 0;
}

}  // namespace nuvfreeze
