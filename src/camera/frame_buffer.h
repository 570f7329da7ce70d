// FrameBuffer: the bytes one SDK frame read wrote, with the frame's reported layout.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
using ByteBlock = std::unique_ptr<unsigned char[], FreeDeleter>;

/// Single owner, moved, never copied; the conversion to an array consumes it.
struct FrameBuffer {
    ByteBlock data;
    std::size_t size = 0; // bytes in `data`: what the SDK reported, not what the picture needs
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits_per_pixel = 0;
    std::uint32_t channels = 0; // carried, not used: arrays are always two-dimensional
};
