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

// The root given to init is an absolute, normalised path; any other is
// refused as a usage error and nothing is made.
TEST_F(JzsuiteTest, InitRefusesARootThatIsNotAnAbsoluteNormalisedPath) {
    std::string const relative = "nuv-relative-root-" + std::to_string(getpid());
    std::string const parent = m_root.base() + "/parent";
    for (std::string const& given : {relative, "./" + relative, parent + "/../" + relative, parent + "//x",
                                     std::string()}) {
        SCOPED_TRACE(given);
        nuvtest::ProgramResult r = Run({"init", "--root", given});
        EXPECT_EQ(2, r.exitCode) << r.out;
        EXPECT_EQ("", r.out);
        EXPECT_NE(access(relative.c_str(), F_OK), 0) << "no root made under the current directory";
        EXPECT_NE(access(parent.c_str(), F_OK), 0);
    }
    (void)std::system(("rm -rf '" + relative + "'").c_str());
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
    Ok({"declare", "client", "id=1", "name=host"});
    Ok({"declare", "application", "id=5", "client_id=1"});
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
    Ok({"declare", "client", "id=1", "name=host"});
    Ok({"declare", "application", "id=9", "client_id=1"});
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

// Every kind the validation touches, listed as JSON: what a refused command must leave as it was.
class JzsuiteValuesTest : public JzsuiteTest {
protected:
    void SetUp() override {
        Ok({"init"});
        Ok({"declare", "client", "id=1", "name=host"});
        Ok({"declare", "subclient", "id=1", "name=default"});
        Ok({"declare", "application", "id=1", "client_id=1", "app_type=135", "subclient_id=1"});
        Ok({"declare", "volume", "path=/data", "fstype=xfs"});
        Ok({"job", "new", "--app", "1"});
    }

    std::string Everything() {
        std::string all;
        for (char const* kind : {"client", "subclient", "application", "instance", "volume", "fault", "job",
                                 "snaptask", "indexgen"})
            all += Ok({"list", kind, "--json"});
        return all;
    }
};

TEST_F(JzsuiteValuesTest, BadValuesAreRefusedAndStoreNothing) {
    std::string const root = m_root.path();
    struct Case {
        char const* name;
        std::vector<std::string> args;
        char const* complaint;
    };
    Case const cases[] = {
        {"type beyond 32 bits", {"declare", "application", "id=2", "client_id=1", "app_type=4294967297"}, "out of range"},
        {"negative type", {"declare", "application", "id=2", "client_id=1", "app_type=-1"}, "negative"},
        {"negative id", {"declare", "client", "id=-3", "name=x"}, "negative"},
        {"id zero", {"declare", "client", "id=0", "name=x"}, "out of range"},
        {"leading blank", {"declare", "client", "id= 2", "name=x"}, "no whole decimal number"},
        {"trailing blank", {"declare", "client", "id=2 ", "name=x"}, "no whole decimal number"},
        {"plus sign", {"declare", "client", "id=+2", "name=x"}, "no whole decimal number"},
        {"hex id", {"declare", "client", "id=0x2", "name=x"}, "no whole decimal number"},
        {"empty number", {"declare", "client", "id=", "name=x"}, "empty value"},
        {"text in a number column", {"declare", "instance_property", "instance_id=1", "name=n", "number=abc"},
         "no whole decimal number"},
        {"client that does not exist", {"declare", "application", "id=2", "client_id=7"}, "no client with id 7"},
        {"application without client", {"declare", "application", "id=2"}, "'client_id' is needed"},
        {"subclient that does not exist", {"declare", "application", "id=2", "client_id=1", "subclient_id=9"},
         "no subclient with id 9"},
        {"flag maybe", {"declare", "subclient", "id=2", "blocklevel=maybe"}, "no flag"},
        {"empty path", {"declare", "volume", "path=", "fstype=xfs"}, "no absolute path"},
        {"relative path", {"declare", "volume", "path=data", "fstype=xfs"}, "no absolute path"},
        {"duplicate with trailing slash", {"declare", "volume", "path=/data/", "fstype=xfs"}, "no normalised path"},
        {"doubled slash", {"declare", "volume", "path=/srv//db", "fstype=xfs"}, "no normalised path"},
        {"dot-dot", {"declare", "volume", "path=/srv/../db", "fstype=xfs"}, "no normalised path"},
        {"exact duplicate", {"declare", "volume", "path=/data", "fstype=xfs"}, "UNIQUE"},
        {"fs type with ':'", {"declare", "volume", "path=/srv", "fstype=xfs:rw"}, "no file-system type"},
        {"state root as volume", {"declare", "volume", "path=" + root}, "is the suite's state root"},
        {"volume inside the state root", {"declare", "volume", "path=" + root + "/jobresults"}, "lies inside"},
        {"volume holding the state root", {"declare", "volume", "path=" + root.substr(0, root.rfind('/'))},
         "holds the suite's state root"},
        {"fault code abc", {"declare", "fault", "service=a", "call=b", "code=abc"}, "no whole decimal or 0x hex"},
        {"fault without uses", {"declare", "fault", "service=a", "call=b", "code=1", "remaining=0"}, "remaining"},
        {"fault add code abc", {"fault", "add", "a", "b", "--code", "abc", "--text", "t"}, "no whole decimal or 0x hex"},
        {"fault add code beyond 32 bits", {"fault", "add", "a", "b", "--code", "0x100000000", "--text", "t"},
         "out of range"},
        {"job of an application that does not exist", {"job", "new", "--app", "2"}, "no application 2"},
        {"job type beyond 32 bits", {"job", "new", "--app", "1", "--type", "4294967297"}, "out of range"},
        {"negative job type", {"job", "new", "--app", "1", "--type", "-1"}, "negative"},
        {"app id with blank", {"job", "new", "--app", " 1"}, "no whole decimal number"},
        {"job id in hex", {"job", "quit", "0x1"}, "no whole decimal number"},
        {"snap task program relative", {"declare", "snaptask", "app_id=1", "phase=1", "program=bin/x"},
         "no absolute path"},
        {"index generation of an unknown application", {"declare", "indexgen", "app_id=4", "v2=1"},
         "no application with id 4"},
    };
    std::string const before = Everything();
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::ProgramResult r = Run(c.args);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Everything(), before);
}

