// The admin command, run as a built program against a fresh state root.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS  // quiet the old placeholders note of property_tree
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <sstream>

namespace {

using boost::property_tree::ptree;

std::string const kJzsuite = NUV_OUT_DIR "/bin/jzsuite";

class JzsuiteTest : public nuvtest::SuiteTest {
protected:
    nuvtest::ProgramResult Run(std::vector<std::string> const& args) { return nuvtest::RunProgram(kJzsuite, args); }

    // Runs a command that must succeed and returns its output.
    std::string Ok(std::vector<std::string> const& args) {
        nuvtest::ProgramResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
        return r.out;
    }

    static ptree Json(std::string const& text) {
        ptree tree;
        std::istringstream in(text);
        try {
            boost::property_tree::read_json(in, tree);
        } catch (std::exception const& e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << text;
        }
        return tree;
    }
};

TEST_F(JzsuiteTest, InitMakesTheRootItIsGiven) {
    std::string const root = m_root.base() + "/elsewhere";
    EXPECT_EQ(Ok({"init", "--root", root}), root + "\n");
    EXPECT_EQ(access((root + "/catalogue.db").c_str(), F_OK), 0);
    EXPECT_EQ(access((root + "/registry").c_str(), F_OK), 0);
    EXPECT_EQ(Ok({"init"}), m_root.path() + "\n");  // JZ_SUITE_ROOT otherwise
}

// init links the base home's programs and libraries from the build (which lays
// them out as the install does); each link leads to the built file itself.
TEST_F(JzsuiteTest, InitFillsTheBaseHomeWithTheBuiltProgramsAndLibraries) {
    std::string const home = m_root.path() + "/basehome";
    struct Item {
        char const* name;
        std::string built;
    };
    for (int round = 0; round < 2; ++round) {  // a second init replaces the links
        Ok({"init"});
        for (Item const& item : {Item{"libJzBlkLvl.so", NUV_OUT_DIR "/lib/blocklevel/libJzBlkLvl.so"},
                                 Item{"NuvSnapUtil", NUV_OUT_DIR "/bin/NuvSnapUtil"},
                                 Item{"archiveIndex", NUV_OUT_DIR "/bin/basehome/archiveIndex"},
                                 Item{"indexRestore", NUV_OUT_DIR "/bin/basehome/indexRestore"}}) {
            SCOPED_TRACE(item.name);
            char* linked = realpath((home + "/" + item.name).c_str(), nullptr);
            char* built = realpath(item.built.c_str(), nullptr);
            ASSERT_NE(nullptr, linked);
            ASSERT_NE(nullptr, built);
            EXPECT_STREQ(built, linked);
            free(linked);
            free(built);
        }
    }
}

TEST_F(JzsuiteTest, DeclaredValuesAreStoredVerbatimAndListedAsJson) {
    Ok({"init"});
    std::string const hostile = "/x'); DROP TABLE substitutions; --\"\\\n\ttab";
    EXPECT_EQ(Ok({"declare", "substitution", "program=/usr/sbin/xfs_freeze", "replacement=" + hostile}), "1\n");
    EXPECT_EQ(Ok({"declare", "substitution", "program=/bin/id", "replacement=/tmp/id=x"}), "2\n");
    EXPECT_EQ(nuvsuite::SubstituteProgram("/usr/sbin/xfs_freeze"), hostile);

    ptree rows = Json(Ok({"list", "substitution", "--json"}));
    ASSERT_EQ(rows.size(), 2u);
    auto it = rows.begin();
    EXPECT_EQ(it->second.get<std::string>("program"), "/bin/id");  // ordered by program
    EXPECT_EQ(it->second.get<std::string>("replacement"), "/tmp/id=x");
    ++it;
    EXPECT_EQ(it->second.get<std::string>("replacement"), hostile);

    // The text listing keeps one row per line.
    std::string const text = Ok({"list", "substitution"});
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

TEST_F(JzsuiteTest, BadDeclarationsAreRefusedAndStoreNothing) {
    Ok({"init"});
    struct Case {
        char const* name;
        std::vector<std::string> args;
        int exitCode;
        char const* complaint;
    };
    Case const cases[] = {
        {"unknown column", {"declare", "substitution", "program=/a", "bogus=1"}, 1, "no column 'bogus'"},
        {"column pasted with sql", {"declare", "substitution", "program) VALUES('x');--=1"}, 1, "no column"},
        {"column twice", {"declare", "substitution", "program=/a", "program=/b"}, 1, "given twice"},
        {"not col=value", {"declare", "substitution", "program"}, 2, "col=value expected"},
        {"unknown kind", {"declare", "nothing", "a=1"}, 2, "unknown kind"},
        {"kind not declarable", {"declare", "job", "id=5"}, 1, "cannot be declared"},
        {"constraint", {"declare", "substitution", "program=/a"}, 1, "NOT NULL"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::ProgramResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
    }
    EXPECT_EQ(Json(Ok({"list", "substitution", "--json"})).size(), 0u);
    EXPECT_EQ(Json(Ok({"list", "job", "--json"})).size(), 0u);
}

TEST_F(JzsuiteTest, JobShowGathersTheJobsEventsCausesAndRows) {
    Ok({"init"});
    std::string const idText = Ok({"job", "new", "--app", "5", "--type", "2"});
    long long const id = std::stoll(idText);
    ASSERT_GT(id, 0);
    JZJobClient client(id);
    client << "/data/db1" << "Permission \"denied\"";
    ASSERT_TRUE(client.setPendingCauseAndEvent(0x1200008d, 6, 0, false, 300, false, 0, 0, 0, 0));

    ptree shown = Json(Ok({"job", "show", std::to_string(id), "--json"}));
    EXPECT_EQ(shown.get<long long>("job.id"), id);
    EXPECT_EQ(shown.get<int>("job.type"), 2);
    EXPECT_EQ(shown.get<std::string>("job.status"), "new");
    ASSERT_EQ(shown.get_child("causes").size(), 1u);
    ptree const& cause = shown.get_child("causes").begin()->second;
    EXPECT_EQ(cause.get<int>("code"), 0x1200008d);
    ASSERT_EQ(cause.get_child("args").size(), 2u);
    EXPECT_EQ(cause.get_child("args").back().second.data(), "Permission \"denied\"");
    EXPECT_EQ(shown.get_child("events").size(), 1u);

    ptree events = Json(Ok({"list", "event", "--job", std::to_string(id), "--json"}));
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(Json(Ok({"list", "event", "--job", std::to_string(id + 1), "--json"})).size(), 0u);

    Ok({"job", "quit", std::to_string(id)});
    EXPECT_NE(client.checkQuitFlag(), 0);
}

TEST_F(JzsuiteTest, FaultsSettingsAndJournalThroughTheCommand) {
    Ok({"init"});
    Ok({"fault", "add", "archive", "close", "--code", "-22", "--text", "no such file", "--count", "1",
        "--match", "afile=7"});
    nuvsuite::FaultHit hit;
    EXPECT_FALSE(nuvsuite::CheckFault("archive", "close", "afile=8", &hit));
    ASSERT_TRUE(nuvsuite::CheckFault("archive", "close", "afile=7", &hit));
    EXPECT_EQ(hit.code, -22);
    EXPECT_EQ(hit.text, "no such file");
    EXPECT_FALSE(nuvsuite::CheckFault("archive", "close", "afile=7", &hit));
    Ok({"fault", "add", "snapmgr", "create", "--code", "0x10", "--text", "full"});
    Ok({"fault", "clear"});
    EXPECT_FALSE(nuvsuite::CheckFault("snapmgr", "create", "", &hit));

    Ok({"set", "FileSystemAgent", "nDoQuiesce", "1"});
    Ok({"set", "OracleAgent", "sSNAP_BACKUP_DISABLE_BLOCK_TRACKING", "Yes please", "--instance", "Instance002"});
    std::string value;
    ASSERT_TRUE(JZRegistry::getValue("Instance001", "FileSystemAgent", "nDoQuiesce", &value));
    EXPECT_EQ(value, "1");
    ASSERT_TRUE(JZRegistry::getValue("Instance002", "OracleAgent", "sSNAP_BACKUP_DISABLE_BLOCK_TRACKING", &value));
    EXPECT_EQ(value, "Yes please");

    nuvsuite::JournalCall("archive", "create", "path=\"/a b\"\nnext");
    Ok({"job", "new", "--app", "9"});
    ptree journal = Json(Ok({"journal", "--service", "archive", "--json"}));
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal.begin()->second.get<std::string>("args"), "path=\"/a b\"\nnext");
    EXPECT_EQ(Json(Ok({"journal", "--json"})).size(), 2u);
}

TEST_F(JzsuiteTest, UsageErrorsAndFailuresExitNonZero) {
    Ok({"init"});
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    Case const cases[] = {
        {{}, 2},
        {{"bogus"}, 2},
        {{"list"}, 2},
        {{"list", "nothing"}, 2},
        {{"list", "fault", "--job", "1"}, 1},  // faults have no job
        {{"list", "event", "--job", "x"}, 2},
        {{"list", "event", "--jobs", "1"}, 2},
        {{"job"}, 2},
        {{"job", "new"}, 2},
        {{"job", "new", "--app", "0"}, 2},
        {{"job", "show", "x"}, 2},
        {{"job", "show", "999"}, 1},
        {{"job", "quit", "999"}, 1},
        {{"fault", "add", "svc"}, 2},
        {{"fault", "add", "svc", "call", "--text", "t"}, 2},
        {{"fault", "add", "svc", "call", "--code", "1"}, 2},
        {{"fault", "add", "svc", "call", "--code", "1", "--text", "t", "--count", "0"}, 2},
        {{"set", "Section", "key"}, 2},
        {{"set", "Section", "bad key", "v"}, 1},
        {{"journal", "extra"}, 2},
    };
    for (Case const& c : cases) {
        std::string joined;
        for (auto const& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        nuvtest::ProgramResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_FALSE(r.err.empty());
    }
}

}  // namespace
