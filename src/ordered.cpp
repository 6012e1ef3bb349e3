// The per-pixel threshold engines: ordered (tiled matrix) and random (seeded noise).
#include "ordered.hpp"

#include <time.h>

#include <variant>

namespace tonalis {

namespace {

constexpr float draw_scale = 0x1p-24f;  // 24-bit draw to a fraction
static_assert(draw_scale == 1.0f / 16777216.0f);

// Per-pixel shift in [-0.5, 0.5) from the tiled matrix. Pixels arrive row
// by row, left to right; the row offset is found once per row.
class MatrixShift {
public:
    explicit MatrixShift(const ThresholdMatrix& m) noexcept : m_(m) {}
    void begin_row(std::size_t y) noexcept { row_ = m_.values.data() + (y % m_.height) * m_.width; }
    float at(std::size_t x) noexcept { return row_[x % m_.width] - 0.5f; }

private:
    const ThresholdMatrix& m_;
    const float* row_ = nullptr;
};

// Per-pixel shift from the generator: one draw per pixel, in visiting order.
class NoiseShift {
public:
    explicit NoiseShift(std::uint64_t seed) noexcept : gen_(NoiseGenerator::from_seed(seed)) {}
    void begin_row(std::size_t) noexcept {}
    float at(std::size_t) noexcept { return gen_.next_noise(); }

private:
    NoiseGenerator gen_;
};

template <bool skip_alpha, class Shift>
void levels_loop(Img& img, const Levels& levels, const Space& space, float strength,
                 Shift& shift) noexcept {
    const float amplitude = strength * levels.step;
    const std::size_t channels = img.channels;
    const std::size_t alpha = skip_alpha ? *img.alpha : channels;
    std::uint8_t* px = img.data.data();
    for (std::size_t y = 0; y < img.height; ++y) {
        shift.begin_row(y);
        for (std::size_t x = 0; x < img.width; ++x, px += channels) {
            const float d = shift.at(x) * amplitude;
            for (std::size_t c = 0; c < channels; ++c) {
                if constexpr (skip_alpha) {
                    if (c == alpha) {
                        continue;
                    }
                }
                const float v = space.to_work[px[c]] + d;
                px[c] = levels.codes[nearest_level(levels, v)];
            }
        }
    }
}

template <class Shift>
void palette_loop(Img& img, const Palette& palette, const Space& space, float strength,
                  Shift& shift) noexcept {
    const Color amplitude{strength * palette.spread[0], strength * palette.spread[1],
                          strength * palette.spread[2]};
    const std::size_t channels = img.channels;
    std::uint8_t* px = img.data.data();
    for (std::size_t y = 0; y < img.height; ++y) {
        shift.begin_row(y);
        for (std::size_t x = 0; x < img.width; ++x, px += channels) {
            const float s = shift.at(x);
            const Color p{space.to_work[px[0]] + amplitude[0] * s,
                          space.to_work[px[1]] + amplitude[1] * s,
                          space.to_work[px[2]] + amplitude[2] * s};
            // Channels from 3 on are never written: alpha always passes through.
            const Rgb& out = palette.rgb[nearest_color(palette, p)];
            px[0] = out[0];
            px[1] = out[1];
            px[2] = out[2];
        }
    }
}

template <class Shift>
void threshold_pass(Img& img, const Target& target, const Space& space, float strength,
                    Shift& shift) noexcept {
    if (const auto* palette = std::get_if<Palette>(&target)) {
        palette_loop(img, *palette, space, strength, shift);
        return;
    }
    const Levels& levels = *std::get_if<Levels>(&target);
    if (img.alpha.has_value() && *img.alpha < img.channels) {
        levels_loop<true>(img, levels, space, strength, shift);
    } else {
        levels_loop<false>(img, levels, space, strength, shift);
    }
}

}  // namespace

std::uint32_t NoiseGenerator::next_bits() noexcept {
    state += increment;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    // The final z ^ (z >> 31) of SplitMix64 leaves these top bits unchanged.
    return static_cast<std::uint32_t>(z >> 40);
}

float NoiseGenerator::next_noise() noexcept {
    return static_cast<float>(next_bits()) * draw_scale - 0.5f;
}

std::uint64_t clock_seed() noexcept {
    timespec ts{};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
        return NoiseGenerator::increment;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void ordered_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                         const ThresholdMatrix& matrix) noexcept {
    MatrixShift shift(matrix);
    threshold_pass(img, target, space, strength, shift);
}

void random_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                        std::uint64_t seed) noexcept {
    NoiseShift shift(seed);
    threshold_pass(img, target, space, strength, shift);
}

}  // namespace tonalis
