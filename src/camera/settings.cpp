// Camera settings and controls.
#include "camera/settings.h"

#include <array>

namespace {

// Control numbers the SDK knows: 0-37, 39-41 and 57-59.
constexpr bool is_valid_control(std::uint32_t control_id) {
    return control_id <= 37 || (control_id >= 39 && control_id <= 41) ||
           (control_id >= 57 && control_id <= 59);
}

InvalidValue invalid_control(std::uint32_t control_id) {
    return InvalidValue{InvalidKind::ControlId, control_id};
}

Status checked(std::uint32_t rc) {
    if (rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    return success();
}

CameraError closed() { return CameraError{ErrorKind::InvalidHandle}; }

} // namespace

Status init_camera(const CameraCore& core) {
    if (!core.is_open())
        return closed();
    return checked(sdk::init(core.handle()));
}

Result<std::string> firmware_version(const CameraCore& core) {
    if (!core.is_open())
        return closed();
    std::array<unsigned char, sdk::kFirmwareBufferSize> buffer{};
    if (std::uint32_t rc = sdk::firmware_version(core.handle(), buffer.data()); rc != 0)
        return CameraError{ErrorKind::OperationFailed, rc};
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string text(6, '0');
    for (std::size_t i = 0; i < 3; ++i) {
        text[2 * i] = kHex[buffer[i] >> 4];
        text[2 * i + 1] = kHex[buffer[i] & 0x0F];
    }
    return text;
}

Status set_stream_mode(const CameraCore& core, std::uint8_t mode) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_stream_mode(core.handle(), mode == 1 ? 1 : 0));
}

Status set_exposure(const CameraCore& core, std::uint32_t us) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_param(core.handle(), sdk::kControlExposure, static_cast<double>(us)));
}

Status set_gain(const CameraCore& core, double gain) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_param(core.handle(), sdk::kControlGain, gain));
}

Status set_offset(const CameraCore& core, double offset) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_param(core.handle(), sdk::kControlOffset, offset));
}

Status set_resolution(const CameraCore& core, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                      std::uint32_t height) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_resolution(core.handle(), x, y, width, height));
}

Status set_bin_mode(const CameraCore& core, std::uint32_t bin_x, std::uint32_t bin_y) {
    if (!core.is_open())
        return closed();
    return checked(sdk::set_bin_mode(core.handle(), bin_x, bin_y));
}

Status set_param(const CameraCore& core, std::uint32_t control_id, double value) {
    if (!is_valid_control(control_id))
        return invalid_control(control_id);
    if (!core.is_open())
        return closed();
    return checked(sdk::set_param(core.handle(), control_id, value));
}

Result<double> get_param(const CameraCore& core, std::uint32_t control_id) {
    if (!is_valid_control(control_id))
        return invalid_control(control_id);
    if (!core.is_open())
        return 0.0;
    return sdk::get_param(core.handle(), control_id);
}

bool is_control_available(const CameraCore& core, std::uint32_t control_id) {
    return is_valid_control(control_id) && core.is_open() &&
           sdk::control_available(core.handle(), control_id) == 0;
}
