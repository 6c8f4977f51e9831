// Host and proxy probes: files of a tree, file owners, cloud clients, proxy
// install directories, Oracle instances from an oratab and a process table
// (fixtures under the probe root; the host's own files are never read), the
// container test, settings sections; and the PostgreSQL job rules.
#include "nuvdbsnap/agentutil.h"
#include "nuvdbsnap/foundation/agent_records.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

TEST(SectionName, ByApplicationType) {
    struct Case {
        unsigned long type;
        char const* section;
    } const cases[] = {{3, "InformixAgent"}, {5, "SybaseAgent"},  {22, "OracleAgent"},  {80, "OracleAgent"},
                       {61, "OracleSapAgent"}, {62, "Db2Agent"}, {103, "Db2Agent"}, {79, "SapMaxDbAgent"},
                       {135, "SapHanaAgent"}, {37, "before"},     {104, "before"},     {125, "before"}};
    for (Case const& c : cases) {
        std::string section = "before";
        getSectionName(c.type, section);
        EXPECT_EQ(section, c.section) << c.type;
    }
}

class ProbeTest : public nuvtest::JobScene {
protected:
    void SetUp() override {
        JobScene::SetUp();
        m_probeRoot = nuvtest::MakeDir(m_root.base() + "/host");
        setenv("JZ_PROBE_ROOT", m_probeRoot.c_str(), 1);
    }
    void TearDown() override { unsetenv("JZ_PROBE_ROOT"); }

    void Process(int pid, std::string const& argv0) {
        nuvtest::MakeDir(m_probeRoot + "/proc/" + std::to_string(pid));
        nuvtest::WriteFile(m_probeRoot + "/proc/" + std::to_string(pid) + "/cmdline", argv0 + std::string(1, '\0'));
    }
    unsigned long Client(std::string const& name, int appType = 0) {
        nuvappmgr::ClientDecl decl;
        decl.name = name;
        decl.appType = appType;
        unsigned long id = 0;
        EXPECT_FALSE(nuvappmgr::DeclareClient(decl, &id).IsError());
        return id;
    }
    unsigned long Instance(unsigned long client, std::string const& name) {
        nuvappmgr::InstanceDecl decl;
        decl.clientId = client;
        decl.name = name;
        decl.appType = 22;
        unsigned long id = 0;
        EXPECT_FALSE(nuvappmgr::DeclareInstance(decl, &id).IsError());
        return id;
    }
    void ProxyHome(unsigned long client, int appType, std::string const& version, std::string const& dir) {
        ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                         .Exec("INSERT INTO proxy_db_homes(client_id, app_type, version, install_dir) VALUES(?, ?, ?, ?)",
                               {int64_t(client), int64_t(appType), version, dir})
                         .IsError());
    }

    std::string m_probeRoot;
};

TEST_F(ProbeTest, FilesOwnersAndCloudClients) {
    std::list<std::string> files;
    nuvtest::MakeDir(m_data + "/sub");
    nuvtest::WriteFile(m_data + "/sub/inner", "x");
    ASSERT_EQ(NuvDBAgentsCommonUtils::ReadFilesFromDir(m_data, files), 0);
    files.sort();
    EXPECT_EQ(files, (std::list<std::string>{m_data, m_data + "/sub", m_data + "/sub/inner", m_data + "/table.dat"}));
    EXPECT_EQ(NuvDBAgentsCommonUtils::ReadFilesFromDir("/", files), -1);

    EvEvent ev;
    std::string owner = "x", reserved = "r";
    ASSERT_FALSE(NuvDBAgentsCommonUtils::GetFileOwner(&ev, m_data + "/table.dat", owner, reserved).IsError());
    EXPECT_EQ(owner, JzPwEnt(geteuid()).name);
    EXPECT_EQ(reserved, "");
    CFzError e = NuvDBAgentsCommonUtils::GetFileOwner(&ev, m_data + "/none", owner, reserved);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1627)) << e.AsString();
    EXPECT_EQ(owner, "");
    if (geteuid() == 0) {
        std::string const orphan = m_data + "/orphan";
        nuvtest::WriteFile(orphan, "x");
        ASSERT_EQ(chown(orphan.c_str(), 4012345, 0), 0);
        reserved = "kept";
        e = NuvDBAgentsCommonUtils::GetFileOwner(&ev, orphan, owner, reserved);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, 1627));
        EXPECT_NE(e.AsString().find("uid [4012345] not found in passwd file on system"), std::string::npos);
        EXPECT_EQ(reserved, "kept");
    }

    EXPECT_TRUE(NuvDBAgentsCommonUtils::IsCloudDatabaseClient(Client("cloudy", 1)));
    EXPECT_FALSE(NuvDBAgentsCommonUtils::IsCloudDatabaseClient(Client("plain", 0)));
    EXPECT_FALSE(NuvDBAgentsCommonUtils::IsCloudDatabaseClient(987654));
}