TEST_F(JzsuiteValuesTest, NumbersAreDecimalAndFlagsAreStoredAsFlags) {
    Ok({"declare", "client", "id=010", "name=ten"});
    Ok({"declare", "subclient", "id=2", "blocklevel=yes", "metadata=off"});
    Ok({"declare", "application", "id=2", "client_id=10", "app_type=4294967295", "subclient_id=2"});
    ptree clients = Json(Ok({"list", "client", "--json"}));
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients.back().second.get<int>("id"), 10);
    ptree subclients = Json(Ok({"list", "subclient", "--json"}));
    EXPECT_EQ(subclients.back().second.get<std::string>("blocklevel"), "1");
    EXPECT_EQ(subclients.back().second.get<std::string>("metadata"), "0");
    EXPECT_EQ(Json(Ok({"list", "application", "--json"})).back().second.get<long long>("app_type"), 4294967295LL);

    ptree job = Json(Ok({"job", "new", "--app", "02", "--json"}));
    EXPECT_EQ(job.get<int>("app_id"), 2);
    EXPECT_EQ(job.get<int>("type"), 1);
    EXPECT_EQ(job.get<std::string>("status"), "new");
    EXPECT_EQ(job.get<std::string>("token").size(), 32u);
    long long const id = job.get<long long>("id");
    EXPECT_EQ(Json(Ok({"job", "show", std::to_string(id), "--json"})).get<long long>("job.id"), id);

    Ok({"fault", "add", "archive", "close", "--code", "0xFFFFFFFF", "--text", "t"});
    nuvsuite::FaultHit hit;
    ASSERT_TRUE(nuvsuite::CheckFault("archive", "close", "", &hit));
    EXPECT_EQ(hit.code, -1);
}

