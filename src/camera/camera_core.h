// CameraCore: a camera's id and SDK handle, in shared ownership with an atomic count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "errors/result.h"
#include "sdk/vendor_api.h"

class CoreRef;

/// The forks that led to this process, counted in each child (camera_core.cpp): a child gets
/// its parent's camera records, but not the SDK's threads and connections behind their
/// handles. Written only in a child right after fork(), while it has a single thread.
inline std::uint64_t forks_of_this_process = 0;

class CameraCore {
public:
    /// Opens the camera named by `id`: StringConversion for an id with a NUL, OpenFailed when
    /// the SDK gives no handle.
    static Result<CoreRef> open(std::string_view id);

    /// A record with no camera behind it, for a Camera object that was made without its
    /// constructor: every call on it sees a closed camera.
    static CoreRef unopened() noexcept;

    /// The handle for a call that starts now, read with the GIL held. Null once the camera is
    /// closed, also while its closing waits for frame reads still running, and in a child
    /// process for a camera its parent opened: that handle is the parent's.
    CameraHandle handle() const noexcept {
        return usable_in_ == forks_of_this_process ? handle_ : nullptr;
    }
    bool is_open() const noexcept { return handle() != nullptr; }

    /// close(), with the GIL held: closes the handle at once, or, while frame reads on other
    /// threads still use it, makes the camera look closed to every later call and leaves the
    /// closing to the last of those reads (finish_read).
    Status close();

    /// For a frame read that has let go of its reference, with the GIL held: closes the handle
    /// when a close() waits for it and no other read still holds the record. Nobody is left to
    /// hear the SDK's result, so it is ignored, as at destruction.
    void finish_read() noexcept;

    /// Holders of this record, the Camera object's own reference included.
    std::size_t holders() const noexcept { return refs_.load(std::memory_order_acquire); }

    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

private:
    friend class CoreRef;
    explicit CameraCore(std::string id) : id_(std::move(id)) {}
    ~CameraCore(); // closes a handle still open, ignoring the SDK's result

    /// Takes the handle out of the record and closes it if this process opened it.
    std::uint32_t release_handle() noexcept;

    std::string id_;
    // Set when the camera opens; taken out only by a close while no frame read holds the
    // record, or at destruction, so a read never sees it change under it.
    CameraHandle handle_ = nullptr;
    // The process (counted in forks) that opened the handle.
    std::uint64_t opened_in_ = 0;
    // The process in which calls may use the handle: the one that opened it, until a close()
    // that came while frame reads were running makes it none. Read and written with the GIL.
    std::uint64_t usable_in_ = 0;
    static constexpr std::uint64_t kNoProcess = ~std::uint64_t{0};
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

/// close(): see CameraCore::close.
inline Status close_camera(CameraCore& core) { return core.close(); }

/// open(): the camera was opened at construction; this does nothing, also after close().
inline Status open_camera(const CameraCore&) { return success(); }
