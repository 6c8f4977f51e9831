// The path texts the restore-files client judges every file by: whether a
// destination is the root directory, and whether a volume of the archive file
// holds a source.
#include "nuvdbsnap/platform/restorefiles/restore_files.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RootCase {
    char const* path;
    bool root;
};

class RootDirectoryTest : public ::testing::TestWithParam<RootCase> {};

TEST_P(RootDirectoryTest, OnlyPathsThatLeadToTheRootAreTheRoot) {
    EXPECT_EQ(GetParam().root, nuvrestorefiles::IsRootDirectory(GetParam().path)) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(Paths, RootDirectoryTest,
                         ::testing::Values(RootCase{"/", true}, RootCase{"//", true}, RootCase{"/.", true},
                                           RootCase{"/./", true}, RootCase{"/..", true}, RootCase{"/a/..", true},
                                           RootCase{"/a/b/../..", true}, RootCase{"/a/../../..", true},
                                           RootCase{"/a", false}, RootCase{"/a/", false}, RootCase{"/a/b/..", false},
                                           RootCase{"/../a", false}, RootCase{"/a/./.", false},
                                           RootCase{"/...", false}, RootCase{"", false}, RootCase{"a/..", false},
                                           RootCase{".", false}));

// OnAVolume says what PathInSnapshot says: whether it gives a path at all.
struct VolumeCase {
    std::vector<std::string> sources;  // the volumes' source paths
    char const* source;
    bool held;
};

class OnAVolumeTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(OnAVolumeTest, AVolumeHoldsWhatLiesAtOrBelowItsSourcePath) {
    VolumeCase const& c = GetParam();
    std::vector<nuvrestorefiles::MountedVolume> volumes;
    for (auto const& s : c.sources) volumes.push_back({s, "/mnt/snap" + std::to_string(volumes.size())});
    EXPECT_EQ(c.held, nuvrestorefiles::OnAVolume(volumes, c.source)) << c.source;
    EXPECT_EQ(c.held, !nuvrestorefiles::PathInSnapshot(volumes, c.source).empty()) << c.source;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, OnAVolumeTest,
    ::testing::Values(VolumeCase{{"/data"}, "/data", true}, VolumeCase{{"/data"}, "/data/base/1", true},
                      VolumeCase{{"/data/"}, "/data/base", true}, VolumeCase{{"/data//"}, "/data", true},
                      VolumeCase{{"/data"}, "/database/1", false}, VolumeCase{{"/data"}, "/dat", false},
                      VolumeCase{{"/data"}, "/other/data", false}, VolumeCase{{"/"}, "/anything/at/all", true},
                      VolumeCase{{"/"}, "relative", false}, VolumeCase{{"/a", "/data/ts"}, "/data/ts/x", true},
                      VolumeCase{{"/a", "/b"}, "/c", false}, VolumeCase{{}, "/data", false}));

}  // namespace
