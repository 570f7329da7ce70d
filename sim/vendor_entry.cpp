// The twenty SDK entry points under the vendor's names. Each opens a Call first, so every
// call is counted, logged and blockable before its handle or any script is looked at; then
// a bad handle wins over a script, and a script wins over the simulated camera, whose work
// runs under that camera's lock only.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>

#include "sim_state.h"

using namespace vxsim;

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();
// Spaced handles look like pointers in a debugger and make an off-by-one visible.
constexpr std::uintptr_t kHandleStride = 0x10;

// No exception may leave the library: the caller is C, or C++ that does not expect one.
template <class T, class Body>
T guarded(T on_failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_failure;
    }
}

RecordedArg handle_arg(CameraHandle handle) {
    return {'h', reinterpret_cast<std::uintptr_t>(handle), 0.0, {}};
}
RecordedArg unsigned_arg(std::uint64_t value) { return {'u', value, 0.0, {}}; }
RecordedArg double_arg(double value) { return {'d', 0, value, {}}; }
RecordedArg text_arg(const char* text) {
    return text ? RecordedArg{'s', 0, 0.0, text} : RecordedArg{'n', 0, 0.0, {}};
}

// The common shape of a call on one camera: bad handle, then script, then the work.
template <class Work>
std::uint32_t on_camera(SdkFunction fn, std::vector<RecordedArg> args, CameraHandle handle,
                        Work&& work) {
    return guarded(kInternalFailure, [&]() -> std::uint32_t {
        Call call(fn, std::move(args));
        OpenCamera* camera = call.camera(handle);
        if (!camera)
            return kBadHandle;
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        call.enter();
        return work(call, *camera);
    });
}

std::uint32_t write_scripted_id(const ScanScript& script, std::uint32_t index, char* id) {
    if (auto failing = script.failing.find(index); failing != script.failing.end())
        return failing->second;
    std::string text = "SCRIPTED-" + std::to_string(index);
    if (auto raw = script.ids.find(index); raw != script.ids.end())
        text = raw->second;
    // Exactly 64 bytes leaves no room for the NUL, which is what such a script asks for.
    std::memcpy(id, text.data(), text.size());
    if (text.size() < sdk::kIdBufferSize)
        id[text.size()] = '\0';
    return kOk;
}

// Keeps readers of the single frame waiting until this exposure has stored its picture.
// Runs under the camera's lock, which the call holds whenever this is built or destroyed.
class ExposureInFlight {
public:
    explicit ExposureInFlight(OpenCamera& camera) : camera_(camera) {
        ++camera_.exposures_in_flight;
    }
    ~ExposureInFlight() {
        --camera_.exposures_in_flight;
        camera_.changed.notify_all();
    }
    ExposureInFlight(const ExposureInFlight&) = delete;
    ExposureInFlight& operator=(const ExposureInFlight&) = delete;

private:
    OpenCamera& camera_;
};

std::uint32_t expose(Call& call, OpenCamera& camera) {
    const CallSettings& settings = call.settings();
    const PictureRequest request = call.picture_request(camera, 0);
    const auto wait = settings.fast_frames ? std::chrono::microseconds(0)
                                           : camera.model.exposure_wait(settings.exposure_cap_us);
    ExposureInFlight in_flight(camera);
    if (wait.count() > 0) {
        call.camera_lock().unlock();
        std::this_thread::sleep_for(wait);
        call.camera_lock().lock();
    }
    std::shared_ptr<const Picture> picture = call.picture(camera, request);
    if (camera.closed)
        return call.closed_meanwhile();
    camera.latest = std::move(picture);
    return kOk;
}

std::uint32_t latest_exposure(Call& call, OpenCamera& camera,
                              std::shared_ptr<const Picture>& picture) {
    // A read that overlaps an exposure delivers that exposure, as the hardware would.
    camera.changed.wait(call.camera_lock(),
                        [&] { return camera.exposures_in_flight == 0 || camera.closed; });
    if (camera.closed)
        return call.closed_meanwhile();
    if (!camera.latest)
        return kNoFrame;
    // Fast mode delivers the current readout's picture, so benchmarks may change the region
    // between exposure and read without paying for a new exposure.
    picture = call.settings().fast_frames ? call.picture(camera, call.picture_request(camera, 0))
                                          : camera.latest;
    return kOk;
}

