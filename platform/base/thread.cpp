// JzThread and JzThreadPool.
#include "nuvdbsnap/platform/base/thread.h"

#include <cerrno>
#include <chrono>

JzThread::~JzThread() {
    if (m_started && !m_joined) pthread_detach(m_thread);
}

int JzThread::createThread(Function function, void* argument) {
    if (m_started) return EBUSY;
    if (function == nullptr) return EINVAL;
    int rc = pthread_create(&m_thread, nullptr, function, argument);
    if (rc != 0) return rc;
    m_started = true;
    m_joined = false;
    return 0;
}

int JzThread::joinThread(void** result) {
    if (!m_started || m_joined) return ESRCH;
    int rc = pthread_join(m_thread, result);
    if (rc == 0) m_joined = true;
    return rc;
}

JzThreadPool::~JzThreadPool() { terminateAllThreads(); }

int JzThreadPool::initThreadPool(char const* name, unsigned long stackKiB, unsigned long initialThreads,
                                 unsigned int maxThreads, unsigned int /*flags*/) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_threads.empty() || m_accepting) return 0;
    m_name = name ? name : "JzThreadPool";
    unsigned long count = initialThreads ? initialThreads : 1;
    if (maxThreads != 0 && count > maxThreads) count = maxThreads;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackKiB != 0) pthread_attr_setstacksize(&attr, stackKiB * 1024);
    m_stopping = false;
    for (unsigned long i = 0; i < count; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, &JzThreadPool::Worker, this) != 0) break;
        pthread_setname_np(t, m_name.substr(0, 15).c_str());
        m_threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    if (m_threads.empty()) return 0;
    m_accepting = true;
    return 1;
}

int JzThreadPool::doWork(Task task, void* argument) {
    if (task == nullptr) return 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_accepting) return 0;
        m_queue.emplace_back(task, argument);
    }
    m_workReady.notify_one();
    return 1;
}

void* JzThreadPool::Worker(void* self) {
    auto* pool = static_cast<JzThreadPool*>(self);
    std::unique_lock<std::mutex> lock(pool->m_mutex);
    while (true) {
        pool->m_workReady.wait(lock, [pool] { return pool->m_stopping || !pool->m_queue.empty(); });
        if (pool->m_queue.empty()) break;  // stopping and nothing left
        auto item = pool->m_queue.front();
        pool->m_queue.pop_front();
        ++pool->m_running;
        lock.unlock();
        item.first(item.second);
        lock.lock();
        --pool->m_running;
        if (pool->m_queue.empty() && pool->m_running == 0) pool->m_idle.notify_all();
    }
    return nullptr;
}

int JzThreadPool::waitForAllThreads(bool /*waitQueued*/, bool stop, bool join, int timeoutMs) {
    bool finished;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto done = [this] { return m_queue.empty() && m_running == 0; };
        if (m_threads.empty()) return done() ? 1 : 0;
        if (timeoutMs < 0) {
            m_idle.wait(lock, done);
            finished = true;
        } else {
            finished = m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
        }
    }
    if (stop || join) StopAndJoin(false);
    return finished ? 1 : 0;
}

void JzThreadPool::terminateAllThreads() { StopAndJoin(true); }

void JzThreadPool::StopAndJoin(bool dropQueued) {
    std::vector<pthread_t> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting = false;
        m_stopping = true;
        if (dropQueued) m_queue.clear();
        threads.swap(m_threads);
    }
    m_workReady.notify_all();
    for (pthread_t t : threads) {
        if (pthread_equal(t, pthread_self())) {
            pthread_detach(t);  // a task that stops its own pool
        } else {
            pthread_join(t, nullptr);
        }
    }
}
