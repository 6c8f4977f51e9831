// Archive files of snap jobs: creation, listing, closing, lookups.
#include "archive/archive_fixture.h"

#include "nuvdbsnap/platform/suite/host.h"

#include <ctime>

namespace {

std::vector<int32_t> Ids(std::vector<GetArchFileListForJobRetCC_t> const& rows) {
    std::vector<int32_t> ids;
    for (auto const& r : rows) ids.push_back(static_cast<int32_t>(r.archFileId));
    return ids;
}

TEST_F(ArchiveTest, CreatedFilesCarryTheJobAndAreListedNewestFirst) {
    int64_t const before = static_cast<int64_t>(std::time(nullptr));
    CreateRet_t a = Create(100, 5, 1, 3, 2);
    CreateRet_t b = Create(100, 5, 1);
    CreateRet_t meta = Create(100, 5, 6);
    CreateRet_t other = Create(200, 5, 1);
    // Same second for all: the id breaks the tie. Then an older time stamp
    // sends b behind a although its id is higher.
    EXPECT_EQ(Ids(List(100, {1})), (std::vector<int32_t>{b.archFileId, a.archFileId}));
    SetCreated(b.archFileId, before - 60);

    struct Case {
        int64_t job;
        std::vector<int> types;
        std::vector<int32_t> ids;
    } const cases[] = {
        {100, {1}, {a.archFileId, b.archFileId}},
        {100, {6}, {meta.archFileId}},
        {100, {1, 6}, {meta.archFileId, a.archFileId, b.archFileId}},
        {100, {}, {meta.archFileId, a.archFileId, b.archFileId}},
        {100, {4}, {}},
        {200, {1}, {other.archFileId}},
        {300, {1}, {}},
    };
    for (Case const& c : cases) EXPECT_EQ(Ids(List(c.job, c.types)), c.ids) << c.job;

    JZArchive archive(nullptr, true, nullptr);
    auto rows = List(100, {1});
    ASSERT_EQ(rows.size(), 2u);
    GetArchFileListForJobRetCC_t const& r = rows[0];
    EXPECT_EQ(r.brannoxId, nuvsuite::kLocalBrannoxId);
    EXPECT_EQ(r.jobId, 100);
    EXPECT_EQ(r.appId, 5);
    EXPECT_EQ(r.archFileId, a.archFileId);
    EXPECT_EQ(r.archGroupId, a.archGroupId);
    EXPECT_EQ(r.copyId, archive.GetCopyId());
    EXPECT_EQ(r.archFileType, 1);
    EXPECT_GE(r.createTime, before);
    EXPECT_EQ(r.isClosed, 0);
    EXPECT_EQ(a.brannoxId, nuvsuite::kLocalBrannoxId);
}

TEST_F(ArchiveTest, EachApplicationHasItsOwnArchiveGroup) {
    CreateRet_t app5job1 = Create(1, 5, 1);
    CreateRet_t app5job2 = Create(2, 5, 1);
    CreateRet_t app9 = Create(3, 9, 1);
    EXPECT_EQ(app5job1.archGroupId, app5job2.archGroupId);
    EXPECT_NE(app5job1.archGroupId, app9.archGroupId);
    EXPECT_NE(app5job1.archFileId, app5job2.archFileId);
}

TEST_F(ArchiveTest, CloseOnlyAnOpenKnownFileOnce) {
    CreateRet_t f = Create(100, 5, 1);
    struct Case {
        int32_t brannox;
        int32_t group;
        int32_t file;
        int rc;
    } const cases[] = {
        {f.brannoxId, f.archGroupId, f.archFileId, 0},
        {f.brannoxId, f.archGroupId, f.archFileId, nuvarchive::kArchiveAlreadyClosed},
        {f.brannoxId, f.archGroupId, f.archFileId + 1, nuvarchive::kArchiveNotFound},
        {f.brannoxId, f.archGroupId + 1, f.archFileId, nuvarchive::kArchiveNotFound},
        {f.brannoxId + 1, f.archGroupId, f.archFileId, nuvarchive::kArchiveNotFound},
    };
    JZArchive archive(nullptr, true, nullptr);
    for (Case const& c : cases) {
        CloseAfileArgs_t args;
        args.brannoxId = c.brannox;
        args.archGroupId = c.group;
        args.archFileId = c.file;
        CloseAfileRet_t ret;
        EXPECT_EQ(archive.closeAfile(&args, &ret), c.rc) << archive.getErrorString();
    }
    auto rows = List(100, {1});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].isClosed, 1);
}

