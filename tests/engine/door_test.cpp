// The exported snapshot door: its results out of order, and a SAP HANA job
// whose prepare ran in another process.
#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <dirent.h>

using namespace nuvenginetest;

namespace {

class DoorTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareVolume(m_data, "/dev/fakedata", "ext4", "rw");
    }
    void TearDown() override { finalizeNuvSnapUtil(); }

    // The prepare of a SAP HANA job, made in a child process.
    int PrepareInAnotherProcess() {
        int pid = nuvtest::StartChild([this]() -> int {
            NuvSnapUtil util(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
            if (util.initialize().IsError()) return 10;
            if (util.addMountPoint(m_data.c_str(), nullptr) != 1) return 11;
            JZArchive archive(nullptr, false, nullptr);
            archive.SetJobID(m_jobId);
            CreateArgs_t request = Request();
            if (util.createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0) return 12;
            return util.prepareSnapShot(nullptr, nullptr, false) == 0 ? 0 : 13;
        });
        return nuvtest::WaitChild(pid);
    }

    int DoorCreate(CallbackLog* log) {
        initializeNuvSnapUtil(2, JZBkpLevel(1), m_application.get(), 0, false);
        if (addMountPoint(m_data.c_str()) != 1) return -100;
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(m_jobId);
        CreateArgs_t request = Request();
        if (createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0) return -101;
        return createSnapShot(0, &CallbackLog::Record, log, false);
    }
};

TEST_F(DoorTest, ResultsOutOfOrder) {
    DeclareApp(135);
    JZArchive archive(nullptr, false, nullptr);
    CreateArgs_t request = Request();
    for (char const* when : {"before initialize", "after finalize", "after a second finalize"}) {
        SCOPED_TRACE(when);
        EXPECT_EQ(0, addMountPoint(m_data.c_str()));
        EXPECT_EQ(-1, createSnapArchiveFiles(archive, request, nullptr, nullptr));
        EXPECT_EQ(-1, createSnapShot(0, nullptr, nullptr, false));
        if (std::string(when) == "before initialize") {
            initializeNuvSnapUtil(2, JZBkpLevel(1), m_application.get(), 0, false);
            EXPECT_EQ(1, addMountPoint(m_data.c_str()));
        }
        finalizeNuvSnapUtil();
    }
    EXPECT_TRUE(JournalArgs("snapmgr", "createVolumeSnaps").empty());
    EXPECT_TRUE(JournalArgs("archive", "JZArchive::CreateArchiveForSnapBackup").empty());
}

TEST_F(DoorTest, NullApplicationStartsWithBlockLevelOff) {
    DeclareApp(135);
    initializeNuvSnapUtil(2, JZBkpLevel(1), nullptr, 0, false);
    initializeNuvSnapUtil(2, JZBkpLevel(1), nullptr, 0, false);
    EXPECT_EQ(1, addMountPoint(m_data.c_str()));
    EXPECT_TRUE(JournalArgs("blocklevel", "GetBlockDeviceConfigHandler").empty());
}

TEST_F(DoorTest, CreatePicksUpAPrepareMadeInAnotherProcess) {
    DeclareApp(135);
    ASSERT_EQ(0, PrepareInAnotherProcess());

    // The record lies in the job's snapshot-info file, readable by its owner only,
    // and no temporary file is left beside it.
    struct stat st {};
    ASSERT_EQ(0, stat(SnapShotInfoFile().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    int entries = 0;
    if (DIR* dir = opendir(JobResultsDir().c_str())) {
        while (dirent* e = readdir(dir))
            if (std::string(e->d_name).find(".snapShotInfo_") != std::string::npos) ++entries;
        closedir(dir);
    }
    EXPECT_EQ(1, entries);

    WriteFile(m_data + "/table.dat", "written before the snap\n");
    CallbackLog log;
    ASSERT_EQ(0, DoorCreate(&log));
    EXPECT_TRUE(log.calls.empty());
    EXPECT_FALSE(Exists(SnapShotInfoFile()));
    finalizeNuvSnapUtil();

    // Exactly one prepare (in the child) and one create (here), and the copy holds the data.
    EXPECT_EQ(1u, JournalArgs("snapmgr", "prepareVolumeSnaps").size());
    EXPECT_EQ(1u, JournalArgs("snapmgr", "createVolumeSnaps").size());
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(m_jobId));
    JZSnapClientAPI client;
    ASSERT_TRUE(client.getVolumeSnaps(record));
    ASSERT_EQ(1u, record.getNumSnaps());
    EXPECT_EQ("written before the snap\n", ReadFile(record.snapListBegin()->getSnapDevice() + "/table.dat"));
}

// A snapshot-info file that cannot serve: the create fails before anything is
// flushed, frozen or snapped, and leaves the file where it was.
struct BadInfoFile {
    char const* name;
    std::string (*content)();
};

std::string Garbage() { return "<not a snapshot record"; }
std::string Empty() { return ""; }
std::string NoVolume() {
    SMVolSnapInfo record;
    record.setJobId(5);
    std::string xml;
    EXPECT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(record, xml));
    return xml;
}
std::string UnpreparedVolume() {
    SMVolSnapInfo record;
    SMVolumeInfo volume;
    volume.setSourcePath("/data");
    volume.setSMVolumeId(0);
    record.addVolume(volume, true);
    std::string xml;
    EXPECT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(record, xml));
    return xml;
}

