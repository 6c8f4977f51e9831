// Mount and verification of a job's snapshots on real snapshots of the local
// suite, the mount-path rules through the mount loop, and the translation of
// source paths to snapshot mount paths.
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "tests/snapmgr/snap_env.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using snaptest::IsMounted;
using snaptest::SnapEnv;
using snaptest::WriteFile;

namespace {

// The utility with its mount loop and record in reach of the tests.
class Util : public NuvSnapUtilDb {
public:
    Util() : NuvSnapUtilDb(2, JZBkpLevel(1), nullptr, 1, false, nullptr, nullptr, SPAWN_IN_PROCESS) {
        setBrannoxId(2);
    }
    using NuvSnapUtilBase::applyMountPaths;
    using NuvSnapUtilBase::m_mountPoints;
    using NuvSnapUtilBase::m_snapShotInfo;
};

// What an error callback received.
struct Calls {
    std::vector<std::string> seen;
    static void Record(void* context, int const& type, char const* tag, int const& code, char const* text) {
        static_cast<Calls*>(context)->seen.push_back(std::to_string(type) + "|" + tag + "|" + std::to_string(code) +
                                                     "|" + text);
    }
};

constexpr int kSnapJob = 71;

// Two source volumes snapped for one snap job (archive files 501 and 502).
class SnapMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!snaptest::IsRoot()) GTEST_SKIP() << "mounting snapshots needs root";
        m_env.reset(new SnapEnv());
        m_a = m_env->dir() + "/a";
        m_b = m_env->dir() + "/b";
        WriteFile(m_a + "/db/one.dbf", "1");
        WriteFile(m_a + "/db/two.dbf", "2");
        WriteFile(m_b + "/log/redo.log", "r");
        SnapEnv::DeclareVolume(m_a);
        SnapEnv::DeclareVolume(m_b);
        SMVolSnapInfo record = SnapEnv::Record(kSnapJob, {m_a, m_b});
        record.volumes()[0].setArchFileId(501);
        record.volumes()[1].setArchFileId(502);
        JZSnapClientAPI client;
        ASSERT_TRUE(client.prepareVolumeSnaps(record)) << record.getErrorString();
        ASSERT_TRUE(client.createVolumeSnaps(record)) << record.getErrorString();
        m_owned.reset(new Util());
        ASSERT_FALSE(m_owned->getSnapShotDetailsForDatAging(kSnapJob).IsError());
        ASSERT_EQ(2u, m_owned->m_snapShotInfo.getNumVolumes());
    }

    // Where a verification mounts the volume of an archive file (the path as
    // the snapshot manager keeps it, without the trailing slash).
    static std::string TempMount(int archFileId) {
        std::string path = NuvSnapUtilDb::FormSnapTempMountPath(2, archFileId, false);
        path.pop_back();
        return path;
    }

    std::unique_ptr<SnapEnv> m_env;
    std::string m_a, m_b;
    std::unique_ptr<Util> m_owned;
};

// Whatever a volume's flags and original source path, the verification
// mounts it at the temporary path of its Brannox id and archive file id.
TEST_F(SnapMountTest, VerificationMountsAnAsmVolumeAtItsTemporaryPath) {
    SMVolumeInfo& first = m_owned->m_snapShotInfo.volumes()[0];
    first.setVolumeFlags(0x10000);
    first.setOriginalSourcePath("+DATA");
    ASSERT_TRUE(m_owned->addMountPoint((m_a + "/db/one.dbf").c_str(), nullptr));
    ASSERT_TRUE(m_owned->addMountPoint((m_b + "/log").c_str(), nullptr));
    CFzError e = m_owned->verifySnapShot(nullptr, nullptr);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(TempMount(501), m_owned->m_snapShotInfo.volumes()[0].getMountPath());
    EXPECT_EQ("1", snaptest::ReadFile(TempMount(501) + "/db/one.dbf"));
}

