// The content index of a snapshot through the local indexing service: the
// records of each volume (parents, names, directories, sizes, sequence
// numbers), the PostgreSQL parent rule and live browse, the link markers,
// names at the header's limit, and the failed runs.
#include "tests/dbsnap/driver_fixture.h"

#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nuvdbsnaptest;

namespace {

class ContentIndexTest : public DriverTest {
protected:
    // A utility of the job with the data volume registered and its archive record made.
    void MakeUtil(int appType, bool v2 = false, int engine = 2) {
        DeclarePostgres(appType);
        ASSERT_FALSE(nuvindexing::SetGeneration(2, static_cast<uint32_t>(m_appId), v2).IsError());
        m_control.reset(new JZJobCtrlClient(0));
        ASSERT_TRUE(m_control->Init2(m_jobId, "server", 1, 4, m_jobToken.c_str(), nullptr));
        m_application.reset(new ApplicationId(2, m_appId));
        m_util.reset(new NuvSnapUtilDb(engine, JZBkpLevel(1), m_application.get(), 1, false, m_control.get(), nullptr,
                                       SPAWN_IN_PROCESS));
        ASSERT_TRUE(m_util->addMountPoint(m_data.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        ASSERT_EQ(0, m_util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
    }

    int Index(std::map<std::string, std::set<std::string>> files, bool statFiles = false,
              std::map<std::string, std::string>* names = nullptr) {
        std::string aging;
        ArchiveFileId_t afile;
        bool const verbose = false, levelOne = true, no = false;
        return m_util->createIndex(aging, "mover", 2, static_cast<unsigned>(m_appId), static_cast<unsigned>(m_appType),
                                   m_jobId, afile, m_util->getSnapShotInfo(), files, nullptr, verbose, names,
                                   levelOne, no, no, no, std::string(), statFiles, m_util.get(), false);
    }

    nuvindexing::IndexRun Run() const {
        auto runs = nuvindexing::ListRuns(m_jobId);
        return runs.empty() ? nuvindexing::IndexRun() : runs.back();
    }
    // "path seq dir size" of the last run's entries, in sequence order.
    std::vector<std::string> Entries() const {
        std::vector<nuvindexing::IndexEntry> entries;
        EXPECT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
        std::sort(entries.begin(), entries.end(), [](auto const& a, auto const& b) {
            return a.sequence != b.sequence ? a.sequence < b.sequence : a.path < b.path;
        });
        std::vector<std::string> out;
        for (auto const& e : entries)
            out.push_back(e.path + " " + std::to_string(e.sequence) + (e.isDir ? " dir " : " file ") +
                          std::to_string(e.size));
        return out;
    }

    std::unique_ptr<JZJobCtrlClient> m_control;
    std::unique_ptr<NuvSnapUtilDb> m_util;
};

TEST_F(ContentIndexTest, ParentsGoOncePerVolumeBeforeTheirFiles) {
    MakeUtil(22);
    ASSERT_EQ(0, Index({{m_data, {"/a/b/c.dbf", "/a/b/d.dbf", "/a/e/", "x/y"}}}));
    EXPECT_EQ("good", Run().status);
    // Set order: "/a/b/c.dbf", "/a/b/d.dbf", "/a/e/", "x/y".
    EXPECT_EQ((std::vector<std::string>{"/a 0 dir 10", "/a/b 1 dir 10", "/a/b/c.dbf 2 file 0", "/a/b/d.dbf 3 file 0",
                                        "/a/e 4 dir 0", "x 5 dir 10", "x/y 6 file 0"}),
              Entries());
}

TEST_F(ContentIndexTest, PostgresSendsNoParentBeforeItsFirstSlash) {
    MakeUtil(125);
    ASSERT_EQ(0, Index({{m_data, {"/a/b/c", "x/y"}}}));
    EXPECT_EQ((std::vector<std::string>{"/a 0 dir 10", "/a/b 1 dir 10", "/a/b/c 2 file 0", "x/y 3 file 0"}),
              Entries());
}

TEST_F(ContentIndexTest, LiveBrowseMakesEveryUnexaminedEntryADirectoryWithItsComponent) {
    MakeUtil(125, true);
    ASSERT_EQ(0, Index({{m_data, {m_data, m_data + "/table.dat"}}}));
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
    ASSERT_FALSE(entries.empty());
    for (auto const& e : entries) {
        EXPECT_TRUE(e.isDir) << e.path;
        if (e.path.compare(0, m_data.size(), m_data) == 0) {
            EXPECT_EQ(10u, e.size) << e.path;
            EXPECT_FALSE(e.componentGuid.empty()) << e.path;
        }
        EXPECT_FALSE(e.guid.empty()) << e.path;
    }
    EXPECT_EQ(2, Run().generation);
}

// A file examined on the snapshot (through the customized index map) gives
// its record the size found there, never its type or time: the record is a
// directory only under live browse or for a name that ends with '/', its size
// is 10 under live browse, and its time is the start of the run.
struct ExaminedCase {
    char const* name;
    int appType;
    bool v2;
    bool liveBrowse;  // every record a directory of size 10
};

void PrintTo(ExaminedCase const& c, std::ostream* os) { *os << c.name; }

class ExaminedEntryTest : public ContentIndexTest, public ::testing::WithParamInterface<ExaminedCase> {};

TEST_P(ExaminedEntryTest, CarriesTheSizeFoundAndTheRunsTime) {
    ExaminedCase const& c = GetParam();
    MakeUtil(c.appType, c.v2);
    std::string const copy = nuvtest::MakeDir(m_root.base() + "/copy");
    nuvtest::WriteFile(copy + "/table.dat", "7 bytes");
    nuvtest::MakeDir(copy + "/sub");
    struct timespec const times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (copy + "/table.dat").c_str(), times, 0));
    for (auto& volume : m_util->getSnapShotInfo().volumes()) volume.setMountPath(copy);
    m_util->allocateCustomizedIndexMap();
    auto& onSnapshot = *m_util->getCustomizedIndexMap();
    onSnapshot[m_data + "/table.dat"] = copy + "/table.dat";
    onSnapshot[m_data + "/sub"] = copy + "/sub";
    int64_t const before = time(nullptr);
    ASSERT_EQ(0, Index({{m_data, {m_data + "/table.dat", m_data + "/sub"}}}, true));
    int64_t const after = time(nullptr);
    EXPECT_EQ(c.v2 ? 2 : 1, Run().generation);
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
    std::map<std::string, nuvindexing::IndexEntry> byPath;
    for (auto const& e : entries) byPath[e.path] = e;
    ASSERT_EQ(1u, byPath.count(m_data + "/table.dat"));
    ASSERT_EQ(1u, byPath.count(m_data + "/sub"));
    struct stat sub;
    ASSERT_EQ(0, ::stat((copy + "/sub").c_str(), &sub));
    for (auto const& [path, size] : {std::make_pair(m_data + "/table.dat", uint64_t(7)),
                                     std::make_pair(m_data + "/sub", uint64_t(sub.st_size))}) {
        SCOPED_TRACE(path);
        nuvindexing::IndexEntry const& e = byPath[path];
        EXPECT_EQ(c.liveBrowse, e.isDir);
        EXPECT_EQ(c.liveBrowse ? 10u : size, e.size);
        EXPECT_LE(before, e.time);
        EXPECT_GE(after, e.time);
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, ExaminedEntryTest,
                         ::testing::Values(ExaminedCase{"PostgresFirstGeneration", 125, false, false},
                                           ExaminedCase{"PostgresLiveBrowse", 125, true, true},
                                           ExaminedCase{"OracleFirstGeneration", 22, false, false},
                                           ExaminedCase{"OracleSecondGeneration", 22, true, false}),
                         [](::testing::TestParamInfo<ExaminedCase> const& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ContentIndexTest, NamesAtTheHeaderLimitAndOverIt) {
    MakeUtil(125);
    std::string const fits = "/" + std::string(JzFileHeader::kNameSize - 2, 'n');
    ASSERT_EQ(0, Index({{m_data, {fits}}}));
    EXPECT_EQ(std::vector<std::string>{fits + " 0 file 0"}, Entries());

    std::string const over = fits + "x";
    EXPECT_EQ(-1, Index({{m_data, {over}}}));
    EXPECT_EQ("failed", Run().status);
}

TEST_F(ContentIndexTest, AVolumeWithoutFilesFailsTheRun) {
    MakeUtil(125);
    EXPECT_EQ(-1, Index({}));
    EXPECT_EQ("failed", Run().status);
    // Files of another volume by their numbers.
    EXPECT_TRUE(m_util->addMountPoint((m_data + "/table.dat").c_str(), nullptr, 99));
    EXPECT_EQ(-1, Index({{m_data, {m_data + "/table.dat"}}}));
    EXPECT_EQ("failed", Run().status);
}

TEST_F(ContentIndexTest, ExaminedFilesCarryTheirSizeAndAMissingOneFailsWithItsCause) {
    MakeUtil(22);
    ASSERT_EQ(0, Index({{m_data, {m_data + "/table.dat"}}}, true));
    auto entries = Entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(m_data + "/table.dat " + std::to_string(entries.size() - 1) + " file 24", entries.back());

    EXPECT_EQ(-1, Index({{m_data, {m_data + "/gone.dat"}}}, true));
    EXPECT_EQ("failed", Run().status);
    auto causes = Causes();
    ASSERT_FALSE(causes.empty());
    EXPECT_EQ("0x1200008d " + m_data + "/gone.dat", causes.back());
}

// The attached target's record leaves its value-length word 0 (the index
// client alone fills it) under both generations.
TEST_F(ContentIndexTest, LinksGoUnderTheirMarkersWithTheTargetAttached) {
    MakeDir(m_data + "/dir");
    ASSERT_EQ(0, symlink((m_data + "/dir").c_str(), (m_data + "/to-dir").c_str()));
    ASSERT_EQ(0, symlink((m_data + "/table.dat").c_str(), (m_data + "/to-file").c_str()));
    for (bool const v2 : {false, true}) {
        SCOPED_TRACE(v2 ? "second generation" : "first generation");
        MakeUtil(22, v2);
        ASSERT_TRUE(m_util->addMountPoint((m_data + "/to-dir").c_str(), nullptr));
        ASSERT_TRUE(m_util->addMountPoint((m_data + "/to-file").c_str(), nullptr));
        nuvsuite::ClearJournal();
        ASSERT_EQ(0, Index({{m_data, {"/f"}}}));
        EXPECT_EQ(v2 ? 2 : 1, Run().generation);
        std::vector<nuvindexing::IndexEntry> entries;
        ASSERT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
        std::map<std::string, nuvindexing::IndexEntry> byPath;
        for (auto const& e : entries) byPath[e.path] = e;
        ASSERT_EQ(1u, byPath.count("/+SYMLINK2DIR+"));
        ASSERT_EQ(1u, byPath.count("/+SYMLINK2FILE+"));
        EXPECT_EQ(2u, byPath["/+SYMLINK2DIR+"].sequence);
        EXPECT_EQ(4u, byPath["/+SYMLINK2FILE+"].sequence);
        auto const& dirLink = byPath["/+SYMLINK2DIR+" + m_data + "/to-dir"];
        EXPECT_EQ(2u, dirLink.sequence);
        ASSERT_EQ(1u, dirLink.metadata.size());
        EXPECT_EQ(m_data + "/dir", dirLink.metadata[0].second);
        EXPECT_EQ(4u, byPath["/+SYMLINK2FILE+" + m_data + "/to-file"].sequence);
        // Both targets' records, as the index client received them (journal
        // rows "calls=N first=[type=T valueLength=W] last=[...]").
        int calls = 0;
        std::vector<std::string> words;
        for (auto const& args : JournalArgs("indexing", "IndexingConnection::sendMetaDataInfo")) {
            if (args.find("type=" + std::to_string(kIdxMetaOracleSap)) == std::string::npos) continue;
            calls += std::atoi(args.c_str() + args.find("calls=") + 6);
            for (size_t at = args.find("valueLength="); at != std::string::npos;
                 at = args.find("valueLength=", at + 1))
                words.push_back(args.substr(at + 12, args.find(']', at) - at - 12));
        }
        EXPECT_EQ(2, calls);
        ASSERT_FALSE(words.empty());
        for (std::string const& word : words) EXPECT_EQ("0", word);
    }
}

TEST_F(ContentIndexTest, ALinkWhoseTargetVanishedFailsWithItsCause) {
    ASSERT_EQ(0, symlink((m_data + "/table.dat").c_str(), (m_data + "/to-file").c_str()));
    MakeUtil(22);
    ASSERT_TRUE(m_util->addMountPoint((m_data + "/to-file").c_str(), nullptr));
    ASSERT_EQ(0, unlink((m_data + "/table.dat").c_str()));
    EXPECT_EQ(-1, Index({{m_data, {"/f"}}}));
    EXPECT_EQ("failed", Run().status);
    auto causes = Causes();
    ASSERT_FALSE(causes.empty());
    EXPECT_EQ("0x1200008d " + m_data + "/table.dat", causes.back());
}

TEST_F(ContentIndexTest, OnePostgresVolumeAsAComponent) {
    MakeUtil(125, true);
    IndexingConnection connection;
    ASSERT_EQ(0, connection.initialize(2, m_appId, 125, JZBkpLevel(1), m_jobToken.c_str(), "mover", "client", 1));
    EXPECT_EQ(0, m_util->sendVolComponent(&connection, 104, m_data));
    EXPECT_EQ(0, m_util->sendVolComponent(&connection, 125, m_data));
    ArchiveFileId_t afile;
    afile.brannoxId = 2;
    afile.archFileId = 1;
    EXPECT_EQ(0, connection.backupDone(1));
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(m_data, entries[0].path);
    EXPECT_TRUE(entries[0].isDir);
    EXPECT_FALSE(entries[0].componentGuid.empty());
}

// An LREP job asks the replication engine for its metadata files before the
// directory change; an engine that cannot be made or cannot give them stops the
// index before any connection is opened, with the critical event.
struct MetadataRoad {
    char const* name;
    bool plugin;        // the plug-in is on the library search path
    bool faulted;       // its metadata-file entry fails
    int result;
    char const* logged;
};

void PrintTo(MetadataRoad const& r, std::ostream* os) { *os << r.name; }

class ReplicationMetadataTest : public ContentIndexTest, public ::testing::WithParamInterface<MetadataRoad> {};

TEST_P(ReplicationMetadataTest, GoesBeforeTheDirectoryChange) {
    MetadataRoad const& r = GetParam();
    if (r.plugin) NUV_RUN_WITH_LIBRARY_PATH(PluginDir("replication"));
    MakeUtil(125, false, kEngineVsa);
    ASSERT_EQ(1u, m_util->getReplicationType());
    if (r.faulted) nuvsuite::AddFault("replication", "GetMetadataFiles_C", 0, "engine busy", -1);

    EXPECT_EQ(r.result, Index({{m_data, {m_data + "/table.dat"}}}));
    EXPECT_EQ(r.plugin ? 1u : 0u, JournalArgs("replication", "GetMetadataFiles_C").size());
    std::vector<int> critical;
    for (auto const& e : nuvjobmgr::ListEvents(m_jobId))
        if (e.kind == "critical") critical.push_back(e.code);
    if (r.result == 0) {
        EXPECT_TRUE(critical.empty());
        EXPECT_EQ(1u, JournalArgs("indexing", "sendDirChange").size());
        EXPECT_EQ("good", Run().status);
    } else {
        EXPECT_EQ(std::vector<int>{0x39000073}, critical);
        EXPECT_TRUE(JournalArgs("indexing", "sendDirChange").empty());
        EXPECT_TRUE(nuvindexing::ListRuns(m_jobId).empty());
        EXPECT_NE(std::string::npos, ReadFile(m_root.path() + "/logs/nuvdbsnap.log").find(r.logged));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Roads, ReplicationMetadataTest,
    ::testing::Values(MetadataRoad{"EngineGivesThem", true, false, 0, ""},
                      MetadataRoad{"NoEngine", false, false, -1, "Failed to instantiate JzReplicationEngine"},
                      MetadataRoad{"EngineRefuses", true, true, -1,
                                   "Unable to get metadata files required specific to derived classes for backup"}),
    [](::testing::TestParamInfo<MetadataRoad> const& info) { return std::string(info.param.name); });

// The Oracle block level: the subclient's volume-type file, one serialised
// volume message a line.
class OracleBlockLevelTest : public ContentIndexTest {
protected:
    void SetUp() override {
        ContentIndexTest::SetUp();
        MakeUtil(22, true);
        char dir[1024];
        ASSERT_EQ(0, GetSubclientDir(2, static_cast<unsigned>(m_appId), dir));
        m_subclientDir = MakeDir(dir);
    }
    void WriteVolumes(std::vector<std::string> const& volumes, std::string const& extra = "") {
        std::string text;
        for (std::string const& v : volumes) {
            Nuv::OraVolumeDataType message;
            message.setstring(1, 1, v);
            std::string line;
            ASSERT_EQ(0, message.serialize(line));
            text += line + "\n";
        }
        WriteFile(m_subclientDir + "/OraVolumeType.jzf", text + extra);
    }
    void SetSubclient(bool blockLevel, bool metadata, int streams) {
        ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                         .Exec("UPDATE subclients SET blocklevel = ?, metadata = ?, data_streams = ? WHERE id = ?",
                               {int64_t(blockLevel), int64_t(metadata), int64_t(streams), int64_t(m_subclientId)})
                         .IsError());
    }
    // "key seq value" of what the job saved in its job information, in key order.
    std::vector<std::string> Saved() const {
        std::vector<nuvsuite::CatRow> rows;
        EXPECT_FALSE(nuvsuite::Catalogue::Instance()
                         .Query("SELECT key, seq, value FROM idx_jobinfo WHERE job_id = ? ORDER BY key, seq",
                                {m_jobId}, &rows)
                         .IsError());
        std::vector<std::string> out;
        for (auto const& r : rows)
            out.push_back(nuvsuite::AsText(r[0]) + " " + std::to_string(nuvsuite::AsInt(r[1])) + " " +
                          nuvsuite::AsText(r[2]));
        return out;
    }
    int SendOptional(std::vector<std::string> files, int appType = 22) {
        return m_util->sendOptionalFilesForIdxV2("mover", files, 2, static_cast<unsigned>(m_appId),
                                                 static_cast<unsigned>(appType), m_jobId, 7, m_jobToken, nullptr);
    }
    std::string m_subclientDir;
};

TEST_F(OracleBlockLevelTest, VolumesOfTheFileBecomeComponentsInFileOrder) {
    IndexingConnection connection;
    ASSERT_EQ(0, connection.initialize(2, m_appId, 22, JZBkpLevel(1), m_jobToken.c_str(), "mover", "client", 0x19));
    // Without the file, and for other types, nothing is sent.
    EXPECT_EQ(0, m_util->sendVolComponent(&connection, 22, 2, static_cast<int>(m_appId)));
    WriteVolumes({"/oradata/one", "", "/oradata/two/"});
    EXPECT_EQ(0, m_util->sendVolComponent(&connection, 125, 2, static_cast<int>(m_appId)));
    EXPECT_EQ(0, m_util->sendVolComponent(&connection, 80, 2, static_cast<int>(m_appId)));
    ASSERT_EQ(0, connection.backupDone(1));
    EXPECT_EQ((std::vector<std::string>{"/oradata/one 1 dir 10", "/oradata/two 2 dir 10"}), Entries());
    std::vector<nuvindexing::IndexEntry> entries;
    ASSERT_FALSE(nuvindexing::ListEntries(Run().id, &entries).IsError());
    for (auto const& e : entries) {
        EXPECT_FALSE(e.componentGuid.empty()) << e.path;
        EXPECT_FALSE(e.guid.empty()) << e.path;
        EXPECT_FALSE(e.parentGuid.empty()) << e.path;
    }
}

TEST_F(OracleBlockLevelTest, ALineOverTheLimitFailsTheComponents) {
    WriteVolumes({"/oradata/one"}, std::string(1023, 'x') + "\n");
    IndexingConnection connection;
    ASSERT_EQ(0, connection.initialize(2, m_appId, 22, JZBkpLevel(1), m_jobToken.c_str(), "mover", "client", 0x19));
    EXPECT_EQ(-1, m_util->sendVolComponent(&connection, 22, 2, static_cast<int>(m_appId)));
    EXPECT_EQ(-1, SendOptional({}));
    EXPECT_NE(std::string::npos, ReadFile(m_root.path() + "/logs/nuvdbsnap.log").find("Failed while reading file ["));
}

TEST_F(OracleBlockLevelTest, BlockLevelFilesArePackedAndSavedWithStreamsAndVolumes) {
    SetSubclient(true, true, 0);
    WriteVolumes({"/oradata/one", "/oradata/two"});
    std::string const results = MakeDir(m_root.base() + "/results");
    WriteFile(results + "/BlockDeviceConfig.jzf", "devices\n");
    WriteFile(results + "/loop0.bmp", "bitmap");
    WriteFile(results + "/notes.txt", "passed over");
    WriteFile(results + "/loop0.bmp.7z", "stale");
    std::string const volumeFile = m_subclientDir + "/OraVolumeType.jzf";

    ASSERT_EQ(0, SendOptional({results + "/BlockDeviceConfig.jzf", results + "/notes.txt", results + "/loop0.bmp",
                               volumeFile}));
    EXPECT_EQ((std::vector<std::string>{
                  "BlockLevelBitmaps 1 " + results + "/loop0.bmp.7z",
                  "BlockLevelCatalog 1 " + results + "/BlockDeviceConfig.jzf.7z",
                  "BlockLevelCatalog 2 " + volumeFile + ".7z", "flags 0 32", "numberOfStreams 0 1",
                  "volumes 0 /oradata/one:/oradata/two:"}),
              Saved());
    EXPECT_FALSE(Exists(results + "/notes.txt.7z"));
    // Each archive is a real 7z archive of its one file (the stale one was replaced).
    for (std::string const& name : {"loop0.bmp", "BlockDeviceConfig.jzf"}) {
        auto listing = nuvtest::RunProgram("/usr/bin/7zz", {"l", "-ba", results + "/" + name + ".7z"});
        ASSERT_EQ(0, listing.exitCode) << listing.err;
        EXPECT_NE(std::string::npos, listing.out.find(" " + std::string(name) + "\n")) << listing.out;
    }
}

TEST_F(OracleBlockLevelTest, WithoutAFileToStoreOnlyTheKeysAreKept) {
    SetSubclient(true, false, 3);
    ASSERT_EQ(0, SendOptional({"/nowhere/notes.txt"}));
    EXPECT_TRUE(Saved().empty());  // nothing stored: the store is not saved
    EXPECT_TRUE(JournalArgs("indexing", "CJobInfoMetadataStore::backupData").empty());
    // Other applications take no optional files.
    EXPECT_EQ(0, SendOptional({}, 125));
    EXPECT_EQ(-1, SendOptional({"/nowhere/notes.txt"}, 125));
}

TEST_F(OracleBlockLevelTest, AFileThatCannotBePackedFailsAndLeavesNoArchive) {
    std::string const results = MakeDir(m_root.base() + "/results");
    EXPECT_EQ(-1, SendOptional({results + "/BlockDeviceConfig.jzf"}));  // missing
    EXPECT_TRUE(Saved().empty());
    EXPECT_NE(std::string::npos, ReadFile(m_root.path() + "/logs/nuvdbsnap.log").find("Failed to compress file ["));
}

TEST_F(OracleBlockLevelTest, AWholeIndexCarriesTheComponentsAndSavesTheOptionalFiles) {
    SetSubclient(true, false, 2);
    WriteVolumes({"/oradata/one"});
    std::string const results = MakeDir(m_root.base() + "/results");
    WriteFile(results + "/BlockDeviceConfig.jzf", "devices\n");
    std::vector<std::string> optional{results + "/BlockDeviceConfig.jzf"};
    m_util->setIndexOptionalFileList(&optional);

    ASSERT_EQ(0, Index({{m_data, {m_data + "/table.dat"}}}));
    EXPECT_EQ("good", Run().status);
    auto const entries = Entries();
    EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), "/oradata/one 1 dir 10"));
    EXPECT_EQ((std::vector<std::string>{"BlockLevelCatalog 1 " + results + "/BlockDeviceConfig.jzf.7z",
                                        "flags 0 64", "numberOfStreams 0 2", "volumes 0 /oradata/one:"}),
              Saved());
}

}  // namespace

