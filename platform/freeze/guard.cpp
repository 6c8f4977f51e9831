// The guard of one freeze (the work of the jzfreezeguard program).
//
// Ready at once; then it waits on its channel. End of file before the freezing
// process said it thawed (that process died, or gave up after a failed thaw):
// thaw. The time limit passing first: thaw, and answer the freezing process's
// next "thawing" with "expired". A termination signal counts as end of file.
// Its row in the catalogue goes when it ends.
#include "nuvdbsnap/platform/freeze/freeze_guard.h"

#include "freeze_rows.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
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

}  // namespace

int RunGuard(int channel, std::string const& mountPoint, int limitSeconds, int64_t row, int owner) {
    CatchStopSignals();
    // The catalogue is opened before the freeze: the thaw must not wait for it.
    std::vector<nuvsuite::CatRow> ignored;
    (void)nuvsuite::Catalogue::Instance().Query("SELECT 1", {}, &ignored);

    enum class State { Waiting, FreezerThaws, Expired } state = State::Waiting;
    using Clock = std::chrono::steady_clock;
    auto const deadline = Clock::now() + std::chrono::seconds(limitSeconds);
    bool done = false;
    Send(channel, kReady);
    while (!s_stop) {
        int waitMs = -1;
        if (state == State::Waiting) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        struct pollfd pfd = {channel, POLLIN, 0};
        int const r = ::poll(&pfd, 1, waitMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) {
            std::string error;
            int const rc = RunFreezeTool("-u", mountPoint, &error);
            EvDebug::DebugLvl(nullptr, -1, kTag,
                              "The freeze of [%s] by process %d passed its time limit of %d seconds: %s %s",
                              mountPoint.c_str(), owner, limitSeconds, rc == 0 ? "thawed" : "thaw failed",
                              error.c_str());
            SetFreezeState(row, "expired");
            state = State::Expired;
            continue;
        }
        char byte = 0;
        ssize_t const n = ::read(channel, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of file: the freezing process is gone or gave up
        if (byte == kThawing) {
            Send(channel, state == State::Expired ? kExpired : kYouThaw);
            if (state != State::Expired) state = State::FreezerThaws;
        } else if (byte == kDone) {
            done = true;
            break;
        }
    }
    if (!done && state != State::Expired) {
        std::string error;
        int const rc = RunFreezeTool("-u", mountPoint, &error);
        EvDebug::DebugLvl(nullptr, -1, kTag, "Process %d left [%s] frozen: %s %s", owner, mountPoint.c_str(),
                          rc == 0 ? "thawed" : "thaw failed", error.c_str());
    }
    DeleteFreezeRow(row);
    return 0;
}

}  // namespace nuvfreeze
