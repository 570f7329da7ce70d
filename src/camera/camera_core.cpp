// Opening and closing a camera's SDK handle.
#include "camera/camera_core.h"

#include <cstring>
#include <new>

#include "camera/frame_memory.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace {

// A child treats the handles of its parent's records as closed, and never hands them to the
// SDK, not even to close them.
std::uint64_t this_process() noexcept { return forks_of_this_process; }

void count_forks() {
#if !defined(_WIN32) // Windows has no fork()
    static const bool registered = [] {
        return pthread_atfork(nullptr, nullptr, [] { ++forks_of_this_process; }) == 0;
    }();
    (void)registered;
#endif
}

} // namespace

Result<CoreRef> CameraCore::open(std::string_view id) {
    // The record is owned before the SDK call, so every early return frees it.
    CoreRef core(new CameraCore(std::string(id)));
    if (std::memchr(id.data(), 0, id.size()) != nullptr)
        return CameraError{ErrorKind::StringConversion};
    count_forks();
    // std::string keeps a terminating NUL, so c_str() is the NUL-terminated copy.
    CameraHandle handle = sdk::open(core->id_.c_str());
    if (handle == nullptr)
        return CameraError{ErrorKind::OpenFailed, 0, core->id_};
    core->handle_ = handle;
    core->opened_in_ = core->usable_in_ = this_process();
    hold_frame_pool();
    return core;
}

CoreRef CameraCore::unopened() noexcept {
    // Built in place and never destroyed: its own count of one is never given back.
    alignas(CameraCore) static unsigned char storage[sizeof(CameraCore)];
    static CameraCore* const record = new (storage) CameraCore(std::string());
    record->refs_.fetch_add(1, std::memory_order_relaxed);
    return CoreRef(record);
}

std::uint32_t CameraCore::release_handle() noexcept {
    CameraHandle handle = std::exchange(handle_, nullptr);
    if (handle == nullptr || opened_in_ != this_process())
        return 0;
    const std::uint32_t rc = sdk::close(handle);
    let_go_of_frame_pool();
    return rc;
}

Status CameraCore::close() {
    if (!is_open())
        return success();
    // The Camera object's own reference is the only one unless frame reads hold the record.
    if (holders() > 1) {
        usable_in_ = kNoProcess;
        return success();
    }
    if (const std::uint32_t rc = release_handle(); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

void CameraCore::finish_read() noexcept {
    if (usable_in_ == kNoProcess && holders() == 1)
        (void)release_handle();
}

CameraCore::~CameraCore() { (void)release_handle(); }
