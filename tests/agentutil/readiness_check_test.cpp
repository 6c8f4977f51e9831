// The readiness checks against real users, groups, folders and links made by
// the test, hostile user names, and the exchange with a caller over the
// network layer.
#include "nuvdbsnap/agentutil/db_agent_readiness_check.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Started as "readypeer" from the base home directory: the agent side of the
// exchange. The request names the instance (1/1) and the database user (2/5).
int RunReadyPeer() {
    EvEvent ev;
    DBAgentReadinessCheck check(&ev, 125, "", new CJzNetwork);
    std::string xml;
    char arg0[] = "readypeer";
    char* argv[] = {arg0, nullptr};
    if (check.RecvDBReadinessXMLRequest(1, argv, xml) != 0) return 3;
    CNMessageBase request(22, 218);
    if (request.unserialize(xml) != 0) return 4;
    Nuv::DBBaseInstanceStatus status;
    (void)check.CheckDBAgentReadiness(status, request.getstring(2), "", request.getstring(1), "", "");
    Nuv::CheckDBAgentReadinessResp response;
    response.getlistobject<Nuv::DBBaseInstanceStatus>(1, 1, true)->push_back(status);
    return check.SendDBReadinessXMLResponse(response) == 0 ? 0 : 5;
}

struct PeerHook {
    PeerHook() {
        if (nuvtest::OwnProgramName() == "readypeer") _exit(RunReadyPeer());
    }
} s_peerHook;

// Runs an account tool; tests running at the same time may hold the account
// files' lock for a moment, so a refused run is tried again.
bool Run(std::vector<std::string> const& argv) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (nuvtest::RunProgram(argv[0], {argv.begin() + 1, argv.end()}).exitCode == 0) return true;
        usleep(200 * 1000);
    }
    return false;
}

// Users and groups of the host made for one test and removed after it.
class HostAccounts {
public:
    ~HostAccounts() {
        for (auto it = m_users.rbegin(); it != m_users.rend(); ++it) (void)Run({"/usr/sbin/userdel", *it});
        for (auto it = m_groups.rbegin(); it != m_groups.rend(); ++it) (void)Run({"/usr/sbin/groupdel", *it});
    }
    std::string Group(char const* suffix) {
        std::string name = "nuvt" + std::to_string(getpid()) + suffix;
        if (!Run({"/usr/sbin/groupadd", name})) return "";
        m_groups.push_back(name);
        return name;
    }
    // A user whose primary group is `primary` and who is in `others` (comma-separated).
    std::string User(char const* suffix, std::string const& primary, std::string const& others) {
        std::string name = "nuvt" + std::to_string(getpid()) + suffix;
        std::vector<std::string> argv = {"/usr/sbin/useradd", "-M", "-N", "-s", "/usr/sbin/nologin", "-g", primary};
        if (!others.empty()) argv.insert(argv.end(), {"-G", others});
        argv.push_back(name);
        if (!Run(argv)) return "";
        m_users.push_back(name);
        return name;
    }

private:
    std::vector<std::string> m_users;
    std::vector<std::string> m_groups;
};

uid_t Uid(std::string const& user) { return getpwnam(user.c_str())->pw_uid; }
gid_t Gid(std::string const& group) { return getgrnam(group.c_str())->gr_gid; }

class ReadinessTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        if (geteuid() != 0 || access("/usr/sbin/useradd", X_OK) != 0)
            GTEST_SKIP() << "making users and groups needs root and useradd";
    }
    // Messages of the permission check.
    static std::vector<std::string> Messages(Nuv::CheckDBUserPerms& perms) {
        std::vector<std::string>* list = perms.getlistobject<std::string>(4, 4);
        return list ? *list : std::vector<std::string>{};
    }
    HostAccounts m_accounts;
    EvEvent m_ev;
};

