// The frame block pool.
#include "camera/frame_memory.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// Smaller blocks are the heap's business: it recycles them well on its own.
constexpr std::size_t kPooledMinimum = std::size_t{1} << 20;
// Larger ones are not kept: a reused block is cleared in full, while a fresh one is backed by
// memory only where the SDK writes, which matters when an SDK asks for gigabytes.
constexpr std::size_t kPooledMaximum = std::size_t{64} << 20;

constexpr bool is_pooled(std::size_t size) {
    return size >= kPooledMinimum && size <= kPooledMaximum;
}

// A capture loop needs two: the SDK's buffer of one read and the sample buffer that the
// previous frame's array gives back. Holds at most this many blocks once capturing stops.
constexpr std::size_t kPoolSlots = 2;

struct Slot {
    void* data = nullptr;
    std::size_t size = 0;
};

// Frame reads take blocks without the GIL and arrays give them back with it: hence the mutex.
struct Pool {
    std::mutex mutex;
    std::array<Slot, kPoolSlots> slots{};
    std::size_t next_eviction = 0; // when full, blocks of a size no longer read make way
};

Pool& pool() {
    // Built in place, so never a failed allocation, and never destroyed: arrays may give their
    // blocks back after static teardown has begun.
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* const instance = new (storage) Pool;
    return *instance;
}

// Only blocks of exactly the asked size are reused, so a block never carries slack.
void* take_pooled(std::size_t size) {
    if (!is_pooled(size))
        return nullptr;
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    for (Slot& slot : p.slots) {
        if (slot.data != nullptr && slot.size == size)
            return std::exchange(slot.data, nullptr);
    }
    return nullptr;
}

void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only the 2 MiB-aligned inside of a block can be backed by huge pages; it is only a hint.
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
    if (last > first)
        (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

unsigned char* fresh(std::size_t size, bool zeroed) {
    // calloc of a large block maps fresh zero pages and does not touch them, so the hint
    // comes before the first fault.
    void* data = zeroed ? std::calloc(size, 1) : std::malloc(size);
    if (data != nullptr && size >= kPooledMinimum)
        advise_huge_pages(data, size);
    return static_cast<unsigned char*>(data);
}

} // namespace

void release_block(void* data, std::size_t size) noexcept {
    if (data != nullptr && is_pooled(size)) {
        Pool& p = pool();
        std::lock_guard lock(p.mutex);
        Slot* target = nullptr;
        for (Slot& slot : p.slots) {
            if (slot.data == nullptr) {
                target = &slot;
                break;
            }
        }
        if (target == nullptr) {
            target = &p.slots[p.next_eviction];
            p.next_eviction = (p.next_eviction + 1) % kPoolSlots;
        }
        data = std::exchange(*target, Slot{data, size}).data; // the evicted block, if any
    }
    std::free(data);
}

Block Block::allocate(std::size_t size) {
    if (void* pooled = take_pooled(size))
        return Block(static_cast<unsigned char*>(pooled), size);
    return Block(fresh(size, false), size);
}

Block Block::allocate_zeroed(std::size_t size) {
    if (void* pooled = take_pooled(size)) {
        std::memset(pooled, 0, size); // touched pages: cheaper to clear than to fault in anew
        return Block(static_cast<unsigned char*>(pooled), size);
    }
    return Block(fresh(size, true), size);
}
