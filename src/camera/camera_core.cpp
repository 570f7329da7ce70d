// Opening and closing a camera's SDK handle, and the record's states.
#include "camera/camera_core.h"

#include <cstring>
#include <new>

std::uint32_t OwnedHandle::close() noexcept {
    const CameraHandle handle = get();
    handle_ = nullptr;
    const std::uint32_t rc = handle != nullptr ? sdk::close(handle) : 0;
    pool_.reset(); // after the close, as the camera's last use of the pool
    return rc;
}

Result<CoreRef> CameraCore::open(std::string_view id) {
    // The record is owned before the SDK call, so every early return frees it.
    CoreRef core(new CameraCore(std::string(id)));
    if (std::memchr(id.data(), 0, id.size()) != nullptr)
        return CameraError{ErrorKind::StringConversion};
    ForkGeneration::watch();
    // std::string keeps a terminating NUL, so c_str() is the NUL-terminated copy.
    CameraHandle handle = sdk::open(core->id_.c_str());
    if (handle == nullptr)
        return CameraError{ErrorKind::OpenFailed, 0, core->id_};
    core->handle_ = OwnedHandle(handle);
    return core;
}

CoreRef CameraCore::unopened() noexcept {
    // Built in place and never destroyed: its own count of one is never given back.
    alignas(CameraCore) static unsigned char storage[sizeof(CameraCore)];
    static CameraCore* const record = new (storage) CameraCore(std::string());
    record->refs_.fetch_add(1, std::memory_order_relaxed);
    return CoreRef(record);
}

CameraState CameraCore::state() const noexcept {
    const bool open = !handle_.empty();
    const OwnedHandle& held = open ? handle_ : closing_;
    if (held.empty())
        return CameraState::Closed;
    if (held.inherited())
        return CameraState::Inherited;
    return open ? CameraState::Open : CameraState::Closing;
}

Status CameraCore::close() {
    if (state() != CameraState::Open)
        return success();
    if (reads_running() > 0) {
        closing_ = std::move(handle_);
        return success();
    }
    if (const std::uint32_t rc = handle_.close(); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

void CameraCore::finish_read() noexcept {
    if (!closing_.empty() && reads_running() == 0)
        (void)closing_.close();
}