TEST_F(ReadinessTest, FolderAccessIsJudgedAsTheKernelDoes) {
    std::string const install = m_accounts.Group("ig");
    std::string const data = m_accounts.Group("dg");
    std::string const other = m_accounts.Group("og");
    ASSERT_FALSE(install.empty() || data.empty() || other.empty());
    std::string const owner = m_accounts.User("own", other, install);
    std::string const member = m_accounts.User("mem", other, data + "," + install);
    std::string const stranger = m_accounts.User("str", other, "");
    ASSERT_FALSE(owner.empty() || member.empty() || stranger.empty());
    nuvtest::SetSetting("Base", "sDrevoxGroup", install);

    // Three folders of the DB2 settings, owned by `owner` with group `data`.
    struct Folder {
        char const* key;
        mode_t mode;
    } const folders[] = {{"sDB2_ARCHIVE_PATH", 0700}, {"sDB2_AUDIT_ERROR_PATH", 0770}, {"sDB2_RETRIEVE_PATH", 0766}};
    std::vector<std::string> paths;
    for (Folder const& f : folders) {
        std::string path = nuvtest::MakeDir(m_root.base() + "/" + f.key);
        ASSERT_EQ(chown(path.c_str(), Uid(owner), Gid(data)), 0);
        ASSERT_EQ(chmod(path.c_str(), f.mode), 0);
        nuvtest::SetSetting("Db2Agent", f.key, path);
        paths.push_back(path);
    }
    struct Case {
        std::string user;
        int access[3];  // 0 granted, 1 not, for the three folders
    } const cases[] = {
        {owner, {0, 0, 0}},     // owner bits rwx everywhere
        {member, {1, 0, 1}},    // group bits: ---, rwx, rw- (no search)
        {stranger, {1, 1, 1}},  // other bits: ---, ---, rw- (no search)
        {"root", {0, 0, 0}},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.user);
        DBAgentReadinessCheck check(&m_ev, 37, c.user, nullptr);
        Nuv::CheckDBUserPerms perms;
        ASSERT_EQ(check.CheckDBUserPermissions(perms), 0);
        std::vector<Nuv::DBUserPermissions>* entries = perms.getlistobject<Nuv::DBUserPermissions>(2, 2);
        ASSERT_NE(entries, nullptr);
        ASSERT_EQ(entries->size(), 6u);  // temporary, log and registry folders, then the three of DB2
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ((*entries)[3 + i].getstring(1), paths[i]);
            EXPECT_EQ((*entries)[3 + i].getint64(2), c.access[i]) << paths[i];
            std::string const message = "User [" + c.user + "] has no read/write access on folder [" + paths[i] + "]";
            std::vector<std::string> const messages = Messages(perms);
            EXPECT_EQ(std::count(messages.begin(), messages.end(), message), c.access[i]) << message;
        }
        if (c.user != "root") {
            EXPECT_EQ(perms.getint64(1), 1);
        }
    }

    // Install-group membership from the group databases: a supplementary group counts.
    for (auto const& [user, isMember] : std::vector<std::pair<std::string, int>>{{owner, 1}, {member, 1}, {stranger, 0}}) {
        DBAgentReadinessCheck check(&m_ev, 125, user, nullptr);
        Nuv::CheckDBUserGroup group;
        ASSERT_EQ(check.CheckDBUserGroup(group), 0);
        EXPECT_EQ(group.getstring(1), install);
        EXPECT_EQ(group.getint64(3), isMember ? 0 : 1) << user;
        EXPECT_NE(group.getstring(2).find("(" + user + ")"), std::string::npos) << group.getstring(2);
    }
}

TEST_F(ReadinessTest, AllFoldersWritableGiveAGoodCheckAndAFolderWithoutStatusFailsIt) {
    std::string const data = m_accounts.Group("dg");
    std::string const user = m_accounts.User("own", data, "");
    ASSERT_FALSE(user.empty());
    // Every folder of the check belongs to the user.
    std::string const temp = nuvsuite::StatePath("temp"), logs = nuvsuite::StatePath("logs");
    char const* registry = getenv("JZREG");
    ASSERT_NE(registry, nullptr);
    for (std::string const& path : {temp, logs, std::string(registry)}) {
        nuvtest::MakeDir(path);
        ASSERT_EQ(chown(path.c_str(), Uid(user), Gid(data)), 0);
        ASSERT_EQ(chmod(path.c_str(), 0700), 0);
    }
    DBAgentReadinessCheck check(&m_ev, 125, user, nullptr);
    Nuv::CheckDBUserPerms perms;
    ASSERT_EQ(check.CheckDBUserPermissions(perms), 0);
    EXPECT_EQ(perms.getint64(1), 0);
    EXPECT_TRUE(Messages(perms).empty());

    nuvtest::SetSetting("Db2Agent", "sDB2_ARCHIVE_PATH", m_root.base() + "/missing");
    DBAgentReadinessCheck db2(&m_ev, 37, user, nullptr);
    Nuv::CheckDBUserPerms failed;
    ASSERT_EQ(db2.CheckDBUserPermissions(failed), 0);
    EXPECT_EQ(failed.getint64(1), 1);
    ASSERT_EQ(failed.getlistobject<Nuv::DBUserPermissions>(2, 2)->size(), 4u);
    EXPECT_EQ(failed.getlistobject<Nuv::DBUserPermissions>(2, 2)->back().getint64(2), 1);
}

