// The threshold engines: ordered dither (tiled matrix) and random dither (seeded noise).
//
// Every pixel is independent, so large images are cut into bands of rows
// that worker threads finish side by side; each band gives the bytes the
// single pass would. The level of a sample comes from whichever form is
// fastest for the call, all computing the same bits:
//
// - ordered dither with a small matrix: the output depends only on the
//   matrix cell and the input byte, so the exact formula is evaluated once
//   for every pair, and each sample becomes a table lookup, or with wide
//   vectors a few byte comparisons against the cell's level thresholds;
// - random dither: the exact formula, sixteen pixels at a time with wide
//   vectors (the generator's k-th state is the seed state plus k times the
//   increment, so lanes draw independently);
// - palettes of a few colours: vectors of pixels compared with every
//   colour;
// - larger palettes: the nearest colour from the candidate list of the
//   pixel's cell (search/cells.hpp), small ones searched over the union of
//   the lists of a vector's pixels (search/plan.hpp says which and where);
// - otherwise the formula pixel by pixel.
#if !defined(TONALIS_TARGET)
#include "threshold/ordered.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "checked_size.hpp"
#include "machine.hpp"
#include "search/cells.hpp"
#include "search/plan.hpp"
#include "threshold/cell_thresholds.hpp"
#include "threshold/level_passes.hpp"
#include "threshold/palette_passes.hpp"
#include "threshold/shifts.hpp"
#include "targets.hpp"

namespace tonalis {

namespace {

// Levels target, pixel by pixel, rows [y0, y1).
template <bool skip_alpha, class Shift>
void levels_rows(Img& img, const Levels& levels, const Space& space, float strength, Shift& shift,
                 std::size_t y0, std::size_t y1) noexcept {
    const float amplitude = strength * levels.step;
    const std::size_t channels = img.channels;
    const std::size_t kept = img.kept_channel();
    const float* to_work = space.to_work.data();
    const std::uint8_t* codes = levels.codes.data();
    std::uint8_t* px = img.data.data() + y0 * img.row_samples();
    for (std::size_t y = y0; y < y1; ++y) {
        shift.begin_row(y);
        for (std::size_t x = 0; x < img.width; ++x, px += channels) {
            const float d = shift.next() * amplitude;
            for (std::size_t c = 0; c < channels; ++c) {
                if (skip_alpha && c == kept) {
                    continue;
                }
                px[c] = codes[nearest_level(levels, to_work[px[c]] + d)];
            }
        }
    }
}

// The code written for each input byte in one matrix cell, by the exact
// formula.
void cell_codes(std::uint8_t* out, std::size_t cell, const ThresholdMatrix& matrix,
                const Levels& levels, const Space& space, float strength) noexcept {
    const float d = (matrix.values[cell] - 0.5f) * (strength * levels.step);
    for (std::size_t b = 0; b < 256; ++b) {
        out[b] = levels.codes[nearest_level(levels, space.to_work[b] + d)];
    }
}

// Levels target from the cell table, rows [y0, y1).
void table_rows(Img& img, const std::uint8_t* table, const ThresholdMatrix& matrix, std::size_t y0,
                std::size_t y1) noexcept {
    const std::size_t channels = img.channels;
    const std::size_t kept = img.kept_channel();
    const std::size_t mw = matrix.width;
    const std::size_t width = img.width;
    for (std::size_t y = y0; y < y1; ++y) {
        const std::uint8_t* cells = table + (y % matrix.height) * mw * 256;
        std::uint8_t* px = img.data.data() + y * img.row_samples();
        if (channels == 1) {
            for (std::size_t x0 = 0; x0 < width; x0 += mw) {
                const std::size_t n = std::min(mw, width - x0);
                for (std::size_t j = 0; j < n; ++j) {
                    px[x0 + j] = cells[j * 256 + px[x0 + j]];
                }
            }
            continue;
        }
        std::size_t cell = 0;
        for (std::size_t x = 0; x < width; ++x, px += channels) {
            const std::uint8_t* t = cells + cell * 256;
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != kept) {
                    px[c] = t[px[c]];
                }
            }
            cell = cell + 1 == mw ? 0 : cell + 1;
        }
    }
}

