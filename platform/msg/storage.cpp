// Message storage: the C++ heap, or the region open on the thread.
//
// Every block carries, in the 8 bytes before it, the region it came from
// (null for the heap), so a free finds its home from any thread. Built with
// the address sanitizer, a region's memory is poisoned except for the blocks
// in use (the header then also holds the block's size), so a use after free
// inside a region is caught as it is on the heap.
#include "nuvdbsnap/platform/msg/storage.h"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define NUV_MSG_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUV_MSG_ASAN 1
#endif
#endif
#ifdef NUV_MSG_ASAN
#include <sanitizer/asan_interface.h>
#define NUV_MSG_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define NUV_MSG_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define NUV_MSG_POISON(p, n) ((void)(p), (void)(n))
#define NUV_MSG_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace nuvmsg {

struct StorageRegion::Chunks {
    // What is not freed yet, counted down by frees from kOpen while the region
    // is open; on closing, the count of blocks it handed out takes the place
    // of kOpen, so the last free (or the close, when all are freed) ends it.
    static constexpr std::int64_t kOpen = std::int64_t(1) << 62;
    std::atomic<std::int64_t> unfreed{kOpen};
    std::int64_t handedOut = 0;           // by the thread that opened it
    std::vector<void*> maps;              // chunks of kChunk bytes
    char* next = nullptr;
    char* end = nullptr;
};

namespace {

#ifdef NUV_MSG_ASAN
constexpr std::size_t kHeader = 16;   // region, then the block's whole size
#else
constexpr std::size_t kHeader = 8;    // region
#endif
constexpr std::size_t kChunk = std::size_t(2) << 20;   // one large page
constexpr std::size_t kLargest = kChunk / 8;            // bigger blocks come from the heap

thread_local StorageRegion::Chunks* t_open = nullptr;
std::atomic<std::size_t> g_chunks{0};

// A chunk aligned to its size, so the system can back it with one large page.
void* MapChunk() {
    void* raw = ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto const start = reinterpret_cast<std::uintptr_t>(raw);
    std::uintptr_t const aligned = (start + kChunk - 1) & ~(std::uintptr_t(kChunk) - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    if (std::uintptr_t const tail = start + 2 * kChunk - (aligned + kChunk); tail > 0)
        ::munmap(reinterpret_cast<void*>(aligned + kChunk), tail);
    (void)::madvise(reinterpret_cast<void*>(aligned), kChunk, MADV_HUGEPAGE);   // a hint: small pages do too
    NUV_MSG_POISON(reinterpret_cast<void*>(aligned), kChunk);
    return reinterpret_cast<void*>(aligned);
}

void Release(StorageRegion::Chunks* chunks) noexcept {
    for (void* map : chunks->maps) {
        NUV_MSG_UNPOISON(map, kChunk);   // the next mapping there starts clean
        ::munmap(map, kChunk);
    }
    g_chunks.fetch_sub(chunks->maps.size(), std::memory_order_relaxed);
    delete chunks;
}

void* FromHeap(std::size_t bytes) {
    if (bytes > static_cast<std::size_t>(-1) - kHeader) throw std::bad_alloc();
    void* block = std::malloc(bytes + kHeader);
    if (block == nullptr) throw std::bad_alloc();
    *static_cast<StorageRegion::Chunks**>(block) = nullptr;
    return static_cast<char*>(block) + kHeader;
}

}  // namespace

void* Allocate(std::size_t bytes) {
    StorageRegion::Chunks* const region = t_open;
    if (region == nullptr || bytes > kLargest) return FromHeap(bytes);
    std::size_t const need = (bytes + kHeader + 7) & ~std::size_t(7);
    if (static_cast<std::size_t>(region->end - region->next) < need) {
        if (region->maps.size() == region->maps.capacity()) region->maps.reserve(region->maps.size() * 2 + 8);
        void* map = MapChunk();
        if (map == nullptr) return FromHeap(bytes);
        region->maps.push_back(map);
        g_chunks.fetch_add(1, std::memory_order_relaxed);
        region->next = static_cast<char*>(map);
        region->end = region->next + kChunk;
    }
    char* block = region->next;
    region->next += need;
    ++region->handedOut;
    NUV_MSG_UNPOISON(block, need);
    *reinterpret_cast<StorageRegion::Chunks**>(block) = region;
#ifdef NUV_MSG_ASAN
    *reinterpret_cast<std::size_t*>(block + 8) = need;
#endif
    return block + kHeader;
}

void Deallocate(void* p) noexcept {
    if (p == nullptr) return;
    char* block = static_cast<char*>(p) - kHeader;
    StorageRegion::Chunks* const region = *reinterpret_cast<StorageRegion::Chunks**>(block);
    if (region == nullptr) {
        std::free(block);
        return;
    }
#ifdef NUV_MSG_ASAN
    NUV_MSG_POISON(block, *reinterpret_cast<std::size_t*>(block + 8));
#endif
    if (region->unfreed.fetch_sub(1, std::memory_order_acq_rel) == 1) Release(region);
}

std::size_t RegionChunks() { return g_chunks.load(std::memory_order_relaxed); }

StorageRegion::StorageRegion() : m_chunks(new Chunks), m_outer(t_open) { t_open = m_chunks; }

StorageRegion::~StorageRegion() {
    t_open = m_outer;
    std::int64_t const unused = Chunks::kOpen - m_chunks->handedOut;
    if (m_chunks->unfreed.fetch_sub(unused, std::memory_order_acq_rel) == unused) Release(m_chunks);
}

}  // namespace nuvmsg