TEST_F(ProbeTest, InstallDirectoryOnTheProxy) {
    unsigned long const proxy = m_clientId;  // this host's client
    ProxyHome(proxy, 22, "", "/u01/any");
    ProxyHome(proxy, 22, "19c", "/u01/19c");
    struct Case {
        char const* name;
        unsigned long proxyIn;
        std::string version;
        unsigned long appType;
        char const* dir;
    } const cases[] = {
        {"exact version", 0, "19c", 22, "/u01/19c"},
        {"any version", 0, "12c", 22, "/u01/any"},
        {"given proxy id used as is", 424242, "19c", 22, ""},
        {"no home for the type", 0, "19c", 125, ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned long proxyId = c.proxyIn;
        std::string dir = "x";
        EXPECT_EQ(NuvDBAgentsCommonUtils::GetDatabaseHomePathOnProxy(7, c.appType, c.version, proxyId, dir), 0);
        EXPECT_EQ(dir, c.dir);
        EXPECT_EQ(proxyId, c.proxyIn ? c.proxyIn : proxy);
    }
    nuvsuite::AddFault("appmgr", "NuvBackup::getProxyDBInstallDir", 12, "down", 1);
    unsigned long proxyId = 0;
    std::string dir;
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetDatabaseHomePathOnProxy(7, 22, "19c", proxyId, dir), 12);
}

TEST_F(ProbeTest, OracleInstancesFromTheOratabAndRunningMonitors) {
    std::string const marker = m_root.base() + "/marker";
    std::string const hostileHome = "/u01/x';touch " + marker + ";'";
    ProxyHome(m_clientId, 22, "19c", "/u01/19c");
    ProxyHome(m_clientId, 22, "bad", hostileHome);
    nuvtest::MakeDir(m_probeRoot + "/etc");
    nuvtest::WriteFile(m_probeRoot + "/etc/oratab",
                       "# PROD:/u01/19c:N\nPROD2:/u01/19c:N\nPROD:/u01/19c:Y\nOTHER:/u02/19c:N\n"
                       "$(touch " + marker + "):" + hostileHome + ":N\n");
    Process(100, "ora_pmon_PROD2");
    Process(101, "ora_pmon_OTHER");
    Process(102, "/usr/bin/ora_pmon_PRODUCTION");
    unsigned long const prod = Instance(m_clientId, "PROD");
    unsigned long const prod2 = Instance(m_clientId, "PROD2");
    (void)prod;

    unsigned long id = 99;
    ASSERT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "19c", id), 0);
    EXPECT_EQ(id, prod2);  // PROD's monitor does not run: PROD2's does not count for it

    Process(103, "xe_pmon_PROD");
    ASSERT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "19c", id), 0);
    EXPECT_EQ(id, prod2);  // oratab order: PROD2 comes first

    // A running instance the proxy client does not have: nothing found, id 0.
    nuvtest::WriteFile(m_probeRoot + "/etc/oratab", "OTHER:/u01/19c:N\n");
    ASSERT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "19c", id), 0);
    EXPECT_EQ(id, 0u);

    Process(104, "ora_pmon_$(touch " + marker + ")");
    nuvtest::WriteFile(m_probeRoot + "/etc/oratab", "$(touch " + marker + "):" + hostileHome + ":N\n");
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "bad", id), 0);
    EXPECT_EQ(id, 0u);
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a value reached a shell";
    EXPECT_TRUE(nuvtest::JournalArgs("process", "system").empty());

    EXPECT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "no-such-version", id), 0);
    EXPECT_EQ(id, 0u);
    unlink((m_probeRoot + "/etc/oratab").c_str());
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(7, "19c", id), -1);
}

