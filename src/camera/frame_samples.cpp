// The size checks, the one copy of the samples and the zeroed tail.
#include "camera/frame_samples.h"

#include <cstring>
#include <limits>
#include <utility>

Result<FrameSamples> take_samples(FrameBuffer frame) {
    const std::uint64_t n = std::uint64_t{frame.width} * frame.height;
    if (n == 0)
        return InvalidValue{InvalidKind::FrameDimensions};
    const bool wide = frame.bits_per_pixel > 8;
    const std::size_t element = wide ? 2 : 1;
    if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / element)
        return InternalFault{FaultKind::CapacityOverflow};

    // Only the tail past a short `data` needs zeros.
    const std::size_t bytes = static_cast<std::size_t>(n) * element;
    Block block = Block::allocate(bytes);
    if (!block)
        return OutOfMemory{};
    const std::size_t available = wide ? frame.data.size() & ~std::size_t{1} : frame.data.size();
    const std::size_t copied = available < bytes ? available : bytes;
    std::memcpy(block.get(), frame.data.get(), copied);
    std::memset(block.get() + copied, 0, bytes - copied);
    frame.data.reset();
    return FrameSamples{std::move(block), frame.width, frame.height, element};
}
