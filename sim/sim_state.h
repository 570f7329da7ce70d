// The simulator's process-wide state and its lock, each open camera with a lock of its own, and
// Call, the bracket every SDK entry point opens first.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camera_model.h"
#include "picture.h"
#include "sdk_function.h"

namespace vxsim {

// The next frame is due one period after the last one, the period taken from the settings at the
// time of asking, so a longer exposure slows a running stream from its next frame on.
struct LiveStream {
    bool running = false;
    std::chrono::steady_clock::time_point last_due; // the stream's start before frame 1
    std::uint64_t frame = 0;                        // index of the last frame delivered
};

// The state behind one handle, guarded by its own `mutex` so that calls on different cameras
// run side by side. Shared with calls that wait without the lock, so that a handle closed
// meanwhile leaves them a live object to find `closed` in. `changed` is notified whenever a
// waiter on this camera may go on: an exposure finished, live mode or its timing changed, or
// the camera closed.
struct OpenCamera {
    explicit OpenCamera(Sensor sensor)
        : id(sensor.id), model(std::move(sensor)), reported_mem_length(model.mem_length()) {}

    const std::string id; // read without a lock: it never changes
    std::mutex mutex;
    std::condition_variable changed;
    CameraModel model;
    // Written under both the state's lock and this camera's, so either suffices to read it.
    bool closed = false;
    unsigned exposures_in_flight = 0;
    std::shared_ptr<const Picture> latest; // the last finished exposure
    LiveStream live;
    // What GetVEXCAMMemLength last told the caller: the most a frame read may write.
    std::uint32_t reported_mem_length;
    // Pictures are immutable once made; the last one is kept for an identical request.
    std::shared_ptr<const Picture> prepared;
    PictureRequest prepared_for;
    // Draws them, into the buffers of pictures no longer in use. Safe without the lock.
    PicturePool pictures;
};

// One scalar argument as last_args reports it: 'h' handle, 'u' unsigned, 'd' double,
// 's' text, 'n' a null text pointer.
struct RecordedArg {
    char kind;
    std::uint64_t integer = 0;
    double real = 0.0;
    std::string text;
};

// A script for the next `remaining` calls. Scripting again replaces it: a call that the
// program rightly never made must not leave a stale answer in front of the new one.
template <class T>
struct Countdown {
    T value;
    std::uint32_t remaining;
};

template <class T>
void use_once(std::optional<Countdown<T>>& script) {
    if (--script->remaining == 0)
        script.reset();
}

// Per SDK function: what tests asked of it and what its calls left behind.
struct FunctionRecord {
    std::uint64_t calls = 0;
    bool called = false;
    std::vector<RecordedArg> last_args;
    std::int8_t gil_held = -1;                         // -1 unknown
    std::int8_t buffer_zeroed = -1;                    // frame functions only; -1 unknown
    std::optional<Countdown<std::uint32_t>> fail_next; // served before fail_always
    std::uint32_t fail_after = 0; // calls fail_next lets through before it starts failing
    std::optional<std::uint32_t> fail_always;
    bool blocked = false;
    unsigned waiting = 0;            // threads inside a block; survives reset
    std::uint64_t release_epoch = 0; // bumped by unblock and reset to wake every waiter
};

// Out-values left empty are not written; data, when present, goes to the buffer's start.
struct ScriptedFrame {
    std::optional<std::uint32_t> width, height, bits, channels;
    std::optional<std::vector<unsigned char>> data;
};

struct ScanScript {
    std::uint32_t count = 0;
    std::map<std::uint32_t, std::string> ids;
    std::map<std::uint32_t, std::uint32_t> failing;
};

inline constexpr std::uint64_t kDefaultExposureCapUs = 2'000'000;
inline constexpr std::size_t kCallLogLimit = 10'000;

// The global settings a call needs, copied under the state's lock so that the camera work can
// run without it.
struct CallSettings {
    bool fast_frames = false;
    bool noise = true;
    std::uint64_t exposure_cap_us = 0;
};

// Everything below `mutex` is guarded by it, except the atomics. `changed` is notified whenever
// a block is lifted or a thread enters one. Lock order: the state's lock before a camera's; a
// thread holding a camera's lock never asks for the state's.
struct SimState {
    std::mutex mutex;
    std::condition_variable changed;

