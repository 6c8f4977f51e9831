#include "support/suite_root.h"

#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace nuvtest {
namespace {

std::string GetEnv(char const* name, bool* had) {
    char const* v = std::getenv(name);
    *had = v != nullptr;
    return v ? v : "";
}

void Restore(char const* name, bool had, std::string const& value) {
    if (had) setenv(name, value.c_str(), 1);
    else unsetenv(name);
}

}  // namespace

ScopedSuiteRoot::ScopedSuiteRoot() {
    m_oldRoot = GetEnv("JZ_SUITE_ROOT", &m_hadRoot);
    m_oldReg = GetEnv("JZREG", &m_hadReg);
    std::string tmpl = (std::filesystem::temp_directory_path() / "nuvsuite-test-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_base = buf.data();
    m_path = m_base + "/root";
    // Where it can, the state root lies on another file system than the test's
    // data (as the suite's state does beside a database): a freeze of a data
    // volume must never reach the suite's own files.
    struct stat tmpSt {}, shmSt {};
    if (stat(m_base.c_str(), &tmpSt) == 0 && stat("/dev/shm", &shmSt) == 0 && S_ISDIR(shmSt.st_mode) &&
        tmpSt.st_dev != shmSt.st_dev) {
        char shm[] = "/dev/shm/nuvsuite-root-XXXXXX";
        if (mkdtemp(shm) != nullptr) {
            m_separate = shm;
            m_path = m_separate + "/root";
        }
    }
    setenv("JZ_SUITE_ROOT", m_path.c_str(), 1);
    setenv("JZREG", (m_path + "/registry").c_str(), 1);
}

ScopedSuiteRoot::~ScopedSuiteRoot() {
    Restore("JZ_SUITE_ROOT", m_hadRoot, m_oldRoot);
    Restore("JZREG", m_hadReg, m_oldReg);
    std::error_code ec;
    std::filesystem::remove_all(m_base, ec);
    if (!m_separate.empty()) std::filesystem::remove_all(m_separate, ec);
}

PipeSignal::PipeSignal() {
    if (pipe(m_fds) != 0) throw std::runtime_error("pipe failed");
}

PipeSignal::~PipeSignal() {
    CloseRead();
    CloseWrite();
}

void PipeSignal::Send(char byte) {
    while (write(m_fds[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

bool PipeSignal::Wait() {
    char byte = 0;
    ssize_t n;
    while ((n = read(m_fds[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    return n == 1;
}

void PipeSignal::CloseRead() {
    if (m_fds[0] >= 0) close(m_fds[0]);
    m_fds[0] = -1;
}

void PipeSignal::CloseWrite() {
    if (m_fds[1] >= 0) close(m_fds[1]);
    m_fds[1] = -1;
}

int StartChild(std::function<int()> const& body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        _exit(code);
    }
    return pid;
}

int WaitChild(int pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int StartZombie() {
    int const pid = StartChild([] { return 0; });
    if (pid <= 0) return pid;
    siginfo_t info{};
    // Waits for the exit without reaping it: the child stays a zombie.
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0)
        if (errno != EINTR) return -1;
    return pid;
}

namespace {

std::string CurrentTestName() {
    auto const* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
}

}  // namespace

int RunTestAgain(std::vector<std::pair<std::string, std::string>> const& environment) {
    int const pid = StartTestAgain(environment);
    return pid < 0 ? -1 : WaitChild(pid);
}

int StartTestAgain(std::vector<std::pair<std::string, std::string>> const& environment) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    std::string word;
    for (char c : all) {
        if (c != '\0') {
            word += c;
            continue;
        }
        // The child runs this one test, in order.
        if (word.rfind("--gtest_filter=", 0) != 0 && word.rfind("--gtest_shuffle", 0) != 0 &&
            word.rfind("--gtest_repeat=", 0) != 0)
            words.push_back(word);
        word.clear();
    }
    std::string const name = CurrentTestName();
    words.push_back("--gtest_filter=" + name);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        for (auto const& [key, value] : environment) setenv(key.c_str(), value.c_str(), 1);
        setenv("NUV_TEST_AGAIN", name.c_str(), 1);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    return pid < 0 ? -1 : pid;
}

bool InTestRunAgain() {
    char const* again = std::getenv("NUV_TEST_AGAIN");
    return again != nullptr && CurrentTestName() == again;
}

ProgramResult RunProgram(std::string const& path, std::vector<std::string> const& args) {
    ProgramResult result;
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return result;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (auto const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.exitCode = WaitChild(pid);
    return result;
}

}  // namespace nuvtest

namespace nuvtest {

void LinkSelfIntoBaseHome(std::string const& name) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string const home = nuvsuite::StatePath("basehome");
    (void)mkdir(home.c_str(), 0755);
    std::string const link = home + "/" + name;
    ASSERT_EQ(symlink(self, link.c_str()), 0) << link << ": " << strerror(errno);
}

std::string OwnProgramName() {
    std::ifstream in("/proc/self/cmdline");
    std::string argv0;
    std::getline(in, argv0, '\0');
    size_t slash = argv0.rfind('/');
    return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}

void DeclareRow(std::vector<std::string> words) {
    words.insert(words.begin(), "declare");
    ProgramResult r = RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite", words);
    ASSERT_EQ(0, r.exitCode) << r.err;
}

}  // namespace nuvtest
