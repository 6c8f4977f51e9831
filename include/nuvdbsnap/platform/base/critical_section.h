// JzCriticalSection: an in-process lock (recursive, as a critical section is)
// over a platform handle JzCriticalSectionH that it owns.
#pragma once

#include <mutex>
#include <new>

class JzCriticalSectionH {
public:
    // blocking: wait for the lock; otherwise only try. 1 when entered, 0 when not.
    int enter(bool blocking);
    void leave();

private:
    std::recursive_mutex m_mutex;
};

class JzCriticalSection {
public:
    // Throws the C text "Not enough memory to initialize JzCriticalSection" when
    // the handle cannot be made.
    JzCriticalSection() : m_handle(new (std::nothrow) JzCriticalSectionH) {
        if (m_handle == nullptr) throw "Not enough memory to initialize JzCriticalSection";
    }
    JzCriticalSection(JzCriticalSection const&) = delete;
    JzCriticalSection& operator=(JzCriticalSection const&) = delete;
    ~JzCriticalSection() { delete m_handle; }

    int enter(bool blocking = true) { return m_handle->enter(blocking); }
    void leave() { m_handle->leave(); }

private:
    JzCriticalSectionH* m_handle = nullptr;  // owned
};
