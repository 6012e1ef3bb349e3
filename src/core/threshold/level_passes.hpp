// Ordered and random dither to levels in vectors of bytes, compiled for
// the targets with byte shuffles (see targets.hpp) for threshold/ordered.cpp:
// the cell thresholds' byte patterns, and random dither with every lane
// drawing its own generator state.
//
// Included at global scope it brings in what it uses; included inside a
// target's namespace (by a body, TONALIS_TARGET set) it defines them for
// that target, once however many of the body's files include it.
#if !defined(TONALIS_TARGET)
#include <cstddef>
#include <cstdint>
#include <utility>

#include "prepared.hpp"
#include "space.hpp"
#include "threshold/cell_thresholds.hpp"
#include "threshold/matrices.hpp"
#include "threshold/noise.hpp"
#include "threshold/noise_lanes.hpp"
#include "vectors.hpp"
#elif (TONALIS_TARGET == 0 && !defined(TONALIS_LEVEL_PASSES_0)) || \
    (TONALIS_TARGET == 1 && !defined(TONALIS_LEVEL_PASSES_1)) ||   \
    (TONALIS_TARGET == 2 && !defined(TONALIS_LEVEL_PASSES_2))
#if TONALIS_TARGET == 0
#define TONALIS_LEVEL_PASSES_0
#elif TONALIS_TARGET == 1
#define TONALIS_LEVEL_PASSES_1
#else
#define TONALIS_LEVEL_PASSES_2
#endif

#include "vectors.hpp"
#include "threshold/noise_lanes.hpp"

#if TONALIS_BYTE_SHUFFLES

[[gnu::always_inline]] inline vbw replicated_codes(const Levels& levels) noexcept {
    vbw table;
    for (std::size_t i = 0; i < byte_lanes; ++i) table[i] = levels.codes[i % 16];
    return table;
}

// Ordered dither with the cell thresholds, rows [y0, y1). For one matrix
// row the samples of an image row repeat with a period of (matrix width ×
// channels) samples, so each plane of the pattern (level at byte 0,
// pass-through mask, thresholds) is written out for one period plus one
// vector and read at the sample's phase.
void pattern_rows(Img& img, const CellThresholds& th, const Levels& levels,
                  const ThresholdMatrix& matrix, std::size_t y0, std::size_t y1) noexcept {
    const std::size_t channels = img.channels;
    const std::size_t mw = matrix.width;
    const std::size_t period = mw * channels;
    const std::size_t span = period + byte_lanes;
    const std::size_t steps = th.steps;
    const std::size_t planes = steps + 2;
    const std::size_t kept = img.kept_channel();
    const bool has_alpha = kept < channels;
    const std::size_t row_bytes = planes * span;

    // At most 17 planes of 4 × 256 + 64 bytes fit; all matrix rows when
    // they fit too, else one at a time.
    alignas(64) std::uint8_t store[32768];
    static_assert((CellThresholds::max_steps + 2) * (4 * table_cells + 64) <= sizeof store);
    const bool all_rows = row_bytes * matrix.height <= sizeof store;
    auto build = [&](std::size_t r, std::uint8_t* out) {
        for (std::size_t q = 0; q < span; ++q) {
            const std::size_t s = q % period;
            const std::size_t cell = r * mw + s / channels;
            out[q] = th.base[cell];
            out[span + q] = s % channels == kept ? 0xFF : 0;
            for (std::size_t j = 0; j < steps; ++j) {
                out[(2 + j) * span + q] = th.limit[j][cell];
            }
        }
    };
    if (all_rows) {
        for (std::size_t r = 0; r < matrix.height; ++r) build(r, store + r * row_bytes);
    }
    const vbw codes = replicated_codes(levels);
    const std::size_t n = img.row_samples();
    const std::size_t advance = byte_lanes % period;
    std::size_t built = matrix.height;
    for (std::size_t y = y0; y < y1; ++y) {
        const std::size_t r = y % matrix.height;
        const std::uint8_t* pattern = store;
        if (all_rows) {
            pattern = store + r * row_bytes;
        } else if (built != r) {
            build(r, store);
            built = r;
        }
        std::uint8_t* row = img.data.data() + y * n;
        std::size_t phase = 0;
        std::size_t s = 0;
        if (advance == 0 && steps == 1 && !has_alpha) {
            // Two levels, and a period that divides the vector (Bayer
            // matrices on gray rows): one level at byte 0 and one limit
            // for the whole row, held in registers.
            const vbw first = load_vbw(pattern);
            const vbw limit = load_vbw(pattern + 2 * span);
            for (; s + byte_lanes <= n; s += byte_lanes) {
                const vbw b = load_vbw(row + s);
                const vbw out = lookup16(codes, first - reinterpret_cast<vbw>(b > limit));
                __builtin_memcpy(row + s, &out, sizeof out);
            }
        }
        for (; s + byte_lanes <= n; s += byte_lanes) {
            const std::uint8_t* at = pattern + phase;
            const vbw b = load_vbw(row + s);
            vbw k = load_vbw(at);
            for (std::size_t j = 0; j < steps; ++j) {
                k -= reinterpret_cast<vbw>(b > load_vbw(at + (2 + j) * span));
            }
            vbw out = lookup16(codes, k);
            if (has_alpha) {
                const vbw keep = load_vbw(at + span);
                out = (b & keep) | (out & ~keep);
            }
            __builtin_memcpy(row + s, &out, sizeof out);
            phase += advance;
            if (phase >= period) phase -= period;
        }
        for (; s < n; ++s, ++phase) {
            const std::uint8_t b = row[s];
            std::size_t k = pattern[phase];
            for (std::size_t j = 0; j < steps; ++j) {
                k += b > pattern[(2 + j) * span + phase] ? 1 : 0;
            }
            row[s] = pattern[span + phase] != 0 ? b : levels.codes[k];
        }
    }
}

