// FrameBuffer: the bytes one SDK frame read wrote, with the frame's reported layout.
#pragma once

#include <cstdint>

#include "camera/frame_memory.h"

/// Single owner, moved, never copied; the conversion to an array consumes it.
struct FrameBuffer {
    Block data; // as many bytes as the SDK reported, not as the picture needs
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits_per_pixel = 0;
    std::uint32_t channels = 0; // carried, not used: arrays are always two-dimensional
};
