// The instance classes: case flag, content and property callbacks, the
// PostgreSQL archive directory, and destruction through either base.
#include "appmgr/appmgr_fixture.h"

#include <memory>

namespace {

TEST(InstanceInline, SetCaseSensitiveFollowsTheLastCall) {
    struct Case {
        std::vector<bool> calls;
        bool expected;
    } const cases[] = {
        {{true}, true},        {{false}, false},        {{true, false}, false},
        {{false, true}, true}, {{false, false}, false},
    };
    for (Case const& c : cases) {
        PostgreSQLInstance inst(1);
        Instance* asInstance = &inst;  // through the table of virtual operations
        for (bool flag : c.calls) asInstance->SetCaseSensitive(flag);
        ApplBackupContent& content = inst;
        EXPECT_EQ(content.isContentCaseSensitive(), c.expected);
    }
}

// Records what reaches the virtual callbacks.
class RecordingInstance : public Instance {
public:
    using Instance::Instance;
    int initContentCallback(unsigned long id, std::string text) override {
        seen.push_back(std::to_string(id) + ":" + text);
        return Instance::initContentCallback(id, text);
    }
    int getPropertiesCallback(std::string name, unsigned long type, std::string value,
                              unsigned long number) override {
        props.push_back(name + "=" + value);
        return Instance::getPropertiesCallback(name, type, value, number);
    }
    std::vector<std::string> seen;
    std::vector<std::string> props;
};

TEST_F(AppMgrTest, InitAllLoadsContentThroughTheVirtualCallback) {
    unsigned long id = AddInstance(AddClient("h"), "inst", 104);
    ASSERT_FALSE(nuvappmgr::SetContent(nuvappmgr::ContentOwner::Instance, id, {"/var/lib/mysql", "/binlogs"})
                     .IsError());
    RecordingInstance inst(id);
    inst.addToContentCache(99, "/stale");
    ASSERT_EQ(inst.initAll(nullptr), 0);
    EXPECT_EQ(inst.seen, (std::vector<std::string>{"1:/var/lib/mysql", "2:/binlogs"}));
    // initAll clears first: the stale entry is gone.
    std::map<int, std::string> expected{{1, "/var/lib/mysql"}, {2, "/binlogs"}};
    EXPECT_EQ(inst.contentCache(), expected);

    RecordingInstance unknown(id + 100);
    EXPECT_EQ(unknown.initAll(nullptr), nuvappmgr::kAppMgrNotFound);
    EXPECT_TRUE(unknown.seen.empty());
}

TEST_F(AppMgrTest, PropertiesReachTheCacheAndUpdatesReplaceThem) {
    unsigned long id = AddInstance(AddClient("h"), "inst", 22);
    ASSERT_FALSE(nuvappmgr::SetInstanceProperty(id, "home", "/u01/app", 3, 1).IsError());
    ASSERT_FALSE(nuvappmgr::SetInstanceProperty(id, "sid", "ORCL").IsError());
    RecordingInstance inst(id);
    ASSERT_EQ(inst.initProperties(nullptr), 0);
    EXPECT_EQ(inst.props, (std::vector<std::string>{"home=/u01/app", "sid=ORCL"}));

    ApplProperty p;
    ASSERT_EQ(inst.getPropFromCache("home", p), 0);
    EXPECT_EQ(p.getType(), 3);
    EXPECT_EQ(p.getNumber(), 1);
    // Adding again keeps the cached value; the update form replaces it.
    EXPECT_NE(inst.getPropertiesCallback("home", 3, "/other", 1), 0);
    ASSERT_EQ(inst.getPropFromCache("home", p), 0);
    EXPECT_EQ(p.getValue(), "/u01/app");
    EXPECT_EQ(inst.getPropertiesCallbackUpdate("home", 4, "/u02/app", 0x1'0000'0002UL, false), 0);
    ASSERT_EQ(inst.getPropFromCache("home", p), 0);
    EXPECT_EQ(p.getValue(), "/u02/app");
    EXPECT_EQ(p.getType(), 4);
    EXPECT_EQ(p.getNumber(), 2);  // the number travels as a 32-bit int
}

TEST_F(AppMgrTest, WriteAheadArchiveLogDir) {
    unsigned long host = AddClient("pghost");
    unsigned long pg = AddInstance(host, "pg", 125);
    unsigned long pgWithout = AddInstance(host, "pg2", 125);
    unsigned long mysql = AddInstance(host, "my", 104);
    ASSERT_FALSE(nuvappmgr::SetInstanceProperty(pg, kWalArchiveDirProperty, "/pg/wal archive").IsError());
    ASSERT_FALSE(nuvappmgr::SetInstanceProperty(mysql, kWalArchiveDirProperty, "/not/pg").IsError());

    struct Case {
        unsigned long id;
        int rc;
        char const* dir;
    } const cases[] = {
        {pg, 0, "/pg/wal archive"},
        {pgWithout, nuvappmgr::kAppMgrNotFound, "unchanged"},
        {mysql, nuvappmgr::kAppMgrBadArgument, "unchanged"},
        {424242, nuvappmgr::kAppMgrNotFound, "unchanged"},
    };
    for (Case const& c : cases) {
        PostgreSQLInstance inst(c.id);
        std::string dir = "unchanged";
        EXPECT_EQ(inst.getWriteAheadArchiveLogDir(dir, nullptr), c.rc) << c.id;
        EXPECT_EQ(dir, c.dir);
    }
}

// Counts destructions of the most derived object.
int g_destroyed = 0;
class CountedPostgres : public PostgreSQLInstance {
public:
    using PostgreSQLInstance::PostgreSQLInstance;
    ~CountedPostgres() override { ++g_destroyed; }
};

TEST(InstanceInline, DeletingThroughEitherBaseDestroysTheObjectOnce) {
    g_destroyed = 0;
    ApplProperties* props = new CountedPostgres(1);
    delete props;
    EXPECT_EQ(g_destroyed, 1);

    ApplBackupContent* content = new CountedPostgres(2);
    content->addToContentCache(1, "/x");
    delete content;
    EXPECT_EQ(g_destroyed, 2);

    std::unique_ptr<Instance> inst = std::make_unique<CountedPostgres>(3);
    inst.reset();
    EXPECT_EQ(g_destroyed, 3);

    AdaptersBase* adapter = new InstanceByName();
    delete adapter;  // AddressSanitizer reports a wrong-size or double free
}

}  // namespace