TEST_F(SnapMountTest, VerificationMountsEveryVolumeAndFindsEveryRegisteredFile) {
    ASSERT_TRUE(m_owned->addMountPoint((m_a + "/db/one.dbf").c_str(), nullptr));
    ASSERT_TRUE(m_owned->addMountPoint((m_a + "/db/two.dbf").c_str(), nullptr));
    ASSERT_TRUE(m_owned->addMountPoint((m_b + "/log").c_str(), nullptr));
    Calls calls;
    CFzError e = m_owned->verifySnapShot(&Calls::Record, &calls);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_TRUE(calls.seen.empty());
    // Both stay mounted at their temporary paths, holding the snapped files.
    for (auto const& v : m_owned->m_snapShotInfo.volumes()) {
        EXPECT_EQ(TempMount(v.getArchFileId()), v.getMountPath());
        EXPECT_TRUE(IsMounted(v.getMountPath())) << v.getMountPath();
    }
    EXPECT_EQ("2", snaptest::ReadFile(TempMount(501) + "/db/two.dbf"));
}

struct VerifyFailure {
    char const* name;
    bool lateFile;       // register a file made after the snapshot
    bool skipSecond;     // register nothing under the second volume
    bool withCallback;
    int code;
};

void PrintTo(VerifyFailure const& c, std::ostream* os) { *os << c.name; }

class VerifyFailureTest : public SnapMountTest, public ::testing::WithParamInterface<VerifyFailure> {};

TEST_P(VerifyFailureTest, StopsAtTheFirstFaultWithItsCodeAndText) {
    VerifyFailure const& c = GetParam();
    ASSERT_TRUE(m_owned->addMountPoint((m_a + "/db/one.dbf").c_str(), nullptr));
    std::string const late = m_a + "/db/late.dbf";
    if (c.lateFile) {
        WriteFile(late, "made after the snapshot");
        ASSERT_TRUE(m_owned->addMountPoint(late.c_str(), nullptr));
    }
    if (!c.skipSecond) ASSERT_TRUE(m_owned->addMountPoint((m_b + "/log/redo.log").c_str(), nullptr));
    Calls calls;
    CFzError e = c.withCallback ? m_owned->verifySnapShot(&Calls::Record, &calls) : m_owned->verifySnapShot(nullptr, &calls);
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsJZResult(e, c.code)) << e.AsString();
    std::string const text =
        c.code == 3 ? "Snap verification failed: Source File: " + late + "not present on snap mount-point :" + TempMount(501)
                    : "Internal error: Unable to get the files for mount-point " + m_b;
    EXPECT_NE(std::string::npos, e.AsString().find(text)) << e.AsString();
    if (c.withCallback)
        EXPECT_EQ(std::vector<std::string>{"-1|<Snap Verification failed>|" + std::to_string(c.code) + "|" + text},
                  calls.seen);
    else
        EXPECT_TRUE(calls.seen.empty());
    EXPECT_TRUE(IsMounted(TempMount(501)));  // nothing is unmounted
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyFailureTest,
                         ::testing::Values(VerifyFailure{"MissingOnSnapshot", true, false, true, 3},
                                           VerifyFailure{"MissingWithoutCallback", true, false, false, 3},
                                           VerifyFailure{"NoFilesForAVolume", false, true, true, 2},
                                           VerifyFailure{"NoFilesWithoutCallback", false, true, false, 2}));

TEST(SnapVerify, AnEmptyRecordIsAnInternalError) {
    SnapEnv env;
    Util util;
    Calls calls;
    CFzError e = util.verifySnapShot(&Calls::Record, &calls);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, 774)) << e.AsString();
    EXPECT_NE(std::string::npos,
              e.AsString().find("Internal error occurred while verifying snapshot; Please check the logs"));
    EXPECT_TRUE(calls.seen.empty());
}