class BadInfoFileTest : public DoorTest, public ::testing::WithParamInterface<BadInfoFile> {};

TEST_P(BadInfoFileTest, CreateFailsAndKeepsTheFile) {
    DeclareApp(135);
    std::string const content = GetParam().content();
    WriteFile(SnapShotInfoFile(), content);
    CallbackLog log;
    EXPECT_EQ(-1, DoorCreate(&log));
    EXPECT_TRUE(Exists(SnapShotInfoFile()));
    EXPECT_EQ(content, ReadFile(SnapShotInfoFile()));
    EXPECT_TRUE(JournalArgs("snapmgr", "createVolumeSnaps").empty());
    EXPECT_TRUE(FreezeRuns().empty());
}

INSTANTIATE_TEST_SUITE_P(Files, BadInfoFileTest,
                         ::testing::Values(BadInfoFile{"Garbage", &Garbage}, BadInfoFile{"Empty", &Empty},
                                           BadInfoFile{"NoVolume", &NoVolume},
                                           BadInfoFile{"UnpreparedVolume", &UnpreparedVolume}),
                         [](auto const& info) { return std::string(info.param.name); });

// A snapshot-info file edited to hand over what the job never prepared: the
// create refuses it as a file that cannot be read (same text, the file stays),
// before anything is frozen or snapped.
struct ForeignRecord {
    char const* name;
    // Edits the prepared record; `other` is a second job of the same
    // application that prepared its own volume `otherVolume`.
    void (*edit)(SMVolSnapInfo& record, int64_t other, SMVolumeInfo const& otherVolume, std::string const& base);
    char const* reason;
};

void PrintTo(ForeignRecord const& r, std::ostream* os) { *os << r.name; }

class ForeignRecordTest : public DoorTest, public ::testing::WithParamInterface<ForeignRecord> {};

TEST_P(ForeignRecordTest, CreateRefusesItAsAnUnreadableFile) {
    ForeignRecord const& c = GetParam();
    DeclareApp(135);
    std::string const otherData = nuvtest::MakeDir(m_root.base() + "/other-data");
    DeclareVolume(otherData, "/dev/fakeother", "ext4", "rw");
    nuvjobmgr::JobInfo other;
    ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &other).IsError());
    SMVolSnapInfo otherRecord;
    otherRecord.setJobId(static_cast<int>(other.id));
    SMVolumeInfo otherVolume;
    otherVolume.setSourcePath(otherData);
    otherRecord.addVolume(otherVolume, true);
    JZSnapClientAPI client;
    ASSERT_TRUE(client.prepareVolumeSnaps(otherRecord)) << otherRecord.getErrorString();

    ASSERT_EQ(0, PrepareInAnotherProcess());
    SMVolSnapInfo record;
    ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoXMLStrToObject(ReadFile(SnapShotInfoFile()), record));
    c.edit(record, other.id, *otherRecord.volumeListBegin(), m_root.base());
    std::string edited;
    ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(record, edited));
    WriteFile(SnapShotInfoFile(), edited);

    CallbackLog log;
    EXPECT_EQ(-1, DoorCreate(&log));
    EXPECT_EQ(edited, ReadFile(SnapShotInfoFile()));
    EXPECT_TRUE(JournalArgs("snapmgr", "createVolumeSnaps").empty());
    EXPECT_TRUE(FreezeRuns().empty());
    std::string const said = "Failed to open snapshot info file saved during the prepare - " + SnapShotInfoFile() + ": ";
    std::string const text = ReadFile(m_root.path() + "/logs/nuvdbsnap.log");
    size_t const at = text.find(said);
    ASSERT_NE(std::string::npos, at) << text;
    std::string const line = text.substr(at, text.find('\n', at) - at);
    EXPECT_NE(std::string::npos, line.find(c.reason)) << line;
}

