// Renders the simulated sky: a vignetted gradient, a dozen stars and one spot that moves from
// live frame to live frame, seen through a sensor with shot, read and dark noise and hot pixels,
// or, without sensor noise, through a fixed dither that depends only on the pixel and the frame.
//
// A picture is drawn afresh, on the calling thread, at about the speed of a sensor's readout:
// block by block of each row, the scene is summed by loops the compiler vectorises (the
// background is separable, the stars only touch the rows they reach), then turned into samples
// in one more such loop; only the few samples that need an exact Poisson draw, and the hot
// pixels, are drawn one at a time. Nothing is kept from frame to frame but the sample buffers,
// which a PicturePool hands back.
#include "picture.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <type_traits>
#include <utility>

// Where GCC or Clang can pick a function's version when the library loads (x86-64 ELF), the
// two row loops are compiled twice, for the baseline and for AVX2, with everything they call
// inlined; elsewhere once. The code is the same plain C++ either way, and so are its results:
// no fused multiply-add is enabled, and the loops do the same operations in the same order.
// (Defining VXSIM_VECTOR_CLONES empty builds the baseline alone, to compare the two.)
#if !defined(VXSIM_VECTOR_CLONES)
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && defined(__ELF__)
#define VXSIM_VECTOR_CLONES __attribute__((flatten, target_clones("avx2", "default")))
#else
#define VXSIM_VECTOR_CLONES
#endif
#endif

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

// The dither's hash of the pixel and the frame: x * kDitherX ^ (y + frame * kDitherFrame) *
// kDitherY, then a 64-bit finaliser. Its two 32-bit halves make a triangular variate.
constexpr std::uint64_t kDitherX = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kDitherFrame = 0x632BE59BD9B4E019ull;
constexpr std::uint64_t kDitherY = 0xC2B2AE3D27D4EB4Full;
constexpr double kHalfScale = 1.0 / 4294967296.0;
constexpr double kSqrt6 = 2.449489742783178; // the triangular sum has variance 1/6

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Word `index` of the splitmix64 sequence that starts at `stream`: counter-based, so any row
// of a picture can draw its words without the rows before it.
std::uint64_t stream_word(std::uint64_t stream, std::uint64_t index) {
    std::uint64_t state = stream + index * 0x9E3779B97F4A7C15ull;
    return splitmix(state);
}

constexpr unsigned kGaussianBits = 12;
constexpr unsigned kGaussiansPerWord = 64 / kGaussianBits;
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

// Exact Poisson variates for means below kPoissonExactBelow, as the sum of two independent
// ones: the integer part n from a table of its distribution (a guide table picks the place to
// start searching the CDF), the fraction f < 1 by inversion from 0, which takes 1 + f steps on
// average. Each takes one 32-bit uniform.
class PoissonSampler {
public:
    PoissonSampler() {
        for (unsigned n = 1; n < kTables; ++n) {
            Table& t = tables_[n];
            const double mean = static_cast<double>(n);
            double p = std::exp(-mean);
            double cumulative = 0.0;
            for (unsigned k = 0; k + 1 < kValues; ++k) {
                cumulative += p;
                t.cdf[k] = cumulative;
                p *= mean / static_cast<double>(k + 1);
            }
            t.cdf[kValues - 1] = 2.0; // a stop above every uniform
            unsigned k = 0;
            for (unsigned g = 0; g < kGuide; ++g) {
                while (t.cdf[k] < static_cast<double>(g) / kGuide)
                    ++k;
                t.guide[g] = static_cast<std::uint8_t>(k);
            }
        }
    }

    // One variate of mean `mean` (0 <= mean < kPoissonExactBelow) from 64 random bits.
    double draw(double mean, std::uint64_t bits) const noexcept {
        const auto n = static_cast<unsigned>(mean);
        const double fraction = mean - n;
        const double u1 = (static_cast<double>(bits >> 32) + 0.5) * kHalfScale;
        const double u2 = (static_cast<double>(bits & 0xFFFFFFFFu) + 0.5) * kHalfScale;
        unsigned whole = 0;
        if (n > 0) {
            const Table& t = tables_[n];
            whole = t.guide[static_cast<unsigned>(u1 * kGuide)];
            while (u1 > t.cdf[whole])
                ++whole;
        }
        double term = std::exp(-fraction);
        double cumulative = term;
        unsigned part = 0;
        while (u2 > cumulative && part < kValues) {
            ++part;
            term *= fraction / part;
            cumulative += term;
        }
        return static_cast<double>(whole + part);
    }

private:
    static constexpr unsigned kTables = static_cast<unsigned>(kPoissonExactBelow);
    static constexpr unsigned kValues = 96; // P(X >= 96) for a mean of 19 is far below 2^-53
    static constexpr unsigned kGuide = 64;
    struct Table {
        std::array<double, kValues> cdf{};
        std::array<std::uint8_t, kGuide> guide{};
    };
    std::array<Table, kTables> tables_{};
};

