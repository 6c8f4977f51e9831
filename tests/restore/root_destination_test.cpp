// No road restores onto the root directory: the driver refuses a destination
// that names "/" before anything is written, and says why.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/jobmgr/jobclient.h"

#include <cstdio>

using namespace nuvrestoretest;

namespace {

struct RootCase {
    char const* name;
    Road road;
    char const* dest;        // the data file's destination
    bool throughArrays;      // the destination given in the restore's path arrays instead
};

void PrintTo(RootCase const& c, std::ostream* os) { *os << c.name; }

class RootDestinationTest : public RestoreTest, public ::testing::WithParamInterface<RootCase> {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        // Every name the restore could write under "/" is this test's own, and goes after it.
        m_probe = "nuv-root-probe-" + std::to_string(getpid());
    }
    void TearDown() override {
        for (std::string const& name : {m_probe, m_probe + "-file"}) {
            std::string const path = "/" + name;
            std::remove((path + "/" + m_probe + "-file").c_str());
            std::remove(path.c_str());
        }
        RestoreTest::TearDown();
    }

    std::string m_probe;
};

TEST_P(RootDestinationTest, IsRefusedBeforeAnythingIsWritten) {
    RootCase const& c = GetParam();
    std::string const volume = MakeDir(m_root.base() + "/v");
    std::string const dir = MakeDir(volume + "/" + m_probe);
    WriteFile(dir + "/" + m_probe + "-file", "snapshot data\n");
    DeclareVolume(volume, "/dev/fakev", "ext4", "rw");
    SnapJob job = Snapshot({volume});
    StartRestoreJob();
    ArchFileInfo af = WholeVolume(job, volume, c.throughArrays ? "" : c.dest);
    af.dataFiles.front().srcPath = dir;

    int rc = 0;
    std::string cause;
    if (c.road == Road::Streams) {
        std::map<int, std::list<ArchFileInfo>> streams{{0, {af}}};
        char const* src[] = {dir.c_str(), nullptr};
        char const* dst[] = {c.dest, nullptr};
        JzRstInitParams shared;
        if (c.throughArrays) {
            shared.srcPaths = const_cast<char**>(src);
            shared.numSrcPaths = 1;
            shared.destPaths = const_cast<char**>(dst);
            shared.numDestPaths = 1;
        }
        JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
        MultiThreadedRestoreParams params(m_event.get(), streams, 0x8, shared, &jobClient, m_ctrl.get(), false,
                                          nullptr, nullptr);
        rc = NuvSnapRestore::multithreadedRestore(params);
        cause = params.m_failureText;
    } else {
        std::list<ArchFileInfo> list{af};
        auto restore = MakeRestore(c.road == Road::Full, 0x8);
        rc = restore->restoreData(job.jobId, true, list, nullptr, nullptr);
        (void)restore->Finalize(nullptr);
        cause = restore->failureText();
    }
    EXPECT_EQ(kRestoreDestinationRoot, rc);
    EXPECT_NE(std::string::npos, cause.find("is the root directory")) << cause;
    EXPECT_FALSE(Exists("/" + m_probe));
    EXPECT_FALSE(Exists("/" + m_probe + "-file"));
    EXPECT_TRUE(JournalArgs("network", "CJzNetwork::Attach_RemoteCommand").empty()) << "no program was started";
}

INSTANTIATE_TEST_SUITE_P(
    Roads, RootDestinationTest,
    ::testing::Values(RootCase{"partial to /", Road::Partial, "/", false},
                      RootCase{"partial to /.", Road::Partial, "/.", false},
                      RootCase{"streams to /", Road::Streams, "/", false},
                      RootCase{"streams to / in the path arrays", Road::Streams, "/", true},
                      RootCase{"full to /", Road::Full, "/", false},
                      RootCase{"full to //", Road::Full, "//", false}));

}  // namespace
