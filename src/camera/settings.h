// Camera settings and controls: one SDK call each, nothing remembered here.
#pragma once

#include <cstdint>

#include "camera/camera_core.h"
#include "errors/result.h"

Status init_camera(const CameraCore& core);
Result<std::string> firmware_version(const CameraCore& core);

Status set_stream_mode(const CameraCore& core, std::uint8_t mode);
Status set_exposure(const CameraCore& core, std::uint32_t us);
Status set_gain(const CameraCore& core, double gain);
Status set_offset(const CameraCore& core, double offset);
Status set_resolution(const CameraCore& core, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                      std::uint32_t height);
Status set_bin_mode(const CameraCore& core, std::uint32_t bin_x, std::uint32_t bin_y);
Status set_param(const CameraCore& core, std::uint32_t control_id, double value);
/// 0.0 on a closed camera; the SDK's double unchanged otherwise.
Result<double> get_param(const CameraCore& core, std::uint32_t control_id);
/// False for an invalid control number and on a closed camera; never fails.
bool is_control_available(const CameraCore& core, std::uint32_t control_id);
