// The logger's batches: lines kept in memory cost no write each, reach the
// file within the batch age, error lines at once, and none is lost or doubled
// when the process ends (exit, a fatal signal) or forks.
#include "nuvdbsnap/platform/base/log.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The file as it is on disk, without writing this process's batch first.
std::string OnDisk(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t Count(std::string const& text, std::string const& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The write(2) calls this process has made so far.
long long WriteCalls() {
    std::ifstream in("/proc/self/io");
    std::string key;
    long long value = 0;
    while (in >> key >> value)
        if (key == "syscw:") return value;
    return -1;
}

class LogBatchTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        // A test run again in a new process writes to the file of the first run.
        char const* given = std::getenv("NUV_TEST_LOG");
        m_file = given ? std::string(given) : m_root.base() + "/batch.log";
        setenv("JZ_LOG_FILE", m_file.c_str(), 1);
        g_ptrLogWriter->setLevel(1);
    }
    void TearDown() override {
        g_ptrLogWriter->Flush();
        unsetenv("JZ_LOG_FILE");
    }
    std::string m_file;
};

TEST_F(LogBatchTest, LinesCostNoWriteEachAndReachTheFileWithinTheBatchAge) {
    EvDebug::Error(nullptr, "batch", "the file is open");
    long long const before = WriteCalls();
    ASSERT_GE(before, 0);
    for (int i = 0; i < 1000; ++i) EvDebug::Debug(nullptr, "batch", "line %d of a file", i);
    EXPECT_LE(WriteCalls() - before, 20) << "a thousand short lines in a few batches";

    // Nothing more is logged: the lines still reach the file within the batch age.
    auto const start = std::chrono::steady_clock::now();
    while (Count(OnDisk(m_file), " of a file\n") < 1000 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double const waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string const text = OnDisk(m_file);
    EXPECT_EQ(1000u, Count(text, " of a file\n"));
    EXPECT_EQ(1u, Count(text, "] line 999 of a file\n"));
    EXPECT_LT(waited, 1.5) << "the batch age is 0.2 s; the machine's load may add to it, not this much";
}

TEST_F(LogBatchTest, AnErrorLineGoesOutAtOnceAfterTheLinesBeforeIt) {
    struct Case {
        int level;
        bool atOnce;
    } const cases[] = {{-1, true}, {0, false}, {1, false}};
    for (Case const& c : cases) {
        g_ptrLogWriter->Flush();
        EvDebug::Debug(nullptr, "batch", "kept before %d", c.level);
        g_ptrLogWriter->Write(c.level, "batch", 0, "line at %d", c.level);
        std::string const text = OnDisk(m_file);
        std::string const line = "line at " + std::to_string(c.level) + "\n";
        if (c.atOnce) {
            size_t const kept = text.find("kept before " + std::to_string(c.level) + "\n");
            ASSERT_NE(std::string::npos, kept) << c.level;
            EXPECT_LT(kept, text.find(line)) << c.level;
            EXPECT_EQ(1u, Count(text, line)) << c.level;
        } else if (Count(text, line) != 0) {
            // Only a batch older than its age goes out with the next line.
            ADD_FAILURE() << "line at " << c.level << " written at once";
        }
    }
    g_ptrLogWriter->Flush();
    std::string const text = OnDisk(m_file);
    for (int level : {-1, 0, 1}) EXPECT_EQ(1u, Count(text, "line at " + std::to_string(level) + "\n")) << level;
}

// A child of fork() gets no copy of the parent's kept lines, and its own lines
// survive its _exit(); the parent's lines after fork() are still kept.
TEST_F(LogBatchTest, ForkDoublesNoLineAndAChildsLinesSurviveItsExit) {
    EvDebug::Debug(nullptr, "batch", "parent before fork");
    int const child = nuvtest::StartChild([] {
        EvDebug::Debug(nullptr, "batch", "child line");
        _exit(0);
        return 0;
    });
    ASSERT_EQ(0, nuvtest::WaitChild(child));
    EvDebug::Debug(nullptr, "batch", "parent after fork");
    g_ptrLogWriter->Flush();
    std::string const text = OnDisk(m_file);
    for (char const* line : {"] parent before fork\n", "] child line\n", "] parent after fork\n"})
        EXPECT_EQ(1u, Count(text, line)) << line << text;
    EXPECT_LT(text.find("parent before fork"), text.find("child line"));
}

// How a process ends: every line it logged is in the file once, in order.
// Each end runs in a process of its own (the test program again).
TEST_F(LogBatchTest, KeptLinesSurviveTheEndOfTheProcess) {
    struct End {
        char const* name;
        int code;   // the run's exit code; 128 + signal for a death by a signal
    } const ends[] = {
        {"exit", 3}, {"return", 0}, {"abort", 128 + SIGABRT}, {"segv", 128 + SIGSEGV}, {"term", 128 + SIGTERM},
        {"thread-abort", 128 + SIGABRT}, {"fork-then-exit", 4},
    };
    char const* end = std::getenv("NUV_TEST_END");
    if (nuvtest::InTestRunAgain() && end != nullptr) {
        std::string const how = end;
        for (int i = 0; i < 300; ++i) EvDebug::Debug(nullptr, "end", "%s line %d", end, i);
        if (how == "exit") exit(3);
        if (how == "abort") abort();
        if (how == "segv") raise(SIGSEGV);
        if (how == "term") raise(SIGTERM);
        if (how == "thread-abort") std::thread([] { abort(); }).join();
        if (how == "fork-then-exit") {
            int const child = nuvtest::StartChild([] { _exit(0); return 0; });
            if (nuvtest::WaitChild(child) != 0) exit(1);
            exit(4);
        }
        return;   // "return": the test program ends as it does after its tests
    }
    for (End const& e : ends) {
        int const code = nuvtest::RunTestAgain({{"NUV_TEST_END", e.name}, {"NUV_TEST_LOG", m_file}});
        if (e.code > 128) {
            // Under a sanitizer its own handler may end a fault with SIGABRT.
            EXPECT_TRUE(code == e.code || code == 128 + SIGABRT) << e.name << " ended with " << code;
        } else {
            EXPECT_EQ(e.code, code) << e.name;
        }
        std::string const text = OnDisk(m_file);
        std::string const prefix = std::string("] ") + e.name + " line ";
        EXPECT_EQ(300u, Count(text, prefix)) << e.name;
        size_t last = 0;
        for (int i = 0; i < 300; ++i) {
            std::string const line = prefix + std::to_string(i) + "\n";
            size_t const at = text.find(line);
            ASSERT_NE(std::string::npos, at) << line;
            EXPECT_EQ(1u, Count(text, line)) << line;
            EXPECT_GE(at, last) << line;
            last = at;
        }
    }
}

// Batches of processes that write one file at once never split a line.
TEST_F(LogBatchTest, BatchesOfProcessesWritingOneFileKeepLinesWhole) {
    std::string const payload(3000, 'p');
    if (nuvtest::InTestRunAgain()) {
        std::string const me = std::getenv("NUV_TEST_WRITER");
        for (int i = 0; i < 400; ++i) EvDebug::Debug(nullptr, "whole", "%s-%d %s", me.c_str(), i, payload.c_str());
        return;
    }
    std::vector<std::thread> runs;
    int codes[3] = {-1, -1, -1};
    for (int w = 0; w < 3; ++w)
        runs.emplace_back([&, w] {
            codes[w] = nuvtest::RunTestAgain({{"NUV_TEST_WRITER", "w" + std::to_string(w)}, {"NUV_TEST_LOG", m_file}});
        });
    for (auto& r : runs) r.join();
    for (int code : codes) EXPECT_EQ(0, code);
    std::map<std::string, int> seen;
    std::ifstream in(m_file);
    std::string line;
    while (std::getline(in, line)) {
        size_t const tag = line.find(" [whole] ");
        if (tag == std::string::npos) continue;
        std::string const text = line.substr(tag + 9);
        size_t const blank = text.find(' ');
        ASSERT_NE(std::string::npos, blank) << line.substr(0, 120);
        EXPECT_EQ(payload, text.substr(blank + 1)) << line.substr(0, 120);
        ++seen[text.substr(0, blank)];
    }
    EXPECT_EQ(1200u, seen.size());
    for (auto const& s : seen) EXPECT_EQ(1, s.second) << s.first;
}

}  // namespace
