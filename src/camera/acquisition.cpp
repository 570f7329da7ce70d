// Frame acquisition.
#include "camera/acquisition.h"

namespace {

Status run_on_handle(CameraHandle handle, std::uint32_t (*call)(CameraHandle)) {
    if (handle == nullptr)
        return CameraError{ErrorKind::InvalidHandle};
    if (std::uint32_t rc = call(handle); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

Result<FrameBuffer> read_frame(CameraHandle handle, sdk::FrameReader reader) {
    if (handle == nullptr)
        return CameraError{ErrorKind::InvalidHandle};
    const std::uint32_t length = sdk::mem_length(handle);
    if (length == 0)
        return CameraError{ErrorKind::FrameFailed, 0};
    FrameBuffer frame;
    frame.data = Block::allocate_zeroed(length); // the SDK receives it all zero
    if (!frame.data)
        return OutOfMemory{};
    // The SDK may fill up to the size it reported; it is not told the size again.
    const std::uint32_t rc = reader(handle, &frame.width, &frame.height, &frame.bits_per_pixel,
                                    &frame.channels, frame.data.get());
    if (rc != 0)
        return CameraError{ErrorKind::FrameFailed, rc};
    return frame;
}

} // namespace

Status begin_live(const CameraCore& core) { return run_on_handle(core.handle(), sdk::begin_live); }

Status stop_live(const CameraCore& core) { return run_on_handle(core.handle(), sdk::stop_live); }

Status expose_single_frame(CameraHandle handle) {
    return run_on_handle(handle, sdk::expose_single);
}

Result<FrameBuffer> get_single_frame(CameraHandle handle) {
    return read_frame(handle, sdk::kSingleFrameReader);
}

Result<FrameBuffer> get_live_frame(CameraHandle handle) {
    return read_frame(handle, sdk::kLiveFrameReader);
}

Result<FrameBuffer> capture_single_frame(CameraHandle handle) {
    if (Status exposed = expose_single_frame(handle); !exposed.ok())
        return exposed.take_failure();
    return read_frame(handle, sdk::kSingleFrameReader);
}