// Random dither, levels target, working values equal to the codes, rows
// [y0, y1): native_lanes pixels per step, each lane drawing its own
// generator state. The pixels of a band are contiguous, so rows need no
// seams.

// The d of each sample of the q-th vector of a step's C × native_lanes
// samples: sample q·lanes + l belongs to pixel (q·lanes + l) / C.
template <int C, int Q, std::size_t... I>
[[gnu::always_inline]] inline vf spread_shift(vf d, std::index_sequence<I...>) noexcept {
    return __builtin_shufflevector(d, d, static_cast<int>((Q * native_lanes + I) / C)...);
}

template <int C, int Q, std::size_t... I>
[[gnu::always_inline]] inline vb_lanes last_channel_mask(std::index_sequence<I...>) noexcept {
    return vb_lanes{static_cast<std::uint8_t>((Q * native_lanes + I) % C == C - 1 ? 0xFF : 0)...};
}

template <int C, bool keep_last, int Q>
[[gnu::always_inline]] inline void noise_vector(std::uint8_t* px, vf d, float inv_step,
                                                float max_index, vb16 codes) noexcept {
    using Lanes = std::make_index_sequence<native_lanes>;
    const vf shift = spread_shift<C, Q>(d, Lanes{});
    const vf v = __builtin_convertvector(widen_bytes(px + Q * native_lanes), vf) + shift;
    vi i;
    level_index(v * inv_step, max_index, i);
    vb_lanes out = lookup16_lanes(codes, i);
    if constexpr (keep_last) {
        vb_lanes b;
        __builtin_memcpy(&b, px + Q * native_lanes, sizeof b);
        const vb_lanes keep = last_channel_mask<C, Q>(Lanes{});
        out = (b & keep) | (out & ~keep);
    }
    __builtin_memcpy(px + Q * native_lanes, &out, sizeof out);
}

template <int C, bool keep_last, int... Q>
void noise_rows_c(Img& img, const Levels& levels, float strength, std::uint64_t state0,
                  std::size_t y0, std::size_t y1, std::integer_sequence<int, Q...>) noexcept {
    constexpr std::uint64_t inc = NoiseGenerator::increment;
    const float amplitude = strength * levels.step;
    const float inv_step = levels.inv_step;
    const float max_index = levels.max_index;
    vb16 codes;
    __builtin_memcpy(&codes, levels.codes.data(), sizeof codes);

    const std::size_t first = y0 * img.width;
    const std::size_t count = (y1 - y0) * img.width;
    std::uint8_t* px = img.data.data() + first * C;
    NoiseLanes lanes(state0 + first * inc);
    std::size_t k = 0;
    for (; k + native_lanes <= count; k += native_lanes, px += C * native_lanes) {
        const vf d = lanes.next() * amplitude;
        (noise_vector<C, keep_last, Q>(px, d, inv_step, max_index, codes), ...);
    }
    // The last few pixels one at a time, with the same formula.
    std::uint64_t state = state0 + (first + k) * inc;
    for (; k < count; ++k, px += C) {
        state += inc;
        const float d = noise_of(mix_bits(state)) * amplitude;
        for (int c = 0; c < C; ++c) {
            if (keep_last && c == C - 1) continue;
            px[c] = levels.codes[nearest_level(levels, static_cast<float>(px[c]) + d)];
        }
    }
}

void noise_rows(Img& img, const Levels& levels, float strength, std::uint64_t state0,
                std::size_t y0, std::size_t y1) noexcept {
    const bool keep_last = img.kept_channel() + 1 == img.channels;
    switch (img.channels) {
        case 1:
            noise_rows_c<1, false>(img, levels, strength, state0, y0, y1,
                                   std::integer_sequence<int, 0>{});
            break;
        case 2:
            if (keep_last) {
                noise_rows_c<2, true>(img, levels, strength, state0, y0, y1,
                                      std::integer_sequence<int, 0, 1>{});
            } else {
                noise_rows_c<2, false>(img, levels, strength, state0, y0, y1,
                                       std::integer_sequence<int, 0, 1>{});
            }
            break;
        case 3:
            noise_rows_c<3, false>(img, levels, strength, state0, y0, y1,
                                   std::integer_sequence<int, 0, 1, 2>{});
            break;
        case 4:
            if (keep_last) {
                noise_rows_c<4, true>(img, levels, strength, state0, y0, y1,
                                      std::integer_sequence<int, 0, 1, 2, 3>{});
            } else {
                noise_rows_c<4, false>(img, levels, strength, state0, y0, y1,
                                       std::integer_sequence<int, 0, 1, 2, 3>{});
            }
            break;
        default: break;
    }
}

#endif

#endif
