// Threads, the thread pool and the critical section.
#include "nuvdbsnap/platform/base/critical_section.h"
#include "nuvdbsnap/platform/base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct PoolWork {
    std::vector<std::atomic<int>> runs;
    explicit PoolWork(size_t n) : runs(n) {}
};

struct TaskArg {
    PoolWork* work;
    size_t index;
};

void* CountRun(void* p) {
    auto* arg = static_cast<TaskArg*>(p);
    arg->work->runs[arg->index].fetch_add(1);
    std::this_thread::yield();
    return nullptr;
}

TEST(ThreadPoolTest, RunsEveryQueuedTaskOnceBeforeTheWaitReturns) {
    struct Case {
        unsigned long initial;
        unsigned max;
        size_t tasks;
    } const cases[] = {{4, 5, 300}, {0, 0, 50}, {16, 3, 100}, {3, 4, 0}};
    for (auto const& c : cases) {
        PoolWork work(c.tasks);
        std::vector<TaskArg> args(c.tasks);
        JzThreadPool pool;
        ASSERT_EQ(pool.initThreadPool("SapIdxRestore", 0, c.initial, c.max, 0), 1);
        EXPECT_GE(pool.threadCount(), 1u);
        if (c.max) {
            EXPECT_LE(pool.threadCount(), c.max);
        }
        for (size_t i = 0; i < c.tasks; ++i) {
            args[i] = {&work, i};
            ASSERT_EQ(pool.doWork(&CountRun, &args[i]), 1);
        }
        EXPECT_EQ(pool.waitForAllThreads(true, true, true, -1), 1);
        for (size_t i = 0; i < c.tasks; ++i) EXPECT_EQ(work.runs[i].load(), 1) << i;
        TaskArg late{&work, 0};
        EXPECT_EQ(pool.doWork(&CountRun, &late), 0);  // stopped: nothing more is taken
        EXPECT_EQ(pool.threadCount(), 0u);
    }
}

TEST(ThreadPoolTest, NotStartedTwiceAndTerminateDropsQueuedWork) {
    JzThreadPool pool;
    ASSERT_EQ(pool.initThreadPool("p", 0, 1, 1, 0), 1);
    EXPECT_EQ(pool.initThreadPool("p", 0, 1, 1, 0), 0);

    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    std::atomic<int> ran{0};
    struct Ctx {
        std::atomic<bool>* release;
        std::atomic<int>* started;
        std::atomic<int>* ran;
    } ctx{&release, &started, &ran};
    auto blocker = [](void* p) -> void* {
        auto* c = static_cast<Ctx*>(p);
        c->started->fetch_add(1);
        while (!c->release->load()) std::this_thread::yield();
        c->ran->fetch_add(1);
        return nullptr;
    };
    ASSERT_EQ(pool.doWork(blocker, &ctx), 1);
    ASSERT_EQ(pool.doWork(blocker, &ctx), 1);
    // The one worker has taken the first task before the pool is ended: on a
    // loaded machine it may not have been scheduled yet.
    while (started.load() == 0) std::this_thread::yield();
    EXPECT_EQ(pool.waitForAllThreads(true, false, false, 20), 0);  // still busy
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        release = true;
    });
    pool.terminateAllThreads();  // the running task ends; the queued one is dropped
    releaser.join();
    EXPECT_LE(ran.load(), 2);
    EXPECT_GE(ran.load(), 1);
    EXPECT_EQ(pool.doWork(blocker, &ctx), 0);
}

TEST(JzThreadTest, RunsTheFunctionAndJoinGivesItsResult) {
    static int value = 41;
    JzThread thread;
    ASSERT_EQ(thread.createThread([](void* p) -> void* { return static_cast<int*>(p) + 1; }, &value), 0);
    EXPECT_NE(thread.createThread([](void*) -> void* { return nullptr; }, nullptr), 0);
    void* result = nullptr;
    EXPECT_EQ(thread.joinThread(&result), 0);
    EXPECT_EQ(result, &value + 1);
    EXPECT_NE(thread.joinThread(nullptr), 0);
    JzThread never;
    EXPECT_NE(never.joinThread(nullptr), 0);
}

TEST(JzCriticalSectionTest, GuardsSharedStateAndIsReentrant) {
    JzCriticalSection lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                lock.enter(true);
                ++counter;
                lock.leave();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8 * 20000);

    EXPECT_EQ(lock.enter(true), 1);
    EXPECT_EQ(lock.enter(false), 1);  // the owner enters again
    std::thread other([&] { EXPECT_EQ(lock.enter(false), 0); });
    other.join();
    lock.leave();
    lock.leave();
}

}  // namespace