const PoissonSampler& poisson_sampler() {
    static const PoissonSampler sampler;
    return sampler;
}

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

// A level rounded to the nearest count and clipped to 0 .. full: floor(level + 0.5) clamped,
// as a conversion that truncates, which vectorises.
template <class Real>
std::uint16_t to_count(Real level, Real full) {
    Real t = level + Real(0.5);
    t = t > Real(0) ? t : Real(0); // written as the x86 max and min are
    t = t < full ? t : full;
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(t));
}

// Where a picture's samples go: width x height of them, row by row, as Picture's bytes.
struct Canvas {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bits;
    unsigned char* bytes;
};

// Row `j` of the picture's samples, 0 .. 2^bits - 1, into its place in the canvas.
void put_row(const Canvas& picture, std::uint32_t j, const std::uint16_t* counts) {
    const std::size_t w = picture.width;
    unsigned char* out = picture.bytes + std::size_t{j} * w * bytes_per_sample(picture.bits);
    if (picture.bits <= 8) {
        for (std::size_t i = 0; i < w; ++i)
            out[i] = static_cast<unsigned char>(counts[i]);
    } else if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, counts, 2 * w);
    } else {
        for (std::size_t i = 0; i < w; ++i) {
            out[2 * i] = static_cast<unsigned char>(counts[i] & 0xFFu);
            out[2 * i + 1] = static_cast<unsigned char>(counts[i] >> 8);
        }
    }
}

void render_ramp(const PictureRequest& rq, const Canvas& picture) {
    const Readout& r = rq.readout;
    const std::uint32_t mask = (1u << rq.bits) - 1u;
    std::vector<std::uint16_t> counts(picture.width);
    for (std::uint32_t j = 0; j < picture.height; ++j) {
        const std::uint32_t sy = r.y + j * r.bin;
        for (std::uint32_t i = 0; i < picture.width; ++i)
            counts[i] = static_cast<std::uint16_t>((r.x + i * r.bin + sy) & mask);
        put_row(picture, j, counts.data());
    }
}

// Rows are drawn in blocks of this many samples, so that a block's working rows stay in the
// first-level cache. A multiple of kGaussiansPerWord, so a block starts on a word.
constexpr std::uint32_t kBlock = 1280;

// The scene as a readout sees it: the sums over their bins of the vignetted gradient and the
// spots, in the scene's units, a block of a row at a time. In doubles for the deterministic
// picture, which must not change by a bit; in floats under noise, which swamps their error.
class SceneRows {
public:
    SceneRows(const PictureRequest& rq, std::uint32_t width, std::uint32_t height)
        : width_(width), bin_(rq.readout.bin), flat_(rq.pattern == Pattern::Flat),
          sensor_h_(rq.sensor_height), row_lo_(rq.readout.y), col_lo_(rq.readout.x) {
        const Readout& r = rq.readout;
        const double sensor_w = rq.sensor_width;
        const double sensor_h = rq.sensor_height;
        // Background: (a(x) + b(y)) * (1 - k * (c(x) + d(y))), a gradient under radial
        // vignetting, separable so that each pixel costs two additions and a multiplication.
        // The column terms are kept by their place in the bin (column o * bin + b of the
        // readout at b * width + o), so that a row sums its bins with unit strides.
        grad_x_.resize(std::size_t{width} * bin_);
        vig_x_.resize(grad_x_.size());
        for (std::uint32_t i = 0; i < width * bin_; ++i) {
            const double u = (r.x + i + 0.5) / sensor_w;
            const std::size_t at = std::size_t{i % bin_} * width + i / bin_;
            grad_x_[at] = 0.06 + 0.30 * u;
            vig_x_[at] = (u - 0.5) * (u - 0.5);
        }
        grad_x_f_.assign(grad_x_.begin(), grad_x_.end());
        vig_x_f_.assign(vig_x_.begin(), vig_x_.end());
        if (flat_)
            return;
        const double star_scale = std::max(1.5, std::min(sensor_w, sensor_h) / 320.0);
        const auto col_hi = col_lo_ + static_cast<std::int64_t>(width) * bin_;
        const auto row_hi = row_lo_ + static_cast<std::int64_t>(height) * bin_;
        for (const Star& star : kStars)
            spots_.push_back(make_spot(star.u * sensor_w, star.v * sensor_h, star.size * star_scale,
                                       star.amplitude, col_lo_, col_hi, row_lo_, row_hi));
        const double angle = 2.0 * std::numbers::pi *
                             static_cast<double>(rq.frame_index % kSpotFramesPerTurn) /
                             static_cast<double>(kSpotFramesPerTurn);
        const double radius = 0.3 * std::min(sensor_w, sensor_h);
        spots_.push_back(make_spot(sensor_w / 2 + radius * std::cos(angle),
                                   sensor_h / 2 + radius * std::sin(angle), star_scale,
                                   kSpotAmplitude, col_lo_, col_hi, row_lo_, row_hi));
    }