TEST_F(SnapMountTest, AFailedMountReportsTheClientsErrorAndLeavesTheMapAlone) {
    nuvsuite::AddFault("snapmgr", "JZSnapClientAPI::mountVolumes", 77, "mount host unreachable", 1);
    std::map<std::string, std::string> mounts{{"/elsewhere", "/mnt/x"}};
    bool flag = false;
    CFzError e = m_owned->mountAllSnapShotsForCurrentPhase(mounts, flag, 9);
    EXPECT_TRUE(FXErrorUtil::IsJZResult(e, 77)) << e.AsString();
    EXPECT_EQ((std::map<std::string, std::string>{{"/elsewhere", "/mnt/x"}}), mounts);
    for (auto const& v : m_owned->m_snapShotInfo.volumes()) EXPECT_EQ(9, v.getMountHostId());
}

TEST_F(SnapMountTest, PhaseMountStampsIdsAndFillsTheMap) {
    m_owned->m_snapShotInfo.volumes()[0].setSourceClientId(31);
    m_owned->m_snapShotInfo.volumes()[1].setSourceClientId(32);
    std::map<std::string, std::string> mounts{{"/elsewhere", "/mnt/x"}};
    bool flag = false;
    CFzError e = m_owned->mountAllSnapShotsForCurrentPhase(mounts, flag);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    ASSERT_EQ(3u, mounts.size());
    for (auto const& v : m_owned->m_snapShotInfo.volumes()) {
        EXPECT_EQ(v.getMountPath(), mounts[v.getSourcePath()]);
        EXPECT_EQ(v.getSourceClientId(), v.getMountHostId());
        EXPECT_EQ(2, v.getBrannoxId());
        EXPECT_TRUE(IsMounted(v.getMountPath())) << v.getMountPath();
    }
    EXPECT_EQ("1", snaptest::ReadFile(mounts[m_a] + "/db/one.dbf"));
    EXPECT_FALSE(flag);
}

// The flag of a phase mount: on when a volume has 0x1 or 0x2 without 0x10;
// never turned off.
TEST_F(SnapMountTest, PhaseFlagFollowsTheVolumeFlags) {
    struct Case {
        int first, second;
        bool in, out;
    } const cases[] = {{0, 0x2, false, true},   {0x1 | 0x10, 0, false, false}, {0x1, 0x10, false, true},
                       {0, 0, true, true},      {0x10, 0x2 | 0x10, false, false}};
    for (auto const& c : cases) {
        m_owned->m_snapShotInfo.volumes()[0].setVolumeFlags(c.first);
        m_owned->m_snapShotInfo.volumes()[1].setVolumeFlags(c.second);
        std::map<std::string, std::string> mounts;
        bool flag = c.in;
        ASSERT_FALSE(m_owned->mountAllSnapShotsForCurrentPhase(mounts, flag, 5).IsError());
        EXPECT_EQ(c.out, flag) << c.first << "/" << c.second;
    }
}

// The base's loader gives each volume its mount path through the database
// rules: a clone mount lands at the clone path, with the files there.
TEST_F(SnapMountTest, TheBaseLoaderMountsByTheDatabaseRules) {
    Util util;
    util.m_oraSnap = true;
    NuvSnapMountRequest request;
    request.mountMode = 2;
    request.cloneMountPrefix = m_env->dir() + "/clone/db1";
    util.setMountRequest(request);
    ASSERT_FALSE(util.LoadAndMountVolumestForJobID(kSnapJob, true, 0).IsError());
    std::string const clone = m_env->dir() + "/clone/db1_snap_2_501";
    EXPECT_TRUE(IsMounted(clone));
    EXPECT_EQ("1", snaptest::ReadFile(clone + "/db/one.dbf"));
    ASSERT_FALSE(util.UnmountSnapshots().IsError());
    EXPECT_FALSE(IsMounted(clone));
}

// --- mount-path rules through the mount loop ---

