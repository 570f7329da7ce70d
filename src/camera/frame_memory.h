// Memory for frame data. A fresh multi-megabyte block costs a page fault per 4 KiB on its first
// touch, which for a large frame costs more than the copy itself; so large blocks are recycled
// through a small pool and asked to use transparent huge pages.
#pragma once

#include <cstddef>
#include <utility>

/// Gives a block back: to the pool when it is large and the pool has room, else to the heap.
void release_block(void* data, std::size_t size) noexcept;

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
    /// Hands the block over; give it back with release_block(data, size).
    [[nodiscard]] unsigned char* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    Block(unsigned char* data, std::size_t size) noexcept : data_(data), size_(data ? size : 0) {}
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};
