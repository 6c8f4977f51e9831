// The job driver's command line, its start-up against the job manager and the
// application manager, and its final report.
#include "tests/dbsnap/driver_fixture.h"

#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"

using namespace nuvdbsnaptest;

namespace {

struct ParseCase {
    char const* name;
    std::vector<std::string> words;
    int rc;
    uint32_t brannoxId;
    uint64_t appId;
    int64_t jobId;
};

void PrintTo(ParseCase const& c, std::ostream* os) { *os << c.name; }

class ParseArgsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseArgsTest, ParsesAsTheCommandLineSays) {
    nuvtest::ScopedSuiteRoot root;
    TestDriver driver;
    ParseCase const& c = GetParam();
    EXPECT_EQ(c.rc, driver.Parse(c.words));
    EXPECT_EQ(c.brannoxId, driver.args()->brannoxId);
    EXPECT_EQ(c.appId, driver.args()->appId);
    EXPECT_EQ(c.jobId, driver.args()->jobId);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseArgsTest,
    ::testing::Values(
        ParseCase{"Pair", {"agent", "-a", "2:5", "-j", "77"}, 0, 2, 5, 77},
        ParseCase{"NoDashA", {"agent", "-j", "3"}, 0, 0, 0, 3},
        ParseCase{"DomainOnly", {"agent", "-a", "2"}, -1, 2, 0, 0},
        ParseCase{"ZeroDomain", {"agent", "-a", "0:5"}, -1, 0, 5, 0},
        ParseCase{"LeadingColons", {"agent", "-a", "::2:5"}, 0, 2, 5, 0},
        ParseCase{"TrailingTextTolerated", {"agent", "-a", "2x:5y"}, 0, 2, 5, 0},
        ParseCase{"FullWidthAppId", {"agent", "-a", "4294967295:18446744073709551615"}, 0, 4294967295u,
                  18446744073709551615ull, 0},
        ParseCase{"DomainOverflowRefused", {"agent", "-a", "4294967296:5"}, -1, 0, 5, 0},
        ParseCase{"AppIdOverflowRefused", {"agent", "-a", "2:18446744073709551616"}, -1, 2, 0, 0},
        ParseCase{"NoDigitsRefused", {"agent", "-a", "2:abc"}, -1, 2, 0, 0},
        ParseCase{"NegativeRefused", {"agent", "-a", "-2:5"}, -1, 0, 5, 0},
        ParseCase{"OtherTokensSkippedOneByOne", {"agent", "-x", "-j", "9"}, 0, 0, 0, 9},
        ParseCase{"LaterRepetitionWins", {"agent", "-j", "1", "-j", "2"}, 0, 0, 0, 2},
        ParseCase{"MissingJobValue", {"agent", "-j"}, -1, 0, 0, 0},
        ParseCase{"MissingTokenValue", {"agent", "-jt"}, -1, 0, 0, 0}),
    [](::testing::TestParamInfo<ParseCase> const& info) { return std::string(info.param.name); });

TEST(ParseArgsTokenTest, TokenMustFitWithItsTerminator) {
    nuvtest::ScopedSuiteRoot root;
    TestDriver driver;
    std::string const fits(63, 'a');
    ASSERT_EQ(0, driver.Parse({"agent", "-jt", fits, "-d", "mover", "-idxkk", "indexer"}));
    EXPECT_EQ(fits, std::string(driver.args()->jobToken));
    EXPECT_EQ("mover", driver.args()->dataMover);
    EXPECT_EQ("indexer", driver.args()->indexDataMover);
    EXPECT_EQ(-1, driver.Parse({"agent", "-jt", std::string(64, 'b')}));
    EXPECT_EQ('\0', driver.args()->jobToken[0]);
}

TEST_F(DriverTest, InitializeRegistersAndLooksTheApplicationUp) {
    DeclarePostgres();
    TestDriver driver;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    EXPECT_TRUE(driver.registered());
    EXPECT_EQ(2u, driver.engineType());
    EXPECT_EQ(m_clientId, driver.args()->clientId);
    EXPECT_NE(0u, driver.instanceId());
    nuvjobmgr::JobInfo job;
    ASSERT_TRUE(nuvjobmgr::GetJob(m_jobId, &job));
    EXPECT_NE(std::string::npos, job.phaseParams.find("--snapRefTime"));
    EXPECT_TRUE(Causes().empty());

    EXPECT_EQ(0, driver.ExitHere(0));
    ASSERT_TRUE(nuvjobmgr::GetJob(m_jobId, &job));
    EXPECT_EQ("completed", job.status);
}

