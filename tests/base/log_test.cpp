// The logger: whole lines under concurrency, the level gate, the line fields.
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Line {
    long pid = 0;
    long tid = 0;
    unsigned long long job = 0;
    int level = 0;
    std::string tag;
    std::string text;
};

class LogTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        m_file = m_root.base() + "/test.log";
        setenv("JZ_LOG_FILE", m_file.c_str(), 1);
    }
    void TearDown() override { unsetenv("JZ_LOG_FILE"); }

    // Every line of the log; a line that does not have the line form fails the test.
    std::vector<Line> Lines() {
        static std::regex const form(
            R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (\d+) (\d+) (\d+) (-?\d+) \[([^\]]*)\] (.*)$)");
        std::vector<Line> lines;
        g_ptrLogWriter->Flush();
        std::ifstream in(m_file);
        std::string text;
        while (std::getline(in, text)) {
            std::smatch m;
            if (!std::regex_match(text, m, form)) {
                ADD_FAILURE() << "not a whole line: [" << text.substr(0, 120) << "]";
                continue;
            }
            Line l;
            l.pid = std::stol(m[1]);
            l.tid = std::stol(m[2]);
            l.job = std::stoull(m[3]);
            l.level = std::stoi(m[4]);
            l.tag = m[5];
            l.text = m[6];
            lines.push_back(l);
        }
        return lines;
    }

    std::string m_file;
};

TEST_F(LogTest, ALineCarriesPidThreadJobLevelTagAndTheTextVerbatim) {
    setenv("JZ_JOB_ID", "77", 1);
    EvEvent ev;
    EXPECT_EQ(ev.getJobId(), 77u);
    EvDebug::Debug(&ev, "NuvSnapUtil::createSnapShot", "value %s %d", "a%sb", 5);
    EvDebug::Error(nullptr, nullptr, "%s", "no tag, job from the environment");
    g_ptrLogWriter->WriteText(0, "raw", 5, "100% verbatim %s %n");
    unsetenv("JZ_JOB_ID");
    EvDebug::Debug(nullptr, "t", "ends with a line feed\n");

    auto lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].pid, getpid());
    EXPECT_EQ(lines[0].tid, static_cast<long>(syscall(SYS_gettid)));
    EXPECT_EQ(lines[0].job, 77u);
    EXPECT_EQ(lines[0].level, 0);
    EXPECT_EQ(lines[0].tag, "NuvSnapUtil::createSnapShot");
    EXPECT_EQ(lines[0].text, "value a%sb 5");
    EXPECT_EQ(lines[1].tag, "");
    EXPECT_EQ(lines[1].level, -1);
    EXPECT_EQ(lines[1].job, 77u);
    EXPECT_EQ(lines[2].text, "100% verbatim %s %n");
    EXPECT_EQ(lines[2].job, 5u);
    EXPECT_EQ(lines[3].job, 0u);
    EXPECT_EQ(lines[3].text, "ends with a line feed");
}

// Formats of texts alone are written as printf writes them.
TEST_F(LogTest, FormatsOfTextsAreWrittenAsPrintfWritesThem) {
    struct Case {
        char const* format;
        char const* first;
        char const* second;
        std::string text;
    };
    std::vector<Case> const cases = {
        {"Postgres path [%s]", "/data/pg/base/1", "", "Postgres path [/data/pg/base/1]"},
        {"%s%s", "a", "b", "ab"},
        {"[%s] %s", "", "%s%d", "[] %s%d"},
        {"100%% of %s, %%s", "x", "", "100% of x, %s"},
        {"no conversion at all", "", "", "no conversion at all"},
        {"[%5s|%-3s]", "ab", "c", "[   ab|c  ]"},     // widths go to printf
        {"%.2s %s", "abc", "d", "ab d"},
        {"null [%s]", nullptr, "", "null [(null)]"},
    };
    for (Case const& c : cases) g_ptrLogWriter->Write(0, "fmt", 0, c.format, c.first, c.second);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(lines[i].text, cases[i].text) << cases[i].format;
        EXPECT_EQ(lines[i].tag, "fmt");
    }
}

TEST_F(LogTest, TheLevelGatesLinesAndErrorsAlwaysPass) {
    struct Case {
        char const* setting;  // EventManager / nDebugLevel, or null
        int explicitLevel;    // setLevel, or -100 for none
        int lineLevel;
        bool written;
    } const cases[] = {
        {nullptr, -100, 1, true},  {nullptr, -100, 2, false}, {nullptr, -100, -1, true},
        {"3", -100, 3, true},      {"3", -100, 4, false},     {"3", 0, 1, false},
        {"3", 0, 0, true},         {"0", -100, -1, true},     {"15", -100, 15, true},
    };
    for (auto const& c : cases) {
        if (c.setting) {
            ASSERT_FALSE(JZRegistry::setValue("Instance001", "EventManager", "nDebugLevel", c.setting).IsError());
        } else {
            ASSERT_FALSE(JZRegistry::removeValue("Instance001", "EventManager", "nDebugLevel").IsError());
        }
        unlink(m_file.c_str());
        JzLogWriter writer;  // reads the level at its first question
        if (c.explicitLevel != -100) writer.setLevel(c.explicitLevel);
        writer.Write(c.lineLevel, "gate", 0, "line at %d", c.lineLevel);
        writer.Flush();
        auto lines = Lines();
        EXPECT_EQ(lines.size(), c.written ? 1u : 0u)
            << (c.setting ? c.setting : "none") << " explicit " << c.explicitLevel << " line " << c.lineLevel;
    }
}