TEST_F(ArchiveTest, CreateRefusesMissingJobOrRecords) {
    JZArchive noJob(nullptr, true, nullptr);
    CreateArgs_t args;
    CreateRet_t ret;
    EXPECT_EQ(noJob.CreateArchiveForSnapBackup(&args, &ret), nuvarchive::kArchiveBadArgument);
    EXPECT_EQ(ret.archFileId, 0);

    JZArchive archive(nullptr, true, nullptr);
    archive.SetJobID(7);
    EXPECT_EQ(archive.CreateArchiveForSnapBackup(nullptr, &ret), nuvarchive::kArchiveBadArgument);
    EXPECT_EQ(archive.CreateArchiveForSnapBackup(&args, nullptr), nuvarchive::kArchiveBadArgument);
    EXPECT_EQ(archive.closeAfile(nullptr, nullptr), nuvarchive::kArchiveBadArgument);
    EXPECT_TRUE(List(7, {}).empty());
}

TEST_F(ArchiveTest, InjectedCreateFaultReachesTheCallerAndIsJournalled) {
    nuvsuite::AddFault("archive", "JZArchive::CreateArchiveForSnapBackup", 28, "media full", 1);
    JZArchive archive(nullptr, true, nullptr);
    archive.SetJobID(42);
    CreateArgs_t args;
    args.appId = 5;
    args.archFileType = 1;
    CreateRet_t ret;
    EXPECT_EQ(archive.CreateArchiveForSnapBackup(&args, &ret), 28);
    EXPECT_STREQ(archive.getErrorString(), "media full");
    EXPECT_TRUE(List(42, {}).empty()) << "a failed create must leave no row";
    EXPECT_EQ(archive.CreateArchiveForSnapBackup(&args, &ret), 0);
    EXPECT_EQ(List(42, {}).size(), 1u);

    auto journal = nuvsuite::ReadJournal("archive", "JZArchive::CreateArchiveForSnapBackup");
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_NE(journal[0].args.find("job=42"), std::string::npos) << journal[0].args;
    EXPECT_NE(journal[0].args.find("app=5"), std::string::npos) << journal[0].args;
}

TEST_F(ArchiveTest, InjectedListFaultLeavesTheCallerWithANonZeroResult) {
    Create(100, 5, 1);
    nuvsuite::AddFault("archive", "ArMgrClientAPI::getArchFileListForJob", -3, "", -1, "job=100");
    ArMgrClientAPI client;
    GetArchFileListForJobArgsCC_t args;
    args.brannoxId = 2;
    args.jobId = 100;
    std::vector<GetArchFileListForJobRetCC_t> rows;
    EXPECT_EQ(client.getArchFileListForJob(&args, &rows), -3);
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(List(101, {}).size(), 0u);  // other jobs do not match the pattern
}

TEST_F(ArchiveTest, ArchiveFileInfoByIdAndBrannox) {
    CreateRet_t f = Create(100, 5, 6);
    ArMgrClientAPI client;
    struct Case {
        int64_t file;
        int64_t group;
        int64_t brannox;
        int rc;
    } const cases[] = {
        {f.archFileId, 0, 2, 0},
        {f.archFileId, f.archGroupId, 2, 0},
        {f.archFileId, f.archGroupId + 1, 2, nuvarchive::kArchiveNotFound},
        {f.archFileId, 0, 3, nuvarchive::kArchiveNotFound},
        {f.archFileId + 10, 0, 2, nuvarchive::kArchiveNotFound},
    };
    for (Case const& c : cases) {
        GetAfileInfoArgsCC_t args;
        args.archFileId = c.file;
        args.archGroupId = c.group;
        args.brannoxId = c.brannox;
        GetAfileInfoRetCC_t info;
        EXPECT_EQ(client.getAfileInfo(&args, &info), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(info.archFileId, f.archFileId);
            EXPECT_EQ(info.archGroupId, f.archGroupId);
            EXPECT_EQ(info.brannoxId, 2);
            EXPECT_EQ(info.jobId, 100);
            EXPECT_EQ(info.archFileType, 6);
            EXPECT_GT(info.backupTime, 0);
        }
    }
}