    // acc[0 .. end - begin) = the sums of samples begin .. end - 1 of row j. Each sum adds its
    // terms in the same order whatever the blocks: row by row of its bin, the background
    // column by column, then each spot.
    template <class Real>
    void row(std::uint32_t j, std::uint32_t begin, std::uint32_t end, Real* acc) const {
        const std::uint32_t n = end - begin;
        if (flat_) {
            std::fill(acc, acc + n, static_cast<Real>(kFlatLevel * bin_ * bin_));
            return;
        }
        const Real* grad = column_terms<Real>(grad_x_, grad_x_f_) + begin;
        const Real* vig = column_terms<Real>(vig_x_, vig_x_f_) + begin;
        const std::int64_t x_begin = col_lo_ + static_cast<std::int64_t>(begin) * bin_;
        const std::int64_t x_end = col_lo_ + static_cast<std::int64_t>(end) * bin_;
        for (std::uint32_t k = 0; k < bin_; ++k) {
            const std::int64_t sy = row_lo_ + static_cast<std::int64_t>(j) * bin_ + k;
            const double v = (static_cast<double>(sy) + 0.5) / sensor_h_;
            const auto grad_y = static_cast<Real>(0.12 * v);
            const auto vig_y = static_cast<Real>((v - 0.5) * (v - 0.5));
            for (std::uint32_t b = 0; b < bin_; ++b) {
                const Real* gx = grad + std::size_t{b} * width_;
                const Real* vx = vig + std::size_t{b} * width_;
                if (k == 0 && b == 0) { // 0 + t is t: the first term needs no sum
                    for (std::uint32_t o = 0; o < n; ++o)
                        acc[o] = (gx[o] + grad_y) * (Real(1) - Real(0.8) * (vx[o] + vig_y));
                } else {
                    for (std::uint32_t o = 0; o < n; ++o)
                        acc[o] += (gx[o] + grad_y) * (Real(1) - Real(0.8) * (vx[o] + vig_y));
                }
            }
            for (const Spot& s : spots_) {
                const std::int64_t lo = std::max(s.x_lo, x_begin);
                const std::int64_t hi = std::min(s.x_hi, x_end);
                if (sy < s.y_lo || sy >= s.y_hi || lo >= hi)
                    continue;
                const double dy = static_cast<double>(sy) + 0.5 - s.cy;
                const double row_weight = s.amplitude * std::exp(-dy * dy * s.inv_two_sigma2);
                for (std::int64_t x = lo; x < hi; ++x)
                    acc[static_cast<std::size_t>(x - x_begin) / bin_] +=
                        static_cast<Real>(row_weight * s.gx[static_cast<std::size_t>(x - s.x_lo)]);
            }
        }
    }

private:
    template <class Real>
    static const Real* column_terms(const std::vector<double>& exact,
                                    const std::vector<float>& rounded) {
        if constexpr (std::is_same_v<Real, double>)
            return exact.data();
        else
            return rounded.data();
    }

