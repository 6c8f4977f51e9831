// Freeze and Thaw: a guarded freeze of one file system (contract in freeze_guard.h).
#include "nuvdbsnap/platform/freeze/freeze_guard.h"

#include "freeze_rows.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/library.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace nuvfreeze {
namespace {

char const* const kTag = "nuvfreeze";

// One freeze of this process, from Freeze to Thaw.
struct Active {
    std::unique_ptr<JzNamedMutex> mutex;
    std::string device;
    int64_t row = 0;
    int channel = -1;
    int guardPid = -1;
    int limitSeconds = 0;
    std::thread::id thread;
};

std::mutex s_mutex;
std::multimap<std::string, Active> s_active;  // by mount point

bool Fail(Failure* failure, int code, std::string const& text) {
    if (failure != nullptr) {
        failure->code = code;
        failure->text = text;
    }
    EvDebug::DebugLvl(nullptr, -1, kTag, "%s", text.c_str());
    return false;
}

// "major:minor" of the file system holding the path, or the path itself when it cannot be looked at.
std::string DeviceKey(std::string const& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "path:" + path;
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

// A guard that is gone must not end this process with SIGPIPE.
void Send(int channel, char byte) {
    while (::send(channel, &byte, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// One byte from the channel within `ms`; 0 on time-out, end of file or error.
char Receive(int channel, int ms) {
    struct pollfd pfd = {channel, POLLIN, 0};
    int r;
    while ((r = ::poll(&pfd, 1, ms)) < 0 && errno == EINTR) {
    }
    if (r <= 0) return 0;
    char byte = 0;
    ssize_t n;
    while ((n = ::read(channel, &byte, 1)) < 0 && errno == EINTR) {
    }
    return n == 1 ? byte : 0;
}

// Guards that were still thawing when their freezer stopped waiting for them:
// reaped by a later freeze.
std::vector<int> s_detached;

void ReapDetachedGuards() {
    std::lock_guard<std::mutex> lock(s_mutex);
    for (auto it = s_detached.begin(); it != s_detached.end();)
        it = JzProcess::wait(*it, 0, false) == -2 ? it + 1 : s_detached.erase(it);
}

// How long a freezer waits for a guard that thaws on its own.
constexpr int kGuardThawWaitMs = 5000;

// Ends the freeze's guard. `seenThawed`: the file system is seen thawed (or was
// never frozen): the guard stands down and the row goes. Otherwise the end of
// the channel leaves the thaw to the guard, which keeps the row until it sees
// the file system thawed; the device's mutex is let go first, as the guard
// takes it for that thaw.
void Release(Active& active, bool seenThawed) {
    if (active.channel >= 0) {
        if (seenThawed) Send(active.channel, kDone);
        ::close(active.channel);
        active.channel = -1;
    }
    if (!seenThawed && active.mutex) (void)active.mutex->unlock();
    if (active.guardPid > 0 && JzProcess::wait(active.guardPid, seenThawed ? -1 : kGuardThawWaitMs, false) == -2) {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_detached.push_back(active.guardPid);
    }
    active.guardPid = -1;
    if (seenThawed && active.row > 0) DeleteFreezeRow(active.row);
    active.row = 0;
    if (active.mutex) (void)active.mutex->unlock();
}

// Starts the guard with its end of a socket pair as its descriptor 3; ours
// (close-on-exec) stays in active->channel.
bool StartGuard(std::string const& mountPoint, Active* active, std::string* error) {
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    int const rc = JzProcess::spawn({GuardProgramPath(), mountPoint, std::to_string(active->limitSeconds),
                                     std::to_string(active->row), std::to_string(::getpid())},
                                    pair[1], &active->guardPid, error);
    int const err = errno;
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        active->guardPid = -1;
        errno = err;
        return false;
    }
    active->channel = pair[0];
    return true;
}

std::string ToolFailure(char const* what, std::string const& mountPoint, int rc, std::string const& error) {
    std::string text = std::string(what) + " [" + mountPoint + "] failed";
    text += error.empty() ? " with exit status " + std::to_string(rc) : ": " + error;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

bool Faulted(char const* call, std::string const& mountPoint, Failure* failure) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("freeze", call, mountPoint, &fault)) return false;
    Fail(failure, fault.code, fault.text);
    return true;
}

}  // namespace

int FreezeTimeLimitSeconds() {
    JZPlatformInfo settings;
    settings.setFocus(JZPI_Focus::getFocus());
    unsigned seconds = 0;
    if (settings.getNumber("FileSystemAgent", "nFreezeTimeLimit", &seconds) == 0 || seconds == 0 ||
        seconds > 86400)
        return kDefaultTimeLimitSeconds;
    return static_cast<int>(seconds);
}

std::string GuardProgramPath() {
    std::string dir = CFzLibrary::DirectoryOf(reinterpret_cast<void const*>(&GuardProgramPath));
    return (dir.empty() ? std::string(".") : dir) + "/nuvdbsnap/jzfreezeguard";
}

bool Freeze(std::string const& mountPoint, Failure* failure) {
    if (Faulted("nuvfreeze::Freeze", mountPoint, failure)) return false;
    std::string const held = nuvsuite::SuiteStateOn(mountPoint);
    if (!held.empty())
        return Fail(failure, EDEADLK,
                    "the file system of [" + mountPoint + "] also holds " + held +
                        "; freezing it would stop the suite itself: keep the suite's state off the database's volumes");

    ReapDetachedGuards();
    Active active;
    active.device = DeviceKey(mountPoint);
    active.thread = std::this_thread::get_id();
    // A second mount point of a file system this thread froze already: its
    // device's mutex is held (the tool itself then tells whether it can be frozen twice).
    bool mutexHeld = false;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        for (auto const& [frozenAt, other] : s_active) {
            if (other.thread != active.thread) continue;  // another thread's: wait for the mutex
            if (frozenAt == mountPoint)
                return Fail(failure, EBUSY, "[" + mountPoint + "] is already frozen by this create");
            if (other.device == active.device) mutexHeld = true;
        }
    }
    active.limitSeconds = FreezeTimeLimitSeconds();
    if (!mutexHeld) {
        active.mutex.reset(new JzNamedMutex(FreezeMutexName(active.device)));
        if (!active.mutex->lock(static_cast<unsigned long>(active.limitSeconds + 60) * 1000UL))
            return Fail(failure, EBUSY,
                        "another freeze of the file system of [" + mountPoint + "] lasted longer than " +
                            std::to_string(active.limitSeconds + 60) + " seconds");
        (void)ThawDeadFreezesOf(active.device, true);
    }

    active.row = InsertFreezeRow(mountPoint, active.device, active.limitSeconds);
    if (active.row <= 0) {
        Release(active, true);
        return Fail(failure, EIO, "cannot record the freeze of [" + mountPoint + "] in the catalogue");
    }
    std::string error;
    if (!StartGuard(mountPoint, &active, &error)) {
        int const err = errno;
        Release(active, true);
        return Fail(failure, err != 0 ? err : EIO, "cannot start the freeze guard for [" + mountPoint + "]: " + error);
    }
    SetFreezeGuard(active.row, active.guardPid);
    if (Receive(active.channel, 10000) != kReady) {
        ::kill(active.guardPid, SIGKILL);
        Release(active, true);
        return Fail(failure, EIO, "the freeze guard for [" + mountPoint + "] did not start");
    }

    // The tool runs in a process group of its own, recorded before it may run:
    // should this process die at any moment, the guard (or, with the guard gone
    // too, the next sweep) waits for every program of it to end before it thaws.
    int group = 0;
    int const rc = RunFreezeTool("-f", mountPoint, &error, [&active, &group](int pid) {
        group = pid;
        return SetFreezeGroup(active.row, pid);
    });
    // Waited for, the command is forgotten once no program of it runs: its
    // number may soon lead an unrelated group, which no thaw must wait for.
    if (group > 0 && !JzProcess::GroupAlive(group)) ForgetFreezeGroup(active.row);
    if (rc != 0) {
        // Ended by a signal, the tool may have left a program of its own
        // that still freezes: the guard waits for it and thaws. Otherwise
        // the tool refused, and nothing of this freeze is frozen.
        Release(active, rc < 128);
        return Fail(failure, rc, ToolFailure("freeze of", mountPoint, rc, error));
    }
    SetFreezeState(active.row, "frozen");
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_active.emplace(mountPoint, std::move(active));
    }
    HoldWhereFaulted("freeze", mountPoint);  // a test's hold inside the freeze window
    return true;
}