struct Rule {
    char const* name;
    bool oraSnap, atSource;
    int mode;                // 0: no mount request
    bool withMap;            // the type map holds archive file `mapKey` of type `type`
    int mapKey;
    int type;
    std::string source;      // "@dir" / "@file" / "@missing": a directory, a file, a missing path of the test
    int flags;
    std::map<std::string, std::string> groups;
    // expected
    std::string mountPath;   // "" unchanged; "@" the resolved source
    bool mountFlag;
    int flagsAfter;
    int error;               // 0 none, else the JZ result code
};

void PrintTo(Rule const& r, std::ostream* os) { *os << r.name; }

class MountRuleTest : public ::testing::TestWithParam<Rule> {
protected:
    void TearDown() override { NuvSnapUtilDb::clearOraArchFileMap(); }
};

TEST_P(MountRuleTest, GivesThePathTheRuleSays) {
    Rule const& r = GetParam();
    SnapEnv env;
    std::string const dir = env.dir() + "/data", file = env.dir() + "/file", missing = env.dir() + "/missing";
    WriteFile(dir + "/x", "x");
    WriteFile(file, "f");
    std::string source = r.source == "@dir" ? dir : r.source == "@file" ? file : r.source == "@missing" ? missing : r.source;

    Util util;
    util.m_oraSnap = r.oraSnap;
    util.m_mountAtSource = r.atSource;
    if (r.mode != 0) {
        NuvSnapMountRequest request;
        request.mountMode = static_cast<uint32_t>(r.mode);
        request.cloneMountPrefix = "/clone/db1";
        request.diskGroupMountMap = r.groups;
        util.setMountRequest(request);
    }
    std::map<int, int> types{{r.mapKey, r.type}};
    struct Lent {
        ~Lent() { NuvSnapUtilDb::clearOraArchFileMap(); }  // the map is borrowed: never left set when it goes
    } lent;
    if (r.withMap) NuvSnapUtilDb::setOraArchFileMap(types);

    SMVolSnapInfo record;
    for (int i = 0; i < 2; ++i) {  // the rule works on the second volume (index 1)
        SMVolumeInfo v;
        v.setSourcePath(i == 0 ? "/other" : source);
        v.setMountPath("/before");
        v.setVolumeFlags(i == 0 ? 0 : r.flags);
        v.setArchFileId(i == 0 ? 99 : 40);
        v.setBrannoxId(2);
        v.setJobId(1234);
        v.setSMVolumeId(17);
        record.addVolume(v, true);
    }
    CFzError e = util.applyMountPaths(record);
    SMVolumeInfo const& v = record.volumes()[1];
    if (r.error != 0) {
        EXPECT_TRUE(FXErrorUtil::IsJZResult(e, r.error)) << e.AsString();
        EXPECT_EQ("/before", v.getMountPath());
        EXPECT_FALSE(v.getMountPathFlag());
        return;
    }
    ASSERT_FALSE(e.IsError()) << e.AsString();
    std::string const want = r.mountPath.empty() ? "/before" : r.mountPath == "@" ? source : r.mountPath;
    EXPECT_EQ(want, v.getMountPath());
    EXPECT_EQ(r.mountFlag, v.getMountPathFlag());
    EXPECT_EQ(r.flagsAfter, v.getVolumeFlags());
}

constexpr int kAsm = 0x10000;