TEST_F(ReadinessTest, HostileOrEmptyUserNamesRunNothing) {
    std::string const marker = m_root.base() + "/marker";
    nuvtest::SetSetting("Base", "sDrevoxGroup", "root");
    struct Case {
        std::string user;
        bool usable;
    } const cases[] = {
        {"x;touch " + marker, false},
        {"$(touch " + marker + ")", false},
        {"`touch " + marker + "`", false},
        {"a b", false},
        {"-rf", false},
        {"root\ntouch " + marker, false},
        {std::string(33, 'a'), false},
        {"db.user_2-x", true},
        {std::string(32, 'a'), true},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.user);
        EXPECT_EQ(DBAgentReadinessCheck::IsUsableUserName(c.user), c.usable);
        if (c.usable) continue;
        DBAgentReadinessCheck check(&m_ev, 125, "", nullptr);
        Nuv::DBBaseInstanceStatus status;
        ASSERT_EQ(check.CheckDBAgentReadiness(status, c.user, "", "inst", "", ""), 0);
        EXPECT_FALSE(status.isSet(6));
        Nuv::CheckDBUserPerms* perms = status.getObjectAccessor<Nuv::CheckDBUserPerms>(7, 19, false);
        ASSERT_NE(perms, nullptr);
        EXPECT_EQ(perms->getint64(1), 1);
        ASSERT_EQ(Messages(*perms).size(), 1u);
        EXPECT_NE(Messages(*perms)[0].find("is refused"), std::string::npos);
        char group[DBAgentReadinessCheck::kGroupBufferSize];
        std::string id;
        EXPECT_FALSE(check.VerifyDBUserGroup(group, id));
        EXPECT_EQ(id, "");
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a user name reached a shell";
    }
    EXPECT_TRUE(nuvtest::JournalArgs("process", "JzProcess::system").empty());

    // An empty user: the empty-user error, no command, no group check.
    DBAgentReadinessCheck check(&m_ev, 125, "", nullptr);
    Nuv::DBBaseInstanceStatus status;
    ASSERT_EQ(check.CheckDBAgentReadiness(status, "", "text", "inst", "dom", ""), 0);
    EXPECT_EQ(status.getstring(1), "inst");
    EXPECT_EQ(status.getstring(3), "text");
    EXPECT_EQ(status.getstring(4), "dom");
    EXPECT_EQ(status.getint64(5), 1);
    EXPECT_FALSE(status.isSet(6));
    Nuv::CheckDBUserPerms* perms = status.getObjectAccessor<Nuv::CheckDBUserPerms>(7, 19, false);
    ASSERT_NE(perms, nullptr);
    EXPECT_EQ(perms->getint64(1), 1);
    EXPECT_EQ(perms->getint64(3), DBAgentReadinessCheck::kEmptyUserError);
    EXPECT_EQ(Messages(*perms),
              std::vector<std::string>{"Empty username in instance property. Please configure the instance."});
    EXPECT_TRUE(nuvtest::JournalArgs("process", "JzProcess::system").empty());
}

