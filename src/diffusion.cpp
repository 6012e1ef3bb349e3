// The nine diffusion kernels, their weight rows, and the error-diffusion pixel loops.
#include "diffusion.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "machine.hpp"

namespace tonalis {

namespace {

constexpr KernelTap floyd_steinberg_taps[] = {
    {1, 0, 7.0f},
    {-1, 1, 3.0f}, {0, 1, 5.0f}, {1, 1, 1.0f},
};
constexpr KernelTap false_floyd_steinberg_taps[] = {
    {1, 0, 3.0f},
    {0, 1, 3.0f}, {1, 1, 2.0f},
};
constexpr KernelTap jarvis_judice_ninke_taps[] = {
    {1, 0, 7.0f}, {2, 0, 5.0f},
    {-2, 1, 3.0f}, {-1, 1, 5.0f}, {0, 1, 7.0f}, {1, 1, 5.0f}, {2, 1, 3.0f},
    {-2, 2, 1.0f}, {-1, 2, 3.0f}, {0, 2, 5.0f}, {1, 2, 3.0f}, {2, 2, 1.0f},
};
constexpr KernelTap stucki_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-2, 2, 1.0f}, {-1, 2, 2.0f}, {0, 2, 4.0f}, {1, 2, 2.0f}, {2, 2, 1.0f},
};
constexpr KernelTap atkinson_taps[] = {
    {1, 0, 1.0f}, {2, 0, 1.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f}, {1, 1, 1.0f},
    {0, 2, 1.0f},
};
constexpr KernelTap burkes_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
};
constexpr KernelTap sierra_taps[] = {
    {1, 0, 5.0f}, {2, 0, 3.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 5.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-1, 2, 2.0f}, {0, 2, 3.0f}, {1, 2, 2.0f},
};
constexpr KernelTap sierra_two_row_taps[] = {
    {1, 0, 4.0f}, {2, 0, 3.0f},
    {-2, 1, 1.0f}, {-1, 1, 2.0f}, {0, 1, 3.0f}, {1, 1, 2.0f}, {2, 1, 1.0f},
};
constexpr KernelTap sierra_lite_taps[] = {
    {1, 0, 2.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f},
};

constexpr DiffusionKernel kernels[] = {
    {"floyd_steinberg", floyd_steinberg_taps, 16.0f},
    {"false_floyd_steinberg", false_floyd_steinberg_taps, 8.0f},
    {"jarvis_judice_ninke", jarvis_judice_ninke_taps, 48.0f},
    {"stucki", stucki_taps, 42.0f},
    {"atkinson", atkinson_taps, 8.0f},
    {"burkes", burkes_taps, 32.0f},
    {"sierra", sierra_taps, 32.0f},
    {"sierra_two_row", sierra_two_row_taps, 16.0f},
    {"sierra_lite", sierra_lite_taps, 4.0f},
};

static_assert(std::size(kernels) == 9);

constexpr float weight_sum(const DiffusionKernel& k) {
    float sum = 0.0f;
    for (const KernelTap& t : k.taps) sum += t.weight;
    return sum;
}

// Taps must fit the 3 x 8 weight window, reach only unvisited pixels, and be
// stored row by row, ascending and without repeats.
constexpr bool taps_well_formed(const DiffusionKernel& k) {
    for (std::size_t i = 0; i < k.taps.size(); ++i) {
        const KernelTap& t = k.taps[i];
        if (t.dy < 0 || t.dy > 2 || t.dx < -2 || t.dx > 2) return false;
        if (t.dy == 0 && t.dx <= 0) return false;
        if (i > 0) {
            const KernelTap& p = k.taps[i - 1];
            if (p.dy > t.dy || (p.dy == t.dy && p.dx >= t.dx)) return false;
        }
    }
    return !k.taps.empty();
}

constexpr bool all_kernels_valid() {
    for (const DiffusionKernel& k : kernels) {
        if (!taps_well_formed(k)) return false;
        // Every kernel but Atkinson passes on the whole error.
        const bool whole = k.name != "atkinson";
        if (whole && weight_sum(k) != k.divisor) return false;
    }
    return true;
}

static_assert(all_kernels_valid());
static_assert(weight_sum(kernels[4]) == 6.0f && kernels[4].divisor == 8.0f,
              "Atkinson passes on three quarters of the error");

// Which taps a kernel has, as compile-time data for the row loops.
struct TapShape {
    bool at[3][5];  // [dy][dx + 2]
    int lo[3];      // per row, the lowest offset held in the window (at most 0)
    int hi[3];      // per row, the highest offset held in the window (at least 0)
    bool row2;      // the kernel reaches two rows down
    bool row0_far;  // the kernel reaches two pixels ahead in the current row
};

constexpr TapShape tap_shape(const DiffusionKernel& k) {
    TapShape s{};
    for (const KernelTap& t : k.taps) {
        s.at[t.dy][t.dx + 2] = true;
    }
    for (int dy = 0; dy < 3; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            if (s.at[dy][dx + 2]) {
                s.lo[dy] = std::min(s.lo[dy], dx);
                s.hi[dy] = std::max(s.hi[dy], dx);
            }
        }
    }
    s.row2 = s.at[2][0] || s.at[2][1] || s.at[2][2] || s.at[2][3] || s.at[2][4];
    s.row0_far = s.at[0][4];
    return s;
}

