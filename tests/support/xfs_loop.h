// A loop-mounted XFS volume with reflink for tests: a sparse image file in a
// temporary directory, mkfs.xfs -m reflink=1, a loop device (losetup) and
// mount(2). The destructor unmounts (lazily, so open files cannot keep it),
// detaches the loop device and removes the directory - also when the test
// failed. Without root, loop devices or mkfs.xfs the volume is not ready and
// why() says why, for GTEST_SKIP().
#pragma once

#include <cstdint>
#include <string>

namespace nuvtest {

class XfsLoopVolume {
public:
    explicit XfsLoopVolume(uint64_t sizeBytes = 320ull << 20);
    ~XfsLoopVolume();
    XfsLoopVolume(XfsLoopVolume const&) = delete;
    XfsLoopVolume& operator=(XfsLoopVolume const&) = delete;

    bool ready() const { return m_ready; }
    std::string const& why() const { return m_why; }
    std::string const& mountPoint() const { return m_mountPoint; }
    std::string const& device() const { return m_device; }

private:
    void release();

    bool m_ready = false;
    std::string m_why;
    std::string m_dir;
    std::string m_image;
    std::string m_device;
    std::string m_mountPoint;
    bool m_mounted = false;
};

// Extent flags of a file through FIEMAP: true when every extent of the file's
// first `maxExtents` carries FIEMAP_EXTENT_SHARED (and it has at least one).
bool AllExtentsShared(std::string const& path);

// FITHAW on the file system of `path`: 0 when it was frozen (and is thawed now),
// else the errno (EINVAL: it was not frozen).
int ThawIfFrozen(std::string const& path);

// True when the file system of `path` is frozen now (FIFREEZE is refused with
// EBUSY); one that was not is thawed again at once.
bool IsFrozen(std::string const& path);

}  // namespace nuvtest

#define NUV_REQUIRE_XFS(volume)                                  \
    do {                                                         \
        if (!(volume).ready()) GTEST_SKIP() << (volume).why();   \
    } while (0)
