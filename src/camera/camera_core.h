// CameraCore: a camera's id and SDK handle, in shared ownership with an atomic count.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "errors/result.h"
#include "sdk/vendor_api.h"

class CoreRef;

class CameraCore {
public:
    /// Opens the camera named by `id`: StringConversion for an id with a NUL, OpenFailed when
    /// the SDK gives no handle.
    static Result<CoreRef> open(std::string_view id);

    CameraHandle handle() const noexcept { return handle_; }
    bool is_open() const noexcept { return handle_ != nullptr; }
    const std::string& id() const noexcept { return id_; }

    /// Closes the handle for close(): the handle is null afterwards whatever the SDK says.
    Status close_handle();

    /// Holders of this record, the Camera object's own reference included.
    std::size_t holders() const noexcept { return refs_.load(std::memory_order_acquire); }

    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

private:
    friend class CoreRef;
    explicit CameraCore(std::string id) : id_(std::move(id)) {}
    ~CameraCore(); // closes a handle still open, ignoring the SDK's result

    std::string id_;
    // Written only before the record is shared, by close() while nobody else holds it,
    // and at destruction; so a frame read never sees it change under it.
    CameraHandle handle_ = nullptr;
    std::atomic<std::size_t> refs_{1};
};

/// One counted reference to a CameraCore. Move-only; clone() takes another reference.
/// The last reference to go destroys the record, on whichever thread, with or without the GIL.
class CoreRef {
public:
    CoreRef() noexcept = default;
    CoreRef(CoreRef&& other) noexcept : core_(std::exchange(other.core_, nullptr)) {}
    CoreRef& operator=(CoreRef&& other) noexcept {
        CoreRef old(std::move(*this));
        core_ = std::exchange(other.core_, nullptr);
        return *this;
    }
    CoreRef(const CoreRef&) = delete;
    CoreRef& operator=(const CoreRef&) = delete;
    ~CoreRef() { reset(); }

    CoreRef clone() const noexcept {
        core_->refs_.fetch_add(1, std::memory_order_relaxed);
        return CoreRef(core_);
    }
    void reset() noexcept {
        if (core_ && core_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete core_;
        core_ = nullptr;
    }
    CameraCore& operator*() const noexcept { return *core_; }
    CameraCore* operator->() const noexcept { return core_; }
    explicit operator bool() const noexcept { return core_ != nullptr; }

private:
    friend class CameraCore;
    explicit CoreRef(CameraCore* core) noexcept : core_(core) {}
    CameraCore* core_ = nullptr;
};

/// close(): does nothing while another holder (a frame read on another thread) uses the handle.
Status close_camera(CameraCore& core);

/// open(): the camera was opened at construction; this does nothing, also after close().
inline Status open_camera(const CameraCore&) { return success(); }