template <int K>
inline constexpr TapShape kernel_shape = tap_shape(kernels[K]);

// The row loops carry the current row's error in registers: every kernel
// passes to the next pixel, and to nothing beyond two pixels ahead.
constexpr bool shapes_supported() {
    for (const DiffusionKernel& k : kernels) {
        const TapShape s = tap_shape(k);
        if (!s.at[0][3]) return false;
    }
    return true;
}
static_assert(shapes_supported());

constexpr std::size_t cell_floats = 4;  // room for four lanes per cell
constexpr std::size_t diffusion_rows = 4;  // error rows: a pair of rows in progress reaches y + 3

typedef float f4 __attribute__((vector_size(16)));
typedef std::int32_t i4 __attribute__((vector_size(16)));

// One sample in lane 0 of a vector register (the other lanes stay zero).
// Scalar code would decide the level with a branch, which dithered data
// mispredicts half the time; vector compares give masks instead.
struct Lane0 {
    f4 v;
};
[[gnu::always_inline]] inline Lane0 operator+(Lane0 a, Lane0 b) noexcept { return {a.v + b.v}; }
[[gnu::always_inline]] inline Lane0 operator-(Lane0 a, Lane0 b) noexcept { return {a.v - b.v}; }
[[gnu::always_inline]] inline Lane0 operator*(Lane0 a, Lane0 b) noexcept { return {a.v * b.v}; }

template <class V>
[[gnu::always_inline]] inline V splat_cell(float x) noexcept {
    if constexpr (std::is_same_v<V, Lane0>) {
        return Lane0{f4{x, x, x, x}};
    } else {
        return V{x, x, x, x};
    }
}

// Two levels, one sample per position: level 1 from 127.5 up.
struct GrayTwo {
    using V = Lane0;
    const float* to_work;

    [[gnu::always_inline]] Lane0 input(const std::uint8_t* px) const noexcept {
        return Lane0{f4{to_work[*px], 0.0f, 0.0f, 0.0f}};
    }
    [[gnu::always_inline]] Lane0 quantize(Lane0 v, std::uint8_t* px) const noexcept {
        const i4 high = v.v >= 127.5f;
        *px = static_cast<std::uint8_t>(high[0]);
        const i4 top = reinterpret_cast<i4>(f4{255.0f, 255.0f, 255.0f, 255.0f});
        return Lane0{v.v - reinterpret_cast<f4>(top & high)};
    }
};

// Nearest level of x = v * inv_step, lane by lane: clamping first to
// [0, max_index] gives the same index as rounding first (rounding is
// monotonic and the bounds are whole), and a NaN becomes 0. On [0, 255]
// truncation leaves an exact fraction, so rounding half away from zero is
// truncation plus one when the fraction reaches one half.
[[gnu::always_inline]] inline i4 level_index(f4 x, float max_index) noexcept {
    x = x > 0.0f ? x : f4{};
    x = x < max_index ? x : f4{max_index, max_index, max_index, max_index};
    const i4 i = __builtin_convertvector(x, i4);
    const f4 fraction = x - __builtin_convertvector(i, f4);
    return i - (fraction >= 0.5f);
}

struct GrayLevels {
    using V = Lane0;
    const float* to_work;
    const std::uint8_t* codes;
    const float* values;
    float inv_step;
    float max_index;

    [[gnu::always_inline]] Lane0 input(const std::uint8_t* px) const noexcept {
        return Lane0{f4{to_work[*px], 0.0f, 0.0f, 0.0f}};
    }
    [[gnu::always_inline]] Lane0 quantize(Lane0 v, std::uint8_t* px) const noexcept {
        const std::int32_t i = level_index(v.v * inv_step, max_index)[0];
        *px = codes[i];
        return Lane0{v.v - f4{values[i], 0.0f, 0.0f, 0.0f}};
    }
};

// Up to four channels of a pixel side by side in vector lanes: each lane
// is its own gray plane with its own error cells, and the lanes' chains of
// dependent operations overlap. Lanes from C on stay zero.
template <int C>
struct LanesTwo {
    using V = f4;
    const float* to_work;
    std::size_t offset[4];

    [[gnu::always_inline]] f4 input(const std::uint8_t* px) const noexcept {
        f4 r = {};
        for (int l = 0; l < C; ++l) r[l] = to_work[px[offset[l]]];
        return r;
    }
    [[gnu::always_inline]] f4 quantize(f4 v, std::uint8_t* px) const noexcept {
        const i4 high = v >= 127.5f;
        for (int l = 0; l < C; ++l) px[offset[l]] = static_cast<std::uint8_t>(high[l]);
        const i4 top = reinterpret_cast<i4>(f4{255.0f, 255.0f, 255.0f, 255.0f});
        return v - reinterpret_cast<f4>(top & high);
    }
};