// False when a cell's codes do not have that form (the vector form is then
// not used).
bool cell_thresholds(CellThresholds& out, const ThresholdMatrix& matrix, const Levels& levels,
                     const Space& space, float strength) noexcept {
    const std::size_t cells = matrix.width * matrix.height;
    if (levels.count > CellThresholds::max_steps + 1 || cells > table_cells) {
        return false;
    }
    // Level index of each code, valid when codes do not repeat.
    std::int16_t index_of[256];
    std::fill_n(index_of, 256, std::int16_t{-1});
    for (std::uint32_t i = 0; i < levels.count; ++i) {
        if (index_of[levels.codes[i]] >= 0) {
            return false;
        }
        index_of[levels.codes[i]] = static_cast<std::int16_t>(i);
    }
    out.steps = 0;
    // When working values never fall as the byte rises, neither does the
    // level (adding, scaling by a positive step and rounding are monotonic),
    // so each threshold is found by bisection: a few evaluations per level
    // instead of 256 per cell. Otherwise every byte is evaluated, and a
    // cell whose levels do not rise with the byte rules the form out.
    const bool rising = std::is_sorted(space.to_work.begin(), space.to_work.end());
    std::uint8_t t[256];
    for (std::size_t cell = 0; cell < cells; ++cell) {
        std::size_t first = 0;
        std::size_t steps = 0;
        if (rising) {
            const float d = (matrix.values[cell] - 0.5f) * (strength * levels.step);
            auto level = [&](std::size_t b) { return nearest_level(levels, space.to_work[b] + d); };
            first = level(0);
            const std::size_t last = level(255);
            std::size_t from = 1;
            for (std::size_t k = first + 1; k <= last; ++k) {
                // The first byte at level k or above; none before `from` is.
                std::size_t lo = from;
                std::size_t hi = 255;
                while (lo < hi) {
                    const std::size_t mid = (lo + hi) / 2;
                    if (level(mid) >= k) {
                        hi = mid;
                    } else {
                        lo = mid + 1;
                    }
                }
                out.limit[steps++][cell] = static_cast<std::uint8_t>(lo - 1);
                from = lo;
            }
        } else {
            cell_codes(t, cell, matrix, levels, space, strength);
            first = static_cast<std::size_t>(index_of[t[0]]);
            auto prev = static_cast<int>(first);
            for (std::size_t b = 1; b < 256; ++b) {
                const int i = index_of[t[b]];
                if (i < prev) {
                    return false;
                }
                for (; prev < i; ++prev) {
                    out.limit[steps++][cell] = static_cast<std::uint8_t>(b - 1);
                }
            }
        }
        for (std::size_t s = steps; s < CellThresholds::max_steps; ++s) {
            out.limit[s][cell] = 255;
        }
        out.base[cell] = static_cast<std::uint8_t>(first);
        out.steps = std::max(out.steps, steps);
    }
    return true;
}

// Bands of rows for the worker threads, when the pass is long enough for
// them to pay: starting threads costs tens of microseconds, and on a busy
// machine a helper may wait milliseconds for a processor while the calling
// thread, its own band done, waits for it. `picoseconds` estimates the
// pass on one thread. Each thread takes several bands, one after another
// from a shared count: a thread that loses its processor for a while, or
// meets slower rows, leaves its share of the later bands to the others.
constexpr double band_min_picoseconds = 8e9;  // 8 ms
constexpr std::size_t bands_per_worker = 8;

template <class F>
void run_bands(std::size_t height, double picoseconds, F&& rows) noexcept {
    std::size_t parts = picoseconds >= band_min_picoseconds ? worker_count() : 1;
    parts = std::min(parts, height);
    if (parts <= 1) {
        rows(std::size_t{0}, height);
        return;
    }
    const std::size_t bands = std::min(height, parts * bands_per_worker);
    std::atomic<std::size_t> next{0};
    auto task = [&](std::size_t) {
        std::size_t b;
        while ((b = next.fetch_add(1, std::memory_order_relaxed)) < bands) {
            rows(part_start(height, b, bands), part_start(height, b + 1, bands));
        }
    };
    run_parts(parts, task);
}

