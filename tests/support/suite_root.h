// Test helpers over the local suite (see also files.h, job_scene.h and
// engine_fixture.h beside this one): a fresh state root per test, child
// processes with a pipe handshake, and running a built program.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace nuvtest {

// Points JZ_SUITE_ROOT and JZREG into a new temporary directory for its
// lifetime; restores the previous values and removes the directory after.
class ScopedSuiteRoot {
public:
    ScopedSuiteRoot();
    ~ScopedSuiteRoot();
    ScopedSuiteRoot(ScopedSuiteRoot const&) = delete;
    ScopedSuiteRoot& operator=(ScopedSuiteRoot const&) = delete;

    std::string const& path() const { return m_path; }
    std::string const& base() const { return m_base; }  // temporary directory for the test's data

private:
    std::string m_base;
    std::string m_path;
    std::string m_separate;  // the root's own temporary directory on another file system, if any
    std::string m_oldRoot;
    std::string m_oldReg;
    bool m_hadRoot = false;
    bool m_hadReg = false;
};

// A test with its own state root.
class SuiteTest : public ::testing::Test {
protected:
    ScopedSuiteRoot m_root;
};

// A one-way signal between two processes over a pipe.
class PipeSignal {
public:
    PipeSignal();
    ~PipeSignal();
    void Send(char byte = 'x');          // writes one byte
    [[nodiscard]] bool Wait();           // reads one byte; false on end of file
    void CloseRead();
    void CloseWrite();

private:
    int m_fds[2] = {-1, -1};
};

// Runs `body` in a forked child that exits with its result (gtest failures in
// the child do not reach the parent: return a non-zero code instead).
// Returns the child's pid.
int StartChild(std::function<int()> const& body);
// Waits for the child; its exit code, or 128 + signal.
int WaitChild(int pid);
// A child that has exited and is not reaped yet (a zombie) until WaitChild(pid).
int StartZombie();

// Runs the current test again in a new process of the test program (exec:
// nothing of this process carries over), with these environment variables
// set and NUV_TEST_AGAIN naming the test; the child's exit code.
int RunTestAgain(std::vector<std::pair<std::string, std::string>> const& environment = {});
// The same without waiting: the child's pid (for WaitChild), -1 when it cannot start.
int StartTestAgain(std::vector<std::pair<std::string, std::string>> const& environment = {});
// True inside the process that RunTestAgain started for the current test.
bool InTestRunAgain();

struct ProgramResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The test program as a program of the base home directory: a link named
// `name` there to this executable. A test program that checks OwnProgramName()
// in a static constructor then acts as the peer a caller starts by that name.
void LinkSelfIntoBaseHome(std::string const& name);
// The file name (no directory) under which this process was started.
std::string OwnProgramName();

// Runs a program with these arguments (no shell) and the current environment;
// stdin is /dev/null.
ProgramResult RunProgram(std::string const& path, std::vector<std::string> const& args);

// Declares one row through the admin command of the build ("jzsuite declare
// KIND column=value ..."); a refusal fails the current test.
void DeclareRow(std::vector<std::string> words);

}  // namespace nuvtest