template <int C>
struct LanesLevels {
    using V = f4;
    const float* to_work;
    const std::uint8_t* codes;
    const float* values;
    float inv_step;
    float max_index;
    std::size_t offset[4];

    [[gnu::always_inline]] f4 input(const std::uint8_t* px) const noexcept {
        f4 r = {};
        for (int l = 0; l < C; ++l) r[l] = to_work[px[offset[l]]];
        return r;
    }
    [[gnu::always_inline]] f4 quantize(f4 v, std::uint8_t* px) const noexcept {
        const i4 i = level_index(v * inv_step, max_index);
        f4 level = {};
        for (int l = 0; l < C; ++l) {
            px[offset[l]] = codes[i[l]];
            level[l] = values[i[l]];
        }
        return v - level;
    }
};

}  // namespace

// The row loops, once per instruction-set level.
// Sixteen-lane vectors are passed between the inlined helpers only, never
// across a call, so the baseline's different vector-passing convention does
// not matter.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
namespace diffusion_baseline {
namespace {
#define TONALIS_ISA 0
#include "palette_search.ipp"
#include "diffusion_row.ipp"
#include "diffusion_passes.ipp"
#undef TONALIS_ISA
}  // namespace
}  // namespace diffusion_baseline
#pragma GCC diagnostic pop

#pragma GCC push_options
#pragma GCC target("avx2")
namespace diffusion_avx2 {
namespace {
#define TONALIS_ISA 1
#include "palette_search.ipp"
#include "diffusion_row.ipp"
#include "diffusion_passes.ipp"
#undef TONALIS_ISA
}  // namespace
}  // namespace diffusion_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl")
namespace diffusion_avx512 {
namespace {
#define TONALIS_ISA 2
#include "palette_search.ipp"
#include "diffusion_row.ipp"
#include "diffusion_passes.ipp"
#undef TONALIS_ISA
}  // namespace
}  // namespace diffusion_avx512
#pragma GCC pop_options

namespace {

std::size_t kernel_number(const DiffusionKernel& kernel) noexcept {
    for (std::size_t k = 0; k < std::size(kernels); ++k) {
        if (&kernel == &kernels[k] || kernel.name == kernels[k].name) {
            return k;
        }
    }
    return std::size(kernels);
}

void diffuse_levels(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                    std::size_t kernel, bool serpentine, float* scratch) noexcept {
    // The levels loops are scalar lane arithmetic at every level; the wider
    // levels lend them more registers.
    by_isa(&diffusion_baseline::diffuse_levels_pass, &diffusion_avx2::diffuse_levels_pass,
           &diffusion_avx512::diffuse_levels_pass)(img, levels, space, rows, kernel, serpentine,
                                                   scratch);
}

void diffuse_palette(Img& img, const Palette& palette, const Space& space, const KernelRows& rows,
                     std::size_t kernel, bool serpentine, float* scratch) noexcept {
    // Colour pixels only; intake never pairs a palette with fewer channels.
    if (img.channels < 3) {
        return;
    }
    by_isa(&diffusion_baseline::diffuse_palette_pass, &diffusion_avx2::diffuse_palette_pass,
           &diffusion_avx512::diffuse_palette_pass)(img, palette, space, rows, kernel, serpentine,
                                                    scratch);
}

}  // namespace

std::span<const DiffusionKernel> diffusion_kernels() noexcept { return kernels; }

KernelRows kernel_rows(const DiffusionKernel& kernel, float scale) noexcept {
    KernelRows rows{};
    for (const KernelTap& tap : kernel.taps) {
        assert(tap.dy >= 0 && tap.dy <= 2 && tap.dx >= -2 && tap.dx <= 2);
        const float q = tap.weight / kernel.divisor;
        const float w = q * scale;
        const auto dy = static_cast<std::size_t>(tap.dy);
        rows.forward[dy][static_cast<std::size_t>(tap.dx + 2)] = w;
        rows.mirrored[dy][static_cast<std::size_t>(2 - tap.dx)] = w;
        // NaN compares unequal to zero and so marks its row active.
        if (w != 0.0f) {
            rows.row_active[dy] = true;
        }
    }
    return rows;
}

std::size_t diffusion_scratch_floats(const Img& img, const Target&) noexcept {
    return diffusion_rows * cell_floats * (img.width + 8);
}

void error_diffuse(Img& img, const Target& target, const Space& space, float strength,
                   const DiffusionKernel& kernel, bool serpentine, float* scratch) noexcept {
    const std::size_t k = kernel_number(kernel);
    if (k >= std::size(kernels) || img.width == 0 || img.height == 0) {
        return;
    }
    const KernelRows rows = kernel_rows(kernel, strength);
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        diffuse_palette(img, *palette, space, rows, k, serpentine, scratch);
    } else if (const Levels* levels = std::get_if<Levels>(&target)) {
        diffuse_levels(img, *levels, space, rows, k, serpentine, scratch);
    }
}

}  // namespace tonalis
