// Client lookups by name and by id, host names and client-wide properties.
#include "appmgr/appmgr_fixture.h"

#include "nuvdbsnap/platform/suite/host.h"

namespace {

TEST_F(AppMgrTest, ClientIdByName) {
    unsigned long dbhost = AddClient("dbhost01", "dbhost01.example.net");
    unsigned long proxy = AddClient("Proxy");

    struct Case {
        char const* name;
        int rc;            // 0 or the error number
        unsigned long id;  // expected id afterwards (untouched on failure)
    } const cases[] = {
        {"dbhost01", 0, dbhost},
        {"DBHOST01", 0, dbhost},  // host names do not care about case
        {"proxy", 0, proxy},
        {"nosuchhost", nuvappmgr::kAppMgrNotFound, 12345},
        {"", nuvappmgr::kAppMgrBadArgument, 12345},
        {"dbhost01' OR '1'='1", nuvappmgr::kAppMgrNotFound, 12345},
    };
    for (Case const& c : cases) {
        JZClient client(c.name, false, 0);
        unsigned long id = 12345;
        EXPECT_EQ(client.getClientId(id, nullptr), c.rc) << c.name;
        EXPECT_EQ(id, c.id) << c.name;
        EXPECT_EQ(client.lookup(nullptr), c.rc) << c.name;
    }
}

TEST_F(AppMgrTest, HostNamesPlainAndMangled) {
    unsigned long withHost = AddClient("db1", "db1.example.net");
    unsigned long withoutHost = AddClient("db2");
    unsigned long starred = AddClient("odd*name");

    struct Case {
        unsigned long id;
        int rc;
        char const* host;
        std::string mangled;
    } const cases[] = {
        {withHost, 0, "db1.example.net",
         nuvsuite::MangleHostName("db1.example.net", "db1", nuvsuite::kLocalPort, 2)},
        {withoutHost, 0, "db2", nuvsuite::MangleHostName("db2", "db2", nuvsuite::kLocalPort, 2)},
        {starred, nuvappmgr::kAppMgrBadArgument, "odd*name", ""},
        {9999, nuvappmgr::kAppMgrNotFound, "", ""},
    };
    for (Case const& c : cases) {
        JZClient client(c.id);
        std::string host, mangled = "untouched";
        int hostRc = client.getNetworkHostname(host, nullptr);
        EXPECT_EQ(client.getNetworkHostnameMangled(mangled, nullptr), c.rc) << c.id;
        if (c.rc == 0) {
            EXPECT_EQ(mangled, c.mangled);
            std::string h, cl;
            int port = 0, brannox = 0;
            ASSERT_EQ(DemangleHostName(mangled.c_str(), h, cl, port, brannox), 0);
            EXPECT_EQ(h, c.host);
            EXPECT_EQ(brannox, 2);
        } else {
            EXPECT_EQ(mangled, "untouched");
        }
        if (c.id != 9999) {
            EXPECT_EQ(hostRc, 0);
            EXPECT_EQ(host, c.host);
        }
    }
}

TEST_F(AppMgrTest, ClientAppTypeTellsCloudDatabaseClients) {
    unsigned long cloud = AddClient("clouddb", "", 1);
    unsigned long plain = AddClient("plain");
    int type = -1;
    EXPECT_EQ(ClientProperties(cloud).getClientAppType(type, nullptr), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(ClientProperties(plain).getClientAppType(type, nullptr), 0);
    EXPECT_EQ(type, 0);
    type = -1;
    EXPECT_NE(ClientProperties(4711).getClientAppType(type, nullptr), 0);
    EXPECT_EQ(type, -1);
}

TEST_F(AppMgrTest, DuplicateClientNamesAreRefused) {
    AddClient("dup");
    nuvappmgr::ClientDecl again;
    again.name = "DUP";
    EXPECT_TRUE(nuvappmgr::DeclareClient(again).IsError());
    nuvappmgr::ClientDecl unnamed;
    EXPECT_TRUE(nuvappmgr::DeclareClient(unnamed).IsError());
}

TEST_F(AppMgrTest, ClientLookupFaultIsReturnedAndJournalled) {
    AddClient("dbhost");
    nuvsuite::AddFault("appmgr", "JZClient::getClientId", 5, "directory unreachable", -1, "name=dbhost");
    JZClient client("dbhost", false, 0);
    unsigned long id = 0;
    EXPECT_EQ(client.getClientId(id, nullptr), 5);
    EXPECT_EQ(client.getClientId(id, nullptr), 5);  // count -1: always
    EXPECT_STREQ(client.getErrorString(), "directory unreachable");
    EXPECT_EQ(id, 0u);
    // Another client does not match the fault's pattern.
    AddClient("other");
    JZClient other("other", false, 0);
    EXPECT_EQ(other.getClientId(id, nullptr), 0);
    EXPECT_EQ(nuvsuite::ReadJournal("appmgr", "JZClient::getClientId").size(), 3u);
}

}  // namespace