void OtherJobId(SMVolSnapInfo& r, int64_t other, SMVolumeInfo const&, std::string const&) {
    r.setJobId(static_cast<int>(other));
    for (auto& v : r.volumes()) v.setJobId(static_cast<int>(other));
}
void UndeclaredFolder(SMVolSnapInfo& r, int64_t, SMVolumeInfo const&, std::string const& base) {
    r.volumes().front().setSourcePath(nuvtest::MakeDir(base + "/undeclared"));
}
void OtherJobsVolume(SMVolSnapInfo& r, int64_t, SMVolumeInfo const& otherVolume, std::string const&) {
    r.volumes().front().setSourcePath(otherVolume.getSourcePath());
    r.volumes().front().setSMVolumeId(otherVolume.getSMVolumeId());
}
void OtherApplication(SMVolSnapInfo& r, int64_t, SMVolumeInfo const&, std::string const&) {
    r.volumes().front().setAppId(r.volumes().front().getAppId() + 100);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, ForeignRecordTest,
    ::testing::Values(ForeignRecord{"AnotherJobId", &OtherJobId, "the record belongs to job"},
                      ForeignRecord{"AnUndeclaredFolder", &UndeclaredFolder, "was prepared for ["},
                      ForeignRecord{"AnotherJobsVolume", &OtherJobsVolume, "was prepared for job"},
                      ForeignRecord{"AnotherApplication", &OtherApplication, "belongs to application"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(DoorTest, CreatePicksUpAPrepareMadeAfterTheDoorStarted) {
    DeclareApp(135);
    initializeNuvSnapUtil(2, JZBkpLevel(1), m_application.get(), 0, false);
    ASSERT_EQ(1, addMountPoint(m_data.c_str()));
    ASSERT_FALSE(Exists(SnapShotInfoFile()));
    ASSERT_EQ(0, PrepareInAnotherProcess());
    ASSERT_TRUE(Exists(SnapShotInfoFile()));

    EXPECT_EQ(0, createSnapShot(0, nullptr, nullptr, false));
    EXPECT_FALSE(Exists(SnapShotInfoFile()));
    EXPECT_EQ(1u, JournalArgs("snapmgr", "createVolumeSnaps").size());
}

TEST_F(DoorTest, CreateFailsWhenTheFileVanishedAfterStartUp) {
    DeclareApp(135);
    WriteFile(SnapShotInfoFile(), NoVolume());
    initializeNuvSnapUtil(2, JZBkpLevel(1), m_application.get(), 0, false);
    ASSERT_EQ(1, addMountPoint(m_data.c_str()));
    ASSERT_EQ(0, unlink(SnapShotInfoFile().c_str()));
    EXPECT_EQ(-1, createSnapShot(0, nullptr, nullptr, false));
    EXPECT_TRUE(JournalArgs("snapmgr", "createVolumeSnaps").empty());
}

TEST_F(DoorTest, PreparingProcessKeepsTheFile) {
    DeclareApp(135);
    NuvSnapUtil util(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    ASSERT_EQ(1, util.addMountPoint(m_data.c_str(), nullptr));
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(m_jobId);
    CreateArgs_t request = Request();
    ASSERT_EQ(0, util.createSnapArchiveFiles(archive, request, nullptr, nullptr));
    ASSERT_EQ(0, util.prepareSnapShot(nullptr, nullptr, false));
    ASSERT_TRUE(Exists(SnapShotInfoFile()));
    ASSERT_EQ(0, util.createSnapShot(nullptr, nullptr, false, nullptr));
    EXPECT_TRUE(Exists(SnapShotInfoFile()));
}

}  // namespace
