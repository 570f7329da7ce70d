// Frame acquisition.
#include "camera/acquisition.h"

namespace {

Status run_on_handle(const CameraCore& core, std::uint32_t (*call)(CameraHandle)) {
    if (!core.is_open())
        return CameraError{ErrorKind::InvalidHandle};
    if (std::uint32_t rc = call(core.handle()); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

Result<FrameBuffer> read_frame(const CameraCore& core, sdk::FrameReader reader) {
    if (!core.is_open())
        return CameraError{ErrorKind::InvalidHandle};
    const std::uint32_t length = sdk::mem_length(core.handle());
    if (length == 0)
        return CameraError{ErrorKind::FrameFailed, 0};
    FrameBuffer frame;
    frame.data = Block::allocate_zeroed(length); // the SDK receives it all zero
    if (!frame.data)
        return OutOfMemory{};
    // The SDK may fill up to the size it reported; it is not told the size again.
    const std::uint32_t rc = reader(core.handle(), &frame.width, &frame.height,
                                    &frame.bits_per_pixel, &frame.channels, frame.data.get());
    if (rc != 0)
        return CameraError{ErrorKind::FrameFailed, rc};
    return frame;
}

} // namespace

Status expose_single_frame(const CameraCore& core) {
    return run_on_handle(core, sdk::expose_single);
}

Status begin_live(const CameraCore& core) { return run_on_handle(core, sdk::begin_live); }

Status stop_live(const CameraCore& core) { return run_on_handle(core, sdk::stop_live); }

Result<FrameBuffer> get_single_frame(const CameraCore& core) {
    return read_frame(core, sdk::kSingleFrameReader);
}

Result<FrameBuffer> get_live_frame(const CameraCore& core) {
    return read_frame(core, sdk::kLiveFrameReader);
}

Result<FrameBuffer> capture_single_frame(const CameraCore& core) {
    if (Status exposed = expose_single_frame(core); !exposed.ok())
        return exposed.take_failure();
    return read_frame(core, sdk::kSingleFrameReader);
}
