// Subclient settings and content as the snapshot engine and the job driver read them.
#include "appmgr/appmgr_fixture.h"

#include <set>

namespace {

struct FlagCase {
    bool blockLevel;
    bool metadata;
    bool spos;
    int engine;
};

class SubclientFlags : public AppMgrTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(SubclientFlags, ReadBackThroughTheApplication) {
    FlagCase const c = GetParam();
    nuvappmgr::SubclientDecl sd;
    sd.name = "default";
    sd.blockLevel = c.blockLevel;
    sd.metadata = c.metadata;
    sd.spos = c.spos;
    sd.snapEngine = c.engine;
    nuvappmgr::ApplicationDecl ad;
    ad.appType = 104;
    ad.subclientId = AddSubclient(sd);
    unsigned long appId = AddApplication(ad);

    Subclient* sc = ApplicationId(nuvsuite::kLocalBrannoxId, appId).getSubclient(nullptr);
    ASSERT_NE(sc, nullptr);
    // Values start far from the expected ones so a call that does not write is caught.
    unsigned long blockLevel = 77, metadata = 77, spos = 77, engine = 77;
    EXPECT_EQ(sc->getUseBlockLevelBackup(blockLevel, nullptr), 0);
    EXPECT_EQ(sc->getEnableMetadataBackup(metadata, nullptr), 0);
    EXPECT_EQ(sc->getUseBlockLevelSPOSBackup(spos, nullptr), 0);
    EXPECT_EQ(sc->getSnapEngine(engine, nullptr), 0);
    EXPECT_EQ(blockLevel != 0, c.blockLevel);
    EXPECT_EQ(metadata != 0, c.metadata);
    EXPECT_EQ(spos != 0, c.spos);
    EXPECT_EQ(engine, static_cast<unsigned long>(c.engine));
}

INSTANTIATE_TEST_SUITE_P(Flags, SubclientFlags,
                         ::testing::Values(FlagCase{false, false, false, 0}, FlagCase{true, false, false, 20},
                                           FlagCase{true, true, false, 48}, FlagCase{false, false, true, 3},
                                           FlagCase{true, true, true, 1}));

TEST_F(AppMgrTest, MissingApplicationOrSubclientGivesNullWithAReason) {
    nuvappmgr::ApplicationDecl noSubclient;
    noSubclient.appType = 125;
    unsigned long bare = AddApplication(noSubclient);
    nuvappmgr::ApplicationDecl dangling;
    dangling.appType = 125;
    dangling.subclientId = 4242;  // never declared
    unsigned long broken = AddApplication(dangling);

    struct Case {
        unsigned long brannox;
        unsigned long app;
        char const* textPart;
    } const cases[] = {
        {2, 999, "not found"},                    // unknown application
        {7, bare, "not found"},                   // known id, other Brannox id
        {2, bare, "has no subclient"},            // application without subclient
        {2, broken, "subclient 4242 not found"},  // subclient row missing
    };
    for (Case const& c : cases) {
        ApplicationId app(c.brannox, c.app);
        EXPECT_EQ(app.getSubclient(nullptr), nullptr) << c.app;
        EXPECT_EQ(app.getLastError(), nuvappmgr::kAppMgrNotFound) << c.app;
        EXPECT_NE(std::string(app.getErrorString()).find(c.textPart), std::string::npos)
            << app.getErrorString();
    }
}

TEST_F(AppMgrTest, SubclientOfAGoneRowFailsInsteadOfReportingStaleValues) {
    nuvappmgr::SubclientDecl sd;
    sd.blockLevel = true;
    nuvappmgr::ApplicationDecl ad;
    ad.subclientId = AddSubclient(sd);
    unsigned long appId = AddApplication(ad);
    Subclient* sc = ApplicationId(2, appId).getSubclient(nullptr);
    ASSERT_NE(sc, nullptr);

    ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                     .Exec("DELETE FROM subclients WHERE id = ?", {static_cast<int64_t>(ad.subclientId)})
                     .IsError());
    unsigned long value = 5;
    EXPECT_NE(sc->getUseBlockLevelBackup(value, nullptr), 0);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(sc->getLastError(), nuvappmgr::kAppMgrNotFound);
}