// Rough single-thread costs per sample or pixel, in picoseconds, measured
// on a current x86-64 core.
constexpr double pattern_ps = 50;    // ordered, cell thresholds, per sample
constexpr double table_ps = 500;     // ordered, cell table, per sample
constexpr double formula_ps = 3000;  // the formula, per sample
constexpr double noise_ps = 600;     // random, vector lanes, per sample
constexpr double palette_ps = 4000;  // palette, per pixel, plus per colour:
constexpr double palette_color_ps = 30;
constexpr double cell_ps = 5000;  // palette, cell lists, per pixel, plus per colour:
constexpr double cell_color_ps = 4;
constexpr double scan_ps = 1400;  // palette, whole scan, per pixel, plus per colour:
constexpr double scan_color_ps = 170;
constexpr double cell_set_ps = 2600;  // palette, cell sets, per pixel

}  // namespace

}  // namespace tonalis

// The vector passes and the palette loops, once per target: the part of
// this file after #else.
#define TONALIS_TARGET_BODY "threshold/ordered.cpp"
#include "targets.hpp"

namespace tonalis {

namespace {

// The box holding every working value: a code's value plus its shift.
template <class Shift>
void working_box(const Palette& palette, const Space& space, float strength, const Shift& shift,
                 float low[3], float high[3]) noexcept {
    float lowest;
    float highest;
    shift.range(lowest, highest);
    const auto [least, most] = std::minmax_element(space.to_work.begin(), space.to_work.end());
    for (std::size_t c = 0; c < 3; ++c) {
        const float a = strength * palette.spread[c];
        low[c] = *least + std::min(a * lowest, a * highest);
        high[c] = *most + std::max(a * lowest, a * highest);
        // A little room on both sides; values outside are searched the plain way.
        const float room = (high[c] - low[c]) * 0x1p-10f + 0x1p-10f;
        low[c] -= room;
        high[c] += room;
    }
}

template <class MakeShift>
void palette_pass(Img& img, const Palette& palette, const Space& space, float strength,
                  search::Engine engine, MakeShift make_shift) noexcept {
    using Shift = decltype(make_shift(std::size_t{0}));
    PaletteCells cells;
    float low[3];
    float high[3];
    working_box(palette, space, strength, make_shift(std::size_t{0}), low, high);
    const search::Plan plan =
        search::choose(engine, palette.colors.size(), img.channels, img.pixel_count());
    const bool by_scan = plan.form == search::Form::pixel_lanes;
    const bool by_cells =
        (plan.form == search::Form::cell_sets || plan.form == search::Form::cell_lists) &&
        cells.make(palette, low, high, plan.side,
                   plan.form == search::Form::cell_sets ? PaletteCells::Entries::sets
                                                        : PaletteCells::Entries::packed_rgb);
    const auto scan_rows = TONALIS_DISPATCH(palette_scan_rows<Shift>);
    const auto cell_rows = TONALIS_DISPATCH(palette_cell_rows<Shift>);
    const auto group_rows = TONALIS_DISPATCH(palette_rows<Shift>);
    const auto colors = static_cast<double>(palette.colors.size());
    const double pixel_ps = by_scan                    ? scan_ps + scan_color_ps * colors
                            : by_cells && cells.sets() ? cell_set_ps
                            : by_cells                 ? cell_ps + cell_color_ps * colors
                                                       : palette_ps + palette_color_ps * colors;
    run_bands(img.height, static_cast<double>(img.pixel_count()) * pixel_ps,
              [&](std::size_t y0, std::size_t y1) {
                  auto shift = make_shift(y0);
                  if (by_scan) {
                      scan_rows(img, palette, space, strength, shift, y0, y1);
                  } else if (by_cells) {
                      cell_rows(img, palette, space, strength, shift, plan, cells, y0, y1);
                  } else {
                      group_rows(img, palette, space, strength, shift, plan, y0, y1);
                  }
              });
}

template <class MakeShift>
void formula_pass(Img& img, const Levels& levels, const Space& space, float strength,
                  MakeShift make_shift) noexcept {
    const bool skip_alpha = img.kept_channel() < img.channels;
    const double samples = static_cast<double>(img.pixel_count() * img.channels);
    run_bands(img.height, samples * formula_ps, [&](std::size_t y0, std::size_t y1) {
        auto shift = make_shift(y0);
        if (skip_alpha) {
            levels_rows<true>(img, levels, space, strength, shift, y0, y1);
        } else {
            levels_rows<false>(img, levels, space, strength, shift, y0, y1);
        }
    });
}

void ordered_levels(Img& img, const Levels& levels, const Space& space, float strength,
                    const ThresholdMatrix& matrix) noexcept {
    const std::size_t cells = matrix.width * matrix.height;
    const std::size_t samples = img.pixel_count() * img.channels;
    auto make_shift = [&](std::size_t) { return MatrixShift(matrix); };
    // The table costs 256 evaluations per cell; below that many samples
    // the formula is cheaper.
    if (cells > table_cells || samples < cells * 256) {
        formula_pass(img, levels, space, strength, make_shift);
        return;
    }
    // The byte-comparison form needs wide vectors.
    const auto pattern = TONALIS_DISPATCH_WIDE(pattern_rows);
    if (pattern != nullptr && img.channels <= 4) {
        CellThresholds thresholds;
        if (cell_thresholds(thresholds, matrix, levels, space, strength)) {
            run_bands(img.height, static_cast<double>(samples) * pattern_ps,
                      [&](std::size_t y0, std::size_t y1) {
                          pattern(img, thresholds, levels, matrix, y0, y1);
                      });
            return;
        }
    }
    alignas(64) std::uint8_t table[table_cells * 256];
    for (std::size_t cell = 0; cell < cells; ++cell) {
        cell_codes(table + cell * 256, cell, matrix, levels, space, strength);
    }
    run_bands(img.height, static_cast<double>(samples) * table_ps,
              [&](std::size_t y0, std::size_t y1) { table_rows(img, table, matrix, y0, y1); });
}

void random_levels(Img& img, const Levels& levels, const Space& space, float strength,
                   std::uint64_t seed) noexcept {
    // The vector form needs wide vectors, and working values equal to the codes.
    const auto noise = TONALIS_DISPATCH_WIDE(noise_rows);
    if (noise != nullptr && img.channels <= 4 && levels.count <= 16 && !space.linear) {
        const std::uint64_t state = NoiseGenerator::from_seed(seed).state;
        const double samples = static_cast<double>(img.pixel_count() * img.channels);
        run_bands(img.height, samples * noise_ps, [&](std::size_t y0, std::size_t y1) {
            noise(img, levels, strength, state, y0, y1);
        });
        return;
    }
    formula_pass(img, levels, space, strength,
                 [&](std::size_t y0) { return NoiseShift(seed, y0 * img.width); });
}

}  // namespace

void ordered_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                         const ThresholdMatrix& matrix) noexcept {
    if (img.pixel_count() == 0 || matrix.width == 0 || matrix.height == 0) {
        return;
    }
    if (const auto* palette = std::get_if<Palette>(&target)) {
        palette_pass(img, *palette, space, strength, search::Engine::ordered,
                     [&](std::size_t) { return MatrixShift(matrix); });
    } else if (const auto* levels = std::get_if<Levels>(&target)) {
        ordered_levels(img, *levels, space, strength, matrix);
    }
}

void random_dither_pass(Img& img, const Target& target, const Space& space, float strength,
                        std::uint64_t seed) noexcept {
    if (img.pixel_count() == 0) {
        return;
    }
    if (const auto* palette = std::get_if<Palette>(&target)) {
        palette_pass(img, *palette, space, strength, search::Engine::random,
                     [&](std::size_t y0) { return NoiseShift(seed, y0 * img.width); });
    } else if (const auto* levels = std::get_if<Levels>(&target)) {
        random_levels(img, *levels, space, strength, seed);
    }
}

}  // namespace tonalis

#else  // one target's copy

#include "threshold/level_passes.hpp"
#include "threshold/palette_passes.hpp"

#endif
