// The simulator's state and the bookkeeping every SDK call goes through.
#include "sim_state.h"

#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX // no min/max macros over std::min and numeric_limits<>::max
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <dlfcn.h>
#include <pthread.h>
#endif

namespace vxsim {
namespace {

using GilCheck = int (*)();

#if defined(_WIN32)
// The interpreter's DLL is named after its version (python312.dll, python313.dll, a debug
// build's python312_d.dll, or whatever an embedding application ships), so it is found as the
// loaded module that exports the function.
GilCheck look_up_gil_check() {
    const HANDLE process = GetCurrentProcess();
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    for (;;) {
        const auto bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!EnumProcessModules(process, modules.data(), bytes, &needed))
            return nullptr;
        if (needed <= bytes)
            break;
        modules.resize(needed / sizeof(HMODULE));
    }
    modules.resize(needed / sizeof(HMODULE));
    for (HMODULE module : modules) {
        if (FARPROC found = GetProcAddress(module, "PyGILState_Check"))
            return reinterpret_cast<GilCheck>(reinterpret_cast<void (*)()>(found));
    }
    return nullptr;
}
#else
GilCheck look_up_gil_check() {
    return reinterpret_cast<GilCheck>(dlsym(RTLD_DEFAULT, "PyGILState_Check"));
}
#endif

// Looked up at run time, never linked: the library must load and work without Python, and
// the interpreter that loads it is whichever one is running. Looked up once: by the time any
// SDK call is made the interpreter that loaded us is in place, or there is none.
GilCheck find_gil_check() {
    static const GilCheck found = look_up_gil_check();
    return found;
}

std::int8_t gil_state() {
    GilCheck check = find_gil_check();
    if (!check)
        return -1;
    return check() ? 1 : 0;
}

} // namespace

void SimState::reset() {
    catalog = default_catalog();
    last_handle = 0;
    opened.clear();
    close_counts.clear();
    bad_handle_calls.store(0);
    for (FunctionRecord& rec : functions) {
        rec.calls = 0;
        rec.called = false;
        rec.last_args.clear();
        rec.gil_held = -1;
        rec.buffer_zeroed = -1;
        rec.fail_next.reset();
        rec.fail_after = 0;
        rec.fail_always.reset();
        rec.blocked = false;
        ++rec.release_epoch;
    }
    call_log.clear();
    scripted_param.reset();
    scripted_frame.reset();
    scan_script.reset();
    open_returns_null = false;
    shared_open = false;
    resource_held = false;
    settings = CallSettings{false, true, kDefaultExposureCapUs};
    noise_seed.store(0);
    noise_draws.store(0);
    changed.notify_all();
}

std::uint64_t SimState::next_noise_stream() noexcept {
    return noise_stream(noise_seed.load(), noise_draws.fetch_add(1));
}

#if !defined(_WIN32)
namespace {
// fork() copies the state's lock as it is: held, if another thread was inside a call, and then
// never released in the child. So it is held across the fork and released on both sides, and a
// child can still script and ask the control plane. (A camera's own lock is not: the parent's
// cameras are not the child's to use.)
void lock_for_fork() { sim_state().mutex.lock(); }
void unlock_after_fork() { sim_state().mutex.unlock(); }
} // namespace
#endif

SimState& sim_state() {
    // Never destroyed: a thread may still be inside a call while the process exits.
    static SimState* const state = [] {
        auto* made = new SimState;
#if !defined(_WIN32)
        (void)pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork);
#endif
        return made;
    }();
    return *state;
}

Call::Call(SdkFunction fn, std::vector<RecordedArg> args)
    : state_(sim_state()), fn_(fn), lock_(state_.mutex, std::defer_lock) {
    // Asked before taking our lock: the answer concerns the caller, not us.
    const std::int8_t gil = gil_state();
    lock_.lock();
    FunctionRecord& rec = state_.record(fn);
    ++rec.calls;
    rec.called = true;
    rec.last_args = std::move(args);
    rec.gil_held = gil;
    if (state_.call_log.size() == kCallLogLimit)
        state_.call_log.pop_front();
    state_.call_log.push_back(fn);
    if (rec.blocked) {
        ++rec.waiting;
        state_.changed.notify_all(); // wait_blocked may be watching
        const std::uint64_t epoch = rec.release_epoch;
        state_.changed.wait(lock_, [&] { return rec.release_epoch != epoch; });
        --rec.waiting;
    }
}

OpenCamera* Call::camera(CameraHandle handle) {
    auto found = state_.open.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state_.open.end()) {
        ++state_.bad_handle_calls;
        return nullptr;
    }
    camera_ = found->second;
    return camera_.get();
}

std::uint32_t Call::closed_meanwhile() {
    ++state_.bad_handle_calls;
    return kBadHandle;
}

std::optional<std::uint32_t> Call::scripted_result() {
    FunctionRecord& rec = state_.record(fn_);
    if (rec.fail_next) {
        if (rec.fail_after == 0) {
            const std::uint32_t code = rec.fail_next->value;
            use_once(rec.fail_next);
            return code;
        }
        --rec.fail_after; // this call goes through, to fail_always or the camera
    }
    return rec.fail_always;
}

void Call::enter() {
    settings_ = state_.settings;
    camera_lock_ = std::unique_lock<std::mutex>(camera_->mutex);
    lock_.unlock();
}

PictureRequest Call::picture_request(const OpenCamera& camera, std::uint64_t frame_index) {
    PictureRequest rq = camera.model.picture_request(frame_index);
    // Fast mode keeps one picture per readout setting, so its noise is drawn once.
    if (settings_.noise && rq.pattern != Pattern::Ramp) {
        rq.noise = true;
        rq.noise_stream = settings_.fast_frames ? 0 : state_.next_noise_stream();
    }
    return rq;
}

std::shared_ptr<const Picture> Call::picture(OpenCamera& camera, const PictureRequest& request) {
    if (camera.prepared && camera.prepared_for == request)
        return camera.prepared;
    camera_lock_.unlock();
    std::shared_ptr<const Picture> made;
    try {
        made = camera.pictures.draw(request);
    } catch (...) {
        camera_lock_.lock(); // callers unwind through state they may only touch under the lock
        throw;
    }
    camera_lock_.lock();
    camera.prepared = made;
    camera.prepared_for = request;
    return made;
}

void Call::record_buffer_zeroed(OpenCamera& camera, const unsigned char* buffer) {
    FunctionRecord& rec = state_.record(fn_);
    // Fast mode is for benchmarks: a scan of the whole buffer per frame would dominate them.
    if (buffer == nullptr || state_.settings.fast_frames) {
        rec.buffer_zeroed = -1;
        return;
    }
    std::uint32_t length = 0;
    {
        std::lock_guard<std::mutex> guard(camera.mutex); // lock order: the state's, then this
        length = camera.reported_mem_length;
    }
    lock_.unlock();
    unsigned char any = 0;
    for (std::uint32_t i = 0; i < length; ++i)
        any |= buffer[i];
    lock_.lock();
    rec.buffer_zeroed = any == 0 ? 1 : 0;
}

} // namespace vxsim
