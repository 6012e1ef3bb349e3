// The random engine's noise generator: SplitMix64, one 24-bit draw per pixel.
#pragma once

#include <cstdint>

namespace tonalis {

// SplitMix64. The k-th state after the seed's is the seed state plus k
// increments, so any pixel's draw is found without running through the
// ones before it, and vector lanes draw independently.
struct NoiseGenerator {
    std::uint64_t state;

    static constexpr std::uint64_t seed_mix = 0xD1B54A32D192ED03ull;
    static constexpr std::uint64_t increment = 0x9E3779B97F4A7C15ull;
    static constexpr std::uint64_t first_multiplier = 0xBF58476D1CE4E5B9ull;
    static constexpr std::uint64_t second_multiplier = 0x94D049BB133111EBull;
    // A 24-bit draw times this is a fraction in [0, 1).
    static constexpr float draw_scale = 0x1p-24f;

    static constexpr NoiseGenerator from_seed(std::uint64_t seed) noexcept {
        return NoiseGenerator{seed ^ seed_mix};
    }
};
static_assert(NoiseGenerator::draw_scale == 1.0f / 16777216.0f);

// The top 24 bits of SplitMix64's output for a state already advanced.
[[gnu::always_inline]] inline std::uint32_t mix_bits(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * NoiseGenerator::first_multiplier;
    z = (z ^ (z >> 27)) * NoiseGenerator::second_multiplier;
    // The final z ^ (z >> 31) of SplitMix64 leaves these top bits unchanged.
    return static_cast<std::uint32_t>(z >> 40);
}

// The shift in [-0.5, 0.5) of a 24-bit draw.
[[gnu::always_inline]] inline float noise_of(std::uint32_t bits) noexcept {
    return static_cast<float>(bits) * NoiseGenerator::draw_scale - 0.5f;
}

// Nanoseconds since the Unix epoch from the real-time clock, modulo 2^64;
// the generator's increment when the clock reads before the epoch.
std::uint64_t clock_seed() noexcept;

}  // namespace tonalis