namespace {

// The index phase of the job driver examines the files of every application
// but PostgreSQL and Sybase, whose files it never examines, even when the
// agent has set up where to examine them (the customized index map). Here
// that map points at copies that do not exist, so an examination fails the
// phase.
struct StatFilesCase {
    char const* name;
    int appType;
    bool v2;
    bool examined;
};

void PrintTo(StatFilesCase const& c, std::ostream* os) { *os << c.name; }

class IndexPhaseStatTest : public DriverTest, public ::testing::WithParamInterface<StatFilesCase> {};

TEST_P(IndexPhaseStatTest, ExaminesTheFilesOfEveryApplicationButPostgresAndSybase) {
    StatFilesCase const& c = GetParam();
    DeclarePostgres(c.appType);
    ASSERT_FALSE(nuvindexing::SetGeneration(2, static_cast<uint32_t>(m_appId), c.v2).IsError());
    TestDriver driver(c.appType);
    driver.dataPaths = {m_data};
    ASSERT_EQ(0, driver.Init(CommandLine()));
    ASSERT_EQ(0, driver.FindDataPaths());
    ASSERT_EQ(0, driver.PrepareSnap());
    ASSERT_EQ(0, driver.Snap());
    NuvSnapUtilDb* util = driver.getSnapUtil();
    ASSERT_NE(nullptr, util);
    ASSERT_FALSE(util->getSnapShotInfo().volumes().empty());
    util->allocateCustomizedIndexMap();
    for (auto const& volume : util->getMountPoints())
        for (std::string const& path : volume.second)
            (*util->getCustomizedIndexMap())[path] = m_root.base() + "/not-on-the-snapshot" + path;
    ASSERT_FALSE(util->getCustomizedIndexMap()->empty());

    EXPECT_EQ(c.examined ? -1 : 0, driver.CreateIndex());
    auto const runs = nuvindexing::ListRuns(m_jobId);
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ(c.examined ? "failed" : "good", runs[0].status);
    EXPECT_EQ(c.v2 ? 2 : 1, runs[0].generation);
    auto const causes = Causes();
    EXPECT_EQ(c.examined, std::find(causes.begin(), causes.end(), "0x070000cc  createIndex failed") != causes.end());
}

INSTANTIATE_TEST_SUITE_P(Applications, IndexPhaseStatTest,
                         ::testing::Values(StatFilesCase{"PostgresFirstGeneration", kAppTypePostgreSql, false, false},
                                           StatFilesCase{"PostgresSecondGeneration", kAppTypePostgreSql, true, false},
                                           StatFilesCase{"SybaseFirstGeneration", kAppTypeSybase, false, false},
                                           StatFilesCase{"SybaseSecondGeneration", kAppTypeSybase, true, false},
                                           StatFilesCase{"OracleFirstGeneration", kAppTypeOracle, false, true},
                                           StatFilesCase{"OracleSecondGeneration", kAppTypeOracle, true, true}),
                         [](::testing::TestParamInfo<StatFilesCase> const& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