    std::uint32_t width_;
    std::uint32_t bin_;
    bool flat_;
    double sensor_h_;
    std::int64_t row_lo_;
    std::int64_t col_lo_;
    std::vector<double> grad_x_, vig_x_;
    std::vector<float> grad_x_f_, vig_x_f_;
    std::vector<Spot> spots_;
};

// An unsigned 32-bit value less 2^31, as a double: through the signed conversion that every
// SIMD instruction set has, and exact.
double centred(std::uint32_t value) {
    return static_cast<double>(static_cast<std::int32_t>(value ^ 0x80000000u));
}

// The scene's levels in counts, plus the dither: deterministic, byte for byte. The dither's
// 64-bit hash is computed in 32-bit halves (with 32 x 32 -> 64-bit products), which
// vectorises where a 64-bit multiplication does not; the values are the same.
VXSIM_VECTOR_CLONES
void render_dithered(const PictureRequest& rq, const Canvas& picture, const SceneRows& scene) {
    const Readout& r = rq.readout;
    const double full = static_cast<double>((1u << rq.bits) - 1u);
    const double gain_factor = 1.0 + rq.gain / 10.0;
    const double signal_scale =
        full * (rq.exposure_us / kReferenceExposureUs) * gain_factor / (r.bin * r.bin);
    const double black = rq.offset * (full + 1.0) / 256.0;
    const double dither = std::max(0.6, full * 0.004);
    constexpr std::uint64_t kFinaliser = 0xBF58476D1CE4E5B9ull;
    constexpr auto kFinaliserLo = static_cast<std::uint32_t>(kFinaliser);
    constexpr auto kFinaliserHi = static_cast<std::uint32_t>(kFinaliser >> 32);
    const std::uint32_t w = picture.width;
    // The column's part of the hash, x * kDitherX, the same for every row.
    std::vector<std::uint32_t> column_lo(w), column_hi(w);
    for (std::uint32_t i = 0; i < w; ++i) {
        const std::uint64_t column = (r.x + static_cast<std::uint64_t>(i) * r.bin) * kDitherX;
        column_lo[i] = static_cast<std::uint32_t>(column);
        column_hi[i] = static_cast<std::uint32_t>(column >> 32);
    }
    std::vector<double> acc(std::min(w, kBlock));
    std::vector<std::uint16_t> counts(w);
    for (std::uint32_t j = 0; j < picture.height; ++j) {
        const std::uint64_t noise_y = r.y + static_cast<std::uint64_t>(j) * r.bin;
        const std::uint64_t row_hash = (noise_y + rq.frame_index * kDitherFrame) * kDitherY;
        const auto row_lo = static_cast<std::uint32_t>(row_hash);
        const auto row_hi = static_cast<std::uint32_t>(row_hash >> 32);
        for (std::uint32_t begin = 0; begin < w; begin += kBlock) {
            const std::uint32_t end = std::min(w, begin + kBlock);
            scene.row(j, begin, end, acc.data());
            for (std::uint32_t i = begin; i < end; ++i) {
                // h = column ^ row; h ^= h >> 29; h *= kFinaliser; h ^= h >> 32.
                std::uint32_t lo = column_lo[i] ^ row_lo;
                std::uint32_t hi = column_hi[i] ^ row_hi;
                lo ^= (lo >> 29) | (hi << 3);
                hi ^= hi >> 29;
                const std::uint64_t low_product = std::uint64_t{lo} * kFinaliserLo;
                hi = static_cast<std::uint32_t>(low_product >> 32) + lo * kFinaliserHi +
                     hi * kFinaliserLo;
                lo = static_cast<std::uint32_t>(low_product) ^ hi;
                // lo / 2^32 + hi / 2^32 - 1, the triangular variate: every step is exact (whole
                // multiples of 2^-32 below 2 in size), so any order of them gives its value.
                const double sum = (centred(lo) + centred(hi)) * kHalfScale;
                counts[i] =
                    to_count(black + signal_scale * acc[i - begin] + dither * (sum * kSqrt6), full);
            }
        }
        put_row(picture, j, counts.data());
    }
}

// sqrt(x) for a positive, normal x to about 5e-6: an estimate of 1 / sqrt(x) from the bits of
// x, refined twice by Newton's method. Plain arithmetic, so the loops that use it vectorise,
// which std::sqrt, bound to set errno, does not.
float approx_sqrt(float x) {
    const std::uint32_t estimate = 0x5F375A86u - (std::bit_cast<std::uint32_t>(x) >> 1);
    float y = std::bit_cast<float>(estimate);
    y *= 1.5f - 0.5f * x * y * y;
    y *= 1.5f - 0.5f * x * y * y;
    return x * y;
}

