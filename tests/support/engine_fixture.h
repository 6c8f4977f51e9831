// Helpers of the snapshot-engine tests (tests/engine and tests/engine_xfs):
// the job scene of the test support, the block-level library in the base
// home, the freeze-tool runs, and re-running the test process with a library
// search path for the snap-handler plug-in.
#pragma once

#include "nuvdbsnap/engine.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nuvenginetest {

// The plug-in folders of the build.
inline std::string PluginDir(char const* name) { return std::string(NUV_OUT_DIR) + "/lib/" + name; }

// True in a process whose library search path is `dir` (set by RunSelfWithLibraryPath).
inline bool InProcessWithLibraryPath(std::string const& dir) {
    char const* done = std::getenv("NUV_TEST_LIBRARY_PATH");
    return done != nullptr && dir == done;
}

// Runs the current test again in a child process whose LD_LIBRARY_PATH is
// `dir` (the snap-handler plug-in is found by name through it, once per
// process); the child's exit code.
inline int RunSelfWithLibraryPath(std::string const& dir) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words = nuvtest::SplitAt(all, '\0');
    if (!words.empty() && words.back().empty()) words.pop_back();  // the NUL that ends the last word
    if (auto const* info = ::testing::UnitTest::GetInstance()->current_test_info())
        words.push_back(std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name());
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        setenv("LD_LIBRARY_PATH", dir.c_str(), 1);
        setenv("NUV_TEST_LIBRARY_PATH", dir.c_str(), 1);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace nuvenginetest

// First statement of a test that needs the library search path `dir`: outside
// such a process the test runs again in a child with it, and passes or fails with it.
#define NUV_RUN_WITH_LIBRARY_PATH(dir)                                                      \
    do {                                                                                    \
        if (!nuvenginetest::InProcessWithLibraryPath(dir)) {                                \
            EXPECT_EQ(0, nuvenginetest::RunSelfWithLibraryPath(dir)) << "in the child run"; \
            return;                                                                         \
        }                                                                                   \
    } while (0)

namespace nuvenginetest {

using nuvtest::DeclareVolume;
using nuvtest::Exists;
using nuvtest::JournalArgs;
using nuvtest::JournalCalls;
using nuvtest::MakeDir;
using nuvtest::ReadFile;
using nuvtest::SetSetting;
using nuvtest::SplitArgv;
using nuvtest::WriteFile;

// The freeze-tool runs in the journal, each as "-f <mount point>" / "-u <mount point>".
inline std::vector<std::string> FreezeRuns() {
    std::vector<std::string> runs;
    for (auto const& args : JournalArgs("process", "JzProcess::system")) {
        auto argv = SplitArgv(args);
        if (argv.size() == 3 && argv[0] == NuvDBQuiesceFS::kFreezeTool) runs.push_back(argv[1] + " " + argv[2]);
    }
    return runs;
}

// The job scene of the test support, with what the engine tests add to it.
class EngineTest : public nuvtest::JobScene {
protected:
    CreateArgs_t Request() const {
        CreateArgs_t request;
        request.backupType = 1;
        request.appId = static_cast<int64_t>(m_appId);
        request.clientId = static_cast<int64_t>(m_clientId);
        request.appType = m_appType;
        return request;
    }

    // A utility of the job with the archive records of these mount points, prepared.
    std::unique_ptr<NuvSnapUtil> PrepareUtil(std::vector<std::string> const& mountPoints, SpawnProcess mode,
                                             bool verbose = false) {
        auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, verbose, nullptr,
                                                  nullptr, mode);
        for (auto const& m : mountPoints) EXPECT_EQ(1, util->addMountPoint(m.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        EXPECT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
        EXPECT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        return util;
    }

    std::string SnapShotInfoFile() const { return JobResultsDir() + "/.snapShotInfo_" + std::to_string(m_jobId); }

    // Copies a built block-level library into the base home directory.
    void InstallBlockLevelLibrary(char const* folder = "blocklevel") {
        std::string const home = nuvsuite::StatePath("basehome");
        std::ifstream in(PluginDir(folder) + "/libJzBlkLvl.so", std::ios::binary);
        std::ofstream out(home + "/libJzBlkLvl.so", std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
};

// Records every call of the error callback.
struct CallbackLog {
    struct Call {
        int type = 0;
        std::string tag;
        int code = 0;
        std::string text;
    };
    std::vector<Call> calls;

    static void Record(void* context, int const& type, char const* tag, int const& code, char const* text) {
        auto* log = static_cast<CallbackLog*>(context);
        log->calls.push_back(Call{type, tag != nullptr ? tag : "", code, text != nullptr ? text : ""});
    }
};

}  // namespace nuvenginetest
