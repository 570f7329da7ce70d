// The camera vendor's C interface: the twenty functions we bind at load time, and thin
// snake_case forwarders so that the rest of the module never spells a vendor name.
#pragma once

#include <cstddef>
#include <cstdint>

using CameraHandle = void*;

extern "C" {
std::uint32_t InitVEXCAMResource(void);
std::uint32_t ReleaseVEXCAMResource(void);
std::uint32_t ScanVEXCAM(void);
/// Writes a NUL-terminated id into a 64-byte buffer.
std::uint32_t GetVEXCAMId(std::uint32_t index, char* id);
CameraHandle OpenVEXCAM(const char* id);
std::uint32_t CloseVEXCAM(CameraHandle handle);
std::uint32_t InitVEXCAM(CameraHandle handle);
/// Writes into a 32-byte buffer.
std::uint32_t GetVEXCAMFWVersion(CameraHandle handle, unsigned char* version);
std::uint32_t IsVEXCAMControlAvailable(CameraHandle handle, std::uint32_t control);
double GetVEXCAMParam(CameraHandle handle, std::uint32_t control);
std::uint32_t SetVEXCAMParam(CameraHandle handle, std::uint32_t control, double value);
std::uint32_t SetVEXCAMStreamMode(CameraHandle handle, std::uint8_t mode);
std::uint32_t SetVEXCAMResolution(CameraHandle handle, std::uint32_t x, std::uint32_t y,
                                  std::uint32_t width, std::uint32_t height);
std::uint32_t SetVEXCAMBinMode(CameraHandle handle, std::uint32_t bin_x, std::uint32_t bin_y);
std::uint32_t GetVEXCAMMemLength(CameraHandle handle);
std::uint32_t ExpVEXCAMSingleFrame(CameraHandle handle);
std::uint32_t GetVEXCAMSingleFrame(CameraHandle handle, std::uint32_t* width, std::uint32_t* height,
                                   std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                   unsigned char* buffer);
std::uint32_t BeginVEXCAMLive(CameraHandle handle);
std::uint32_t GetVEXCAMLiveFrame(CameraHandle handle, std::uint32_t* width, std::uint32_t* height,
                                 std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                 unsigned char* buffer);
std::uint32_t StopVEXCAMLive(CameraHandle handle);
}

namespace sdk {

inline constexpr std::uint32_t kScanFailed = 0xFFFFFFFFu;
inline constexpr std::size_t kIdBufferSize = 64;
inline constexpr std::size_t kFirmwareBufferSize = 32;

// Control numbers the module passes by itself.
inline constexpr std::uint32_t kControlGain = 6;
inline constexpr std::uint32_t kControlOffset = 7;
inline constexpr std::uint32_t kControlExposure = 8;

inline std::uint32_t init_resource() { return InitVEXCAMResource(); }
inline void release_resource() { (void)ReleaseVEXCAMResource(); }
inline std::uint32_t scan() { return ScanVEXCAM(); }
inline std::uint32_t camera_id(std::uint32_t index, char* id) { return GetVEXCAMId(index, id); }
inline CameraHandle open(const char* id) { return OpenVEXCAM(id); }
inline std::uint32_t close(CameraHandle h) { return CloseVEXCAM(h); }
inline std::uint32_t init(CameraHandle h) { return InitVEXCAM(h); }
inline std::uint32_t firmware_version(CameraHandle h, unsigned char* version) {
    return GetVEXCAMFWVersion(h, version);
}
inline std::uint32_t control_available(CameraHandle h, std::uint32_t control) {
    return IsVEXCAMControlAvailable(h, control);
}
inline double get_param(CameraHandle h, std::uint32_t control) {
    return GetVEXCAMParam(h, control);
}
inline std::uint32_t set_param(CameraHandle h, std::uint32_t control, double value) {
    return SetVEXCAMParam(h, control, value);
}
inline std::uint32_t set_stream_mode(CameraHandle h, std::uint8_t mode) {
    return SetVEXCAMStreamMode(h, mode);
}
inline std::uint32_t set_resolution(CameraHandle h, std::uint32_t x, std::uint32_t y,
                                    std::uint32_t width, std::uint32_t height) {
    return SetVEXCAMResolution(h, x, y, width, height);
}
inline std::uint32_t set_bin_mode(CameraHandle h, std::uint32_t bin_x, std::uint32_t bin_y) {
    return SetVEXCAMBinMode(h, bin_x, bin_y);
}
inline std::uint32_t mem_length(CameraHandle h) { return GetVEXCAMMemLength(h); }
inline std::uint32_t expose_single(CameraHandle h) { return ExpVEXCAMSingleFrame(h); }
inline std::uint32_t begin_live(CameraHandle h) { return BeginVEXCAMLive(h); }
inline std::uint32_t stop_live(CameraHandle h) { return StopVEXCAMLive(h); }

/// Both frame readers share this shape: handle, width, height, bits per pixel, channels, buffer.
using FrameReader = std::uint32_t (*)(CameraHandle, std::uint32_t*, std::uint32_t*, std::uint32_t*,
                                      std::uint32_t*, unsigned char*);
inline constexpr FrameReader kSingleFrameReader = &GetVEXCAMSingleFrame;
inline constexpr FrameReader kLiveFrameReader = &GetVEXCAMLiveFrame;

} // namespace sdk