// The scene seen through the sensor: electrons drawn with shot noise (exact Poisson below
// kPoissonExactBelow, a Gaussian of the same mean and variance above), dark current and hot
// pixels, read noise, then converted to counts. Gaussians come five to a word of the picture's
// noise stream, row after row; the exact Poisson draws take their words from a second stream,
// by sample. Each row is first drawn as if all its samples were Gaussian, in one loop that
// vectorises; the few samples that are not, and the hot pixels, are then drawn again.
VXSIM_VECTOR_CLONES
void render_noisy(const PictureRequest& rq, const Canvas& picture, const SceneRows& scene) {
    const Readout& r = rq.readout;
    const double full = static_cast<double>((1u << rq.bits) - 1u);
    const double gain_factor = 1.0 + rq.gain / 10.0;
    const double black = rq.offset * (full + 1.0) / 256.0;
    // The level is counted in electrons: acc (summed over the bin) times electrons_per_unit,
    // plus dark current, drawn, then converted at counts_per_electron, which includes the
    // mean over the bin.
    const double bins = static_cast<double>(r.bin) * r.bin;
    const double exposure_s = rq.exposure_us * 1e-6;
    const double full_well = kFullWell8BitE * std::exp2((static_cast<double>(rq.bits) - 8.0) / 2.0);
    const double electrons_per_unit = full_well * rq.exposure_us / kReferenceExposureUs;
    const double counts_per_electron = gain_factor * full / full_well / bins;
    const double dark_scale =
        exposure_s * std::exp2((rq.temperature_c - kAmbientC) / kDarkDoublingC);
    const double dark_e = kDarkCurrentE * dark_scale * bins;
    const auto read_variance = static_cast<float>(kReadNoiseE * kReadNoiseE * bins);
    const float read_sigma = std::sqrt(read_variance);
    const auto black_f = static_cast<float>(black);
    const auto cpe_f = static_cast<float>(counts_per_electron);
    const auto full_f = static_cast<float>(full);
    const auto exact_below = static_cast<float>(kPoissonExactBelow);

    const GaussianTable& table = gaussian_table();
    const PoissonSampler& poisson = poisson_sampler();
    std::uint64_t poisson_stream = rq.noise_stream ^ 0x5851F42D4C957F2Dull;
    poisson_stream = splitmix(poisson_stream);
    const std::vector<std::pair<std::size_t, double>> hot = hot_samples(rq);
    auto next_hot = hot.begin();
    // A mean of 0 (no light, no dark current) is read noise alone, which the Gaussian gives.
    auto gaussian = [&](float mean, float z) {
        const float electrons = mean + approx_sqrt(mean + read_variance) * z;
        return to_count(black_f + electrons * cpe_f, full_f);
    };
    auto any_sample = [&](float mean, float z, std::size_t index) {
        if (!(mean > 0.0f && mean < exact_below))
            return gaussian(mean, z);
        const double shot = poisson.draw(mean, stream_word(poisson_stream, index + 1));
        const float electrons = static_cast<float>(shot) + read_sigma * z;
        return to_count(black_f + electrons * cpe_f, full_f);
    };

    const std::uint32_t w = picture.width;
    const std::uint32_t words_per_row = (w + kGaussiansPerWord - 1) / kGaussiansPerWord;
    const auto epu_f = static_cast<float>(electrons_per_unit);
    const auto dark_f = static_cast<float>(dark_e);
    std::vector<float> acc(std::min(w, kBlock)), gauss(acc.size() + kGaussiansPerWord);
    std::vector<std::uint16_t> counts(w);
    for (std::uint32_t j = 0; j < picture.height; ++j) {
        const std::size_t row_start = std::size_t{j} * w;
        for (std::uint32_t begin = 0; begin < w; begin += kBlock) {
            const std::uint32_t end = std::min(w, begin + kBlock);
            const std::uint32_t n = end - begin;
            scene.row(j, begin, end, acc.data());
            const std::uint64_t first_word =
                std::uint64_t{j} * words_per_row + begin / kGaussiansPerWord + 1;
            for (std::uint32_t q = 0; q * kGaussiansPerWord < n; ++q) {
                std::uint64_t bits = stream_word(rq.noise_stream, first_word + q);
                float* z = gauss.data() + std::size_t{q} * kGaussiansPerWord;
                for (unsigned s = 0; s < kGaussiansPerWord; ++s, bits >>= kGaussianBits)
                    z[s] = table[bits & ((1u << kGaussianBits) - 1u)];
            }
            std::uint16_t* out = counts.data() + begin;
            int exact = 0; // whether any sample of the block needs an exact Poisson draw
            for (std::uint32_t i = 0; i < n; ++i) {
                const float mean = acc[i] * epu_f + dark_f;
                out[i] = gaussian(mean, gauss[i]);
                exact |= static_cast<int>(mean > 0.0f) & static_cast<int>(mean < exact_below);
            }
            if (exact != 0) {
                for (std::uint32_t i = 0; i < n; ++i) {
                    const float mean = acc[i] * epu_f + dark_f;
                    if (mean > 0.0f && mean < exact_below)
                        out[i] = any_sample(mean, gauss[i], row_start + begin + i);
                }
            }
            for (; next_hot != hot.end() && next_hot->first < row_start + end; ++next_hot) {
                const std::size_t i = next_hot->first - row_start - begin;
                const float mean =
                    acc[i] * epu_f + dark_f + static_cast<float>(next_hot->second * dark_scale);
                out[i] = any_sample(mean, gauss[i], row_start + begin + i);
            }
        }
        put_row(picture, j, counts.data());
    }
}

} // namespace

