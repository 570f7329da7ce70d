// One simulated camera: the sensor it was opened on, its settings and the rules that accept
// or refuse a setting. The owner (the simulator's state) serialises every call.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "picture.h"
#include "sdk/vendor_api.h"

namespace vxsim {

struct Sensor {
    std::string id; // at most 63 bytes, no NUL
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 8; // 1 to 16
    std::array<unsigned char, sdk::kFirmwareBufferSize> firmware{};
};

// The cameras after loading and after reset, in scanning order.
std::vector<Sensor> default_catalog();

// Control numbers beyond the three the module sets by itself; sim/README.md documents them.
inline constexpr std::uint32_t kControlTemperature = 0;
inline constexpr std::uint32_t kControlFrameRate = 9;
inline constexpr std::uint32_t kControlCoolerOn = 10;
inline constexpr std::uint32_t kControlCoolerTarget = 11;
inline constexpr std::uint32_t kControlTestPattern = 40;
inline constexpr std::uint32_t kControlLiveFrames = 58;
// Every control number below this has a slot, implemented or not.
inline constexpr std::uint32_t kControlSlots = 60;

struct ControlInfo {
    std::uint32_t number;
    double minimum; // NaN for a read-only control
    double maximum;
    double initial;
    bool integral;           // only whole numbers are accepted
    bool read_only;          // the value is computed; SetVEXCAMParam refuses it
    const char* name;        // a literal, a member name of vexcam_sim.Control
    const char* description; // a literal
    const char* unit;        // a literal, "" for none
};

// The implemented controls in number order.
std::span<const ControlInfo> control_table() noexcept;

class CameraModel {
public:
    explicit CameraModel(Sensor sensor);

    const Sensor& sensor() const noexcept { return sensor_; }
    const Readout& readout() const noexcept { return readout_; }
    // The buffer a frame read needs at most: the full sensor at two bytes per sample.
    std::uint32_t mem_length() const noexcept;

    static bool has_control(std::uint32_t control) noexcept;
    double control(std::uint32_t control) const noexcept; // NaN when not implemented
    std::uint32_t set_control(std::uint32_t control, double value) noexcept;
    std::uint32_t set_stream_mode(std::uint8_t mode) noexcept;
    std::uint32_t set_region(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                             std::uint32_t height) noexcept;
    std::uint32_t set_binning(std::uint32_t bin_x, std::uint32_t bin_y) noexcept;

    PictureRequest picture_request(std::uint64_t frame_index) const noexcept;
    // Wall-clock length of one exposure: the exposure time, but never more than cap_us.
    std::chrono::microseconds exposure_wait(std::uint64_t cap_us) const noexcept;
    // Live frame period: the frame rate's period, stretched to the (capped) exposure.
    std::chrono::microseconds live_period(std::uint64_t cap_us) const noexcept;
    void count_live_frame() noexcept { values_[kControlLiveFrames] += 1.0; }
    void restart_live_count() noexcept { values_[kControlLiveFrames] = 0.0; }

private:
    Sensor sensor_;
    Readout readout_;
    std::array<double, kControlSlots> values_{};
    std::uint8_t stream_mode_ = 0;
};

} // namespace vxsim
