// Named mutexes and lock files across processes.
#include "nuvdbsnap/platform/base/jzfile.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class LocksTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { nuvsuite::StatePath("locks"); }  // the state root exists before any fork
    bool Exists(std::string const& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
};

// The child takes the mutex and holds it until told to die; the parent cannot
// have it meanwhile, and gets it once the child is gone (without an unlock).
TEST_F(LocksTest, NamedMutexWaitsForItsHolderAndIsFreedByItsDeath) {
    std::string marker = m_root.base() + "/child-ended";
    nuvtest::PipeSignal holding, die;
    int pid = nuvtest::StartChild([&] {
        JzNamedMutex mutex("idxq_2_1234");
        if (!mutex.lock(0)) return 1;
        holding.Send();
        if (!die.Wait()) return 2;
        std::ofstream(marker) << "x";
        _exit(0);  // dies holding the lock
    });
    ASSERT_TRUE(holding.Wait());

    JzNamedMutex mutex("idxq_2_1234");
    EXPECT_EQ(mutex.lock(0), 0);
    EXPECT_EQ(mutex.lock(150), 0);  // times out
    EXPECT_FALSE(mutex.isLocked());
    die.Send();
    EXPECT_NE(mutex.lock(JzNamedMutex::kWaitForever), 0);
    EXPECT_TRUE(Exists(marker));  // granted only after the holder ended
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    EXPECT_EQ(mutex.unlock(), 0);
}

TEST_F(LocksTest, NamedMutexExcludesInOneProcessAndNamesStayApart) {
    JzNamedMutex a("DB_REDIRECT_77");
    JzNamedMutex b("DB_REDIRECT_77");
    ASSERT_NE(a.lock(0), 0);
    EXPECT_NE(a.lock(0), 0);  // already held by this object
    EXPECT_EQ(b.lock(0), 0);
    EXPECT_EQ(a.unlock(), 0);
    EXPECT_NE(b.lock(0), 0);
    b.unlock();

    struct Case {
        char const* one;
        char const* other;
    } const cases[] = {{"a/b", "a_b"}, {"x y", "x_y"}, {"..", "."}, {"", "%"}};
    for (auto const& c : cases) {
        EXPECT_NE(JzNamedMutex::LockFileFor(c.one), JzNamedMutex::LockFileFor(c.other)) << c.one;
        std::string file = JzNamedMutex::LockFileFor(c.one);
        EXPECT_EQ(file.rfind(nuvsuite::StatePath("locks") + "/", 0), 0u) << file;
        EXPECT_EQ(file.find('/', nuvsuite::StatePath("locks").size() + 1), std::string::npos) << file;
    }
    JzNamedMutex slash("a/b");
    EXPECT_NE(slash.lock(0), 0);
    JzNamedMutex underscore("a_b");
    EXPECT_NE(underscore.lock(0), 0);  // a different mutex
}

TEST_F(LocksTest, DestroyingTheHolderReleases) {
    {
        JzNamedMutex holder("scope");
        ASSERT_NE(holder.lock(0), 0);
    }
    JzNamedMutex next("scope");
    EXPECT_NE(next.lock(0), 0);
}

TEST_F(LocksTest, LockFileTimesOutAcrossProcesses) {
    std::string path = m_root.base() + "/dataAging_tape.lck";
    nuvtest::PipeSignal holding, release;
    int pid = nuvtest::StartChild([&] {
        JzFile f;
        if (f.open(path.c_str(), sfOpenReadWriteCreate, 0, 0) != 0 || f.lock(sfLockExclusive, 0) != 1) return 1;
        holding.Send();
        if (!release.Wait()) return 2;
        return f.unlock() == 0 ? 0 : 3;
    });
    ASSERT_TRUE(holding.Wait());
    JzFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWriteCreate, 0, 0), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 100), 0);
    EXPECT_EQ(f.getLastError(), EWOULDBLOCK);
    release.Send();
    EXPECT_EQ(f.lock(sfLockExclusive, 60000), 1);
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
}

// A waiter that was queued on a lock file that its holder then removes must not
// end up holding the old file while a newcomer holds a new one.
TEST_F(LocksTest, ARemovedLockFileIsNeverShared) {
    std::string path = m_root.base() + "/dataAging_snap.lck";
    JzFile holder;
    ASSERT_EQ(holder.open(path.c_str(), sfOpenReadWriteCreate, 0, 0), 0);
    ASSERT_EQ(holder.lock(sfLockExclusive, 0), 1);

    nuvtest::PipeSignal opened, granted, done;
    int pid = nuvtest::StartChild([&] {
        JzFile waiter;
        if (waiter.open(path.c_str(), sfOpenReadWriteCreate, 0, 0) != 0) return 1;
        opened.Send();
        if (waiter.lock(sfLockExclusive, JzFile::kWaitForever) != 1) return 2;
        granted.Send();
        if (!done.Wait()) return 3;
        return 0;
    });
    ASSERT_TRUE(opened.Wait());
    usleep(50000);  // let the waiter queue on the old file (the outcome must not depend on it)
    ASSERT_EQ(holder.unlockAndRemove(), 0);
    ASSERT_TRUE(granted.Wait());

    JzFile newcomer;
    ASSERT_EQ(newcomer.open(path.c_str(), sfOpenReadWriteCreate, 0, 0), 0);
    EXPECT_EQ(newcomer.lock(sfLockExclusive, 0), 0);  // the waiter holds what the path names
    done.Send();
    EXPECT_EQ(nuvtest::WaitChild(pid), 0);
    EXPECT_EQ(newcomer.lock(sfLockExclusive, 60000), 1);
}

// A lock call is journalled with its path, kind and time-out, and a fault
// refuses it (the file stays open and can be locked later).
TEST_F(LocksTest, LockFileCallsAreJournalledAndFailOnDemand) {
    std::string path = m_root.base() + "/dataAging_snap.lck";
    nuvsuite::AddFault("lockfile", "lock", 0, "lock refused", 1, "dataAging_snap.lck");
    JzFile f;
    ASSERT_EQ(f.open(path.c_str(), sfOpenReadWriteCreate, 0, 0), 0);
    EXPECT_EQ(f.lock(sfLockExclusive, 60000), 0);
    EXPECT_EQ(f.getLastError(), ENOLCK);
    EXPECT_FALSE(f.isLocked());
    EXPECT_EQ(f.lock(sfLockExclusive, JzFile::kWaitForever), 1);

    auto calls = nuvsuite::ReadJournal("lockfile", "lock");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, path + " exclusive timeout=60000");
    EXPECT_EQ(calls[1].args, path + " exclusive timeout=forever");
}

}  // namespace
