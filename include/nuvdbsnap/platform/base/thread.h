// JzThread (one joinable thread running a C-style function) and JzThreadPool
// (a fixed set of worker threads fed from a queue of tasks).
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

class JzThread {
public:
    typedef void* (*Function)(void*);

    JzThread() = default;
    JzThread(JzThread const&) = delete;
    JzThread& operator=(JzThread const&) = delete;
    ~JzThread();  // a thread still running is detached, never killed

    // 0 when the thread runs; an errno value otherwise (also when one was started already).
    int createThread(Function function, void* argument);
    // Waits for the thread; *result (when given) receives its return value.
    // 0 when the join ended normally, non-zero otherwise (none started, already joined).
    int joinThread(void** result);
    bool isRunning() const { return m_started && !m_joined; }

private:
    pthread_t m_thread{};
    bool m_started = false;
    bool m_joined = false;
};

class JzThreadPool {
public:
    typedef void* (*Task)(void*);

    JzThreadPool() = default;
    JzThreadPool(JzThreadPool const&) = delete;
    JzThreadPool& operator=(JzThreadPool const&) = delete;
    ~JzThreadPool();  // terminateAllThreads

    // Starts max(initialThreads, 1) workers (no more than maxThreads when that is
    // not 0), named after `name`. stackKiB: stack size in KiB (0 = default);
    // flags: not used. 1 on success, 0 on failure (already started, no thread).
    int initThreadPool(char const* name, unsigned long stackKiB, unsigned long initialThreads,
                       unsigned int maxThreads, unsigned int flags);
    // Queues a task; 1 when queued, 0 when the pool does not run.
    int doWork(Task task, void* argument);
    // Waits until every queued task has finished (timeoutMs < 0: no limit).
    // stop: then stop the workers; join: and join them (implies stop).
    // 1 when all tasks finished within the time, 0 otherwise.
    int waitForAllThreads(bool waitQueued, bool stop, bool join, int timeoutMs);
    // Drops the tasks not yet started, lets running ones finish, joins the workers.
    void terminateAllThreads();

    size_t threadCount() const { return m_threads.size(); }

private:
    static void* Worker(void* self);
    void StopAndJoin(bool dropQueued);

    std::string m_name;
    std::vector<pthread_t> m_threads;
    std::deque<std::pair<Task, void*>> m_queue;
    size_t m_running = 0;    // tasks being run by a worker
    bool m_accepting = false;
    bool m_stopping = false;
    std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_idle;
};