TEST_F(ProbeTest, ContainerTestReadsProcessOneOfTheNamespace) {
    struct Case {
        char const* sched;  // null: no file
        bool container;
    } const cases[] = {
        {"systemd (1, #threads: 1)\n-----\n", false},
        {"bash ( 1 , #threads: 1)\n", false},
        {"sh (48213, #threads: 1)\n", true},
        {"garbage without a process id\n", false},
        {"sh (, #threads: 1)\n", false},
        {nullptr, false},
    };
    nuvtest::MakeDir(m_probeRoot + "/proc/1");
    for (Case const& c : cases) {
        std::string const path = m_probeRoot + "/proc/1/sched";
        unlink(path.c_str());
        if (c.sched) nuvtest::WriteFile(path, c.sched);
        EXPECT_EQ(NuvDBAgentsCommonUtils::IsLinuxContainer(), c.container) << (c.sched ? c.sched : "no file");
    }
}

TEST_F(ProbeTest, PostgresJobRulesTable) {
    std::vector<std::string> const fixed = {"/**/pg_subtrans/*", "/**/pg_subtrans", "/**/pgsql_tmp/*", "/**/pgsql_tmp",
                                            "/**/pg_clog/*",     "/**/pg_clog",     "/**/pg_xact/*",   "/**/pg_xact"};
    auto with = [&fixed](std::vector<std::string> more) {
        std::vector<std::string> all = fixed;
        all.insert(all.end(), more.begin(), more.end());
        all.push_back("*");
        return all;
    };
    struct Case {
        char const* setting;  // null: not set
        std::vector<std::string> patterns;
    } const cases[] = {
        {nullptr, with({})},
        {"", with({})},
        {"a,,b", with({"/**/a/*", "/**/a", "/**/b/*", "/**/b"})},
        {"a, b", with({"/**/a/*", "/**/a", "/**/ b/*", "/**/ b"})},
        {"pg_xact", with({"/**/pg_xact/*", "/**/pg_xact"})},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "unset");
        if (c.setting) nuvtest::SetSetting("PostGres", "sPGDirIgnoreList", c.setting);
        std::string xml;
        ASSERT_EQ(NuvDBAgentsCommonUtils::GetPostgresJobDecisionXML(xml), 0);
        App::JobErrorDecisionRuleList list;
        ASSERT_EQ(list.unserialize(xml), 0) << xml;
        std::vector<App::JobErrorDecisionRule>* rules = list.getlistobject<App::JobErrorDecisionRule>(1, 1);
        ASSERT_NE(rules, nullptr);
        std::vector<std::string> patterns;
        for (App::JobErrorDecisionRule& r : *rules) {
            patterns.push_back(r.getstring(1));
            bool const last = r.getstring(1) == "*";
            EXPECT_EQ(r.getint64(3), last ? 1 : 0);
            EXPECT_EQ(r.getint64(4), 1);
            CNMessageBase const* decision = r.getObjectAccessor(2, 5);
            ASSERT_NE(decision, nullptr);
            EXPECT_EQ(decision->getTagID(), 0x1EAF6CF8u);
            EXPECT_EQ(decision->getint64(1), 2);
            EXPECT_EQ(decision->getint64(2), 2);
            EXPECT_EQ(decision->getint64(3), last ? 1 : 0);
        }
        EXPECT_EQ(patterns, c.patterns);
    }
}

}  // namespace
