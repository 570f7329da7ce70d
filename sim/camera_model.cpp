// The default cameras, the control table, and the rules for regions and binning.
#include "camera_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "sdk_function.h"

namespace vxsim {
namespace {

// Bounds of a read-only control, which no value passes.
constexpr double kUnusedBound = std::numeric_limits<double>::quiet_NaN();
constexpr double kAmbientCelsius = 25.0;

// The one table of the implemented controls: the camera enforces it and the control plane
// reports it (vxsim_control_info), so vexcam_sim.Control and its ranges come from here.
constexpr std::array<ControlInfo, 9> kControls = {{
    {kControlTemperature, kUnusedBound, kUnusedBound, kAmbientCelsius, false, true, "TEMPERATURE",
     "sensor temperature: the cooler target while the cooler is on, 25 otherwise", "degC"},
    {sdk::kControlGain, 0.0, 100.0, 0.0, false, false, "GAIN",
     "gain: brightness factor 1 + gain / 10", ""},
    {sdk::kControlOffset, 0.0, 255.0, 10.0, false, false, "OFFSET",
     "offset (black level) in 8-bit steps: adds offset x 2^(bits-8) counts", ""},
    {sdk::kControlExposure, 0.0, 4294967295.0, 10'000.0, false, false, "EXPOSURE",
     "exposure time, fractions allowed", "us"},
    {kControlFrameRate, 0.1, 1000.0, 30.0, false, false, "FRAME_RATE", "live frame rate",
     "frames/s"},
    {kControlCoolerOn, 0.0, 1.0, 0.0, true, false, "COOLER_ON", "cooler on (1) or off (0)", ""},
    {kControlCoolerTarget, -40.0, 25.0, 0.0, false, false, "COOLER_TARGET",
     "cooler target temperature", "degC"},
    {kControlTestPattern, 0.0, 2.0, 0.0, true, false, "TEST_PATTERN",
     "test pattern: 0 the scene, 1 a ramp, 2 an evenly lit sensor", ""},
    {kControlLiveFrames, kUnusedBound, kUnusedBound, 0.0, false, true, "LIVE_FRAMES",
     "live frames delivered since the last BeginVEXCAMLive", ""},
}};

const ControlInfo* find_control(std::uint32_t control) {
    const auto* found = std::find_if(kControls.begin(), kControls.end(),
                                     [&](const ControlInfo& c) { return c.number == control; });
    return found == kControls.end() ? nullptr : found;
}

Sensor make_sensor(const char* id, std::uint32_t width, std::uint32_t height, std::uint32_t bits,
                   std::array<unsigned char, 3> firmware) {
    Sensor sensor{id, width, height, bits, {}};
    std::copy(firmware.begin(), firmware.end(), sensor.firmware.begin());
    return sensor;
}

bool valid_bin(std::uint32_t bin) { return bin == 1 || bin == 2 || bin == 4; }

} // namespace

std::span<const ControlInfo> control_table() noexcept { return kControls; }

std::vector<Sensor> default_catalog() {
    return {
        make_sensor("VXSIM-M8-001", 1280, 960, 8, {0x01, 0x02, 0x03}),
        make_sensor("VXSIM-M16-002", 2048, 2048, 16, {0x02, 0x1F, 0xA0}),
        make_sensor("VXSIM-M12-003", 1920, 1080, 12, {0x01, 0x0A, 0x2F}),
        make_sensor("VXSIM-L16-004", 4096, 4096, 16, {0x03, 0x00, 0xFF}),
    };
}

CameraModel::CameraModel(Sensor sensor)
    : sensor_(std::move(sensor)), readout_{0, 0, sensor_.width, sensor_.height, 1} {
    values_.fill(std::numeric_limits<double>::quiet_NaN());
    for (const ControlInfo& c : kControls)
        values_[c.number] = c.initial;
}

std::uint32_t CameraModel::mem_length() const noexcept {
    return sensor_.width * sensor_.height * 2; // the catalog keeps this below 2^32
}

bool CameraModel::has_control(std::uint32_t control) noexcept {
    return find_control(control) != nullptr;
}

double CameraModel::control(std::uint32_t control) const noexcept {
    if (!has_control(control))
        return std::numeric_limits<double>::quiet_NaN();
    if (control == kControlTemperature)
        return values_[kControlCoolerOn] != 0.0 ? values_[kControlCoolerTarget] : kAmbientCelsius;
    return values_[control];
}

std::uint32_t CameraModel::set_control(std::uint32_t control, double value) noexcept {
    const ControlInfo* info = find_control(control);
    if (info == nullptr)
        return kUnknownControl;
    if (info->read_only)
        return kReadOnly;
    // NaN fails both comparisons, so it is refused with the other out-of-range values.
    if (!(value >= info->minimum && value <= info->maximum))
        return kOutOfRange;
    if (info->integral && value != std::floor(value))
        return kOutOfRange;
    values_[control] = value;
    return kOk;
}

std::uint32_t CameraModel::set_stream_mode(std::uint8_t mode) noexcept {
    if (mode > 1)
        return kOutOfRange;
    stream_mode_ = mode;
    return kOk;
}

std::uint32_t CameraModel::set_region(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                                      std::uint32_t height) noexcept {
    // 64-bit sums: x + width must not wrap around into the sensor.
    if (width < readout_.bin || height < readout_.bin || std::uint64_t{x} + width > sensor_.width ||
        std::uint64_t{y} + height > sensor_.height)
        return kOutOfRange;
    readout_.x = x;
    readout_.y = y;
    readout_.width = width;
    readout_.height = height;
    return kOk;
}

std::uint32_t CameraModel::set_binning(std::uint32_t bin_x, std::uint32_t bin_y) noexcept {
    if (bin_x != bin_y || !valid_bin(bin_x) || readout_.width < bin_x || readout_.height < bin_x)
        return kOutOfRange;
    readout_.bin = bin_x;
    return kOk;
}

PictureRequest CameraModel::picture_request(std::uint64_t frame_index) const noexcept {
    PictureRequest rq;
    rq.sensor_width = sensor_.width;
    rq.sensor_height = sensor_.height;
    rq.bits = sensor_.bits;
    rq.readout = readout_;
    rq.exposure_us = values_[sdk::kControlExposure];
    rq.gain = values_[sdk::kControlGain];
    rq.offset = values_[sdk::kControlOffset];
    const double pattern = values_[kControlTestPattern];
    rq.pattern = pattern == 1.0 ? Pattern::Ramp : pattern == 2.0 ? Pattern::Flat : Pattern::Scene;
    rq.frame_index = frame_index;
    rq.temperature_c = control(kControlTemperature);
    return rq;
}

std::chrono::microseconds CameraModel::exposure_wait(std::uint64_t cap_us) const noexcept {
    const double us = std::min(values_[sdk::kControlExposure], static_cast<double>(cap_us));
    return std::chrono::microseconds(static_cast<std::int64_t>(us));
}

std::chrono::microseconds CameraModel::live_period(std::uint64_t cap_us) const noexcept {
    const auto frame = std::chrono::microseconds(
        static_cast<std::int64_t>(std::ceil(1e6 / values_[kControlFrameRate])));
    return std::max(frame, exposure_wait(cap_us));
}

} // namespace vxsim
