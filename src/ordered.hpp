// The per-pixel threshold engines: ordered (tiled matrix) and random (seeded noise).
#pragma once

#include <cstdint>

#include "matrices.hpp"
#include "prepared.hpp"

namespace tonalis {

// SplitMix64; one draw per pixel gives a noise value in [-0.5, 0.5).
struct NoiseGenerator {
    std::uint64_t state;

    static constexpr std::uint64_t seed_mix = 0xD1B54A32D192ED03ull;
    static constexpr std::uint64_t increment = 0x9E3779B97F4A7C15ull;

    static constexpr NoiseGenerator from_seed(std::uint64_t seed) noexcept {
        return NoiseGenerator{seed ^ seed_mix};
    }
    // The top 24 bits of the next output, in [0, 2^24).
    std::uint32_t next_bits() noexcept;
    // k * 2^-24 - 0.5 for the next 24-bit draw k.
    float next_noise() noexcept;
};

// Nanoseconds since the Unix epoch from the real-time clock, modulo 2^64;
// the generator's increment when the clock reads before the epoch.
std::uint64_t clock_seed() noexcept;

// Rewrite img.data in place. Run without the interpreter; cannot fail.
void ordered_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                         const ThresholdMatrix& matrix) noexcept;
void random_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                        std::uint64_t seed) noexcept;

}  // namespace tonalis