// The next live frame: in fast mode its picture, otherwise the request for it, which the read
// draws straight into the caller's buffer (a live frame is used once, so it need not be kept).
std::uint32_t next_live_frame(Call& call, OpenCamera& camera,
                              std::shared_ptr<const Picture>& picture, PictureRequest& request) {
    using Clock = std::chrono::steady_clock;
    const CallSettings& settings = call.settings();
    std::uint64_t frame = 0;
    if (!settings.fast_frames) {
        for (;;) {
            if (camera.closed)
                return call.closed_meanwhile();
            if (!camera.live.running)
                return kNotLive;
            LiveStream& live = camera.live;
            // Asked afresh after every wake-up: a setting changed meanwhile moves the due time.
            const auto period = camera.model.live_period(settings.exposure_cap_us);
            const Clock::time_point now = Clock::now();
            if (now >= live.last_due + period) {
                // A late reader gets the newest finished frame; the ones it missed are dropped.
                const auto finished = (now - live.last_due) / period;
                live.frame += static_cast<std::uint64_t>(finished);
                live.last_due += period * finished;
                frame = live.frame;
                break;
            }
            camera.changed.wait_until(call.camera_lock(), live.last_due + period);
        }
    } else if (!camera.live.running) {
        return kNotLive;
    }
    camera.model.count_live_frame();
    request = call.picture_request(camera, frame);
    if (settings.fast_frames)
        picture = call.picture(camera, request);
    return kOk;
}

// Draws a live frame into the caller's buffer without the camera's lock, as Call::picture
// draws a picture.
std::uint32_t draw_live_frame(Call& call, OpenCamera& camera, const PictureRequest& request,
                              unsigned char* buffer) {
    // The caller sized its buffer by what GetVEXCAMMemLength said, scripted or not.
    if (picture_bytes(request) > camera.reported_mem_length)
        return kBufferTooSmall;
    call.camera_lock().unlock();
    try {
        render_picture(request, buffer);
    } catch (...) {
        call.camera_lock().lock(); // callers unwind through state they may only touch under it
        throw;
    }
    call.camera_lock().lock();
    return camera.closed ? call.closed_meanwhile() : kOk;
}

std::uint32_t write_scripted_frame(const ScriptedFrame& next, const OpenCamera& camera,
                                   std::uint32_t* width, std::uint32_t* height, std::uint32_t* bits,
                                   std::uint32_t* channels, unsigned char* buffer) {
    if (next.width)
        *width = *next.width;
    if (next.height)
        *height = *next.height;
    if (next.bits)
        *bits = *next.bits;
    if (next.channels)
        *channels = *next.channels;
    if (next.data) {
        const std::size_t length =
            std::min<std::size_t>(next.data->size(), camera.reported_mem_length);
        std::memcpy(buffer, next.data->data(), length);
    }
    return kOk;
}

std::uint32_t read_frame(SdkFunction fn, CameraHandle handle, std::uint32_t* width,
                         std::uint32_t* height, std::uint32_t* bits, std::uint32_t* channels,
                         unsigned char* buffer) {
    return guarded(kInternalFailure, [&]() -> std::uint32_t {
        Call call(fn, {handle_arg(handle)});
        OpenCamera* camera = call.camera(handle);
        if (!camera)
            return kBadHandle;
        call.record_buffer_zeroed(*camera, buffer);
        if (camera->closed)
            return call.closed_meanwhile();
        if (!width || !height || !bits || !channels || !buffer)
            return kBadArgument;
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        SimState& state = call.state();
        if (state.scripted_frame) {
            const ScriptedFrame next = state.scripted_frame->value;
            use_once(state.scripted_frame);
            call.enter();
            return write_scripted_frame(next, *camera, width, height, bits, channels, buffer);
        }

        call.enter();
        std::shared_ptr<const Picture> picture;
        PictureRequest live;
        std::uint32_t code = fn == SdkFunction::GetVEXCAMSingleFrame
                                 ? latest_exposure(call, *camera, picture)
                                 : next_live_frame(call, *camera, picture, live);
        if (code == kOk && !picture) {
            code = draw_live_frame(call, *camera, live, buffer);
            if (code == kOk) {
                *width = live.readout.frame_width();
                *height = live.readout.frame_height();
                *bits = live.bits;
                *channels = 1;
            }
            return code;
        }
        if (code != kOk)
            return code;
        if (camera->closed) // while the picture was being made without the lock
            return call.closed_meanwhile();
        // The caller sized its buffer by what GetVEXCAMMemLength said, scripted or not.
        if (picture->bytes.size() > camera->reported_mem_length)
            return kBufferTooSmall;
        call.camera_lock().unlock(); // the picture is immutable and ours through the pointer
        std::memcpy(buffer, picture->bytes.data(), picture->bytes.size());
        *width = picture->width;
        *height = picture->height;
        *bits = picture->bits;
        *channels = 1;
        return kOk;
    });
}

} // namespace

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

