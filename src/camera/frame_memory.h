// Memory for frame data. A fresh multi-megabyte block costs a page fault per 4 KiB on its first
// touch, which for a large frame costs more than the copy itself; so while a camera is open,
// large blocks are recycled through a small pool and asked to use transparent huge pages.
// Large blocks are mapped from the system directly, so that freeing one gives its memory
// back at once, and the pool is emptied when the last camera closes: a program that stops
// capturing gets its memory back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "camera/fork_generation.h"

/// Gives a block back: to the pool when it is large, a camera is open and the pool has room;
/// else to the system.
void release_block(void* data, std::size_t size) noexcept;

/// A share in keeping the pool: each open camera's handle owns one, the pool keeps blocks
/// while any is held, and the last to go empties it. One taken in a parent process is nothing
/// in a forked child, whose pool starts empty and unheld. Move-only; empty when default-made.
class FramePoolHold {
public:
    static FramePoolHold take() noexcept;

    FramePoolHold() noexcept = default;
    FramePoolHold(FramePoolHold&& other) noexcept
        : taken_in_(std::exchange(other.taken_in_, kNone)) {}
    FramePoolHold& operator=(FramePoolHold&& other) noexcept {
        FramePoolHold old(std::move(*this));
        taken_in_ = std::exchange(other.taken_in_, kNone);
        return *this;
    }
    FramePoolHold(const FramePoolHold&) = delete;
    FramePoolHold& operator=(const FramePoolHold&) = delete;
    ~FramePoolHold() { reset(); }

    void reset() noexcept;

private:
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    explicit FramePoolHold(std::uint64_t generation) noexcept : taken_in_(generation) {}
    std::uint64_t taken_in_ = kNone; // the fork generation that took it
};

/// Around fork(), from the process's fork handlers (fork_generation.cpp). The lock is held
/// across the fork, so that the child does not inherit it held by a thread it lacks; the child
/// keeps no blocks, since it has no open camera of its own.
void lock_frame_pool_for_fork() noexcept;
void unlock_frame_pool_in_parent() noexcept;
void reset_frame_pool_in_child() noexcept;

/// One owned block of `size` bytes. Move-only; empty when the allocation failed.
class Block {
public:
    /// Contents unspecified.
    static Block allocate(std::size_t size);
    /// All bytes zero.
    static Block allocate_zeroed(std::size_t size);

    Block() noexcept = default;
    Block(Block&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Block& operator=(Block&& other) noexcept {
        Block old(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { reset(); }

    unsigned char* get() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    void reset() noexcept {
        if (data_ != nullptr)
            release_block(std::exchange(data_, nullptr), std::exchange(size_, 0));
    }

private:
    Block(unsigned char* data, std::size_t size) noexcept : data_(data), size_(data ? size : 0) {}
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};
