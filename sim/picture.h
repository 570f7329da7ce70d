// Synthetic pictures: the scene the simulated sensor looks at and how a readout samples it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vxsim {

// A readout region in unbinned sensor pixels and the binning applied to it. The frame is
// width / bin by height / bin samples; columns and rows left over by the division are not read.
struct Readout {
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bin = 1;

    std::uint32_t frame_width() const noexcept { return width / bin; }
    std::uint32_t frame_height() const noexcept { return height / bin; }
    bool operator==(const Readout&) const = default;
};

// Scene: the sky. Ramp: exact known values, never noisy. Flat: an evenly lit sensor at a
// quarter of the reference level, for measuring noise.
enum class Pattern : std::uint8_t { Scene, Ramp, Flat };

// Everything a picture depends on: equal requests give byte-identical pictures.
struct PictureRequest {
    std::uint32_t sensor_width = 0;
    std::uint32_t sensor_height = 0;
    std::uint32_t bits = 8;
    Readout readout;
    double exposure_us = 0.0;
    double gain = 0.0;
    double offset = 0.0;
    Pattern pattern = Pattern::Scene;
    // Places the moving spot: 0 for single exposures, k for live frame k. Without sensor noise
    // it also seeds the fixed dither, so equal requests give byte-identical pictures.
    std::uint64_t frame_index = 0;
    // Sensor noise: shot, read and dark noise, hot pixels, drawn from noise_stream.
    bool noise = false;
    std::uint64_t noise_stream = 0;
    double temperature_c = 25.0; // dark current doubles every 6 degrees
    bool operator==(const PictureRequest&) const = default;
};

// The stream that picture number draw after seed draws its noise from.
std::uint64_t noise_stream(std::uint64_t seed, std::uint64_t draw) noexcept;

// Samples row by row: one byte each up to 8 bits, else a little-endian 16-bit word.
struct Picture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 8;
    std::vector<unsigned char> bytes;
};

inline std::size_t bytes_per_sample(std::uint32_t bits) { return bits > 8 ? 2 : 1; }

Picture render_picture(const PictureRequest& request);
// The same into `picture`, reusing its buffer when it is large enough.
void render_picture(const PictureRequest& request, Picture& picture);
// The same samples straight into `out`, which holds picture_bytes(request) bytes: for a
// picture that is used once, as a live frame is, and need not be kept.
std::size_t picture_bytes(const PictureRequest& request);
void render_picture(const PictureRequest& request, unsigned char* out);

// One camera's pictures. draw() renders into the buffer of a picture that is no longer in use
// when there is one, so that a run of exposures does not fetch (and fault in) fresh memory for
// every one. A picture goes back to the pool when its last user lets go; the pool keeps at
// most kSpares of them and frees the rest, and everything once it and its pictures are gone.
// Safe to call from several threads at once.
class PicturePool {
public:
    static constexpr std::size_t kSpares = 2;

    PicturePool();
    std::shared_ptr<const Picture> draw(const PictureRequest& request);

private:
    struct Shelf;
    std::shared_ptr<Shelf> shelf_;
};

} // namespace vxsim
