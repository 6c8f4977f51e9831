// From an application to its instance, client and backup set; lookups by name
// and the command-line application; the Unix file-system types.
#include "appmgr/appmgr_fixture.h"

namespace {

class ApplicationTest : public AppMgrTest {
protected:
    void SetUp() override {
        AppMgrTest::SetUp();
        client = AddClient("pghost");
        pgInstance = AddInstance(client, "pg15", 125);
        sybInstance = AddInstance(client, "SYB1", 5);
        oraInstance = AddInstance(client, "ORCL", 22);
        nuvappmgr::BackupSetDecl bs;
        bs.clientId = client;
        bs.appType = 125;
        bs.instanceId = pgInstance;
        bs.name = "defaultBackupSet";
        bs.isDefault = true;
        ASSERT_FALSE(nuvappmgr::DeclareBackupSet(bs, &backupSet).IsError());
    }
    unsigned long App(unsigned long instance, int appType, unsigned long backupSetId = 0) {
        nuvappmgr::ApplicationDecl ad;
        ad.clientId = client;
        ad.appType = appType;
        ad.instanceId = instance;
        ad.backupSetId = backupSetId;
        return AddApplication(ad);
    }
    unsigned long client = 0, pgInstance = 0, sybInstance = 0, oraInstance = 0, backupSet = 0;
};

TEST_F(ApplicationTest, InstanceClassFollowsTheInstanceType) {
    struct Case {
        unsigned long instance;
        int appType;
        bool postgres;
        bool sybase;
        char const* name;
    } const cases[] = {
        {pgInstance, 125, true, false, "pg15"},
        {sybInstance, 5, false, true, "SYB1"},
        {oraInstance, 22, false, false, "ORCL"},
    };
    for (Case const& c : cases) {
        unsigned long appId = App(c.instance, c.appType);
        // The object must outlive the ApplicationId it came from.
        Instance* inst = ApplicationId(2, appId).getInstance(nullptr);
        ASSERT_NE(inst, nullptr) << c.name;
        EXPECT_EQ(dynamic_cast<PostgreSQLInstance*>(inst) != nullptr, c.postgres) << c.name;
        EXPECT_EQ(dynamic_cast<SybaseInstance*>(inst) != nullptr, c.sybase) << c.name;
        EXPECT_EQ(inst->getInstanceId(), c.instance);
        std::string name = JZ_DEFAULT_STR_PROP_VALUE;
        EXPECT_EQ(inst->getInstanceName(name, nullptr), 0);
        EXPECT_EQ(name, c.name);
        unsigned long type = 0;
        EXPECT_EQ(ApplicationId(2, appId).getAppType(type, nullptr), 0);
        EXPECT_EQ(type, static_cast<unsigned long>(c.appType));
    }
}

TEST_F(ApplicationTest, ClientAndBackupSetOfTheApplication) {
    unsigned long withSet = App(pgInstance, 125, backupSet);
    unsigned long withoutSet = App(pgInstance, 125);

    ApplicationId app(2, withSet);
    JZClient* jc = app.getClient(nullptr);
    ASSERT_NE(jc, nullptr);
    unsigned long id = 0;
    EXPECT_EQ(jc->getClientId(id, nullptr), 0);
    EXPECT_EQ(id, client);
    BackupSet* bs = app.getBackupSet(nullptr);
    ASSERT_NE(bs, nullptr);
    EXPECT_EQ(bs->getBackupSetId(), backupSet);
    std::string name;
    EXPECT_EQ(bs->getBackupSetName(name, nullptr), 0);
    EXPECT_EQ(name, "defaultBackupSet");

    ApplicationId bare(2, withoutSet);
    EXPECT_EQ(bare.getBackupSet(nullptr), nullptr);
    EXPECT_EQ(bare.getLastError(), nuvappmgr::kAppMgrNotFound);
    ApplicationId unknown(2, 31337);
    EXPECT_EQ(unknown.getInstance(nullptr), nullptr);
    EXPECT_EQ(unknown.getClient(nullptr), nullptr);
    unsigned long type = 99;
    EXPECT_NE(unknown.getAppType(type, nullptr), 0);
    EXPECT_EQ(type, 99u);
}

TEST_F(ApplicationTest, SameObjectForTheSameRow) {
    unsigned long appId = App(pgInstance, 125);
    EXPECT_EQ(ApplicationId(2, appId).getInstance(nullptr), ApplicationId(2, appId).getInstance(nullptr));
    EXPECT_EQ(ApplicationId(2, appId).getClient(nullptr), ApplicationId(2, appId).getClient(nullptr));
}

TEST_F(ApplicationTest, DefaultBackupSetOfAClientInstance) {
    ClientApplicationList list;
    unsigned long id = 0;
    std::string name;
    EXPECT_EQ(list.getDefaultBackupSet(client, 125, pgInstance, id, name, nullptr), 0);
    EXPECT_EQ(id, backupSet);
    EXPECT_EQ(name, "defaultBackupSet");
    id = 7;
    EXPECT_NE(list.getDefaultBackupSet(client, 125, sybInstance, id, name, nullptr), 0);
    EXPECT_EQ(id, 7u);
}

TEST_F(ApplicationTest, CommandLineApplicationIsTheFirstOfTheInstance) {
    unsigned long first = App(pgInstance, 125, backupSet);
    App(pgInstance, 125);
    ApplicationId* app = CommandLineSubclient::getCommandLineAppId(2, client, 125, pgInstance, 0, nullptr);
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->getAppId(), first);
    ASSERT_NE(app->getBackupSet(nullptr), nullptr);
    EXPECT_EQ(app->getBackupSet(nullptr)->getBackupSetId(), backupSet);
    EXPECT_EQ(CommandLineSubclient::getCommandLineAppId(2, client, 125, oraInstance, 0, nullptr), nullptr);
}

TEST_F(ApplicationTest, InstanceIdByName) {
    InstanceByName byName;
    struct Case {
        unsigned long client;
        unsigned long appType;
        char const* name;
        int rc;
        unsigned long id;
    } const cases[] = {
        {client, 22, "ORCL", 1, oraInstance}, {client, 22, "orcl", 0, 555},  // instance names keep their case
        {client, 125, "ORCL", 0, 555},        {client + 1, 22, "ORCL", 0, 555},
        {client, 5, "SYB1", 1, sybInstance},
    };
    for (Case const& c : cases) {
        unsigned long id = 555;
        EXPECT_EQ(byName.getInstanceId(c.client, c.appType, c.name, &id, nullptr), c.rc) << c.name;
        EXPECT_EQ(id, c.id) << c.name;
    }
    EXPECT_LT(byName.getInstanceId(client, 22, "ORCL", nullptr, nullptr), 0);
}

TEST(UnixFsBackupSetType, Table) {
    struct Case {
        int appType;
        bool unixFs;
    } const cases[] = {
        {nuvappmgr::kAppTypeUnixFs, true},
        {nuvappmgr::kAppTypeUnixFsCluster, true},
        {nuvappmgr::kAppTypeUnixFsArchiver, true},
        {0, false},
        {5, false},
        {22, false},
        {64, false},
        {80, false},
        {104, false},
        {125, false},
        {135, false},
        {-29, false},
    };
    for (Case const& c : cases) EXPECT_EQ(IsUnixFsBackupSetType(c.appType), c.unixFs) << c.appType;
}

}  // namespace