TEST_F(ReadinessTest, InstallGroupMissingOrUnknownMakesNoMember) {
    DBAgentReadinessCheck check(&m_ev, 125, "root", nullptr);
    char group[DBAgentReadinessCheck::kGroupBufferSize];
    std::string id;
    EXPECT_FALSE(check.VerifyDBUserGroup(group, id));  // no setting
    EXPECT_STREQ(group, "");
    EXPECT_NE(id.find("uid=0(root)"), std::string::npos);
    EXPECT_EQ(nuvtest::JournalArgs("process", "JzProcess::system"), std::vector<std::string>{"id\x1f--\x1froot"});
    nuvtest::SetSetting("Base", "sDrevoxGroup", "nuvt-no-such-group");
    EXPECT_FALSE(check.VerifyDBUserGroup(group, id));
    EXPECT_STREQ(group, "nuvt-no-such-group");
    nuvtest::SetSetting("Base", "sDrevoxGroup", "root");
    EXPECT_TRUE(check.VerifyDBUserGroup(group, id));
}

class LinkTest : public nuvtest::SuiteTest {};

TEST_F(LinkTest, LinksAreGoodOnlyWhenTheyExistAndReachTheirTarget) {
    std::string const dir = m_root.base();
    nuvtest::WriteFile(dir + "/a", "a");
    nuvtest::WriteFile(dir + "/b", "b");
    ASSERT_EQ(symlink((dir + "/a").c_str(), (dir + "/to-a").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/gone").c_str(), (dir + "/dangling").c_str()), 0);
    struct Case {
        char const* name;
        std::map<std::string, std::string> links;
        int result;
        std::vector<int> entries;  // field 1 of each entry, in link order
    } const cases[] = {
        {"same file", {{dir + "/to-a", dir + "/a"}}, 0, {0}},
        {"other file", {{dir + "/to-a", dir + "/b"}}, 1, {1}},
        {"missing target", {{dir + "/to-a", dir + "/none"}}, 1, {1}},
        {"dangling link", {{dir + "/dangling", dir + "/a"}}, 1, {1}},
        {"missing link", {{dir + "/absent", dir + "/a"}}, 1, {}},
        {"good and missing", {{dir + "/to-a", dir + "/a"}, {dir + "/absent", dir + "/a"}}, 1, {0}},
        {"empty map", {}, 1, {}},
    };
    EvEvent ev;
    DBAgentReadinessCheck check(&ev, 125, "root", nullptr);
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        Nuv::CheckSymbolicLinks result;
        ASSERT_EQ(check.CheckDBSymbolicLinks(result, c.links), 0);
        EXPECT_EQ(result.getint64(1), c.result);
        std::vector<Nuv::DBSymbolicLinks>* list = result.getlistobject<Nuv::DBSymbolicLinks>(2, 2);
        std::vector<int> got;
        if (list)
            for (Nuv::DBSymbolicLinks& e : *list) {
                got.push_back(static_cast<int>(e.getint64(1)));
                EXPECT_EQ(e.getint64(2), DBAgentReadinessCheck::kLinkError);
                EXPECT_EQ(e.getlistobject<std::string>(3, 3)->size(), 2u);
            }
        EXPECT_EQ(got, c.entries);
    }
}

class ExchangeTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { nuvtest::LinkSelfIntoBaseHome("readypeer"); }
};

TEST_F(ExchangeTest, TheAgentAnswersTheRequestAndDisconnects) {
    CJzNetwork channel;
    CNSession::jzsExecuteRemoteCommandType start;
    start.setstring(2, 2, "readypeer", 0x9000111, 0x790fdb);
    bool retry = false;
    ASSERT_FALSE(channel.Attach_RemoteCommand("localhost", &start, nullptr, "me", 60, retry).IsError());
    CNMessageBase request(22, 218);
    ASSERT_EQ(request.getTagID(), DBAgentReadinessCheck::kRequestTag);
    request.setstring(1, 1, "pg1");
    request.setstring(2, 5, "");  // no user: the empty-user answer, no command
    CFzError e = channel.SendXMLMessage(&request, 0, 60, retry);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    Nuv::RegisterSubsystem();
    unsigned long type = 0;
    CNMessageBase* answer = nullptr;
    jzsHostProtocolHeader header;
    e = channel.ReceiveXMLMessage(&type, &answer, &header, 0, 60, retry);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    std::unique_ptr<CNMessageBase> owned(answer);
    ASSERT_NE(answer, nullptr);
    Nuv::CheckDBAgentReadinessResp response;
    EXPECT_EQ(type, response.getTagID());
    std::string xml;
    ASSERT_EQ(answer->serialize(xml), 0);
    ASSERT_EQ(response.unserialize(xml), 0);
    auto* statuses = response.getlistobject<Nuv::DBBaseInstanceStatus>(1, 1);
    ASSERT_NE(statuses, nullptr);
    ASSERT_EQ(statuses->size(), 1u);
    EXPECT_EQ((*statuses)[0].getstring(1), "pg1");
    auto* perms = (*statuses)[0].getObjectAccessor<Nuv::CheckDBUserPerms>(7, 19, false);
    ASSERT_NE(perms, nullptr);
    EXPECT_EQ(perms->getint64(3), DBAgentReadinessCheck::kEmptyUserError);
    // The agent disconnected: the next receive finds the end of the channel.
    CNMessageBase* none = nullptr;
    EXPECT_TRUE(channel.ReceiveXMLMessage(&type, &none, &header, 0, 60, retry).IsError());
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(nuvtest::JournalArgs("network", "CJzNetwork::Disconnect").size(), 1u);
}

