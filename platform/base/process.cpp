// JzProcess (contract in process.h).
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <dirent.h>
#include <unistd.h>

namespace {

using Started = std::function<bool(int pid)>;

// The absolute path of a program named without '/', through PATH; the name
// itself when it holds a '/' or is not found.
std::string ResolveProgram(std::string const& name) {
    if (name.empty() || name.find('/') != std::string::npos) return name;
    char const* env = getenv("PATH");
    std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return name;
}

// argv[0] through the substitution table: tried as given, as found in PATH and
// with its links resolved; the first name with a substitution wins.
std::string ProgramToRun(std::string const& name) {
    std::string resolved = ResolveProgram(name);
    std::vector<std::string> candidates{name, resolved};
    char* real = realpath(resolved.c_str(), nullptr);
    if (real != nullptr) {
        candidates.emplace_back(real);
        free(real);
    }
    for (std::string const& candidate : candidates) {
        if (candidate.empty() || candidate[0] != '/') continue;
        std::string substitute = nuvsuite::SubstituteProgram(candidate);
        if (substitute != candidate) return substitute;
    }
    return resolved;
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Reads the errno a child wrote when its exec failed, and closes the pipe.
// True when the exec failed (the pipe closed on a successful exec gives nothing).
bool ReadExecError(int& fd, int* execErr) {
    ssize_t got;
    do {
        got = read(fd, execErr, sizeof *execErr);
    } while (got < 0 && errno == EINTR);
    CloseFd(fd);
    return got == static_cast<ssize_t>(sizeof *execErr);
}

// Runs the prepared program; the caller has journalled and checked faults.
// `started` (when set) decides, with the child's pid, whether the program is
// executed: the child waits on the hold pipe for one byte and ends without it.
int Run(std::string const& program, std::vector<std::string> const& args, std::string* output,
        std::string* error, int timeoutSeconds, Started const& started, std::vector<std::string> const& environment) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    // The program's environment, made before the fork (the child may only
    // make async-signal-safe calls): the inherited one with `environment` over it.
    std::vector<std::string> envText;
    std::vector<char*> envp;
    if (!environment.empty()) {
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            std::string const entry = *e;
            std::string const name = entry.substr(0, entry.find('=') + 1);
            bool replaced = false;
            for (std::string const& set : environment) replaced = replaced || set.compare(0, name.size(), name) == 0;
            if (!replaced) envText.push_back(entry);
        }
        envText.insert(envText.end(), environment.begin(), environment.end());
        for (std::string& e : envText) envp.push_back(&e[0]);
        envp.push_back(nullptr);
    }

    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, execPipe[2] = {-1, -1}, holdPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(execPipe, O_CLOEXEC) != 0 ||
        (started && pipe2(holdPipe, O_CLOEXEC) != 0)) {
        int err = errno;
        for (int* p : {outPipe, errPipe, execPipe, holdPipe}) {
            CloseFd(p[0]);
            CloseFd(p[1]);
        }
        errno = err;
        return -1;
    }
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);

    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        for (int* p : {outPipe, errPipe, execPipe, holdPipe}) {
            CloseFd(p[0]);
            CloseFd(p[1]);
        }
        CloseFd(devNull);
        errno = err;
        return -1;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls from here on. Its own process group,
        // so that a time-out ends the programs it started too.
        setpgid(0, 0);
        if (devNull >= 0) dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (holdPipe[0] >= 0) {
            // The word to go: end of file (the parent said no, or is gone) ends the child.
            close(holdPipe[1]);
            char go = 0;
            ssize_t got;
            while ((got = read(holdPipe[0], &go, 1)) < 0 && errno == EINTR) {
            }
            if (got != 1) {
                int err = ECANCELED;
                ssize_t ignored = write(execPipe[1], &err, sizeof err);
                (void)ignored;
                _exit(127);
            }
        }
        syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
        if (envp.empty()) {
            execv(argv[0], argv.data());
        } else {
            execve(argv[0], argv.data(), envp.data());
        }
        int err = errno;
        ssize_t ignored = write(execPipe[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }

    // The group is the child's from here on, whichever of the two sets it first:
    // `started` may hand it on at once.
    if (started) setpgid(pid, pid);
    CloseFd(outPipe[1]);
    CloseFd(errPipe[1]);
    CloseFd(execPipe[1]);
    CloseFd(devNull);
    bool cancelled = false;
    if (started) {
        CloseFd(holdPipe[0]);
        if (started(static_cast<int>(pid))) {
            char const go = 'G';
            while (write(holdPipe[1], &go, 1) < 0 && errno == EINTR) {
            }
        } else {
            cancelled = true;
        }
        CloseFd(holdPipe[1]);
    }

    std::string out, err;
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    bool killed = false;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int openCount = 2;
    char buf[65536];
    while (openCount > 0) {
        int waitMs = -1;
        if (timeoutSeconds > 0 && !killed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left > 0 ? static_cast<int>(left) : 0;
        }
        int r = poll(fds, 2, waitMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (r == 0) {  // time-out: kill, then drain what is left
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            killed = true;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openCount;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);

    int execErr = 0;
    bool const execFailed = ReadExecError(execPipe[0], &execErr);

    int status = 0;
    pid_t w;
    do {
        w = waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);

    if (output) *output = std::move(out);
    if (error) *error = std::move(err);

    if (cancelled) {
        if (error) *error = "not started: " + program;
        errno = ECANCELED;
        return -1;
    }
    if (execFailed) {
        if (error && error->empty()) *error = std::string("cannot execute ") + program + ": " + strerror(execErr);
        errno = execErr;
        return 127;
    }
    if (w < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int Start(std::vector<std::string> const& args, std::string* output, std::string* error, int timeoutSeconds,
          bool quiet, Started const& started = Started(), std::vector<std::string> const& environment = {}) {
    if (output) output->clear();
    if (error) error->clear();
    if (args.empty() || args[0].empty()) {
        if (error) *error = "empty command";
        errno = EINVAL;
        return -1;
    }
    int callerErrno = errno;
    std::string journal = JzProcess::JournalText(args);
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("process", "JzProcess::system", journal, &fault)) {
        if (error) *error = fault.text;
        if (!quiet) EvDebug::DebugLvl(nullptr, 1, "JzProcess::system", "Injected failure %d for [%s]", fault.code,
                                      args[0].c_str());
        errno = EIO;
        return fault.code;
    }
    std::string program = ProgramToRun(args[0]);
    if (!quiet) {
        std::string shown = journal;
        for (char& c : shown)
            if (c == '\x1f') c = ' ';
        EvDebug::DebugLvl(nullptr, 2, "JzProcess::system", "Running [%s] as [%s]", shown.c_str(), program.c_str());
    }
    errno = callerErrno;
    int rc = Run(program, args, output, error, timeoutSeconds, started, environment);
    if (rc != 127 && rc != -1) errno = callerErrno;
    return rc;
}

// The service-call step of a run; false (with *error and the result) when a fault fails it.
bool Admit(char const* call, std::vector<std::string> const& args, std::string* error, int* result) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("process", call, JzProcess::JournalText(args), &fault)) return true;
    if (error) *error = fault.text;
    *result = fault.code;
    errno = EIO;
    return false;
}

}  // namespace