std::uint64_t noise_stream(std::uint64_t seed, std::uint64_t draw) noexcept {
    std::uint64_t state = seed;
    const std::uint64_t mixed_seed = splitmix(state);
    state = mixed_seed ^ draw * 0xD1B54A32D192ED03ull;
    return splitmix(state);
}

std::size_t picture_bytes(const PictureRequest& request) {
    return std::size_t{request.readout.frame_width()} * request.readout.frame_height() *
           bytes_per_sample(request.bits);
}

void render_picture(const PictureRequest& request, unsigned char* out) {
    const Canvas canvas{request.readout.frame_width(), request.readout.frame_height(), request.bits,
                        out};
    if (request.pattern == Pattern::Ramp) {
        render_ramp(request, canvas);
        return;
    }
    const SceneRows scene(request, canvas.width, canvas.height);
    if (request.noise)
        render_noisy(request, canvas, scene);
    else
        render_dithered(request, canvas, scene);
}

void render_picture(const PictureRequest& request, Picture& picture) {
    picture.width = request.readout.frame_width();
    picture.height = request.readout.frame_height();
    picture.bits = request.bits;
    picture.bytes.resize(picture_bytes(request));
    render_picture(request, picture.bytes.data());
}

Picture render_picture(const PictureRequest& request) {
    Picture picture;
    render_picture(request, picture);
    return picture;
}

// The pictures a pool has handed out come back here when their last user lets go. Shared with
// those pictures' deleters, so it outlives the pool while any of them is still in use.
struct PicturePool::Shelf {
    std::mutex mutex;
    std::vector<std::unique_ptr<Picture>> spare; // at most kSpares
};

PicturePool::PicturePool() : shelf_(std::make_shared<Shelf>()) {}

std::shared_ptr<const Picture> PicturePool::draw(const PictureRequest& request) {
    const std::size_t bytes = picture_bytes(request);
    std::unique_ptr<Picture> picture;
    {
        std::lock_guard<std::mutex> guard(shelf_->mutex);
        if (!shelf_->spare.empty()) {
            picture = std::move(shelf_->spare.back());
            shelf_->spare.pop_back();
        }
    }
    // A buffer far larger than the frame (the region shrank) is given back, not kept.
    if (picture && (picture->bytes.capacity() < bytes || picture->bytes.capacity() / 2 > bytes))
        picture.reset();
    if (!picture)
        picture = std::make_unique<Picture>();
    render_picture(request, *picture);
    return std::shared_ptr<const Picture>(picture.release(), [shelf = shelf_](const Picture* p) {
        std::unique_ptr<Picture> back(const_cast<Picture*>(p));
        std::lock_guard<std::mutex> guard(shelf->mutex);
        if (shelf->spare.size() < kSpares)
            shelf->spare.push_back(std::move(back));
    });
}

} // namespace vxsim
