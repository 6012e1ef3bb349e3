// The seeded generator's draws in vector lanes, and the shifts of a row
// filled from them, compiled once per target (see targets.hpp) for the
// threshold passes.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines them for
// that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>
#include <utility>

#include "threshold/noise.hpp"
#include "threshold/shifts.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_NOISE_LANES_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_NOISE_LANES_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_NOISE_LANES_2))
#if TONALIS_TARGET == 0
#define TONALIS_NOISE_LANES_0
#elif TONALIS_TARGET == 1
#define TONALIS_NOISE_LANES_1
#else
#define TONALIS_NOISE_LANES_2
#endif

#include "vectors.hpp"

// The generator's draws, native_lanes at a time: 64-bit states in two
// halves of native_lanes / 2 lanes, mixed, and the top halves of the mixed
// words joined into one vector of 32-bit lanes (one shuffle) and shifted
// down to their top 24 bits.
typedef std::uint64_t vq __attribute__((vector_size(4 * native_lanes)));
typedef std::uint32_t vu __attribute__((vector_size(4 * native_lanes)));

// mix_bits' two multiplying steps (noise.hpp) in vector lanes, compiled for
// this target; the top 24 bits are taken by join_top_bits.
[[gnu::always_inline]] inline vq mix_lanes(vq z) noexcept {
    z = (z ^ (z >> 30)) * NoiseGenerator::first_multiplier;
    return (z ^ (z >> 27)) * NoiseGenerator::second_multiplier;
}

// The odd 32-bit lanes of a, then those of b: on little-endian x86, the
// top halves of the 64-bit lanes.
template <std::size_t... I>
[[gnu::always_inline]] inline vu top_halves_impl(vu a, vu b, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(a, b, static_cast<int>(2 * I + 1)...);
}

[[gnu::always_inline]] inline vi join_top_bits(vq a, vq b) noexcept {
    const vu top = top_halves_impl(reinterpret_cast<vu>(a), reinterpret_cast<vu>(b),
                                   std::make_index_sequence<native_lanes>{});
    return reinterpret_cast<vi>(top >> 8);
}

// The shifts (noise_of) of the draws of the states after `state`,
// native_lanes at a time: lane l of the two halves holds the states of
// draws l and half + l.
struct NoiseLanes {
    static constexpr std::size_t half = native_lanes / 2;
    static constexpr std::uint64_t inc = NoiseGenerator::increment;
    vq lo;
    vq hi;

    template <std::size_t... I>
    [[gnu::always_inline]] static vq counts(std::uint64_t first,
                                            std::index_sequence<I...>) noexcept {
        return vq{(first + I)...};
    }
    [[gnu::always_inline]] explicit NoiseLanes(std::uint64_t state) noexcept
        : lo(state + counts(1, std::make_index_sequence<half>{}) * inc),
          hi(state + counts(half + 1, std::make_index_sequence<half>{}) * inc) {}
    [[gnu::always_inline]] vf next() noexcept {
        const vi bits = join_top_bits(mix_lanes(lo), mix_lanes(hi));
        lo += native_lanes * inc;
        hi += native_lanes * inc;
        return __builtin_convertvector(bits, vf) * NoiseGenerator::draw_scale - 0.5f;
    }
};

// The next n shifts (n a multiple of native_lanes) into out, as n calls of
// the shift's next() give them.
[[gnu::always_inline]] inline void fill_shifts(MatrixShift& shift, float* out,
                                               std::size_t n) noexcept {
    shift.fill(out, n);
}

[[gnu::always_inline]] inline void fill_shifts(NoiseShift& shift, float* out,
                                               std::size_t n) noexcept {
    NoiseLanes lanes(shift.state());
    for (std::size_t k = 0; k < n; k += native_lanes) {
        const vf s = lanes.next();
        __builtin_memcpy(out + k, &s, sizeof s);
    }
    shift.skip(n);
}

#endif
