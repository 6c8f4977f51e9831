// Where the message library keeps what messages own: field arrays, texts,
// sub-messages and lists.
//
// Normally that is the C++ heap. While a StorageRegion is open on a thread,
// what messages allocate on that thread comes from the region instead: 2 MiB
// chunks taken from the system as large pages, handed out in order. A big
// answer (hundreds of thousands of messages) then costs a few hundred page
// faults instead of tens of thousands, and no allocator work per message.
//
// Every allocation can be freed from any thread, while the region is open or
// after it closed. A region's chunks go back to the system once it is closed
// and the last allocation in it is freed; until then its memory stays taken,
// also where it was freed piecemeal (memory freed in a region is not handed
// out again). A message moved out of an answer built in a region therefore
// keeps the whole region's memory until it is gone.
#pragma once

#include <cstddef>
#include <new>

namespace nuvmsg {

// Memory for message internals, 8-byte aligned; throws std::bad_alloc.
void* Allocate(std::size_t bytes);
// Frees what Allocate gave (null is ignored).
void Deallocate(void* p) noexcept;

// The chunks all regions hold now, for diagnostics and tests.
std::size_t RegionChunks();

// Opens a region on this thread for its lifetime; regions nest (the inner
// one is used while open). Not copyable.
class StorageRegion {
public:
    StorageRegion();
    ~StorageRegion();
    StorageRegion(StorageRegion const&) = delete;
    StorageRegion& operator=(StorageRegion const&) = delete;

    struct Chunks;

private:
    Chunks* m_chunks;
    Chunks* m_outer;
};

// A standard allocator over Allocate / Deallocate.
template <class T>
struct Allocator {
    static_assert(alignof(T) <= 8, "message storage is 8-byte aligned");
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(Allocator<U> const&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(Allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { Deallocate(p); }
    template <class U>
    bool operator==(Allocator<U> const&) const noexcept { return true; }
    template <class U>
    bool operator!=(Allocator<U> const&) const noexcept { return false; }
};

// A T made in message storage, and its end.
template <class T, class... Args>
T* Make(Args&&... args) {
    void* place = Allocate(sizeof(T));
    try {
        return ::new (place) T(static_cast<Args&&>(args)...);
    } catch (...) {
        Deallocate(place);
        throw;
    }
}
template <class T>
void Unmake(T* p) noexcept {
    if (p == nullptr) return;
    p->~T();
    Deallocate(p);
}

}  // namespace nuvmsg