bool Thaw(std::string const& mountPoint, Failure* failure) {
    Active active;
    bool guarded = false;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto found = s_active.end();
        for (auto it = s_active.lower_bound(mountPoint); it != s_active.upper_bound(mountPoint); ++it)
            if (it->second.thread == std::this_thread::get_id() || found == s_active.end()) found = it;
        if (found != s_active.end()) {
            active = std::move(found->second);
            s_active.erase(found);
            guarded = true;
        }
    }
    if (Faulted("nuvfreeze::Thaw", mountPoint, failure)) {
        if (guarded) Release(active, false);  // the guard thaws on the end of its channel
        return false;
    }
    std::string error;
    if (!guarded) {
        int const rc = RunFreezeTool("-u", mountPoint, &error);
        return rc == 0 || Fail(failure, rc, ToolFailure("thaw of", mountPoint, rc, error));
    }
    Send(active.channel, kThawing);
    if (Receive(active.channel, 10000) == kExpired) {
        Release(active, false);
        return Fail(failure, ETIMEDOUT,
                    "the freeze of [" + mountPoint + "] outlived its time limit of " +
                        std::to_string(active.limitSeconds) + " seconds and was thawed by its guard");
    }
    int const rc = RunFreezeTool("-u", mountPoint, &error);
    // A failed thaw is left to the guard, which tries until it sees the file system thawed.
    Release(active, rc == 0 || NotFrozenAnswer(rc, error));
    return rc == 0 || Fail(failure, rc, ToolFailure("thaw of", mountPoint, rc, error));
}

}  // namespace nuvfreeze
