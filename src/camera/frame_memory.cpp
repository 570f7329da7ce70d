// The frame block pool.
#include "camera/frame_memory.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

// Large blocks come straight from the system, page by page, and go back to it when freed:
// mmap/munmap on POSIX systems, VirtualAlloc/VirtualFree on Windows.
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define VEXCAM_MAP_BLOCKS 1
#elif defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define VEXCAM_MAP_BLOCKS 1
#endif

namespace {

// Smaller blocks are the heap's business: it recycles them well on its own. Larger ones are
// mapped one by one, so that each goes back to the system when freed; the heap would keep them.
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
// Blocks beyond this are not kept: a reused block is cleared in full, while a fresh one is
// backed by memory only where the SDK writes, which matters when an SDK asks for gigabytes.
constexpr std::size_t kPooledMaximum = std::size_t{64} << 20;

constexpr bool is_pooled(std::size_t size) { return size >= kLargeBlock && size <= kPooledMaximum; }

// A capture loop needs two: the SDK's buffer of one read and the sample buffer that the
// previous frame's array gives back. A third keeps the frame that was still alive when a loop
// paused (other work replaced it), so that the loop resumes without a fresh block, whose
// pages all fault in anew. Holds at most this many blocks while a camera is open.
constexpr std::size_t kPoolSlots = 3;

struct Slot {
    void* data = nullptr;
    std::size_t size = 0;
};

#if defined(__linux__) && defined(MADV_HUGEPAGE)
void advise_huge_pages(void* block, std::size_t size) {
    // Only the 2 MiB-aligned inside of a block can be backed by huge pages; it is only a hint.
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
    if (last > first)
        (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}
#endif

#if defined(VEXCAM_MAP_BLOCKS)
// Pages of a mapped block are zero and backed by memory only once touched.
void* map_pages(std::size_t size) {
#if defined(_WIN32)
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    advise_huge_pages(data, size);
#endif
    return data;
#endif
}

void unmap_pages(void* data, [[maybe_unused]] std::size_t size) noexcept {
#if defined(_WIN32)
    (void)VirtualFree(data, 0, MEM_RELEASE);
#else
    (void)munmap(data, size);
#endif
}
#endif

// Fresh memory from the system. A large block comes as untouched zero pages, so the hint
// comes before the first fault and a zeroed block costs nothing more.
void* fresh(std::size_t size, bool zeroed) {
#if defined(VEXCAM_MAP_BLOCKS)
    if (size >= kLargeBlock)
        return map_pages(size);
#endif
    return zeroed ? std::calloc(size, 1) : std::malloc(size);
}

void give_back(void* data, std::size_t size) noexcept {
    if (data == nullptr)
        return;
#if defined(VEXCAM_MAP_BLOCKS)
    if (size >= kLargeBlock) {
        unmap_pages(data, size);
        return;
    }
#endif
    (void)size;
    std::free(data);
}

// Frame reads take blocks without the GIL and arrays give them back with it: hence the mutex.
struct Pool {
    std::mutex mutex;
    std::array<Slot, kPoolSlots> slots{};
    std::size_t next_eviction = 0; // when full, blocks of a size no longer read make way
    std::size_t cameras = 0;       // open cameras; the pool keeps blocks only while there are any

    // With the mutex held: the blocks to give back, the slots left empty.
    std::array<Slot, kPoolSlots> take_all() noexcept {
        return std::exchange(slots, std::array<Slot, kPoolSlots>{});
    }
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

} // namespace

void release_block(void* data, std::size_t size) noexcept {
    if (data != nullptr && is_pooled(size)) {
        Pool& p = pool();
        std::lock_guard lock(p.mutex);
        if (p.cameras > 0) {
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
            const Slot evicted = std::exchange(*target, Slot{data, size});
            data = evicted.data;
            size = evicted.size;
        }
    }
    give_back(data, size);
}

FramePoolHold FramePoolHold::take() noexcept {
    Pool& p = pool();
    std::lock_guard lock(p.mutex);
    ++p.cameras;
    return FramePoolHold(ForkGeneration::current());
}

void FramePoolHold::reset() noexcept {
    if (std::exchange(taken_in_, kNone) != ForkGeneration::current())
        return; // nothing held, or held in a parent process: this pool never counted it
    Pool& p = pool();
    std::array<Slot, kPoolSlots> drained{};
    {
        std::lock_guard lock(p.mutex);
        if (p.cameras > 0 && --p.cameras == 0)
            drained = p.take_all();
    }
    for (Slot& slot : drained)
        give_back(slot.data, slot.size);
}

// fork() copies the mutex as it is at that moment: held, if another thread was inside it, and
// then no thread of the child would ever release it. Hence held across the fork.
void lock_frame_pool_for_fork() noexcept { pool().mutex.lock(); }

void unlock_frame_pool_in_parent() noexcept { pool().mutex.unlock(); }

void reset_frame_pool_in_child() noexcept {
    Pool& p = pool();
    p.cameras = 0;
    for (Slot& slot : p.take_all())
        give_back(slot.data, slot.size);
    p.mutex.unlock();
}

Block Block::allocate(std::size_t size) {
    if (void* pooled = take_pooled(size))
        return Block(static_cast<unsigned char*>(pooled), size);
    return Block(static_cast<unsigned char*>(fresh(size, false)), size);
}

Block Block::allocate_zeroed(std::size_t size) {
    if (void* pooled = take_pooled(size)) {
        std::memset(pooled, 0, size); // touched pages: cheaper to clear than to fault in anew
        return Block(static_cast<unsigned char*>(pooled), size);
    }
    return Block(static_cast<unsigned char*>(fresh(size, true)), size);
}
