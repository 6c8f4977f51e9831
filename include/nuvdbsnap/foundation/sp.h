// Intrusive reference counting: SPEnabled keeps an atomic count and is the first
// base of every object held by SP<T>; each SP holds exactly one reference and the
// object is deleted when the last one goes.
#pragma once

#include <atomic>

class SPEnabled {
public:
    SPEnabled() = default;
    SPEnabled(SPEnabled const&) : m_refCount(0) {}              // a copy starts unshared
    SPEnabled& operator=(SPEnabled const&) { return *this; }   // the count is not copied
    virtual ~SPEnabled();

    void addRef() const { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // True when this was the last reference (the caller then deletes the object).
    bool releaseRef() const { return m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    long refCount() const { return m_refCount.load(std::memory_order_acquire); }

private:
    mutable std::atomic<long> m_refCount{0};
};

class SPBase {
public:
    SPBase(SPEnabled* p = nullptr) : m_ptr(nullptr) { assign(p); }
    SPBase(SPBase const& other) : m_ptr(nullptr) { assign(other.m_ptr); }
    SPBase& operator=(SPBase const& other) {
        assign(other.m_ptr);
        return *this;
    }
    ~SPBase() { assign(nullptr); }

    SPEnabled* get() const { return m_ptr; }
    // Takes one reference on p, then drops the one on the object held before.
    void assign(SPEnabled* p) {
        if (p != nullptr) p->addRef();
        SPEnabled* old = m_ptr;
        m_ptr = p;
        if (old != nullptr && old->releaseRef()) delete old;
    }

protected:
    SPEnabled* m_ptr;   // the shared object, null when empty
};

template <class T>
class SP : public SPBase {
public:
    SP(SPEnabled* p = nullptr) : SPBase(p) {}
    SP(SP const& other) = default;
    SP& operator=(SP const& other) = default;
    ~SP() = default;

    T* operator->() const { return static_cast<T*>(m_ptr); }
    T& operator*() const { return *static_cast<T*>(m_ptr); }
    T* getPtr() const { return static_cast<T*>(m_ptr); }
    explicit operator bool() const { return m_ptr != nullptr; }
};
