// Renders the simulated sky: a vignetted gradient, a dozen stars and one spot that moves from
// live frame to live frame, seen through a sensor with shot, read and dark noise and hot pixels,
// or, without sensor noise, through a fixed dither that depends only on the pixel and the frame.
#include "picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <span>
#include <utility>

namespace vxsim {
namespace {

struct Star {
    double u; // position as a fraction of the sensor's width
    double v; // and of its height
    double amplitude;
    double size; // sigma in units of the sensor's star scale
};

// Fixed fractions of the sensor, so every camera shows the same constellation.
constexpr std::array<Star, 12> kStars = {{
    {0.21, 0.17, 2.5, 1.0},
    {0.68, 0.23, 1.2, 0.8},
    {0.43, 0.52, 4.0, 1.4},
    {0.82, 0.71, 0.9, 0.9},
    {0.15, 0.78, 1.8, 1.1},
    {0.57, 0.86, 0.6, 0.7},
    {0.33, 0.36, 0.8, 0.8},
    {0.91, 0.44, 1.5, 1.0},
    {0.75, 0.09, 0.5, 0.7},
    {0.06, 0.49, 1.1, 0.9},
    {0.49, 0.12, 0.7, 0.8},
    {0.62, 0.62, 2.0, 1.2},
}};

// The moving spot circles the centre once every this many live frames.
constexpr std::uint64_t kSpotFramesPerTurn = 90;
constexpr double kSpotAmplitude = 1.5;
// Exposure at which the brightest part of the background gradient reaches about half of
// full scale with gain 0.
constexpr double kReferenceExposureUs = 10'000.0;
// The level of the flat pattern, in the scene's units: a quarter of the reference level.
constexpr double kFlatLevel = 0.25;

// The sensor. Gain 0 maps the full well onto full scale; gain g divides the electrons per count
// by 1 + g / 10, so the mean level is the same formula with or without noise. Deeper sensors
// hold more: the full well doubles every two bits, from 2000 electrons at 8 bits (7.8 e-/count)
// to 32000 at 16 (0.49 e-/count).
constexpr double kFullWell8BitE = 2'000.0;
constexpr double kReadNoiseE = 3.0;
constexpr double kDarkCurrentE = 20.0;   // electrons per second per pixel at 25 C
constexpr double kHotPixelE = 200'000.0; // the same for a hot pixel, times 0.5 to 1.5
constexpr double kDarkDoublingC = 6.0;
constexpr double kAmbientC = 25.0;
constexpr std::uint64_t kPixelsPerHotPixel = 1'000'000;
constexpr std::uint64_t kMinHotPixels = 4;
// Below this many electrons shot noise is drawn exactly; above, a Gaussian is close enough.
constexpr double kPoissonExactBelow = 20.0;

// A Gaussian spot, separable so that one row costs one exp() per star, not one per pixel.
struct Spot {
    double amplitude;
    std::int64_t x_lo, x_hi; // sensor columns it reaches, clipped to the readout, half-open
    std::int64_t y_lo, y_hi;
    double cx, cy, inv_two_sigma2;
    std::vector<double> gx; // horizontal profile over [x_lo, x_hi)
};

Spot make_spot(double cx, double cy, double sigma, double amplitude, std::int64_t col_lo,
               std::int64_t col_hi, std::int64_t row_lo, std::int64_t row_hi) {
    const double reach = 4.0 * sigma;
    Spot s{amplitude,
           std::max(col_lo, static_cast<std::int64_t>(std::floor(cx - reach))),
           std::min(col_hi, static_cast<std::int64_t>(std::ceil(cx + reach)) + 1),
           std::max(row_lo, static_cast<std::int64_t>(std::floor(cy - reach))),
           std::min(row_hi, static_cast<std::int64_t>(std::ceil(cy + reach)) + 1),
           cx,
           cy,
           1.0 / (2.0 * sigma * sigma),
           {}};
    for (std::int64_t x = s.x_lo; x < s.x_hi; ++x) {
        const double d = static_cast<double>(x) + 0.5 - cx;
        s.gx.push_back(std::exp(-d * d * s.inv_two_sigma2));
    }
    return s;
}

// Two 32-bit uniforms from one 64-bit mix of the pixel and the frame.
std::uint64_t mix(std::uint64_t x, std::uint64_t y, std::uint64_t seed) {
    std::uint64_t h =
        x * 0x9E3779B97F4A7C15ull ^ (y + seed * 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return h;
}

// Zero-mean triangular noise with unit standard deviation.
double unit_noise(std::uint64_t x, std::uint64_t y, std::uint64_t seed) {
    const std::uint64_t h = mix(x, y, seed);
    constexpr double kScale = 1.0 / 4294967296.0;
    const double sum =
        static_cast<double>(h & 0xFFFFFFFFu) * kScale + static_cast<double>(h >> 32) * kScale - 1.0;
    return sum * 2.449489742783178; // sqrt(6): the triangular sum has variance 1/6
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr unsigned kGaussianBits = 12;
using GaussianTable = std::array<float, std::size_t{1} << kGaussianBits>;

// The standard normal's quantiles at the centres of 4096 equal-probability cells, scaled to unit
// variance: one table look-up per Gaussian sample, 12 bits of a random word each.
GaussianTable make_gaussian_table() {
    GaussianTable table{};
    const double cells = static_cast<double>(table.size());
    double sum_squares = 0.0;
    std::array<double, std::size_t{1} << kGaussianBits> z{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const double p = (static_cast<double>(i) + 0.5) / cells;
        double lo = -10.0, hi = 10.0; // bisection on the CDF: built once, so plain is fine
        for (int step = 0; step < 80; ++step) {
            const double mid = 0.5 * (lo + hi);
            (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p ? lo : hi) = mid;
        }
        z[i] = 0.5 * (lo + hi);
        sum_squares += z[i] * z[i];
    }
    const double scale = 1.0 / std::sqrt(sum_squares / cells);
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<float>(z[i] * scale);
    return table;
}

const GaussianTable& gaussian_table() {
    static const GaussianTable table = make_gaussian_table();
    return table;
}

// One picture's random numbers: a splitmix64 sequence, five Gaussians per 64-bit word.
class NoiseSource {
public:
    explicit NoiseSource(std::uint64_t stream) : state_(stream), table_(gaussian_table()) {}

    double gaussian() noexcept {
        if (left_ == 0) {
            bits_ = splitmix(state_);
            left_ = 64 / kGaussianBits;
        }
        const float z = table_[bits_ & ((1u << kGaussianBits) - 1u)];
        bits_ >>= kGaussianBits;
        --left_;
        return z;
    }

    // Poisson by inversion; only for small means, where it takes a few steps.
    double poisson(double mean) noexcept {
        const double u = static_cast<double>(splitmix(state_) >> 11) * 0x1.0p-53;
        double term = std::exp(-mean);
        double cumulative = term;
        double k = 0.0;
        while (u > cumulative && k < 4.0 * kPoissonExactBelow) {
            k += 1.0;
            term *= mean / k;
            cumulative += term;
        }
        return k;
    }

private:
    std::uint64_t state_;
    const GaussianTable& table_;
    std::uint64_t bits_ = 0;
    unsigned left_ = 0;
};

// Hot pixels of a sensor: fixed by its size alone, so they sit in the same place in every
// frame of every camera of that size. Returns (frame sample index, electrons per second)
// for those inside the readout, ascending, those sharing a bin summed.
std::vector<std::pair<std::size_t, double>> hot_samples(const PictureRequest& rq) {
    const Readout& r = rq.readout;
    const std::uint64_t pixels = std::uint64_t{rq.sensor_width} * rq.sensor_height;
    const std::uint64_t count = std::max(kMinHotPixels, pixels / kPixelsPerHotPixel);
    std::uint64_t state = std::uint64_t{rq.sensor_width} << 32 | rq.sensor_height;
    std::vector<std::pair<std::size_t, double>> found;
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t h = splitmix(state);
        const std::uint64_t x = (h & 0xFFFFFFFFu) % rq.sensor_width;
        const std::uint64_t y = (h >> 32) % rq.sensor_height;
        const double strength = 0.5 + static_cast<double>(splitmix(state) >> 11) * 0x1.0p-53;
        if (x < r.x || y < r.y)
            continue;
        const std::uint64_t i = (x - r.x) / r.bin;
        const std::uint64_t j = (y - r.y) / r.bin;
        if (i >= r.frame_width() || j >= r.frame_height())
            continue;
        found.emplace_back(static_cast<std::size_t>(j * r.frame_width() + i),
                           kHotPixelE * strength);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::pair<std::size_t, double>> merged;
    for (const auto& hot : found) {
        if (!merged.empty() && merged.back().first == hot.first)
            merged.back().second += hot.second;
        else
            merged.push_back(hot);
    }
    return merged;
}

void store(Picture& picture, std::size_t index, std::uint32_t value) {
    if (picture.bits > 8) {
        picture.bytes[2 * index] = static_cast<unsigned char>(value & 0xFFu);
        picture.bytes[2 * index + 1] = static_cast<unsigned char>(value >> 8);
    } else {
        picture.bytes[index] = static_cast<unsigned char>(value);
    }
}

void render_ramp(const PictureRequest& rq, Picture& picture) {
    const Readout& r = rq.readout;
    const std::uint32_t mask = (1u << rq.bits) - 1u;
    std::size_t index = 0;
    for (std::uint32_t j = 0; j < picture.height; ++j) {
        const std::uint32_t sy = r.y + j * r.bin;
        for (std::uint32_t i = 0; i < picture.width; ++i)
            store(picture, index++, (r.x + i * r.bin + sy) & mask);
    }
}

void render_scene(const PictureRequest& rq, Picture& picture) {
    const Readout& r = rq.readout;
    const double sensor_w = rq.sensor_width;
    const double sensor_h = rq.sensor_height;
    const std::uint32_t bin = r.bin;
    const std::uint32_t cols = picture.width * bin; // sensor columns actually read
    const double full = static_cast<double>((1u << rq.bits) - 1u);

    // Background: (a(x) + b(y)) * (1 - k * (c(x) + d(y))), a gradient under radial vignetting,
    // separable so that each pixel costs two additions and a multiplication.
    std::vector<double> grad_x(cols), vig_x(cols);
    for (std::uint32_t i = 0; i < cols; ++i) {
        const double u = (r.x + i + 0.5) / sensor_w;
        grad_x[i] = 0.06 + 0.30 * u;
        vig_x[i] = (u - 0.5) * (u - 0.5);
    }

    const double star_scale = std::max(1.5, std::min(sensor_w, sensor_h) / 320.0);
    const auto col_lo = static_cast<std::int64_t>(r.x);
    const auto col_hi = col_lo + cols;
    const auto row_lo = static_cast<std::int64_t>(r.y);
    const auto row_hi = row_lo + static_cast<std::int64_t>(picture.height) * bin;
    std::vector<Spot> spots;
    const bool flat = rq.pattern == Pattern::Flat;
    for (const Star& star : flat ? std::span<const Star>() : std::span<const Star>(kStars))
        spots.push_back(make_spot(star.u * sensor_w, star.v * sensor_h, star.size * star_scale,
                                  star.amplitude, col_lo, col_hi, row_lo, row_hi));
    const double angle = 2.0 * std::numbers::pi *
                         static_cast<double>(rq.frame_index % kSpotFramesPerTurn) /
                         static_cast<double>(kSpotFramesPerTurn);
    const double radius = 0.3 * std::min(sensor_w, sensor_h);
    if (!flat)
        spots.push_back(make_spot(sensor_w / 2 + radius * std::cos(angle),
                                  sensor_h / 2 + radius * std::sin(angle), star_scale,
                                  kSpotAmplitude, col_lo, col_hi, row_lo, row_hi));

    const double gain_factor = 1.0 + rq.gain / 10.0;
    const double signal_scale =
        full * (rq.exposure_us / kReferenceExposureUs) * gain_factor / (bin * bin);
    const double black = rq.offset * (full + 1.0) / 256.0;
    const double dither = std::max(0.6, full * 0.004);

    // With sensor noise the level is counted in electrons: acc (summed over the bin) times
    // electrons_per_unit, plus dark current, drawn, then converted at counts_per_electron,
    // which includes the mean over the bin.
    const double exposure_s = rq.exposure_us * 1e-6;
    const double full_well = kFullWell8BitE * std::exp2((static_cast<double>(rq.bits) - 8.0) / 2.0);
    const double electrons_per_unit = full_well * rq.exposure_us / kReferenceExposureUs;
    const double counts_per_electron = gain_factor * full / full_well / (bin * bin);
    const double dark_scale =
        exposure_s * std::exp2((rq.temperature_c - kAmbientC) / kDarkDoublingC);
    const double dark_e = kDarkCurrentE * dark_scale * bin * bin;
    const double read_variance = kReadNoiseE * kReadNoiseE * bin * bin;
    NoiseSource noise(rq.noise_stream);
    std::vector<std::pair<std::size_t, double>> hot;
    if (rq.noise)
        hot = hot_samples(rq);
    auto next_hot = hot.begin();

    std::vector<double> acc(picture.width);
    std::size_t index = 0;
    for (std::uint32_t j = 0; j < picture.height; ++j) {
        std::fill(acc.begin(), acc.end(), flat ? kFlatLevel * bin * bin : 0.0);
        for (std::uint32_t k = 0; k < bin && !flat; ++k) {
            const std::int64_t sy = row_lo + static_cast<std::int64_t>(j) * bin + k;
            const double v = (static_cast<double>(sy) + 0.5) / sensor_h;
            const double grad_y = 0.12 * v;
            const double vig_y = (v - 0.5) * (v - 0.5);
            if (bin == 1) { // kept apart: without the division the loop vectorises
                for (std::uint32_t i = 0; i < cols; ++i)
                    acc[i] += (grad_x[i] + grad_y) * (1.0 - 0.8 * (vig_x[i] + vig_y));
            } else {
                for (std::uint32_t i = 0; i < cols; ++i)
                    acc[i / bin] += (grad_x[i] + grad_y) * (1.0 - 0.8 * (vig_x[i] + vig_y));
            }
            for (const Spot& s : spots) {
                if (sy < s.y_lo || sy >= s.y_hi)
                    continue;
                const double dy = static_cast<double>(sy) + 0.5 - s.cy;
                const double row_weight = s.amplitude * std::exp(-dy * dy * s.inv_two_sigma2);
                for (std::int64_t x = s.x_lo; x < s.x_hi; ++x)
                    acc[static_cast<std::size_t>(x - col_lo) / bin] +=
                        row_weight * s.gx[static_cast<std::size_t>(x - s.x_lo)];
            }
        }
        if (rq.noise) {
            for (std::uint32_t i = 0; i < picture.width; ++i, ++index) {
                double mean_e = acc[i] * electrons_per_unit + dark_e;
                if (next_hot != hot.end() && next_hot->first == index)
                    mean_e += (next_hot++)->second * dark_scale;
                const double electrons =
                    mean_e <= 0.0 ? std::sqrt(read_variance) * noise.gaussian()
                    : mean_e < kPoissonExactBelow
                        ? noise.poisson(mean_e) + std::sqrt(read_variance) * noise.gaussian()
                        : mean_e + std::sqrt(mean_e + read_variance) * noise.gaussian();
                const double level = black + electrons * counts_per_electron;
                const double clipped = std::clamp(std::floor(level + 0.5), 0.0, full);
                store(picture, index, static_cast<std::uint32_t>(clipped));
            }
            continue;
        }
        const std::uint64_t noise_y = r.y + static_cast<std::uint64_t>(j) * bin;
        for (std::uint32_t i = 0; i < picture.width; ++i) {
            const double level = black + signal_scale * acc[i] +
                                 dither * unit_noise(r.x + static_cast<std::uint64_t>(i) * bin,
                                                     noise_y, rq.frame_index);
            const double clipped = std::clamp(std::floor(level + 0.5), 0.0, full);
            store(picture, index++, static_cast<std::uint32_t>(clipped));
        }
    }
}

} // namespace

std::uint64_t noise_stream(std::uint64_t seed, std::uint64_t draw) noexcept {
    std::uint64_t state = seed;
    const std::uint64_t mixed_seed = splitmix(state);
    state = mixed_seed ^ draw * 0xD1B54A32D192ED03ull;
    return splitmix(state);
}

Picture render_picture(const PictureRequest& request) {
    Picture picture;
    picture.width = request.readout.frame_width();
    picture.height = request.readout.frame_height();
    picture.bits = request.bits;
    picture.bytes.resize(std::size_t{picture.width} * picture.height *
                         bytes_per_sample(request.bits));
    if (request.pattern == Pattern::Ramp)
        render_ramp(request, picture);
    else
        render_scene(request, picture);
    return picture;
}

} // namespace vxsim
