// The simulator's names for the twenty SDK entry points and the result codes they return.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vxsim {

// The control plane addresses SDK functions by these indexes; the Python helper learns the
// names from vxsim_function_name, so this order is the single place that defines them.
enum class SdkFunction : std::uint8_t {
    InitVEXCAMResource,
    ReleaseVEXCAMResource,
    ScanVEXCAM,
    GetVEXCAMId,
    OpenVEXCAM,
    CloseVEXCAM,
    InitVEXCAM,
    GetVEXCAMFWVersion,
    IsVEXCAMControlAvailable,
    GetVEXCAMParam,
    SetVEXCAMParam,
    SetVEXCAMStreamMode,
    SetVEXCAMResolution,
    SetVEXCAMBinMode,
    GetVEXCAMMemLength,
    ExpVEXCAMSingleFrame,
    GetVEXCAMSingleFrame,
    BeginVEXCAMLive,
    GetVEXCAMLiveFrame,
    StopVEXCAMLive,
};

inline constexpr std::size_t kSdkFunctionCount = 20;

inline constexpr std::array<std::string_view, kSdkFunctionCount> kSdkFunctionNames = {
    "InitVEXCAMResource",
    "ReleaseVEXCAMResource",
    "ScanVEXCAM",
    "GetVEXCAMId",
    "OpenVEXCAM",
    "CloseVEXCAM",
    "InitVEXCAM",
    "GetVEXCAMFWVersion",
    "IsVEXCAMControlAvailable",
    "GetVEXCAMParam",
    "SetVEXCAMParam",
    "SetVEXCAMStreamMode",
    "SetVEXCAMResolution",
    "SetVEXCAMBinMode",
    "GetVEXCAMMemLength",
    "ExpVEXCAMSingleFrame",
    "GetVEXCAMSingleFrame",
    "BeginVEXCAMLive",
    "GetVEXCAMLiveFrame",
    "StopVEXCAMLive",
};

inline std::optional<SdkFunction> sdk_function_at(std::int32_t index) {
    if (index < 0 || static_cast<std::size_t>(index) >= kSdkFunctionCount)
        return std::nullopt;
    return static_cast<SdkFunction>(index);
}

inline std::size_t index_of(SdkFunction fn) { return static_cast<std::size_t>(fn); }

// Result codes; sim/README.md is their user-facing list and must change with them.
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kNotAvailable = 1; // IsVEXCAMControlAvailable only
inline constexpr std::uint32_t kBadHandle = 2;
inline constexpr std::uint32_t kBadArgument = 3;
inline constexpr std::uint32_t kUnknownControl = 4;
inline constexpr std::uint32_t kOutOfRange = 5;
inline constexpr std::uint32_t kReadOnly = 6;
inline constexpr std::uint32_t kNoFrame = 7;
inline constexpr std::uint32_t kNotLive = 8;
inline constexpr std::uint32_t kBufferTooSmall = 9;
inline constexpr std::uint32_t kResourceNotHeld = 10;
inline constexpr std::uint32_t kInternalFailure = 11; // out of memory, or a lock that failed

// What the control plane reports of each code (vxsim_result_info); the names are the members
// of vexcam_sim.Code. Literals only: callers keep the pointers.
struct ResultCode {
    std::uint32_t value;
    const char* name;
    const char* meaning;
};

inline constexpr std::array<ResultCode, 12> kResultCodes = {{
    {kOk, "OK", "success"},
    {kNotAvailable, "NOT_AVAILABLE", "IsVEXCAMControlAvailable: control not implemented"},
    {kBadHandle, "BAD_HANDLE", "null, unknown or closed handle"},
    {kBadArgument, "BAD_ARGUMENT", "a null pointer argument"},
    {kUnknownControl, "UNKNOWN_CONTROL", "SetVEXCAMParam: control not implemented"},
    {kOutOfRange, "OUT_OF_RANGE",
     "value, region, binning, stream mode or camera index out of range"},
    {kReadOnly, "READ_ONLY", "SetVEXCAMParam: read-only control"},
    {kNoFrame, "NO_FRAME", "single-frame read without an exposure"},
    {kNotLive, "NOT_LIVE", "live-frame read without a running stream"},
    {kBufferTooSmall, "BUFFER_TOO_SMALL", "frame larger than the buffer that was reported"},
    {kResourceNotHeld, "RESOURCE_NOT_HELD", "ReleaseVEXCAMResource without the resource held"},
    {kInternalFailure, "INTERNAL_FAILURE", "internal failure (out of memory)"},
}};

} // namespace vxsim
