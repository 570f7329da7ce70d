// Camera discovery: the SDK's camera count and id strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "errors/result.h"

Result<std::uint32_t> scan_camera_count();
Result<std::string> read_camera_id(std::uint32_t index);

/// Takes and gives back the SDK resource around the work, as both Python functions do.
Status init_sdk();
/// Ids of the connected cameras; unreadable ids are left out.
Result<std::vector<std::string>> scan_cameras();
