// The fixture of the create on a real XFS loop volume (SAP HANA, which freezes
// its XFS mount points by default): skipped where root, loop devices or
// mkfs.xfs are missing; the volume is thawed and released on every road.
#pragma once

#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "support/xfs_loop.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace nuvenginetest {

// Polls every 10 ms, for at most 60 s.
inline bool WaitFor(std::function<bool()> const& condition) {
    for (int i = 0; i < 6000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

using nuvtest::IsFrozen;
using nuvtest::ThawIfFrozen;

// The scheduler state of a thread of this process ('D': waiting uninterruptibly).
inline char ThreadState(pid_t tid) {
    std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

class XfsFreezeTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (!m_volume.ready()) GTEST_SKIP() << m_volume.why();
        DeclareApp(135);  // SAP HANA freezes its XFS mount points by default
        WriteFile(m_volume.mountPoint() + "/table.dat", "committed rows\n");
        m_hold = MakeDir(m_root.base() + "/hold");
    }

    void TearDown() override {
        if (!m_volume.ready()) return;
        (void)ThawIfFrozen(m_volume.mountPoint());  // never leave a frozen volume behind
        if (!m_bind.empty()) umount2(m_bind.c_str(), MNT_DETACH);
    }

    std::unique_ptr<NuvSnapUtil> Prepared(std::string const& mountPoint, SpawnProcess mode) {
        return PrepareUtil({mountPoint}, mode);
    }

    // Makes the plug-in wait inside the snap (the volume frozen) until Release().
    void HoldTheSnap() { nuvsuite::AddFault("snaphandler", "hold", 0, m_hold, 1); }
    bool WaitUntilHeld() { return WaitFor([this] { return Exists(m_hold + "/held"); }); }
    void Release() { WriteFile(m_hold + "/release", "go"); }

    nuvtest::XfsLoopVolume m_volume;
    std::string m_hold;
    std::string m_bind;
};

}  // namespace nuvenginetest