TEST_F(JzsuiteValuesTest, ListsGiveArraysAsArrays) {
    JZJobClient client(1);
    client << "/data/db1" << "second";
    ASSERT_TRUE(client.setPendingCauseAndEvent(0x1200008d, 6, 0, false, 300, false, 0, 0, 0, 0));
    for (char const* kind : {"event", "cause"}) {
        SCOPED_TRACE(kind);
        std::string const text = Ok({"list", kind, "--job", "1", "--json"});
        EXPECT_NE(text.find("\"args\": [\"/data/db1\",\"second\"]"), std::string::npos) << text;
        ptree rows = Json(text);
        ASSERT_EQ(rows.size(), 1u);
        ptree const& args = rows.begin()->second.get_child("args");
        ASSERT_EQ(args.size(), 2u);
        EXPECT_EQ(args.front().second.data(), "/data/db1");
    }
    // The same rows inside the job's whole picture.
    ptree shown = Json(Ok({"job", "show", "1", "--json"}));
    EXPECT_EQ(shown.get_child("causes").begin()->second.get_child("args").size(), 2u);
}

TEST_F(JzsuiteValuesTest, ADeclaredRowIsRemovedByItsKeyAndOnlyWhenNothingNamesIt) {
    struct Case {
        char const* name;
        std::vector<std::string> args;
        int exitCode;
        char const* complaint;
    };
    Case const cases[] = {
        {"named by an application", {"remove", "client", "id=1"}, 1, "'application' names it"},
        {"no such row", {"remove", "client", "id=99"}, 1, "no such client"},
        {"not by its key", {"remove", "client", "name=host"}, 2, "by its key: id=..."},
        {"part of a key", {"remove", "instance_property", "instance_id=1"}, 2, "by its key"},
        {"kind not declarable", {"remove", "job", "id=1"}, 1, "cannot be removed"},
        {"bad key value", {"remove", "volume", "path=/data/"}, 1, "no normalised path"},
    };
    std::string const before = Everything();
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::ProgramResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
    }
    EXPECT_EQ(Everything(), before);

    Ok({"remove", "volume", "path=/data"});
    EXPECT_EQ(Json(Ok({"list", "volume", "--json"})).size(), 0u);
    Ok({"remove", "application", "id=1"});
    Ok({"remove", "client", "id=1"});
    EXPECT_EQ(Json(Ok({"list", "client", "--json"})).size(), 0u);
    EXPECT_EQ(Json(Ok({"list", "subclient", "--json"})).size(), 1u);
}

TEST_F(JzsuiteValuesTest, OneFaultIsRemovedAndTheOthersStay) {
    Ok({"fault", "add", "archive", "JZArchive::closeAfile", "--code", "5", "--text", "first"});
    Ok({"fault", "add", "archive", "JZArchive::closeAfile", "--code", "6", "--text", "second"});
    nuvsuite::FaultHit hit;
    ASSERT_TRUE(nuvsuite::CheckFault("archive", "JZArchive::closeAfile", "", &hit));  // the oldest wins
    EXPECT_EQ(hit.text, "first");
    ptree faults = Json(Ok({"list", "fault", "--json"}));
    ASSERT_EQ(faults.size(), 2u);
    Ok({"fault", "remove", faults.front().second.get<std::string>("id")});
    ASSERT_TRUE(nuvsuite::CheckFault("archive", "JZArchive::closeAfile", "", &hit));
    EXPECT_EQ(hit.text, "second");
    EXPECT_EQ(Run({"fault", "remove", "99"}).exitCode, 1);
    EXPECT_EQ(Run({"fault", "remove", "x"}).exitCode, 2);
    Ok({"remove", "fault", "id=" + faults.back().second.get<std::string>("id")});
    EXPECT_FALSE(nuvsuite::CheckFault("archive", "JZArchive::closeAfile", "", &hit));
}

}  // namespace