TEST_F(LogTest, DebugLevelOfTheProcessWriter) {
    ASSERT_FALSE(JZRegistry::setValue("Instance001", "EventManager", "nDebugLevel", "7").IsError());
    JzLogWriter fresh;
    EXPECT_EQ(fresh.getLevel(), 7);
    g_ptrLogWriter->setLevel(6);
    EXPECT_EQ(EvDebug::getDebugLevel(), 6);
    EvDebug debug;
    EXPECT_EQ(debug.GetDebugLevel(), 6);
    EvDebug::DebugLvl(nullptr, 7, "t", "hidden");
    EvDebug::DebugLvl(nullptr, 6, "t", "shown");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "shown");
}

// Lines of many threads in two processes stay whole: each has its own id and
// an intact payload, and none is lost.
TEST_F(LogTest, LinesStayWholeUnderThreadsOfTwoProcesses) {
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    std::string payload(3000, 'p');
    g_ptrLogWriter->setLevel(1);
    EvDebug::Debug(nullptr, "start", "before fork");  // the file is open before the children exist
    auto body = [&](int proc) {
        return [&, proc]() {
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, proc, t] {
                    for (int i = 0; i < kLines; ++i)
                        EvDebug::Debug(nullptr, "stress", "%d-%d-%d %s", proc, t, i, payload.c_str());
                });
            }
            for (auto& th : threads) th.join();
            return 0;
        };
    };
    int a = nuvtest::StartChild(body(1));
    int b = nuvtest::StartChild(body(2));
    ASSERT_EQ(nuvtest::WaitChild(a), 0);
    ASSERT_EQ(nuvtest::WaitChild(b), 0);

    std::map<std::string, int> seen;
    std::map<long, int> perProcess;
    for (Line const& l : Lines()) {
        if (l.tag != "stress") continue;
        size_t blank = l.text.find(' ');
        ASSERT_NE(blank, std::string::npos);
        EXPECT_EQ(l.text.substr(blank + 1), payload);
        ++seen[l.text.substr(0, blank)];
        ++perProcess[l.pid];
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(2 * kThreads * kLines));
    for (auto const& s : seen) EXPECT_EQ(s.second, 1) << s.first;
    EXPECT_EQ(perProcess.size(), 2u);
}

// A thread that logged before fork() logs in the child with the child's own
// process and thread ids, and again with the parent's in the parent; a line
// longer than any buffer the writer starts with stays whole.
TEST_F(LogTest, AForkedChildLogsItsOwnIds) {
    g_ptrLogWriter->setLevel(1);
    EvDebug::Debug(nullptr, "ids", "parent before");
    std::string const longText(5000, 'q');
    int child = nuvtest::StartChild([&] {
        EvDebug::Debug(nullptr, "ids", "child %s", longText.c_str());
        return 0;
    });
    ASSERT_EQ(nuvtest::WaitChild(child), 0);
    EvDebug::Debug(nullptr, "ids", "parent after");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    long const self = getpid(), selfThread = static_cast<long>(syscall(SYS_gettid));
    struct Expected {
        char const* text;
        long pid, tid;
    } const expected[] = {
        {"parent before", self, selfThread},
        {nullptr, child, child},   // the forked thread is the child's main thread
        {"parent after", self, selfThread},
    };
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].pid, expected[i].pid) << i;
        EXPECT_EQ(lines[i].tid, expected[i].tid) << i;
        if (expected[i].text) EXPECT_EQ(lines[i].text, expected[i].text);
    }
    EXPECT_EQ(lines[1].text, "child " + longText);
}

TEST_F(LogTest, TheFileLiesUnderTheStateRootUnlessOverridden) {
    EXPECT_EQ(g_ptrLogWriter->path(), m_file);
    unsetenv("JZ_LOG_FILE");
    std::string expected = nuvsuite::StatePath("logs") + "/nuvdbsnap.log";
    EvDebug::Error(nullptr, "t", "to the state root");
    EXPECT_EQ(g_ptrLogWriter->path(), expected);
    std::ifstream in(expected);   // an error line is written at once
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_NE(line.find("to the state root"), std::string::npos);
    JZPI_EventManager em;
    EXPECT_EQ(std::string(em.getLogFilesDirectory()), nuvsuite::StatePath("logs"));
}

TEST_F(LogTest, LoggingKeepsTheCallersErrno) {
    errno = 1234;
    EvDebug::Error(nullptr, "t", "x");
    EXPECT_EQ(errno, 1234);
}

TEST(EvEventTest, JobIdFromTheEnvironmentAndQueuedArguments) {
    unsetenv("JZ_JOB_ID");
    EXPECT_EQ(EvEvent().getJobId(), 0u);
    setenv("JZ_JOB_ID", "123", 1);
    EXPECT_EQ(EvEvent().getJobId(), 123u);
    setenv("JZ_JOB_ID", "12x", 1);
    EXPECT_EQ(EvEvent().getJobId(), 0u);
    unsetenv("JZ_JOB_ID");

    EvEvent ev(9);
    ev << "Root volume is not supported" << static_cast<char const*>(nullptr);
    EXPECT_EQ(ev.getArguments(), (std::vector<std::string>{"Root volume is not supported", ""}));
    EXPECT_EQ(ev.takeArguments().size(), 2u);
    EXPECT_TRUE(ev.getArguments().empty());
}

}  // namespace
