// A do-nothing camera SDK: the vendor's twenty functions and nothing else, each doing the least
// that keeps a binding's calls succeeding. Put first on the loader's path in place of the
// simulator, it leaves a call's cost to the binding alone, as in a setup where one call goes
// into a separate shared library that does next to nothing.
//
// One camera, one fixed handle, every setting accepted and forgotten, every parameter read as
// the same constant, every control reported available, and a 4x4 8-bit frame of constant bytes.
//
// For the frame floor of the live-stream benchmark, the camera can also be opened as
// "NULL-<width>x<height>-<bits>" (say NULL-4096x4096-16): its frames then have that size, their
// samples copied from a buffer filled at the open, as an SDK copies out of its DMA buffer, and
// GetVEXCAMMemLength reports width x height x 2 bytes, as the simulator does. The frame calls
// do nothing else, so what a frame costs through a binding over this library is the binding's
// own share of a frame of that size.

// Only these twenty symbols are exported; the build hides everything else.
#pragma GCC visibility push(default)
#include "sdk/vendor_api.h"
#pragma GCC visibility pop

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char kCameraId[] = "NULL-0001";
constexpr unsigned char kFirmware[] = {1, 0, 0};
constexpr double kParamValue = 1.0;
constexpr std::uint32_t kFrameWidth = 4;
constexpr std::uint32_t kFrameHeight = 4;
constexpr std::uint32_t kFrameBytes = kFrameWidth * kFrameHeight;
constexpr std::uint32_t kBadIndex = 1;

char camera; // its address is the handle

// The geometry of the frames: the 4x4 8-bit frame unless the open named another.
struct Geometry {
    std::uint32_t width = kFrameWidth;
    std::uint32_t height = kFrameHeight;
    std::uint32_t bits = 8;
    std::vector<unsigned char> samples; // empty for the 4x4 frame, which is set byte by byte
};
Geometry geometry;

void choose_geometry(const char* id) {
    unsigned width = 0, height = 0, bits = 0;
    char end = 0;
    geometry = Geometry{};
    if (id == nullptr || std::sscanf(id, "NULL-%ux%u-%u%c", &width, &height, &bits, &end) != 3 ||
        width == 0 || height == 0 || bits == 0 || bits > 16)
        return;
    geometry.width = width;
    geometry.height = height;
    geometry.bits = bits;
    geometry.samples.assign(std::size_t{width} * height * (bits > 8 ? 2 : 1), 0x80);
}

std::uint32_t frame(std::uint32_t* width, std::uint32_t* height, std::uint32_t* bits_per_pixel,
                    std::uint32_t* channels, unsigned char* buffer) {
    *width = geometry.width;
    *height = geometry.height;
    *bits_per_pixel = geometry.bits;
    *channels = 1;
    if (geometry.samples.empty())
        std::memset(buffer, 0x80, kFrameBytes);
    else
        std::memcpy(buffer, geometry.samples.data(), geometry.samples.size());
    return 0;
}

} // namespace

extern "C" {

std::uint32_t InitVEXCAMResource(void) { return 0; }

std::uint32_t ReleaseVEXCAMResource(void) { return 0; }

std::uint32_t ScanVEXCAM(void) { return 1; }

std::uint32_t GetVEXCAMId(std::uint32_t index, char* id) {
    if (index != 0)
        return kBadIndex;
    std::memcpy(id, kCameraId, sizeof kCameraId);
    return 0;
}

CameraHandle OpenVEXCAM(const char* id) {
    choose_geometry(id);
    return &camera;
}

std::uint32_t CloseVEXCAM(CameraHandle) { return 0; }

std::uint32_t InitVEXCAM(CameraHandle) { return 0; }

std::uint32_t GetVEXCAMFWVersion(CameraHandle, unsigned char* version) {
    std::memcpy(version, kFirmware, sizeof kFirmware);
    return 0;
}

std::uint32_t IsVEXCAMControlAvailable(CameraHandle, std::uint32_t) { return 0; }

double GetVEXCAMParam(CameraHandle, std::uint32_t) { return kParamValue; }

std::uint32_t SetVEXCAMParam(CameraHandle, std::uint32_t, double) { return 0; }

std::uint32_t SetVEXCAMStreamMode(CameraHandle, std::uint8_t) { return 0; }

std::uint32_t SetVEXCAMResolution(CameraHandle, std::uint32_t, std::uint32_t, std::uint32_t,
                                  std::uint32_t) {
    return 0;
}

std::uint32_t SetVEXCAMBinMode(CameraHandle, std::uint32_t, std::uint32_t) { return 0; }

std::uint32_t GetVEXCAMMemLength(CameraHandle) {
    return geometry.samples.empty() ? kFrameBytes : geometry.width * geometry.height * 2;
}

std::uint32_t ExpVEXCAMSingleFrame(CameraHandle) { return 0; }

std::uint32_t GetVEXCAMSingleFrame(CameraHandle, std::uint32_t* width, std::uint32_t* height,
                                   std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                   unsigned char* buffer) {
    return frame(width, height, bits_per_pixel, channels, buffer);
}

std::uint32_t BeginVEXCAMLive(CameraHandle) { return 0; }

std::uint32_t GetVEXCAMLiveFrame(CameraHandle, std::uint32_t* width, std::uint32_t* height,
                                 std::uint32_t* bits_per_pixel, std::uint32_t* channels,
                                 unsigned char* buffer) {
    return frame(width, height, bits_per_pixel, channels, buffer);
}

std::uint32_t StopVEXCAMLive(CameraHandle) { return 0; }

} // extern "C"