// An agent run with its job on the command line only (no JZ_JOB_ID): once
// the driver has registered, the job is the process's job context, which the
// library's "running job" (a fresh EvEvent) and the job clients made without
// a job take.
TEST_F(DriverTest, TheJobOnTheCommandLineBecomesTheProcessesJobContext) {
    DeclarePostgres();
    unsetenv("JZ_JOB_ID");
    ASSERT_EQ(0u, EvEvent().getJobId());
    TestDriver driver;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    EXPECT_EQ(static_cast<uint64_t>(m_jobId), EvEvent().getJobId());
    JZJobClient client;
    client << "raised by the agent";
    EXPECT_TRUE(client.setPendingCauseAndEvent(0x39000073, 6, 0, false, 300, false, 0, 0, 0, 0));
    EXPECT_EQ(std::vector<std::string>{"0x39000073 raised by the agent"}, Causes());
    EXPECT_EQ(0, driver.ExitHere(1));
}

TEST_F(DriverTest, AWrongTokenFailsRegistrationWithItsCriticalEvent) {
    DeclarePostgres();
    TestDriver driver;
    auto words = CommandLine();
    words[8] = "not-the-token";
    EXPECT_EQ(-1, driver.Init(words));
    EXPECT_FALSE(driver.registered());
    bool critical = false;
    for (auto const& e : nuvjobmgr::ListEvents(m_jobId)) critical |= e.code == 0x06000005 && e.kind == "critical";
    EXPECT_TRUE(critical);
    EXPECT_EQ(-1, driver.ExitHere(1));  // nothing to report to
}

// A failing lookup of Initialize and the pending cause it raises.
struct LookupFailure {
    char const* call;
    char const* text;
};

class InitializeLookupTest : public DriverTest, public ::testing::WithParamInterface<LookupFailure> {};

TEST_P(InitializeLookupTest, RaisesTheDriversCause) {
    DeclarePostgres();
    nuvsuite::AddFault("appmgr", GetParam().call, 5, "injected", -1);
    TestDriver driver;
    EXPECT_EQ(-1, driver.Init(CommandLine()));
    EXPECT_EQ(std::vector<std::string>{std::string("0x070000ce ") + GetParam().text}, Causes());
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, InitializeLookupTest,
    ::testing::Values(LookupFailure{"ApplicationId::getInstance", "Could not Instance object using ApplicationId::getInstance()"},
                      LookupFailure{"Subclient::getSnapEngine", "Could not obtain snap engine type"},
                      LookupFailure{"ApplicationId::getClient", "Could not obtain Client details from Kelvane"}),
    [](::testing::TestParamInfo<LookupFailure> const& info) {
        std::string name = info.param.call;
        return name.substr(name.find("::") + 2);
    });

TEST_F(DriverTest, HandedInClientsAreUsedAndLeftAlive) {
    DeclarePostgres();
    auto* control = new JZJobCtrlClient(0);
    auto* client = new JZBkpJobClient();
    ASSERT_TRUE(control->Init2(m_jobId, "server", 1, 4, m_jobToken.c_str(), nullptr));
    ASSERT_TRUE(client->init("server", m_jobId, 0, 4, true, m_jobToken.c_str()));
    {
        TestDriver driver;
        driver.engineType() = 7;  // preset: no engine lookup
        ASSERT_EQ(0, driver.Init(CommandLine(), client, control));
        EXPECT_EQ(7u, driver.engineType());
        EXPECT_TRUE(JournalArgs("appmgr", "Subclient::getSnapEngine").empty());
        EXPECT_EQ(0, driver.ExitHere(1));
    }
    EXPECT_TRUE(control->isRegistered());  // still alive after the driver
    nuvjobmgr::JobInfo job;
    ASSERT_TRUE(nuvjobmgr::GetJob(m_jobId, &job));
    EXPECT_EQ("failed", job.status);
    delete client;
    delete control;
}

TEST_F(DriverTest, ExitAfterAQuitRequestReportsNothing) {
    DeclarePostgres();
    TestDriver driver;
    ASSERT_EQ(0, driver.Init(CommandLine()));
    ASSERT_FALSE(nuvjobmgr::SetQuitFlag(m_jobId, true).IsError());
    EXPECT_EQ(-1, driver.ExitHere(0));
    nuvjobmgr::JobInfo job;
    ASSERT_TRUE(nuvjobmgr::GetJob(m_jobId, &job));
    EXPECT_NE("completed", job.status);
}

}  // namespace
