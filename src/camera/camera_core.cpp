// Opening and closing a camera's SDK handle.
#include "camera/camera_core.h"

#include <cstring>

Result<CoreRef> CameraCore::open(std::string_view id) {
    // The record is owned before the SDK call, so every early return frees it.
    CoreRef core(new CameraCore(std::string(id)));
    if (std::memchr(id.data(), 0, id.size()) != nullptr)
        return CameraError{ErrorKind::StringConversion};
    // std::string keeps a terminating NUL, so c_str() is the NUL-terminated copy.
    CameraHandle handle = sdk::open(core->id_.c_str());
    if (handle == nullptr)
        return CameraError{ErrorKind::OpenFailed, 0, core->id_};
    core->handle_ = handle;
    return core;
}

Status CameraCore::close_handle() {
    if (handle_ == nullptr)
        return success();
    const std::uint32_t rc = sdk::close(std::exchange(handle_, nullptr));
    if (rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

CameraCore::~CameraCore() {
    if (handle_ != nullptr)
        (void)sdk::close(handle_);
}

Status close_camera(CameraCore& core) {
    // The Camera object's own reference is the only one unless a frame read holds the record.
    if (core.holders() > 1)
        return success();
    return core.close_handle();
}
