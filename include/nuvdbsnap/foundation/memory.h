// CAutoMemory<T>: an owned (or borrowed) array buffer; JzBuffer: a plain owned
// character buffer. Neither is copyable; both free only what they own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

template <class T>
class CAutoMemory {
public:
    CAutoMemory() = default;
    explicit CAutoMemory(uint64_t count) { Allocate(count); }
    CAutoMemory(CAutoMemory const&) = delete;
    CAutoMemory& operator=(CAutoMemory const&) = delete;
    CAutoMemory(CAutoMemory&& other) noexcept { Swap(other); }
    // Drops (frees only when owned) what this holds, then takes other's buffer with
    // its ownership; other is left empty.
    CAutoMemory& operator=(CAutoMemory&& other) noexcept {
        if (this != &other) {
            Release();
            m_owns = true;
            Swap(other);
        }
        return *this;
    }
    ~CAutoMemory() { Release(); }

    // Replaces the buffer with a new owned, value-initialised array of count elements.
    void Allocate(uint64_t count) {
        Release();
        m_buffer = count ? new T[count]() : nullptr;
        m_count = count;
        m_size = count;
        m_owns = true;
    }
    // Holds a buffer given by the caller; frees it on destruction only when owns is set.
    void Attach(T* buffer, uint64_t count, bool owns) {
        Release();
        m_buffer = buffer;
        m_count = count;
        m_size = buffer ? count : 0;
        m_owns = owns;
    }
    // Frees the buffer when there is one and it is owned (a borrowed one is only
    // dropped), then clears buffer, count and size; the owns flag keeps its value.
    void Release() {
        if (m_buffer != nullptr && m_owns) delete[] m_buffer;
        m_buffer = nullptr;
        m_count = 0;
        m_size = 0;
    }

    T* Ptr() { return m_size != 0 ? m_buffer : nullptr; }
    T const* Ptr_const() const { return m_size != 0 ? m_buffer : nullptr; }
    uint64_t Size() const { return m_size; }
    uint64_t Count() const { return m_count; }
    bool Owns() const { return m_owns; }

private:
    void Swap(CAutoMemory& other) noexcept {
        std::swap(m_count, other.m_count);
        std::swap(m_buffer, other.m_buffer);
        std::swap(m_size, other.m_size);
        std::swap(m_owns, other.m_owns);
    }

    uint64_t m_count = 0;     // elements allocated; cleared with the buffer
    T* m_buffer = nullptr;    // array; null when none
    uint64_t m_size = 0;      // usable size; 0 means the buffer is not to be read
    bool m_owns = true;       // the object frees the buffer on destruction
};

// An owned, zero-filled character buffer of a fixed size.
class JzBuffer {
public:
    explicit JzBuffer(size_t size) : m_data(new char[size + 1]()), m_size(size) {}
    JzBuffer(JzBuffer const&) = delete;
    JzBuffer& operator=(JzBuffer const&) = delete;
    ~JzBuffer() { delete[] m_data; }

    operator char*() { return m_data; }
    char* data() { return m_data; }
    size_t size() const { return m_size; }

private:
    char* m_data = nullptr;   // the memory (size + 1 bytes, so it always ends in a NUL)
    size_t m_size = 0;
};