int JzProcess::spawn(std::vector<std::string> const& args, int channelFd, int* pid, std::string* error) {
    if (error) error->clear();
    if (args.empty() || args[0].empty() || pid == nullptr) {
        if (error) *error = "empty command";
        errno = EINVAL;
        return -1;
    }
    int result = 0;
    if (!Admit("JzProcess::spawn", args, error, &result)) return result;
    std::string program = ProgramToRun(args[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (size_t i = 1; i < args.size(); ++i) argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);

    int execPipe[2] = {-1, -1};
    if (pipe2(execPipe, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t child = fork();
    if (child < 0) {
        int err = errno;
        CloseFd(execPipe[0]);
        CloseFd(execPipe[1]);
        CloseFd(devNull);
        if (error) *error = std::string("fork: ") + strerror(err);
        errno = err;
        return -1;
    }
    if (child == 0) {
        // Only async-signal-safe calls. Move the two descriptors the child keeps
        // above 3 first, so that neither is overwritten by the other.
        int report = fcntl(execPipe[1], F_DUPFD_CLOEXEC, 10);
        int channel = channelFd >= 0 ? fcntl(channelFd, F_DUPFD_CLOEXEC, 10) : -1;
        if (devNull >= 0) {
            dup2(devNull, 0);
            dup2(devNull, 1);
        }
        if (channel >= 0) dup2(channel, 3);  // dup2 clears close-on-exec on 3
        for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        syscall(SYS_close_range, channel >= 0 ? 4U : 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
        execv(argv[0], argv.data());
        int err = errno;
        ssize_t ignored = write(report, &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    CloseFd(execPipe[1]);
    CloseFd(devNull);
    int execErr = 0;
    bool const execFailed = ReadExecError(execPipe[0], &execErr);
    if (execFailed) {
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (error) *error = std::string("cannot execute ") + program + ": " + strerror(execErr);
        errno = execErr;
        return 127;
    }
    EvDebug::DebugLvl(nullptr, 2, "JzProcess::spawn", "Started [%s] as pid %d", program.c_str(), int(child));
    *pid = child;
    return 0;
}

unsigned long long JzProcess::StartTime(int pid) {
    if (pid <= 0) return 0;
    int const saved = errno;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int const fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved;
        return 0;
    }
    char buf[1024];
    ssize_t const n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    errno = saved;
    if (n <= 0) return 0;
    // Fields after the command name (which ends at the last ')'): state is
    // field 3, the start time field 22.
    std::string const stat(buf, static_cast<size_t>(n));
    std::string::size_type at = stat.rfind(')');
    if (at == std::string::npos) return 0;
    at += 1;
    for (int field = 2; field < 22; ++field) {
        at = stat.find(' ', at);
        if (at == std::string::npos) return 0;
        at += 1;
    }
    return std::strtoull(stat.c_str() + at, nullptr, 10);
}

bool JzProcess::IsAlive(int pid) {
    if (pid <= 0) return false;
    int const saved = errno;
    bool const exists = ::kill(pid, 0) == 0 || errno == EPERM;
    errno = saved;
    if (!exists) return false;
    // A zombie still answers kill(pid, 0): its state tells it is gone. The
    // state is the first field after the command name, which ends at the last ')'.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int const fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        bool const gone = errno == ENOENT;  // gone between the two looks; else it cannot be told: alive
        errno = saved;
        return !gone;
    }
    char buf[1024];
    ssize_t const n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    errno = saved;
    if (n <= 0) return true;
    std::string const stat(buf, static_cast<size_t>(n));
    std::string::size_type const close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return true;
    char const state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

int JzProcess::wait(int pid, int timeoutMs, bool killFirst) {
    if (pid <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (killFirst) kill(pid, SIGKILL);
    using Clock = std::chrono::steady_clock;
    auto const deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    // A bounded wait sleeps on the child's process descriptor, which becomes
    // readable as it ends, rather than looking again every few milliseconds.
    struct ProcessFd {
        int fd = -1;
        ~ProcessFd() {
            if (fd >= 0) ::close(fd);
        }
    } child;
#ifdef SYS_pidfd_open
    if (timeoutMs > 0) child.fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#endif
    for (;;) {
        int status = 0;
        pid_t w = waitpid(pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (w == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
            return -1;
        }
        if (w < 0 && errno != EINTR) return -1;
        if (w != 0) continue;
        auto const now = Clock::now();
        if (now >= deadline) return -2;
        if (child.fd < 0) {
            usleep(5000);
            continue;
        }
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        struct pollfd ended = {child.fd, POLLIN, 0};
        (void)::poll(&ended, 1, static_cast<int>(left));
    }
}

bool JzProcess::SplitCommandLine(char const* commandLine, std::vector<std::string>* words) {
    std::vector<std::string> out;
    if (commandLine == nullptr) {
        errno = EINVAL;
        return false;
    }
    std::string word;
    bool inWord = false;
    for (char const* p = commandLine; *p; ++p) {
        char c = *p;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) out.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '\'') {
            inWord = true;
            char const* end = strchr(p + 1, '\'');
            if (end == nullptr) {
                errno = EINVAL;
                return false;
            }
            word.append(p + 1, static_cast<size_t>(end - p - 1));
            p = end;
        } else if (c == '"') {
            inWord = true;
            ++p;
            while (*p && *p != '"') {
                if (*p == '\\' && (p[1] == '"' || p[1] == '\\' || p[1] == '$' || p[1] == '`')) ++p;
                word += *p++;
            }
            if (*p != '"') {
                errno = EINVAL;
                return false;
            }
        } else if (c == '\\') {
            if (p[1] == '\0') {
                errno = EINVAL;
                return false;
            }
            inWord = true;
            word += *++p;
        } else {
            inWord = true;
            word += c;
        }
    }
    if (inWord) out.push_back(word);
    if (words) *words = std::move(out);
    return true;
}

std::string JzProcess::JournalText(std::vector<std::string> const& argv) {
    std::string text;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i) text += '\x1f';
        text += argv[i];
    }
    return text;
}

int JzProcess::system(std::vector<std::string> const& argv, std::string* output, std::string* error,
                      int timeoutSeconds, bool quiet, std::vector<std::string> const& environment) {
    return Start(argv, output, error, timeoutSeconds, quiet, Started(), environment);
}

int JzProcess::system(std::vector<std::string> const& argv, std::string* output, std::string* error,
                      std::function<bool(int pid)> const& started, std::vector<std::string> const& environment) {
    return Start(argv, output, error, 0, false, started, environment);
}

bool JzProcess::GroupAlive(int pgid, unsigned long long leaderStart) {
    if (pgid <= 0) return false;
    if (leaderStart != 0) {
        // A process of that number that is not the recorded leader: the
        // recorded group is gone (while any member of it lives, its number is
        // never given to another process).
        unsigned long long const start = StartTime(pgid);
        if (start != 0 && start != leaderStart) return false;
    }
    int const saved = errno;
    bool const exists = ::kill(-pgid, 0) == 0 || errno == EPERM;
    errno = saved;
    if (!exists) return false;
    // Members that have ended but are not reaped (their parent gone, and no
    // one reaping orphans) still answer: only a running member counts.
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return true;
    bool alive = false;
    while (struct dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long const pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || end == entry->d_name || *end != '\0') continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        int const fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char buf[1024];
        ssize_t const n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0) continue;
        buf[n] = '\0';
        // After the command name: state, parent, process group.
        char const* close = std::strrchr(buf, ')');
        char state = 0;
        int parent = 0, group = 0;
        if (close == nullptr || std::sscanf(close + 1, " %c %d %d", &state, &parent, &group) != 3) continue;
        if (group == pgid && state != 'Z' && state != 'X') {
            alive = true;
            break;
        }
    }
    ::closedir(proc);
    errno = saved;
    return alive;
}

int JzProcess::system(char const* commandLine, std::string* output, std::string* error, int timeoutSeconds,
                      bool quiet) {
    std::vector<std::string> words;
    if (!SplitCommandLine(commandLine, &words)) {
        if (output) output->clear();
        if (error) *error = "unusable command line (unterminated quote or escape)";
        errno = EINVAL;
        return -1;
    }
    return Start(words, output, error, timeoutSeconds, quiet);
}

int JzProcess::systemShell(char const* fixedPipeline, std::string* output, std::string* error,
                           int timeoutSeconds) {
    if (fixedPipeline == nullptr || *fixedPipeline == '\0') {
        if (output) output->clear();
        if (error) *error = "empty command";
        errno = EINVAL;
        return -1;
    }
    return Start({"/bin/sh", "-c", fixedPipeline}, output, error, timeoutSeconds, false);
}