INSTANTIATE_TEST_SUITE_P(
    Cases, MountRuleTest,
    ::testing::Values(
        Rule{"RulesOff", false, false, 2, true, 40, 1, "@dir", 0, {}, "", false, 0, 0},
        Rule{"AtSourceDirectory", false, true, 0, false, 40, 0, "@dir", 0, {}, "@", true, 0x100, 0},
        Rule{"AtSourceMissingPath", false, true, 0, false, 40, 0, "@missing", 0, {}, "@", true, 0, 0},
        Rule{"AtSourceRoot", false, true, 0, false, 40, 0, "/", 0, {}, "/", true, 0, 0},
        Rule{"AtSourceNotADirectory", false, true, 0, false, 40, 0, "@file", 0, {}, "", false, 0, 2},
        Rule{"DataVolumeInMode1", true, false, 1, true, 40, 1, "@dir", 0, {}, "@", true, 0x100, 0},
        Rule{"Mode1SkipsAnExcludedVolume", true, false, 1, true, 40, 1, "@dir", 0x10, {}, "", false, 0x10, 0},
        Rule{"Mode1SkipsANonDataType", true, false, 1, true, 40, 3, "@dir", 0, {}, "", false, 0, 0},
        Rule{"Mode1WithoutMap", true, false, 1, false, 40, 0, "@dir", 0, {}, "", false, 0, 0},
        Rule{"Clone", true, false, 2, false, 40, 0, "@dir", 0, {}, "/clone/db1_snap_2_40", true, 0, 0},
        Rule{"AsmMappedGroup", true, false, 2, true, 40, 1, "+DATA", kAsm, {{"DATA", "DATA_CLONE"}}, "+DATA_CLONE", true,
             kAsm, 0},
        Rule{"AsmGroupNameAlreadyMarked", true, false, 2, true, 40, 1, "+DATA", kAsm, {{"DATA", "+DATA_CLONE"}},
             "+DATA_CLONE", true, kAsm, 0},
        Rule{"AsmDerivedNameByJob", true, false, 0, true, 40, 2, "+data/f", kAsm, {}, "+DATA_S1234_1", true, kAsm, 0},
        Rule{"AsmInPlace", true, false, 1, true, 40, 1, "+DATA", kAsm, {}, "+DATA", true, kAsm, 0},
        Rule{"AsmWithoutMap", true, false, 0, false, 40, 0, "+DATA", kAsm, {}, "+DATA_S17_1", true, kAsm, 0},
        Rule{"AsmAtSourceNotInMapTakesTheDataSetName", false, true, 0, true, 41, 1, "+FRA", kAsm, {}, "+FRA_S17_1", true,
             kAsm, 0},
        Rule{"AsmEmptyGroupName", true, false, 0, false, 40, 0, "+", kAsm, {}, "", false, kAsm, 2}));

