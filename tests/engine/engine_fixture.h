// Helpers of the snapshot-engine tests (header only: tests/engine and
// tests/engine_xfs both use it): a fresh state root with one client,
// application and job, declared volumes, the journal, and re-running the test
// process with a library search path for the snap-handler plug-in.
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
    std::vector<std::string> words;
    std::string word;
    for (char c : all) {
        if (c == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
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

inline void WriteFile(std::string const& path, std::string const& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(std::string const& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline std::string MakeDir(std::string const& path) {
    mkdir(path.c_str(), 0755);
    return path;
}

// A volume of the snapshot manager at `path` ("fstype:options" mount options).
inline void DeclareVolume(std::string const& path, std::string const& device, std::string const& fsType,
                          std::string const& options) {
    CFzError e = nuvsuite::Catalogue::Instance().Exec(
        "INSERT OR REPLACE INTO sm_volumes (path, device, fstype, options) VALUES (?, ?, ?, ?)",
        {path, device, fsType, options});
    ASSERT_FALSE(e.IsError()) << e.AsString();
}

inline void SetSetting(std::string const& section, std::string const& key, std::string const& value) {
    CFzError e = JZRegistry::setValue(JZRegistry::kDefaultInstance, section, key, value);
    ASSERT_FALSE(e.IsError()) << e.AsString();
}

// The journal's calls of one service and call, as their argument texts.
inline std::vector<std::string> JournalArgs(std::string const& service, std::string const& call) {
    std::vector<std::string> args;
    for (auto const& e : nuvsuite::ReadJournal(service, call)) args.push_back(e.args);
    return args;
}

// The journal's "service.call" names in order, of the given services.
inline std::vector<std::string> JournalCalls(std::vector<std::string> const& services) {
    std::vector<std::string> calls;
    for (auto const& e : nuvsuite::ReadJournal()) {
        for (auto const& s : services)
            if (e.service == s) calls.push_back(e.service + "." + e.call);
    }
    return calls;
}

// The argument vector of a journalled process run ("a\x1f" "b" -> {a, b}).
inline std::vector<std::string> SplitArgv(std::string const& text) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == '\x1f') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

// The freeze-tool runs in the journal, each as "-f <mount point>" / "-u <mount point>".
inline std::vector<std::string> FreezeRuns() {
    std::vector<std::string> runs;
    for (auto const& args : JournalArgs("process", "system")) {
        auto argv = SplitArgv(args);
        if (argv.size() == 3 && argv[0] == NuvDBQuiesceFS::kFreezeTool) runs.push_back(argv[1] + " " + argv[2]);
    }
    return runs;
}

// One client (this host's focus client), subclient, application and job in a
// fresh state root; the job is the process's job context (JZ_JOB_ID).
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_clientName = JZPI_Focus::getFocusClientName(true);
        nuvappmgr::ClientDecl client;
        client.name = m_clientName;
        ASSERT_FALSE(nuvappmgr::DeclareClient(client, &m_clientId).IsError());
        m_data = MakeDir(m_root.base() + "/data");
        WriteFile(m_data + "/table.dat", "rows of the first table\n");
    }

    // Declares the application (with its subclient) and a new job for it.
    void DeclareApp(int appType, bool blockLevel = false, bool metadata = false) {
        nuvappmgr::SubclientDecl sub;
        sub.name = "default";
        sub.blockLevel = blockLevel;
        sub.metadata = metadata;
        ASSERT_FALSE(nuvappmgr::DeclareSubclient(sub, &m_subclientId).IsError());
        nuvappmgr::ApplicationDecl app;
        app.clientId = m_clientId;
        app.appType = appType;
        app.subclientId = m_subclientId;
        ASSERT_FALSE(nuvappmgr::DeclareApplication(app, &m_appId).IsError());
        m_appType = appType;
        m_application.reset(new ApplicationId(nuvsuite::kLocalBrannoxId, m_appId));
        nuvjobmgr::JobInfo job;
        CFzError e = nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job);
        ASSERT_FALSE(e.IsError()) << e.AsString();
        m_jobId = job.id;
        m_jobToken = job.token;
        setenv("JZ_JOB_ID", std::to_string(m_jobId).c_str(), 1);
    }

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
        auto util = std::make_unique<NuvSnapUtil>(2, 1, m_application.get(), 0, verbose, nullptr, nullptr, mode);
        for (auto const& m : mountPoints) EXPECT_EQ(1, util->addMountPoint(m.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        EXPECT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
        EXPECT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        return util;
    }

    std::string JobResultsDir() const {
        return m_root.path() + "/jobresults/JZ_JobResults/2/0/" + std::to_string(m_jobId);
    }
    std::string SnapShotInfoFile() const { return JobResultsDir() + "/.snapShotInfo_" + std::to_string(m_jobId); }

    // Copies a built block-level library into the base home directory.
    void InstallBlockLevelLibrary(char const* folder = "blocklevel") {
        std::string const home = nuvsuite::StatePath("basehome");
        std::ifstream in(PluginDir(folder) + "/libJzBlkLvl.so", std::ios::binary);
        std::ofstream out(home + "/libJzBlkLvl.so", std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }

    nuvtest::ScopedSuiteRoot m_root;
    std::string m_clientName;
    unsigned long m_clientId = 0;
    unsigned long m_subclientId = 0;
    unsigned long m_appId = 0;
    int m_appType = 0;
    std::unique_ptr<ApplicationId> m_application;
    int64_t m_jobId = 0;
    std::string m_jobToken;
    std::string m_data;
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