TEST_F(ArchiveTest, SnapshotJobListingNamesTheLocalSarnel) {
    CreateRet_t a = Create(100, 5, 1);
    CreateRet_t b = Create(100, 5, 6);
    ArMgrClientAPI client;
    GetArchFileInfoForSnapJob_ArgsCC_t args;
    args.brannoxId = 2;
    args.snapJobId = 100;
    args.flags = 0x1;
    GetArchFileInfoForSnapJob_Ret_t ret;
    ASSERT_EQ(client.getArchFileListForSnapshotJob(&args, &ret), 0);
    EXPECT_EQ(ret.sarnelHost, nuvsuite::LocalMangledHostName());
    EXPECT_EQ(Ids(ret.archFiles), (std::vector<int32_t>{b.archFileId, a.archFileId}));

    args.snapJobId = 999;
    GetArchFileInfoForSnapJob_Ret_t none;
    ASSERT_EQ(client.getArchFileListForSnapshotJob(&args, &none), 0);
    EXPECT_TRUE(none.sarnelHost.empty());
    EXPECT_TRUE(none.archFiles.empty());
}

TEST_F(ArchiveTest, RestoreSarnelIsTheLocalHostForAKnownFile) {
    CreateRet_t f = Create(100, 5, 1);
    JZArchive archive(nullptr, true, nullptr);
    struct Case {
        int32_t file;
        int32_t copy;
        int rc;
    } const cases[] = {
        {f.archFileId, archive.GetCopyId(), 0},
        {f.archFileId, 0, 0},
        {f.archFileId, archive.GetCopyId() + 1, nuvarchive::kArchiveNotFound},
        {f.archFileId + 1, archive.GetCopyId(), nuvarchive::kArchiveNotFound},
    };
    ArMgrClientAPI client;
    for (Case const& c : cases) {
        GetRestoreSarnelInput_t in;
        in.archFileId = c.file;
        in.brannoxId = 2;
        in.copyId = c.copy;
        in.jobId = 555;
        in.destClientName = "dest";
        GetRestoreSarnelOutput_t out;
        EXPECT_EQ(client.getRestoreSarnel(&in, &out), c.rc);
        EXPECT_EQ(out.sarnelHost, c.rc == 0 ? nuvsuite::LocalMangledHostName() : "");
    }
}

}  // namespace

// Archive file id 1 is the placeholder of an index key: a fresh state root
// hands its first real archive file id 2, and a catalogue made before keeps
// what it holds (an archive file 1 stays readable) and goes on above it.
TEST_F(ArchiveTest, RealArchiveFilesStartAboveThePlaceholderId) {
    struct Case {
        char const* name;
        bool olderCatalogue;      // schema as it was before ids started at 2
        bool holdsArchiveFile1;   // that catalogue holds an archive file 1 of job 100
        std::vector<int32_t> ids;  // of the job's next two archive files
    } const cases[] = {
        {"fresh state root", false, false, {2, 3}},
        {"older empty catalogue", true, false, {2, 3}},
        {"older catalogue with archive file 1", true, true, {2, 3}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.name);
        nuvtest::ScopedSuiteRoot root;
        nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
        if (k.olderCatalogue) {
            ASSERT_FALSE(cat.Exec("DELETE FROM sqlite_sequence WHERE name = 'archive_files'").IsError());
            ASSERT_FALSE(cat.Exec("UPDATE schema_versions SET version = 1 WHERE service = 'archive'").IsError());
            if (k.holdsArchiveFile1) {
                ASSERT_FALSE(cat.Exec("INSERT INTO archive_groups (id, app_id) VALUES (1, 5)").IsError());
                ASSERT_FALSE(cat.Exec("INSERT INTO archive_files (id, brannox_id, group_id, job_id, type, created, "
                                      "copy_id, app_id, client_id, backup_type) VALUES (1, 2, 1, 100, 1, 1, 1, 5, 3, 1)")
                                 .IsError());
            }
            // Reopened as an older root is: the newer schema parts apply.
            std::string const path = root.path();
            setenv("JZ_SUITE_ROOT", (root.base() + "/elsewhere").c_str(), 1);
            (void)cat.path();
            ASSERT_FALSE(cat.Exec("SELECT 1").IsError());
            setenv("JZ_SUITE_ROOT", path.c_str(), 1);
        }
        std::vector<int32_t> ids;
        for (int i = 0; i < 2; ++i) ids.push_back(Create(100, 5, 1).archFileId);
        EXPECT_EQ(k.ids, ids);
        std::vector<int32_t> listed = Ids(List(100, {1}));
        std::vector<int32_t> expected{ids.rbegin(), ids.rend()};
        if (k.holdsArchiveFile1) expected.push_back(1);
        EXPECT_EQ(expected, listed);
        ArMgrClientAPI client;
        GetAfileInfoArgsCC_t key;
        key.brannoxId = 2;
        key.archFileId = k.holdsArchiveFile1 ? 1 : ids.front();
        GetAfileInfoRetCC_t info;
        EXPECT_EQ(0, client.getAfileInfo(&key, &info)) << client.getErrorString();
        EXPECT_EQ(100, info.jobId);
    }
}