// The admin command's exit status follows the verdict it prints.
TEST_F(ExchangeTest, AdminCommandExitsWithTheVerdict) {
    nuvtest::SetSetting("Base", "sDrevoxGroup", "root");
    for (char const* folder : {"temp", "logs"}) nuvtest::MakeDir(nuvsuite::StatePath(folder));
    char const* registry = getenv("JZREG");
    ASSERT_NE(registry, nullptr);
    nuvtest::MakeDir(registry);
    struct Case {
        char const* user;
        int exitCode;
        char const* verdict;
    } const cases[] = {{"root", 0, "readiness: ready\n"}, {"", 3, "readiness: not ready\n"}};
    for (Case const& c : cases) {
        SCOPED_TRACE(c.user);
        nuvtest::ProgramResult r = nuvtest::RunProgram(std::string(NUV_OUT_DIR) + "/bin/jzsuite",
                                                       {"readiness", "readypeer", "--instance", "pg1", "--user", c.user});
        EXPECT_EQ(c.exitCode, r.exitCode) << r.out << r.err;
        EXPECT_NE(r.out.find(c.verdict), std::string::npos) << r.out;
    }
}

TEST_F(ExchangeTest, AFaultedAnswerFailsTheAgentAndTheCallerSeesIt) {
    char tag[32];
    snprintf(tag, sizeof tag, "tag=0x%x", Nuv::CheckDBAgentReadinessResp().getTagID());
    nuvsuite::AddFault("network", "CJzNetwork::SendXMLMessage", -1, "link down", -1, tag);  // the agent's answer only
    CJzNetwork channel;
    CNSession::jzsExecuteRemoteCommandType start;
    start.setstring(2, 2, "readypeer", 0x9000111, 0x790fdb);
    bool retry = false;
    ASSERT_FALSE(channel.Attach_RemoteCommand("localhost", &start, nullptr, "me", 60, retry).IsError());
    CNMessageBase request(22, 218);
    request.setstring(1, 1, "pg1");
    ASSERT_FALSE(channel.SendXMLMessage(&request, 0, 60, retry).IsError());
    Nuv::RegisterSubsystem();
    unsigned long type = 0;
    CNMessageBase* answer = nullptr;
    jzsHostProtocolHeader header;
    CFzError e = channel.ReceiveXMLMessage(&type, &answer, &header, 0, 60, retry);
    ASSERT_TRUE(e.IsError());
    EXPECT_EQ(answer, nullptr);
    EXPECT_NE(e.AsString().find("ended with status 5"), std::string::npos) << e.AsString();
}

TEST_F(ExchangeTest, ANetworkFailureFailsTheExchange) {
    EvEvent ev;
    // Not started by a caller: no channel to attach back to.
    DBAgentReadinessCheck check(&ev, 125, "", new CJzNetwork);
    std::string xml = "untouched";
    EXPECT_EQ(check.RecvDBReadinessXMLRequest(0, nullptr, xml), 1);
    EXPECT_EQ(xml, "untouched");
    Nuv::CheckDBAgentReadinessResp response;
    EXPECT_EQ(check.SendDBReadinessXMLResponse(response), 1);
    DBAgentReadinessCheck none(&ev, 125, "", nullptr);
    EXPECT_EQ(none.RecvDBReadinessXMLRequest(0, nullptr, xml), 1);
}

}  // namespace