// The rules of an ASM volume read its own source path only: a volume that
// also carries an original source path naming a group is given the same mount
// path (or the same refusal) as one without it.
TEST(MountRuleAsm, TheOriginalSourcePathIsNotRead) {
    SnapEnv env;
    struct Case {
        char const* name;
        int mode;
        bool withMap;
        std::map<std::string, std::string> groups;
    } const cases[] = {
        {"DataSetNameByVolumeId", 0, false, {}},
        {"DerivedNameByJob", 0, true, {}},
        {"MappedGroup", 2, true, {{"DATA", "DATA_CLONE"}}},
        {"InPlace", 1, true, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        Util util;
        util.m_oraSnap = true;
        if (c.mode != 0) {
            NuvSnapMountRequest request;
            request.mountMode = static_cast<uint32_t>(c.mode);
            request.diskGroupMountMap = c.groups;
            util.setMountRequest(request);
        }
        std::map<int, int> types{{40, 1}};
        if (c.withMap)
            NuvSnapUtilDb::setOraArchFileMap(types);
        else
            NuvSnapUtilDb::clearOraArchFileMap();
        std::string path[2];
        std::string error[2];
        for (int i = 0; i < 2; ++i) {
            SMVolSnapInfo record;
            SMVolumeInfo v;
            v.setSourcePath(env.dir() + "/disk0");
            if (i == 1) v.setOriginalSourcePath("+DATA");
            v.setVolumeFlags(kAsm);
            v.setArchFileId(40);
            v.setBrannoxId(2);
            v.setJobId(1234);
            v.setSMVolumeId(21);
            record.addVolume(v, true);
            CFzError e = util.applyMountPaths(record);
            path[i] = record.volumes()[0].getMountPath();
            error[i] = e.IsError() ? std::to_string(e.GetErrorCode()) : "";
        }
        EXPECT_EQ(path[0], path[1]);
        EXPECT_EQ(error[0], error[1]);
        NuvSnapUtilDb::clearOraArchFileMap();
    }
}

// A type map that the agent set is read, never added to, and forgotten on clear.
TEST(MountRuleMap, TheBorrowedMapIsReadWithoutInsertsAndCanBeCleared) {
    SnapEnv env;
    std::map<int, int> types{{40, 1}};
    NuvSnapUtilDb::setOraArchFileMap(types);
    Util util;
    util.m_oraSnap = true;
    SMVolSnapInfo record;
    SMVolumeInfo v;
    v.setSourcePath("+DATA");
    v.setVolumeFlags(kAsm);
    v.setArchFileId(41);
    v.setSMVolumeId(3);
    record.addVolume(v, true);
    ASSERT_FALSE(util.applyMountPaths(record).IsError());
    EXPECT_EQ((std::map<int, int>{{40, 1}}), types);
    EXPECT_EQ("+DATA_S3_0", record.volumes()[0].getMountPath());
    std::map<int, int> second{{7, 1}};
    NuvSnapUtilDb::setOraArchFileMap(second);
    EXPECT_EQ(&second, NuvSnapUtilDb::getOraArchFileMap());
    NuvSnapUtilDb::clearOraArchFileMap();
    EXPECT_EQ(nullptr, NuvSnapUtilDb::getOraArchFileMap());
}

// The rules read the agent's own map, not a copy taken when it was set: an
// agent that updates its map in place (a type changed, an archive file
// added, one taken out) has the next mount follow the update.
TEST(MountRuleMap, TheRulesReadTheAgentsMapAsItIsUpdatedInPlace) {
    SnapEnv env;
    struct Step {
        char const* name;
        std::map<int, int> types;   // the agent's map after its update
        char const* data;           // mount path of archive file 40 (+DATA)
        char const* fra;            // mount path of archive file 41 (+FRA)
    } const steps[] = {
        {"as set", {{40, 1}}, "+DATA", "+FRA_S41_1"},
        {"41 added as data", {{40, 1}, {41, 1}}, "+DATA", "+FRA"},
        {"40 no longer data", {{40, 3}, {41, 1}}, "+DATA_S1234_0", "+FRA"},
        {"41 taken out", {{40, 3}}, "+DATA_S1234_0", "+FRA_S41_1"},
    };
    std::map<int, int> types;
    NuvSnapUtilDb::setOraArchFileMap(types);
    EXPECT_EQ(&types, NuvSnapUtilDb::getOraArchFileMap());
    Util util;
    util.m_oraSnap = true;
    NuvSnapMountRequest request;
    request.mountMode = 1;  // data volumes in place
    util.setMountRequest(request);
    for (Step const& step : steps) {
        SCOPED_TRACE(step.name);
        types = step.types;  // the same map object, updated in place
        SMVolSnapInfo record;
        for (int afile : {40, 41}) {
            SMVolumeInfo v;
            v.setSourcePath(afile == 40 ? "+DATA" : "+FRA");
            v.setVolumeFlags(kAsm);
            v.setArchFileId(afile);
            v.setSMVolumeId(afile);
            v.setBrannoxId(2);
            v.setJobId(1234);
            record.addVolume(v, true);
        }
        ASSERT_FALSE(util.applyMountPaths(record).IsError());
        EXPECT_EQ(step.data, record.volumes()[0].getMountPath());
        EXPECT_EQ(step.fra, record.volumes()[1].getMountPath());
    }
    EXPECT_EQ(&types, NuvSnapUtilDb::getOraArchFileMap());
    NuvSnapUtilDb::clearOraArchFileMap();  // before the agent's map goes
}

// --- path translation ---

struct Translation {
    char const* path;
    char const* sourceMount;
    char const* snapMount;
    char const* plain;   // translatePath
    char const* sybiq;   // sybiqTranslatePath of the same arguments
};

TEST(PathTranslation, RewritesOnlyPathsUnderTheSourceMount) {
    SnapEnv env;
    Translation const cases[] = {
        {"/data/db/f1.dbf", "/data/", "/mnt/s1", "/mnt/s1/db/f1.dbf", ""},
        {"/data/db/f1.dbf", "/data///", "/mnt/s1/", "/mnt/s1/db/f1.dbf", ""},
        {"/data", "/data", "/mnt/s1", "/mnt/s1/", ""},
        {"/data2/f", "/data", "/mnt/s1", "", ""},
        {"/dat/f", "/data", "/mnt/s1", "", ""},
        {"/a/b", "/", "/mnt/x", "/mnt/x/a/b", ""},
        {"relative/f", "/data", "/mnt/s1", "", ""},
        {"/idx/~sybase~iq~main.iq", "/sybase/iq", "/mnt/s2", "", "/mnt/s2/main.iq"},
        {"/idx/~sybase~ix~main.iq", "/sybase/iq", "/mnt/s2", "", ""},
        {"/idx/~sybase~iqx~main.iq", "/sybase/iq", "/mnt/s2", "", ""},
        {"~a~b", "/", "/mnt/x", "", "/mnt/x/a/b"},
        {"/x/~sybase~iq", "/sybase/iq", "/mnt/s2", "", "/mnt/s2/"},
        {"/x/~sybase~iq~~~f", "/sybase/iq/", "/mnt/s2", "", "/mnt/s2//f"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(c.plain, NuvSnapUtilDb::translatePath(c.path, c.sourceMount, c.snapMount)) << c.path;
        EXPECT_EQ(c.sybiq, NuvSnapUtilDb::sybiqTranslatePath(c.path, c.sourceMount, c.snapMount)) << c.path;
    }
}

// With mount-source translations, a path that resolves is translated in its
// resolved form and one that does not is translated as given; the Sybase IQ
// form needs the name to resolve.
TEST(PathTranslation, FollowsTheMountSourceTranslations) {
    SnapEnv env;
    std::string const real = env.dir() + "/real";
    WriteFile(real + "/db/f", "f");
    NuvSymLink::m_mountSrcTransMap = {{"/remote", real}};
    EXPECT_EQ("/mnt/s1/db/f", NuvSnapUtilDb::translatePath("/remote/db/f", real, "/mnt/s1"));
    EXPECT_EQ("/mnt/s1/db/f", NuvSnapUtilDb::translatePath(real + "/db/f", real, "/mnt/s1"));
    EXPECT_EQ("", NuvSnapUtilDb::translatePath("relative/f", real, "/mnt/s1"));
    EXPECT_EQ("", NuvSnapUtilDb::sybiqTranslatePath("/x/rel~f", "/", "/mnt/s1"));
    EXPECT_EQ("/mnt/s1/db/f", NuvSnapUtilDb::sybiqTranslatePath("/x/~remote~db~f", real, "/mnt/s1"));
    nuvsuite::AddFault("symlink", "UnixSymbolicLink::getPhysicalPath", 5, "resolver down", 1);
    EXPECT_EQ("/mnt/s1/db/f", NuvSnapUtilDb::translatePath(real + "/db/f", real, "/mnt/s1"));
    NuvSymLink::m_mountSrcTransMap.clear();
}

TEST(SnapTempMountPath, OraFormAndSuiteForm) {
    SnapEnv env;
    EXPECT_EQ("/ora_snap2_7/", NuvSnapUtilDb::FormSnapTempMountPath(2, 7, true));
    JZPI_CommClient comm;
    std::string const client = JZPI_Focus::getFocusClientName(true);
    EXPECT_EQ(std::string(comm.getDrevoxTempDirectory()) + "/FSSNAP_" + (client.empty() ? "" : client + "_") + "2_1042/",
              NuvSnapUtilDb::FormSnapTempMountPath(2, 1042, false));
}

}  // namespace
