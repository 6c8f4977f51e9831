// JzProcess: runs a program and collects its standard output and error.
//
// No form ever hands a caller's text to a shell:
// - the argument-vector form executes argv[0] with exactly the given arguments;
// - the command-line form splits the line into words (blanks separate words;
//   '...' and "..." quote, a backslash escapes the next character; nothing is
//   expanded and ; | & $ ( ) > < are ordinary characters), then runs those words;
// - only systemShell runs /bin/sh -c, and is meant for fixed, literal pipelines
//   written in the source, never for texts that hold values.
//
// Every run: argv[0] is resolved through PATH when it holds no '/', then replaced
// by nuvsuite::SubstituteProgram (tried on the name as given, as found in PATH and
// with links resolved; the first with a substitution wins); the call is journalled as
// JournalCall("process", "system", <the caller's argv joined by '\x1f'>) and a
// fault ("process", "system", pattern on that text) makes it fail without running
// (error text = the fault's text, result = the fault's code, or -1 when it is 0).
// Standard input is /dev/null; stdout and stderr are read together (poll), so a
// child that fills both never blocks. `environment` ("NAME=value" entries) is
// set over the inherited environment in the program's own (the caller's is
// left as it is): {"LC_ALL=C"} gives its messages in the C locale.
//
// Result: 0 when the program exited with status 0; its exit status when it
// exited otherwise; 128 + signal when a signal ended it (or the time-out killed
// it); 127 when it could not be executed; -1 when it could not be started. errno
// is that of the failure for 127 and -1, and the caller's own value otherwise.
#pragma once

#include <functional>
#include <string>
#include <vector>

class JzProcess {
public:
    // timeoutSeconds: 0 waits without limit; otherwise the program is killed
    // (SIGKILL) when it runs longer. quiet: true leaves the command out of the log.
    static int system(std::vector<std::string> const& argv, std::string* output, std::string* error,
                      int timeoutSeconds = 0, bool quiet = false,
                      std::vector<std::string> const& environment = {});
    // The argument-vector form, without time-out, with the program's start in
    // the caller's hands: the child (in a process group of its own, whose id is
    // its pid and which the programs it starts share) waits, and `started` gets
    // its pid; the program is executed only when `started` returns true, and
    // never once this process is gone by then (the child ends without the
    // word). false from `started`: nothing runs, -1 with errno ECANCELED.
    // Journalled and faulted as system.
    static int system(std::vector<std::string> const& argv, std::string* output, std::string* error,
                      std::function<bool(int pid)> const& started,
                      std::vector<std::string> const& environment = {});
    // The command-line form takes a C text only: a one-element braced list such as
    // {mountPoint} then always means the argument-vector form.
    static int system(char const* commandLine, std::string* output, std::string* error, int timeoutSeconds = 0,
                      bool quiet = false);
    // /bin/sh -c <pipeline>: only for fixed pipelines written in the source.
    static int systemShell(char const* fixedPipeline, std::string* output, std::string* error,
                           int timeoutSeconds = 0);

    // Starts argv without waiting: the child's standard input and output are
    // /dev/null, its standard error is this process's, and `channelFd` (when not
    // -1) becomes its descriptor 3; nothing else is inherited. Journalled as
    // ("process", "spawn", argv joined by '\x1f') and failed by a fault of that
    // call. 0 and *pid on success; 127 when the program cannot be executed (no
    // child is left), -1 when it cannot be started; *error then says why.
    static int spawn(std::vector<std::string> const& argv, int channelFd, int* pid, std::string* error);
    // Waits up to timeoutMs (negative: without limit) for a child that spawn
    // started to end. kill sends SIGKILL to the child first. The exit status as
    // system gives it once the child is reaped; -2 while it still runs.
    static int wait(int pid, int timeoutMs, bool kill);
    // True while the process runs: it exists (kill(pid, 0) succeeds or is
    // refused with EPERM) and its state in /proc/<pid>/stat is not zombie ('Z')
    // or dead ('X'). False for pid <= 0. The one liveness test of the suite.
    static bool IsAlive(int pid);
    // When the process started, in clock ticks since boot (field 22 of
    // /proc/<pid>/stat); 0 when it cannot be read. With the pid it names one
    // process for good: a pid taken again later has another start.
    static unsigned long long StartTime(int pid);
    // True while a process of the process group `pgid` runs (one that has
    // ended and is not reaped does not count). False for pgid <= 0. With
    // `leaderStart` (StartTime of the group's leader when it was recorded):
    // false too when the process `pgid` is another process than that leader,
    // that is, the number now leads a group that is not the recorded one.
    static bool GroupAlive(int pgid, unsigned long long leaderStart = 0);

    // The words of a command line (rules above); false (errno EINVAL) for an
    // unterminated quote or a trailing backslash.
    static bool SplitCommandLine(char const* commandLine, std::vector<std::string>* words);
    // The journal text of an argument vector: the arguments joined by '\x1f'.
    static std::string JournalText(std::vector<std::string> const& argv);
};
