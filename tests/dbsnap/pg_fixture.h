// A real PostgreSQL 15 server for the sample agent's tests: the cluster is
// made and driven with the built pgcluster program (as the postgres user when
// the test runs as root), its data directory lies on a declared volume, and
// the agent program pgsnapagent runs the job. Tests skip when PostgreSQL is
// not installed.
#pragma once

#include "tests/dbsnap/driver_fixture.h"

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace nuvdbsnaptest {

inline std::string Program(char const* name) { return std::string(NUV_OUT_DIR) + "/bin/" + name; }

class PgAgentTest : public DriverTest {
protected:
    static constexpr int kRows = 500;

    void SetUp() override {
        char const* bin = std::getenv("NUV_PG_BINDIR");
        std::string const initdb = std::string(bin != nullptr ? bin : "/usr/lib/postgresql/15/bin") + "/initdb";
        if (access(initdb.c_str(), X_OK) != 0) GTEST_SKIP() << "PostgreSQL 15 is not installed (" << initdb << ")";
        DriverTest::SetUp();
        // The server's user walks into the test's directories.
        chmod(m_root.base().c_str(), 0755);
        m_pg = MakeDir(m_root.base() + "/pg");
        chmod(m_pg.c_str(), 0755);
        m_hold = MakeDir(m_pg + "/hold");
        DataVolume const volume = Volume();
        m_volume = volume.path;
        chmod(m_volume.c_str(), 0755);
        m_dataDir = m_volume + "/data";
        m_port = 20000 + static_cast<int>(getpid() % 20000);
        DeclareVolume(m_volume, volume.device, volume.fsType, "rw");
        DeclarePostgres(125, SnapEngine());
        ASSERT_EQ(0, Cluster({"init", "--archive", m_pg + "/archive"}));
        ASSERT_EQ(0, Cluster({"start"}));
        m_started = true;
        ASSERT_EQ("", Sql("CREATE TABLE sample_rows (id integer PRIMARY KEY, payload text NOT NULL)"));
        ASSERT_EQ("", Sql("INSERT INTO sample_rows SELECT g, md5(g::text) FROM generate_series(1, " +
                          std::to_string(kRows) + ") g"));
    }

    struct DataVolume {
        std::string path, device, fsType;
    };
    // The declared volume that holds the cluster's data directory.
    virtual DataVolume Volume() { return {MakeDir(m_pg + "/volume"), "/dev/pgsample", "ext4"}; }
    // The snapshot engine of the job's subclient.
    virtual int SnapEngine() const { return 2; }

    void TearDown() override {
        if (m_restored) (void)nuvtest::RunProgram(Program("pgcluster"), RestoredServer({"stop"}));
        if (m_started) (void)Cluster({"stop"});
    }

    std::vector<std::string> Server(std::vector<std::string> words) const {
        for (std::string const& w : {std::string("--data"), m_dataDir, std::string("--socket"), m_pg + "/run",
                                     std::string("--port"), std::to_string(m_port), std::string("--log"),
                                     m_pg + "/server.log"})
            words.push_back(w);
        return words;
    }
    std::vector<std::string> RestoredServer(std::vector<std::string> words) const {
        for (std::string const& w : {std::string("--data"), m_pg + "/restored", std::string("--socket"),
                                     m_pg + "/restored-run", std::string("--port"), std::to_string(m_port + 1),
                                     std::string("--log"), m_pg + "/restored.log"})
            words.push_back(w);
        return words;
    }
    int Cluster(std::vector<std::string> words) {
        auto r = nuvtest::RunProgram(Program("pgcluster"), Server(std::move(words)));
        EXPECT_EQ(0, r.exitCode) << r.err;
        return r.exitCode;
    }
    // Runs one statement; its output, or "error: ..." when it failed.
    std::string Sql(std::string const& sql) const {
        auto r = nuvtest::RunProgram(Program("pgcluster"), {"sql", "--socket", m_pg + "/run", "--port",
                                                            std::to_string(m_port), sql});
        return r.exitCode == 0 ? r.out : "error: " + r.err;
    }

    std::vector<std::string> AgentLine() const {
        auto words = CommandLine();
        words.erase(words.begin());
        for (std::string const& w :
             {std::string("-pgsock"), m_pg + "/run", std::string("-pgport"), std::to_string(m_port)})
            words.push_back(w);
        return words;
    }
    // A new job of the application becomes the fixture's job.
    void NextJob() {
        nuvjobmgr::JobInfo next;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &next).IsError());
        m_jobId = next.id;
        m_jobToken = next.token;
    }
    nuvtest::ProgramResult RunAgent() const { return nuvtest::RunProgram(Program("pgsnapagent"), AgentLine()); }
    // The agent as a child process; its pid.
    int StartAgent() const {
        auto words = AgentLine();
        std::string const program = Program("pgsnapagent");
        return nuvtest::StartChild([program, words]() {
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto const& w : words) argv.push_back(const_cast<char*>(w.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            return 127;
        });
    }

    // A hold point of the fault table ("<service>", "hold") in m_hold: waits until
    // the holder stands there (at most 120 s), and releases it.
    bool WaitUntilHeld() const {
        for (int i = 0; i < 12000; ++i) {
            if (Exists(m_hold + "/held")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Release() const { WriteFile(m_hold + "/release", "go"); }

    // Starts a server on a copy of the job's snapshot and counts its rows.
    nuvtest::ProgramResult Restore() {
        m_restored = true;
        auto words = RestoredServer({"restore", "--job", std::to_string(m_jobId), "--source-data", m_dataDir,
                                     "--labels", JobResultsDir(), "--archive", m_pg + "/archive", "--count",
                                     "sample_rows"});
        auto r = nuvtest::RunProgram(Program("pgcluster"), words);
        m_restored = r.exitCode != 0;  // a good run stops its server itself
        return r;
    }

    // Client backends other than the asking one (a held backup connection shows here).
    std::string OtherBackends() const {
        return Sql("SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend' "
                   "AND pid <> pg_backend_pid()");
    }

    std::string m_pg, m_volume, m_dataDir, m_hold;
    int m_port = 0;
    bool m_started = false;
    bool m_restored = false;
};

}  // namespace nuvdbsnaptest
