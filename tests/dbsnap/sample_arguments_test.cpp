// The sample agents' numbers are whole numbers: "-j 12abc" is refused with a
// usage error naming the argument, never run as job 12.
#include "tests/dbsnap/driver_fixture.h"

#include <cstring>

using namespace nuvdbsnaptest;

namespace {

std::string Program(char const* name) { return std::string(NUV_OUT_DIR) + "/bin/" + name; }

struct ArgumentCase {
    char const* name;
    char const* program;
    std::vector<std::string> args;  // "<job>", "<app>", "<token>", "<dir>" replaced
    char const* error;              // what the usage error holds
};

void PrintTo(ArgumentCase const& c, std::ostream* os) { *os << c.name; }

class SampleArgumentTest : public DriverTest, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(SampleArgumentTest, ANumberWithTrailingTextIsRefused) {
    ArgumentCase const& c = GetParam();
    DeclarePostgres();
    std::vector<std::string> args;
    for (std::string a : c.args) {
        for (auto const& [from, to] : {std::make_pair("<job>", std::to_string(m_jobId)),
                                       std::make_pair("<app>", std::to_string(m_appId)),
                                       std::make_pair("<token>", m_jobToken), std::make_pair("<dir>", m_data)}) {
            size_t const at = a.find(from);
            if (at != std::string::npos) a.replace(at, std::strlen(from), to);
        }
        args.push_back(a);
    }
    auto r = nuvtest::RunProgram(Program(c.program), args);
    EXPECT_EQ(2, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.error)) << r.err;
    EXPECT_EQ("new", JobStatus()) << "the job was never run";
}

INSTANTIATE_TEST_SUITE_P(
    Programs, SampleArgumentTest,
    ::testing::Values(
        ArgumentCase{"agent job", "pgsnapagent",
                     {"-j", "<job>abc", "-a", "2:<app>", "-t", "1", "-jt", "<token>", "-pgsock", "/nonexistent",
                      "-pgport", "5432"},
                     "-j: '"},
        ArgumentCase{"agent application", "pgsnapagent",
                     {"-j", "<job>", "-a", "2:<app>x", "-t", "1", "-jt", "<token>", "-pgsock", "/nonexistent",
                      "-pgport", "5432"},
                     "-a: '"},
        ArgumentCase{"agent job type", "pgsnapagent",
                     {"-j", "<job>", "-a", "2:<app>", "-t", "1st", "-jt", "<token>", "-pgsock", "/nonexistent",
                      "-pgport", "5432"},
                     "-t: '1st'"},
        ArgumentCase{"agent port", "pgsnapagent",
                     {"-j", "<job>", "-a", "2:<app>", "-t", "1", "-jt", "<token>", "-pgsock", "/nonexistent",
                      "-pgport", "5432x"},
                     "-pgport: '5432x'"},
        ArgumentCase{"cluster job", "pgcluster", {"drop-snapshots", "--job", "<job>x"}, "--job: '"},
        ArgumentCase{"cluster port", "pgcluster", {"sql", "--socket", "/nonexistent", "--port", "5o", "SELECT 1"},
                     "--port: '5o'"},
        ArgumentCase{"cluster time-out", "pgcluster",
                     {"wait-backup", "--socket", "/nonexistent", "--timeout", "1s"}, "--timeout: '1s'"},
        ArgumentCase{"snapshot demo application", "snapdemo", {"--data", "<dir>", "--app", "<app>x"}, "--app: '"}));

}  // namespace
