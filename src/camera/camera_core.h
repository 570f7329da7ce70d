// CameraCore: a camera's id and SDK handle, in shared ownership with an atomic count.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "camera/fork_generation.h"
#include "camera/frame_memory.h"
#include "errors/result.h"
#include "sdk/vendor_api.h"

class CoreRef;

/// What a camera record is to a call that starts now (CameraCore::state).
enum class CameraState {
    // Calls use the handle.
    Open,
    // close() came while frame reads ran on other threads: every later call sees a closed
    // camera, the reads finish on the handle they began with, and the last of them closes it.
    Closing,
    // No handle: closed, or never opened.
    Closed,
    // In a forked child, a record that its parent opened: calls see a closed camera, and the
    // handle, the parent's, never reaches the SDK, not even to be closed.
    Inherited,
};

/// An SDK handle with what belongs to it: the fork generation that opened it and the camera's
/// hold on the frame pool. Closing it gives both back; in a later generation it closes nothing.
/// Move-only; empty when default-made, closed or moved from.
class OwnedHandle {
public:
    OwnedHandle() noexcept = default;
    explicit OwnedHandle(CameraHandle handle) noexcept
        : handle_(handle), opened_in_(ForkGeneration::current()), pool_(FramePoolHold::take()) {}
    OwnedHandle(OwnedHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), opened_in_(other.opened_in_),
          pool_(std::move(other.pool_)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        OwnedHandle old(std::move(*this));
        handle_ = std::exchange(other.handle_, nullptr);
        opened_in_ = other.opened_in_;
        pool_ = std::move(other.pool_);
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { (void)close(); }

    /// The handle if this process opened it, else null.
    CameraHandle get() const noexcept {
        return opened_in_ == ForkGeneration::current() ? handle_ : nullptr;
    }
    bool empty() const noexcept { return handle_ == nullptr; }
    bool inherited() const noexcept { return !empty() && get() == nullptr; }

    /// Empties it, closing the handle if this process opened it: the SDK's result, else 0.
    std::uint32_t close() noexcept;

private:
    CameraHandle handle_ = nullptr;
    std::uint64_t opened_in_ = 0;
    FramePoolHold pool_;
};

class CameraCore {
public:
    /// Opens the camera named by `id`: StringConversion for an id with a NUL, OpenFailed when
    /// the SDK gives no handle.
    static Result<CoreRef> open(std::string_view id);

    /// A record with no camera behind it, for a Camera object that was made without its
    /// constructor: every call on it sees a closed camera.
    static CoreRef unopened() noexcept;

    /// With the GIL held.
    CameraState state() const noexcept;

    /// The handle for a call that starts now, read with the GIL held: null unless Open.
    CameraHandle handle() const noexcept { return handle_.get(); }
    bool is_open() const noexcept { return handle() != nullptr; }

    /// close(), with the GIL held. Open becomes Closed, the SDK's result reported; or, while
    /// frame reads still run, Closing. In any other state it does nothing.
    Status close();

    /// For a frame read, with the GIL held, before it lets go of the GIL: a reference of the
    /// read's own, which it drops before it takes the GIL back. These are the only references
    /// besides the Camera object's, so they count the reads still running.
    CoreRef start_read() noexcept;

    /// For a frame read that has dropped that reference, with the GIL held again: Closing
    /// becomes Closed once no other read runs. Nobody is left to hear the SDK's result, so it
    /// is ignored, as at destruction.
    void finish_read() noexcept;

    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

private:
    friend class CoreRef;
    explicit CameraCore(std::string id) : id_(std::move(id)) {}
    ~CameraCore() = default; // a handle still held is closed, its result ignored

    std::size_t reads_running() const noexcept { return refs_.load(std::memory_order_acquire) - 1; }

    std::string id_;
    // Open: the handle calls use. Set when the camera opens, before the record is shared.
    OwnedHandle handle_;
    // Closing: the handle moved out of handle_ by a close() during frame reads, so that calls
    // starting later see none; the reads keep their copy of it until the last closes it here.
    OwnedHandle closing_;
    std::atomic<std::size_t> refs_{1};
};

/// One counted reference to a CameraCore. Move-only; CameraCore::start_read takes another.
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

inline CoreRef CameraCore::start_read() noexcept {
    refs_.fetch_add(1, std::memory_order_relaxed);
    return CoreRef(this);
}

/// close(): see CameraCore::close.
inline Status close_camera(CameraCore& core) { return core.close(); }

/// open(): the camera was opened at construction; this does nothing, also after close().
inline Status open_camera(const CameraCore&) { return success(); }
