// The nine error-diffusion kernels as constant data, with their compile-time shapes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <utility>

namespace tonalis {

// One neighbour that receives a share weight / divisor of a pixel's error.
// dx counts along the scan direction, dy downwards (0, 1 or 2).
struct KernelTap {
    std::int32_t dx;
    std::int32_t dy;
    float weight;
};

// An error-diffusion method: constant data with the lifetime of the
// process. A method is identified by the address of its record.
struct DiffusionKernel {
    std::string_view name;
    std::span<const KernelTap> taps;  // dy ascending, dx ascending within a row
    float divisor;
};

namespace kernel_data {

// Taps row by row, as the kernels are usually drawn.
// clang-format off
inline constexpr KernelTap floyd_steinberg_taps[] = {
    {1, 0, 7.0f},
    {-1, 1, 3.0f}, {0, 1, 5.0f}, {1, 1, 1.0f},
};
inline constexpr KernelTap false_floyd_steinberg_taps[] = {
    {1, 0, 3.0f},
    {0, 1, 3.0f}, {1, 1, 2.0f},
};
inline constexpr KernelTap jarvis_judice_ninke_taps[] = {
    {1, 0, 7.0f}, {2, 0, 5.0f},
    {-2, 1, 3.0f}, {-1, 1, 5.0f}, {0, 1, 7.0f}, {1, 1, 5.0f}, {2, 1, 3.0f},
    {-2, 2, 1.0f}, {-1, 2, 3.0f}, {0, 2, 5.0f}, {1, 2, 3.0f}, {2, 2, 1.0f},
};
inline constexpr KernelTap stucki_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-2, 2, 1.0f}, {-1, 2, 2.0f}, {0, 2, 4.0f}, {1, 2, 2.0f}, {2, 2, 1.0f},
};
inline constexpr KernelTap atkinson_taps[] = {
    {1, 0, 1.0f}, {2, 0, 1.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f}, {1, 1, 1.0f},
    {0, 2, 1.0f},
};
inline constexpr KernelTap burkes_taps[] = {
    {1, 0, 8.0f}, {2, 0, 4.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 8.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
};
inline constexpr KernelTap sierra_taps[] = {
    {1, 0, 5.0f}, {2, 0, 3.0f},
    {-2, 1, 2.0f}, {-1, 1, 4.0f}, {0, 1, 5.0f}, {1, 1, 4.0f}, {2, 1, 2.0f},
    {-1, 2, 2.0f}, {0, 2, 3.0f}, {1, 2, 2.0f},
};
inline constexpr KernelTap sierra_two_row_taps[] = {
    {1, 0, 4.0f}, {2, 0, 3.0f},
    {-2, 1, 1.0f}, {-1, 1, 2.0f}, {0, 1, 3.0f}, {1, 1, 2.0f}, {2, 1, 1.0f},
};
inline constexpr KernelTap sierra_lite_taps[] = {
    {1, 0, 2.0f},
    {-1, 1, 1.0f}, {0, 1, 1.0f},
};
// clang-format on

inline constexpr DiffusionKernel kernels[] = {
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

// How many taps shape a has beyond those of b, or -1 when a lacks one of
// b's taps or reaches further (another row down, or two pixels ahead).
constexpr int taps_beyond(const TapShape& a, const TapShape& b) {
    if (a.row2 != b.row2 || a.row0_far != b.row0_far) return -1;
    int n = 0;
    for (int dy = 0; dy < 3; ++dy) {
        for (int dx = 0; dx < 5; ++dx) {
            if (b.at[dy][dx] && !a.at[dy][dx]) return -1;
            n += a.at[dy][dx] && !b.at[dy][dx];
        }
    }
    return n;
}

// The kernel whose compiled loop serves kernel K. The row loops depend
// only on which taps a kernel has (the weights come at run time), so
// kernels with the same taps share one loop (Jarvis-Judice-Ninke and
// Stucki; Burkes and two-row Sierra), and so does a kernel that lacks one
// tap of a kernel listed before it, reaching no further (false
// Floyd-Steinberg and Sierra Lite take Floyd-Steinberg's loop). Its weight
// there is zero: the share it adds is a zero, which changes no cell's
// value, so the bytes are the kernel's own. That costs those two kernels a
// few percent and spares every build two loops of each engine.
template <int K>
inline constexpr int served_by = [] {
    for (int k = 0; k < K; ++k) {
        const int beyond = taps_beyond(tap_shape(kernels[k]), kernel_shape<K>);
        if (beyond == 0 || beyond == 1) return k;
    }
    return K;
}();
// served_by of every kernel, by index.
inline constexpr auto served = []<int... k>(std::integer_sequence<int, k...>) {
    return std::array<int, sizeof...(k)>{served_by<k>...};
}(std::make_integer_sequence<int, static_cast<int>(std::size(kernels))>{});
static_assert(served[1] == 0 && served[3] == 2 && served[4] == 4 && served[6] == 6 &&
              served[7] == 5 && served[8] == 0);

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

// How many pixels a row must trail the row above when both are in
// progress at once (on different threads, or interleaved on one), so that
// every error cell receives its shares in the order of the plain scan.
// A row at position p reads the cell hi[0] ahead of it; that cell's last
// share from the row above comes from the pixel -lo[1] further on, so the
// row above must have finished 1 + hi[0] - lo[1] pixels beyond p. With a
// second row down, the row above also starts the cells of this row's
// next row: the cell hi[1] ahead must hold its share from the pixel
// -lo[2] beyond it.
constexpr std::size_t pipeline_lag(const TapShape& s) {
    const int reads = 1 + s.hi[0] - s.lo[1];
    const int starts = s.row2 ? 1 + s.hi[1] - s.lo[2] : 0;
    return static_cast<std::size_t>(std::max(reads, starts));
}

template <int K>
inline constexpr std::size_t kernel_lag = pipeline_lag(kernel_shape<K>);

constexpr std::size_t largest_lag() {
    std::size_t lag = 0;
    for (const DiffusionKernel& k : kernels) lag = std::max(lag, pipeline_lag(tap_shape(k)));
    return lag;
}

// The lags of the usual drawings: two pixels for false Floyd-Steinberg,
// three for Floyd-Steinberg and Sierra Lite, four for Atkinson, five for
// the kernels five taps wide.
static_assert(kernel_lag<1> == 2);
static_assert(kernel_lag<0> == 3 && kernel_lag<8> == 3);
static_assert(kernel_lag<4> == 4);
static_assert(kernel_lag<2> == 5 && kernel_lag<3> == 5 && kernel_lag<5> == 5 &&
              kernel_lag<6> == 5 && kernel_lag<7> == 5);

}  // namespace kernel_data

// The nine kernels in listing order.
inline constexpr std::span<const DiffusionKernel> diffusion_kernels() noexcept {
    return kernel_data::kernels;
}

// Calls f.template operator()<K>() for the kernel at `kernel` in
// diffusion_kernels(), chosen at run time, with K the kernel whose
// compiled pass serves it (served_by).
template <class F>
[[gnu::always_inline]] inline void with_kernel(std::size_t kernel, F&& f) noexcept {
    switch (kernel) {
#define TONALIS_KERNEL_CASE(k) \
    case k: f.template operator()<kernel_data::served[k]>(); break;
        TONALIS_KERNEL_CASE(0)
        TONALIS_KERNEL_CASE(1)
        TONALIS_KERNEL_CASE(2)
        TONALIS_KERNEL_CASE(3)
        TONALIS_KERNEL_CASE(4)
        TONALIS_KERNEL_CASE(5)
        TONALIS_KERNEL_CASE(6)
        TONALIS_KERNEL_CASE(7)
        TONALIS_KERNEL_CASE(8)
#undef TONALIS_KERNEL_CASE
        default: break;
    }
}

}  // namespace tonalis