    std::vector<Sensor> catalog = default_catalog();
    std::map<std::uintptr_t, std::shared_ptr<OpenCamera>> open;
    // Handles are never reused, not even across reset, so a stale handle is always unknown.
    std::uintptr_t next_handle = 0x5A0000;
    std::uintptr_t last_handle = 0;
    std::vector<std::uintptr_t> opened; // every handle OpenVEXCAM returned since reset
    std::map<std::uintptr_t, std::uint32_t> close_counts;
    std::atomic<std::uint64_t> bad_handle_calls{0}; // also counted under a camera's lock

    std::array<FunctionRecord, kSdkFunctionCount> functions;
    std::deque<SdkFunction> call_log;
    std::optional<Countdown<double>> scripted_param;
    std::optional<Countdown<ScriptedFrame>> scripted_frame;
    std::optional<ScanScript> scan_script;
    bool open_returns_null = false;
    bool shared_open = false; // an id may be opened again while open
    bool resource_held = false;
    CallSettings settings{false, true, kDefaultExposureCapUs};
    // Noise streams: picture k after set_seed(s) draws stream mix(s, k), whichever camera
    // makes it, so the same calls after a seed give the same frames.
    std::atomic<std::uint64_t> noise_seed{0};
    std::atomic<std::uint64_t> noise_draws{0};

    // Back to the state after loading, except that open cameras stay open. Caller holds mutex.
    void reset();
    FunctionRecord& record(SdkFunction fn) { return functions[index_of(fn)]; }
    std::uint64_t next_noise_stream() noexcept;
};

SimState& sim_state();

// One SDK call in progress. It holds the simulator's lock for its bookkeeping (counting,
// blocks, handle look-up, scripts), then enter() trades it for the camera's lock, which the
// call keeps to its end except while it waits for the simulated hardware or draws a picture.
class Call {
public:
    // Counts and logs the call and records its arguments, then waits while fn is blocked.
    Call(SdkFunction fn, std::vector<RecordedArg> args);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    SimState& state() noexcept { return state_; }
    std::unique_lock<std::mutex>& lock() noexcept { return lock_; }
    // After enter(): the camera's lock, and the settings as they were when the call entered.
    std::unique_lock<std::mutex>& camera_lock() noexcept { return camera_lock_; }
    const CallSettings& settings() const noexcept { return settings_; }

    // The camera behind handle, or null after counting a bad-handle call. The call keeps it
    // alive to its end, a close notwithstanding.
    OpenCamera* camera(CameraHandle handle);
    // For a camera closed by another thread while this call waited without its lock.
    std::uint32_t closed_meanwhile();
    // The code a fail_next or fail_always script puts in place of this call's work.
    std::optional<std::uint32_t> scripted_result();
    // Takes the lock of the camera found by camera(), then lets go of the state's. Only that
    // camera may be touched after.
    void enter();
    // What a picture of camera's current settings needs; draws a noise stream when noisy.
    PictureRequest picture_request(const OpenCamera& camera, std::uint64_t frame_index);
    // The picture for request, from the camera's cache or freshly made without its lock.
    std::shared_ptr<const Picture> picture(OpenCamera& camera, const PictureRequest& request);
    // Notes whether the caller's frame buffer was all zero, scanning it without any lock.
    // Called before enter().
    void record_buffer_zeroed(OpenCamera& camera, const unsigned char* buffer);

private:
    SimState& state_;
    SdkFunction fn_;
    std::unique_lock<std::mutex> lock_;
    std::shared_ptr<OpenCamera> camera_; // declared before its lock, so it outlives it
    std::unique_lock<std::mutex> camera_lock_;
    CallSettings settings_;
};

} // namespace vxsim
