// Memory for frame data. A fresh multi-megabyte block costs a page fault per 4 KiB on its first
// touch, which for a large frame costs more than the copy itself; so while a camera is open,
// large blocks are recycled through a small pool and asked to use transparent huge pages.
// Large blocks are mapped from the system directly, so that freeing one gives its memory
// back at once, and the pool is emptied when the last camera closes: a program that stops
// capturing gets its memory back.
#pragma once

#include <cstddef>
#include <utility>

/// Gives a block back: to the pool when it is large, a camera is open and the pool has room;
/// else to the system.
void release_block(void* data, std::size_t size) noexcept;

/// Each open camera holds the pool in use; the last to let go empties it.
void hold_frame_pool() noexcept;
void let_go_of_frame_pool() noexcept;

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