TEST_F(AppMgrTest, OracleApplicationsGetAnOracleSubclientWithItsStreams) {
    nuvappmgr::SubclientDecl sd;
    sd.dataStreams = 4;
    unsigned long scId = AddSubclient(sd);
    for (int appType : {22, 80}) {
        nuvappmgr::ApplicationDecl ad;
        ad.appType = appType;
        ad.subclientId = scId;
        Subclient* sc = ApplicationId(2, AddApplication(ad)).getSubclient(nullptr);
        auto* oracle = dynamic_cast<OracleBackpack*>(sc);
        ASSERT_NE(oracle, nullptr) << appType;
        int streams = 0;
        EXPECT_EQ(oracle->getDataBackupStreams(streams, nullptr), 0);
        EXPECT_EQ(streams, 4);
    }
    nuvappmgr::ApplicationDecl other;
    other.appType = 104;
    other.subclientId = scId;
    Subclient* sc = ApplicationId(2, AddApplication(other)).getSubclient(nullptr);
    ASSERT_NE(sc, nullptr);
    EXPECT_EQ(dynamic_cast<OracleBackpack*>(sc), nullptr);
}

TEST_F(AppMgrTest, GuidIsKeptOnceAssignedAndDeclaredGuidsAreServedAsIs) {
    nuvappmgr::SubclientDecl declared;
    declared.guid = "6b1f3c3e-0000-4000-8000-00000000abcd";
    nuvappmgr::SubclientDecl blank;
    std::set<std::string> seen;
    for (auto const& decl : {blank, blank}) {
        ::Subclient sc(AddSubclient(decl));
        std::string first, second;
        ASSERT_EQ(sc.getGUIDStr(first, nullptr), 0);
        ASSERT_EQ(sc.getGUIDStr(second, nullptr), 0);
        EXPECT_EQ(first, second);
        EXPECT_EQ(first.size(), 36u);
        seen.insert(first);
    }
    EXPECT_EQ(seen.size(), 2u) << "two subclients must not share a GUID";
    ::Subclient sc(AddSubclient(declared));
    std::string guid;
    ASSERT_EQ(sc.getGUIDStr(guid, nullptr), 0);
    EXPECT_EQ(guid, declared.guid);
}

TEST_F(AppMgrTest, ContentUpdateReplacesOnlyWhatTheCallerRead) {
    nuvappmgr::SubclientDecl sd;
    unsigned long scId = AddSubclient(sd);
    ASSERT_FALSE(
        nuvappmgr::SetContent(nuvappmgr::ContentOwner::Subclient, scId, {"/data", "/logs"}).IsError());
    ::Subclient sc(scId);

    BackupContent current;
    ASSERT_EQ(sc.getFiles(current, nullptr, false), 0);
    EXPECT_EQ(current.paths(), (std::vector<std::string>{"/data", "/logs"}));

    BackupContent wanted;
    wanted.addToContent("/mnt/a");
    wanted.addToContent("/mnt/b c");
    BackupContent stale;
    stale.addToContent("/data");
    EXPECT_EQ(sc.updateContent(1, wanted, stale, true, nullptr, nullptr), nuvappmgr::kAppMgrConflict);
    EXPECT_EQ(sc.updateContent(2, wanted, current, true, nullptr, nullptr), nuvappmgr::kAppMgrNotSupported);
    BackupContent unchanged;
    ASSERT_EQ(sc.getFiles(unchanged, nullptr, false), 0);
    EXPECT_EQ(unchanged, current);

    ASSERT_EQ(sc.updateContent(1, wanted, current, true, nullptr, nullptr), 0);
    BackupContent after;
    ASSERT_EQ(sc.getFiles(after, nullptr, false), 0);
    EXPECT_EQ(after, wanted);
}

TEST_F(AppMgrTest, InjectedFaultReachesTheCallerAndTheJournalHasTheCall) {
    nuvappmgr::SubclientDecl sd;
    sd.blockLevel = true;
    unsigned long scId = AddSubclient(sd);
    nuvsuite::AddFault("appmgr", "Subclient::getUseBlockLevelBackup", 1627, "option store offline", 1);
    ::Subclient sc(scId);

    unsigned long value = 0;
    EXPECT_EQ(sc.getUseBlockLevelBackup(value, nullptr), 1627);
    EXPECT_STREQ(sc.getErrorString(), "option store offline");
    EXPECT_EQ(value, 0u);
    // The count-1 fault is used up: the next call succeeds.
    EXPECT_EQ(sc.getUseBlockLevelBackup(value, nullptr), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(sc.getLastError(), 0);

    auto journal = nuvsuite::ReadJournal("appmgr", "Subclient::getUseBlockLevelBackup");
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0].args, "subclient=" + std::to_string(scId));
}

}  // namespace