extern "C" {

std::uint32_t InitVEXCAMResource(void) {
    return guarded(kInternalFailure, []() -> std::uint32_t {
        Call call(SdkFunction::InitVEXCAMResource, {});
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        call.state().resource_held = true;
        return kOk;
    });
}

std::uint32_t ReleaseVEXCAMResource(void) {
    return guarded(kInternalFailure, []() -> std::uint32_t {
        Call call(SdkFunction::ReleaseVEXCAMResource, {});
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        return std::exchange(call.state().resource_held, false) ? kOk : kResourceNotHeld;
    });
}

std::uint32_t ScanVEXCAM(void) {
    return guarded(sdk::kScanFailed, []() -> std::uint32_t {
        Call call(SdkFunction::ScanVEXCAM, {});
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        const SimState& state = call.state();
        if (state.scan_script)
            return state.scan_script->count;
        return static_cast<std::uint32_t>(state.catalog.size());
    });
}

std::uint32_t GetVEXCAMId(std::uint32_t index, char* id) {
    return guarded(kInternalFailure, [&]() -> std::uint32_t {
        Call call(SdkFunction::GetVEXCAMId, {unsigned_arg(index)});
        if (id == nullptr)
            return kBadArgument;
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        const SimState& state = call.state();
        if (state.scan_script)
            return write_scripted_id(*state.scan_script, index, id);
        if (index >= state.catalog.size())
            return kOutOfRange;
        const std::string& name = state.catalog[index].id;
        std::memcpy(id, name.c_str(), name.size() + 1);
        return kOk;
    });
}

CameraHandle OpenVEXCAM(const char* id) {
    return guarded(CameraHandle{nullptr}, [&]() -> CameraHandle {
        Call call(SdkFunction::OpenVEXCAM, {text_arg(id)});
        SimState& state = call.state();
        if (id == nullptr || call.scripted_result() || state.open_returns_null)
            return nullptr;
        auto sensor = std::find_if(state.catalog.begin(), state.catalog.end(),
                                   [&](const Sensor& s) { return s.id == id; });
        if (sensor == state.catalog.end())
            return nullptr;
        // A camera serves one handle at a time, as hardware does, unless a test allows more.
        if (!state.shared_open &&
            std::any_of(state.open.begin(), state.open.end(),
                        [&](const auto& entry) { return entry.second->id == id; }))
            return nullptr;
        const std::uintptr_t handle = state.next_handle;
        state.next_handle += kHandleStride;
        state.open.emplace(handle, std::make_shared<OpenCamera>(*sensor));
        state.last_handle = handle;
        state.opened.push_back(handle);
        return reinterpret_cast<CameraHandle>(handle);
    });
}

std::uint32_t CloseVEXCAM(CameraHandle handle) {
    return guarded(kInternalFailure, [&]() -> std::uint32_t {
        Call call(SdkFunction::CloseVEXCAM, {handle_arg(handle)});
        SimState& state = call.state();
        const auto key = reinterpret_cast<std::uintptr_t>(handle);
        ++state.close_counts[key];
        OpenCamera* camera = call.camera(handle);
        if (!camera)
            return kBadHandle;
        // A scripted failure still closes: callers must not retry a close.
        const std::uint32_t code = call.scripted_result().value_or(kOk);
        state.open.erase(key);
        call.enter(); // the state's lock is held up to here, as `closed` requires
        camera->closed = true;
        camera->live.running = false;
        camera->changed.notify_all();
        return code;
    });
}

std::uint32_t InitVEXCAM(CameraHandle handle) {
    return on_camera(SdkFunction::InitVEXCAM, {handle_arg(handle)}, handle,
                     [](Call&, OpenCamera&) { return kOk; });
}

std::uint32_t GetVEXCAMFWVersion(CameraHandle handle, unsigned char* version) {
    return on_camera(SdkFunction::GetVEXCAMFWVersion, {handle_arg(handle)}, handle,
                     [&](Call&, OpenCamera& camera) {
                         if (version == nullptr)
                             return kBadArgument;
                         const auto& firmware = camera.model.sensor().firmware;
                         std::memcpy(version, firmware.data(), firmware.size());
                         return kOk;
                     });
}

std::uint32_t IsVEXCAMControlAvailable(CameraHandle handle, std::uint32_t control) {
    return on_camera(SdkFunction::IsVEXCAMControlAvailable,
                     {handle_arg(handle), unsigned_arg(control)}, handle, [&](Call&, OpenCamera&) {
                         return CameraModel::has_control(control) ? kOk : kNotAvailable;
                     });
}

double GetVEXCAMParam(CameraHandle handle, std::uint32_t control) {
    return guarded(kNoValue, [&]() -> double {
        Call call(SdkFunction::GetVEXCAMParam, {handle_arg(handle), unsigned_arg(control)});
        OpenCamera* camera = call.camera(handle);
        if (!camera)
            return kNoValue;
        if (std::optional<std::uint32_t> code = call.scripted_result())
            return *code;
        auto& scripted = call.state().scripted_param;
        if (scripted) {
            const double value = scripted->value;
            use_once(scripted);
            return value;
        }
        call.enter();
        return camera->model.control(control);
    });
}

std::uint32_t SetVEXCAMParam(CameraHandle handle, std::uint32_t control, double value) {
    return on_camera(SdkFunction::SetVEXCAMParam,
                     {handle_arg(handle), unsigned_arg(control), double_arg(value)}, handle,
                     [&](Call&, OpenCamera& camera) {
                         const std::uint32_t code = camera.model.set_control(control, value);
                         // A live reader waiting for its frame recomputes the period.
                         if (code == kOk && camera.live.running)
                             camera.changed.notify_all();
                         return code;
                     });
}

std::uint32_t SetVEXCAMStreamMode(CameraHandle handle, std::uint8_t mode) {
    return on_camera(SdkFunction::SetVEXCAMStreamMode, {handle_arg(handle), unsigned_arg(mode)},
                     handle,
                     [&](Call&, OpenCamera& camera) { return camera.model.set_stream_mode(mode); });
}

std::uint32_t SetVEXCAMResolution(CameraHandle handle, std::uint32_t x, std::uint32_t y,
                                  std::uint32_t width, std::uint32_t height) {
    return on_camera(SdkFunction::SetVEXCAMResolution,
                     {handle_arg(handle), unsigned_arg(x), unsigned_arg(y), unsigned_arg(width),
                      unsigned_arg(height)},
                     handle, [&](Call&, OpenCamera& camera) {
                         return camera.model.set_region(x, y, width, height);
                     });
}

std::uint32_t SetVEXCAMBinMode(CameraHandle handle, std::uint32_t bin_x, std::uint32_t bin_y) {
    return on_camera(
        SdkFunction::SetVEXCAMBinMode,
        {handle_arg(handle), unsigned_arg(bin_x), unsigned_arg(bin_y)}, handle,
        [&](Call&, OpenCamera& camera) { return camera.model.set_binning(bin_x, bin_y); });
}

std::uint32_t GetVEXCAMMemLength(CameraHandle handle) {
    // 0 is this function's failure value, so a bad handle yields 0 rather than kBadHandle.
    return guarded(std::uint32_t{0}, [&]() -> std::uint32_t {
        Call call(SdkFunction::GetVEXCAMMemLength, {handle_arg(handle)});
        OpenCamera* camera = call.camera(handle);
        if (!camera)
            return 0;
        const std::optional<std::uint32_t> scripted = call.scripted_result();
        call.enter();
        const std::uint32_t length = scripted.value_or(camera->model.mem_length());
        camera->reported_mem_length = length;
        return length;
    });
}

std::uint32_t ExpVEXCAMSingleFrame(CameraHandle handle) {
    return on_camera(SdkFunction::ExpVEXCAMSingleFrame, {handle_arg(handle)}, handle, expose);
}

std::uint32_t GetVEXCAMSingleFrame(CameraHandle handle, std::uint32_t* width, std::uint32_t* height,
                                   std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                   unsigned char* buffer) {
    return read_frame(SdkFunction::GetVEXCAMSingleFrame, handle, width, height, bits_per_pixel,
                      channels, buffer);
}

std::uint32_t BeginVEXCAMLive(CameraHandle handle) {
    return on_camera(SdkFunction::BeginVEXCAMLive, {handle_arg(handle)}, handle,
                     [](Call&, OpenCamera& camera) {
                         camera.live = {true, std::chrono::steady_clock::now(), 0};
                         camera.model.restart_live_count();
                         camera.changed.notify_all();
                         return kOk;
                     });
}

std::uint32_t GetVEXCAMLiveFrame(CameraHandle handle, std::uint32_t* width, std::uint32_t* height,
                                 std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                 unsigned char* buffer) {
    return read_frame(SdkFunction::GetVEXCAMLiveFrame, handle, width, height, bits_per_pixel,
                      channels, buffer);
}

std::uint32_t StopVEXCAMLive(CameraHandle handle) {
    return on_camera(SdkFunction::StopVEXCAMLive, {handle_arg(handle)}, handle,
                     [](Call&, OpenCamera& camera) {
                         camera.live.running = false;
                         camera.changed.notify_all();
                         return kOk;
                     });
}

} // extern "C"

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif
