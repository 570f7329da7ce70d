// The vxsim_ control plane over the simulator's state; every function takes the state's lock,
// and none touches an open camera, whose state its own lock guards.
#include "control_plane.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "sim_state.h"

namespace {

using namespace vxsim;

constexpr std::int32_t kUnknownFunction = -1;
constexpr std::int32_t kInvalidArgument = -2;
constexpr std::int32_t kDuplicateId = -3;

// Runs body under the state's lock; an exception (out of memory) yields on_failure, since
// nothing may unwind into the C caller.
template <class T, class Body>
T locked(T on_failure, Body&& body) noexcept {
    try {
        SimState& state = sim_state();
        std::unique_lock<std::mutex> lock(state.mutex);
        return body(state, lock);
    } catch (...) {
        return on_failure;
    }
}

// Runs body on the record of SDK function fn, or reports an unknown index.
template <class Body>
std::int32_t on_function(std::int32_t fn, Body&& body) noexcept {
    std::optional<SdkFunction> function = sdk_function_at(fn);
    if (!function)
        return kUnknownFunction;
    return locked(kInvalidArgument, [&](SimState& state, std::unique_lock<std::mutex>& lock) {
        return body(state, state.record(*function), lock);
    });
}

std::int32_t tristate(std::int32_t fn, std::int8_t FunctionRecord::*field) {
    std::int32_t result = kUnknownFunction;
    on_function(fn, [&](SimState&, FunctionRecord& rec, std::unique_lock<std::mutex>&) {
        result = rec.*field;
        return 0;
    });
    return result;
}

} // namespace

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

extern "C" {

std::int32_t vxsim_function_count(void) { return static_cast<std::int32_t>(kSdkFunctionCount); }

const char* vxsim_function_name(std::int32_t fn) {
    std::optional<SdkFunction> function = sdk_function_at(fn);
    // The names are literals, so data() is NUL-terminated.
    return function ? kSdkFunctionNames[index_of(*function)].data() : nullptr;
}

void vxsim_reset(void) {
    locked(0, [](SimState& state, auto&) {
        state.reset();
        return 0;
    });
}

std::uint32_t vxsim_camera_count(void) {
    return locked(0u, [](SimState& state, auto&) {
        return static_cast<std::uint32_t>(state.catalog.size());
    });
}

std::uint32_t vxsim_camera_id(std::uint32_t index, char* out, std::uint32_t capacity) {
    return locked(0u, [&](SimState& state, auto&) -> std::uint32_t {
        if (index >= state.catalog.size())
            return 0;
        const std::string& id = state.catalog[index].id;
        if (out != nullptr)
            std::memcpy(out, id.data(), std::min<std::size_t>(id.size(), capacity));
        return static_cast<std::uint32_t>(id.size());
    });
}

void vxsim_clear_cameras(void) {
    locked(0, [](SimState& state, auto&) {
        state.catalog.clear();
        return 0;
    });
}

std::int32_t vxsim_add_camera(const char* id, std::uint32_t width, std::uint32_t height,
                              std::uint32_t bits, const unsigned char* firmware,
                              std::uint32_t firmware_length) {
    if (id == nullptr || std::strlen(id) >= sdk::kIdBufferSize || width == 0 || height == 0 ||
        bits == 0 || bits > 16 || firmware_length > sdk::kFirmwareBufferSize ||
        (firmware_length > 0 && firmware == nullptr))
        return kInvalidArgument;
    // GetVEXCAMMemLength reports the full sensor at two bytes per sample in 32 bits.
    if (std::uint64_t{width} * height * 2 > 0xFFFFFFFFu)
        return kInvalidArgument;
    return locked(kInvalidArgument, [&](SimState& state, auto&) -> std::int32_t {
        const std::string_view name(id);
        if (std::any_of(state.catalog.begin(), state.catalog.end(),
                        [&](const Sensor& s) { return s.id == name; }))
            return kDuplicateId;
        Sensor sensor{std::string(name), width, height, bits, {}};
        if (firmware_length > 0)
            std::memcpy(sensor.firmware.data(), firmware, firmware_length);
        state.catalog.push_back(std::move(sensor));
        return 0;
    });
}

std::uint32_t vxsim_default_camera_count(void) {
    try {
        return static_cast<std::uint32_t>(default_catalog().size());
    } catch (...) {
        return 0;
    }
}

std::int32_t vxsim_camera_info(std::int32_t defaults, std::uint32_t index, char* id,
                               std::uint32_t id_capacity, std::uint32_t* width,
                               std::uint32_t* height, std::uint32_t* bits,
                               unsigned char* firmware, std::uint32_t firmware_capacity) {
    if (id == nullptr || id_capacity < sdk::kIdBufferSize || width == nullptr ||
        height == nullptr || bits == nullptr || firmware == nullptr ||
        firmware_capacity < sdk::kFirmwareBufferSize)
        return kInvalidArgument;
    return locked(kInvalidArgument, [&](SimState& state, auto&) -> std::int32_t {
        const std::vector<Sensor> fresh = defaults != 0 ? default_catalog() : std::vector<Sensor>{};
        const std::vector<Sensor>& catalog = defaults != 0 ? fresh : state.catalog;
        if (index >= catalog.size())
            return kInvalidArgument;
        const Sensor& sensor = catalog[index];
        // Ids are at most 63 bytes without NUL (vxsim_add_camera), so the NUL always fits.
        std::memcpy(id, sensor.id.c_str(), sensor.id.size() + 1);
        *width = sensor.width;
        *height = sensor.height;
        *bits = sensor.bits;
        std::memcpy(firmware, sensor.firmware.data(), sensor.firmware.size());
        return 0;
    });
}

std::uint32_t vxsim_control_count(void) {
    return static_cast<std::uint32_t>(control_table().size());
}

std::int32_t vxsim_control_info(std::uint32_t index, std::uint32_t* number, double* minimum,
                                double* maximum, double* initial, std::int32_t* read_only,
                                std::int32_t* integral, const char** name,
                                const char** description, const char** unit) {
    const std::span<const ControlInfo> table = control_table();
    if (index >= table.size() || !number || !minimum || !maximum || !initial || !read_only ||
        !integral || !name || !description || !unit)
        return kInvalidArgument;
    const ControlInfo& control = table[index];
    *number = control.number;
    *minimum = control.minimum;
    *maximum = control.maximum;
    *initial = control.initial;
    *read_only = control.read_only ? 1 : 0;
    *integral = control.integral ? 1 : 0;
    *name = control.name;
    *description = control.description;
    *unit = control.unit;
    return 0;
}

std::uint32_t vxsim_result_count(void) { return static_cast<std::uint32_t>(kResultCodes.size()); }

std::int32_t vxsim_result_info(std::uint32_t index, std::uint32_t* value, const char** name,
                               const char** meaning) {
    if (index >= kResultCodes.size() || !value || !name || !meaning)
        return kInvalidArgument;
    *value = kResultCodes[index].value;
    *name = kResultCodes[index].name;
    *meaning = kResultCodes[index].meaning;
    return 0;
}

std::int32_t vxsim_fail_next(std::int32_t fn, std::uint32_t code, std::uint32_t times,
                             std::uint32_t after) {
    return on_function(fn, [&](SimState&, FunctionRecord& rec, auto&) {
        rec.fail_next.reset();
        rec.fail_after = 0;
        if (times > 0) {
            rec.fail_next = Countdown<std::uint32_t>{code, times};
            rec.fail_after = after;
        }
        return 0;
    });
}

std::int32_t vxsim_fail_always(std::int32_t fn, std::uint32_t code) {
    return on_function(fn, [&](SimState&, FunctionRecord& rec, auto&) {
        rec.fail_always = code;
        return 0;
    });
}

std::int32_t vxsim_clear_script(std::int32_t fn) {
    return on_function(fn, [&](SimState& state, FunctionRecord& rec, auto&) {
        rec.fail_next.reset();
        rec.fail_after = 0;
        rec.fail_always.reset();
        // Scripts that belong to a function without naming it go with it too.
        switch (static_cast<SdkFunction>(fn)) {
        case SdkFunction::GetVEXCAMParam:
            state.scripted_param.reset();
            break;
        case SdkFunction::GetVEXCAMSingleFrame:
        case SdkFunction::GetVEXCAMLiveFrame:
            state.scripted_frame.reset();
            break;
        case SdkFunction::ScanVEXCAM:
        case SdkFunction::GetVEXCAMId:
            state.scan_script.reset();
            break;
        case SdkFunction::OpenVEXCAM:
            state.open_returns_null = false;
            break;
        default:
            break;
        }
        return 0;
    });
}

void vxsim_script_param(double value, std::uint32_t times) {
    locked(0, [&](SimState& state, auto&) {
        state.scripted_param.reset();
        if (times > 0)
            state.scripted_param = Countdown<double>{value, times};
        return 0;
    });
}

std::int32_t vxsim_script_scan(std::uint32_t count, const std::uint32_t* id_indexes,
                               const char* const* ids, const std::uint32_t* id_lengths,
                               std::uint32_t id_count, const std::uint32_t* failing_indexes,
                               const std::uint32_t* failing_codes, std::uint32_t failing_count) {
    if ((id_count > 0 && (!id_indexes || !ids || !id_lengths)) ||
        (failing_count > 0 && (!failing_indexes || !failing_codes)))
        return kInvalidArgument;
    for (std::uint32_t i = 0; i < id_count; ++i)
        if (id_lengths[i] > sdk::kIdBufferSize || (id_lengths[i] > 0 && ids[i] == nullptr))
            return kInvalidArgument;
    return locked(kInvalidArgument, [&](SimState& state, auto&) {
        ScanScript script;
        script.count = count;
        for (std::uint32_t i = 0; i < id_count; ++i)
            script.ids[id_indexes[i]] = std::string(ids[i], id_lengths[i]);
        for (std::uint32_t i = 0; i < failing_count; ++i)
            script.failing[failing_indexes[i]] = failing_codes[i];
        state.scan_script = std::move(script);
        return 0;
    });
}

void vxsim_open_returns_null(std::int32_t flag) {
    locked(0, [&](SimState& state, auto&) {
        state.open_returns_null = flag != 0;
        return 0;
    });
}

void vxsim_set_shared_open(std::int32_t flag) {
    locked(0, [&](SimState& state, auto&) {
        state.shared_open = flag != 0;
        return 0;
    });
}

void vxsim_script_frame(std::uint32_t written, std::uint32_t width, std::uint32_t height,
                        std::uint32_t bits, std::uint32_t channels, const unsigned char* data,
                        std::int64_t data_length, std::uint32_t times) {
    if (data_length > 0 && data == nullptr)
        return;
    locked(0, [&](SimState& state, auto&) {
        state.scripted_frame.reset();
        if (times == 0)
            return 0;
        ScriptedFrame frame;
        if (written & 1u)
            frame.width = width;
        if (written & 2u)
            frame.height = height;
        if (written & 4u)
            frame.bits = bits;
        if (written & 8u)
            frame.channels = channels;
        if (data_length >= 0)
            frame.data.emplace(data, data + data_length);
        state.scripted_frame = Countdown<ScriptedFrame>{std::move(frame), times};
        return 0;
    });
}

std::uint64_t vxsim_calls(std::int32_t fn) {
    std::uint64_t calls = 0;
    on_function(fn, [&](SimState&, FunctionRecord& rec, auto&) {
        calls = rec.calls;
        return 0;
    });
    return calls;
}

std::int32_t vxsim_last_args(std::int32_t fn, char* kinds, std::uint64_t* integers, double* reals,
                             std::uint32_t capacity, char* text, std::uint32_t text_capacity,
                             std::uint32_t* text_length) {
    std::int32_t count = -1;
    const std::int32_t status = on_function(fn, [&](SimState&, FunctionRecord& rec, auto&) {
        if (!rec.called)
            return 0;
        count = static_cast<std::int32_t>(rec.last_args.size());
        const std::size_t shown = std::min<std::size_t>(rec.last_args.size(), capacity);
        for (std::size_t i = 0; i < shown; ++i) {
            const RecordedArg& arg = rec.last_args[i];
            kinds[i] = arg.kind;
            integers[i] = arg.integer;
            reals[i] = arg.real;
            if (arg.kind == 's' && text != nullptr && text_length != nullptr) {
                std::memcpy(text, arg.text.data(),
                            std::min<std::size_t>(arg.text.size(), text_capacity));
                *text_length = static_cast<std::uint32_t>(arg.text.size());
            }
        }
        return 0;
    });
    return status == 0 ? count : status;
}

std::uint32_t vxsim_call_log(std::int32_t* out, std::uint32_t capacity) {
    return locked(0u, [&](SimState& state, auto&) {
        const std::size_t shown = std::min<std::size_t>(state.call_log.size(), capacity);
        for (std::size_t i = 0; i < shown; ++i)
            out[i] = static_cast<std::int32_t>(index_of(state.call_log[i]));
        return static_cast<std::uint32_t>(state.call_log.size());
    });
}

std::int32_t vxsim_gil_held(std::int32_t fn) { return tristate(fn, &FunctionRecord::gil_held); }

std::int32_t vxsim_frame_buffer_zeroed(std::int32_t fn) {
    return tristate(fn, &FunctionRecord::buffer_zeroed);
}

std::uint32_t vxsim_open_handles(std::uint64_t* out, std::uint32_t capacity) {
    return locked(0u, [&](SimState& state, auto&) {
        std::uint32_t count = 0;
        for (const auto& entry : state.open) {
            if (count < capacity)
                out[count] = entry.first;
            ++count;
        }
        return count;
    });
}

std::uint32_t vxsim_opened_handles(std::uint64_t* out, std::uint32_t capacity) {
    return locked(0u, [&](SimState& state, auto&) {
        const auto count = static_cast<std::uint32_t>(state.opened.size());
        for (std::uint32_t i = 0; i < count && i < capacity; ++i)
            out[i] = state.opened[i];
        return count;
    });
}

std::uint64_t vxsim_last_handle(void) {
    return locked(std::uint64_t{0},
                  [](SimState& state, auto&) -> std::uint64_t { return state.last_handle; });
}

std::uint32_t vxsim_close_count(std::uint64_t handle) {
    return locked(0u, [&](SimState& state, auto&) -> std::uint32_t {
        auto found = state.close_counts.find(static_cast<std::uintptr_t>(handle));
        return found == state.close_counts.end() ? 0 : found->second;
    });
}

std::uint64_t vxsim_bad_handle_calls(void) {
    return locked(std::uint64_t{0},
                  [](SimState& state, auto&) { return state.bad_handle_calls.load(); });
}

std::int32_t vxsim_block(std::int32_t fn) {
    return on_function(fn, [](SimState&, FunctionRecord& rec, auto&) {
        rec.blocked = true;
        return 0;
    });
}

std::int32_t vxsim_unblock(std::int32_t fn) {
    return on_function(fn, [](SimState& state, FunctionRecord& rec, auto&) {
        rec.blocked = false;
        ++rec.release_epoch;
        state.changed.notify_all();
        return 0;
    });
}

std::int32_t vxsim_wait_blocked(std::int32_t fn, std::uint32_t timeout_ms) {
    std::int32_t seen = 0;
    const std::int32_t status =
        on_function(fn, [&](SimState& state, FunctionRecord& rec, auto& lock) {
            seen = state.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                          [&] { return rec.waiting > 0; })
                       ? 1
                       : 0;
            return 0;
        });
    return status == 0 ? seen : status;
}

void vxsim_set_fast_frames(std::int32_t flag) {
    locked(0, [&](SimState& state, auto&) {
        state.settings.fast_frames = flag != 0;
        return 0;
    });
}

void vxsim_set_exposure_cap_us(std::uint64_t us) {
    locked(0, [&](SimState& state, auto&) {
        state.settings.exposure_cap_us = us;
        return 0;
    });
}

void vxsim_set_noise(std::int32_t flag) {
    locked(0, [&](SimState& state, auto&) {
        state.settings.noise = flag != 0;
        return 0;
    });
}

void vxsim_set_seed(std::uint64_t seed) {
    locked(0, [&](SimState& state, auto&) {
        state.noise_seed.store(seed);
        state.noise_draws.store(0);
        return 0;
    });
}

} // extern "C"

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif
