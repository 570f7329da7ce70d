// A frame's samples: the one copy out of the SDK's buffer, exactly as large as the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/frame_buffer.h"
#include "camera/frame_memory.h"
#include "errors/result.h"

/// height x width samples in C order, rows contiguous; owned, moved, never copied.
struct FrameSamples {
    Block block; // exactly height x width x element_size bytes
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t element_size = 1; // 1 up to 8 bits per pixel, else 2 (native-order words)
};

/// Copies the samples out of `frame`, consuming its bytes on every path. Samples past a short
/// buffer are zero; bytes past the picture (further channels, an odd last byte) are ignored.
Result<FrameSamples> take_samples(FrameBuffer frame);
