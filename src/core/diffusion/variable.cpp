// Variable-coefficient error diffusion.
//
// Ostromoukhov, "A Simple and Efficient Error-Diffusion Algorithm",
// SIGGRAPH 2001: three weights (next pixel, below-behind, below) chosen by
// the input level from a 256-row table symmetric about 127.5, serpentine
// scan, fixed threshold half way between the levels.
//
// Zhou and Fang, "Improving mid-tone quality of variable-coefficient error
// diffusion using threshold modulation", SIGGRAPH 2003: weights from key
// levels, linearly interpolated between them, and a threshold raised by a
// random share of the step whose strength also depends on the input level.
//
// Both are defined for two levels; with more levels the table is indexed
// by where the input lies between its two neighbouring levels, scaled to
// 0..255, so two levels give exactly the published behaviour.
//
// The rows are walked by the row walker of the fixed kernels
// (diffusion/rows.hpp) with Sierra Lite's taps, which are the three
// neighbours these methods feed, and the weights of each pixel's input in
// place of the kernel's. The file includes itself for that walker's
// baseline copy: the first part below is compiled once, the second for the
// baseline target.
#if !defined(TONALIS_TARGET)
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "checked_size.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "diffusion/rows.hpp"
#include "diffusion/variable.hpp"
#include "pipeline.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"
#include "threshold/noise.hpp"

namespace tonalis {

namespace {

// What one input code contributes: its working value and its three weights.
struct alignas(16) CodeRow {
    float work;
    float next;
    float below_behind;
    float below;
};

// What the row walk of one call reads.
struct Pass {
    std::array<CodeRow, 256> rows;
    std::array<float, 256> code_lift;  // the most the code's threshold is raised
    const float* level_values;
    const std::uint8_t* level_codes;
    float inv_step;
    float max_index;
    float strength;
    std::uint64_t state;
};

// The kernel whose taps the weights go to: next, below-behind, below.
constexpr int variable_taps = [] {
    int k = 0;
    while (kernel_data::kernels[k].name != std::string_view("sierra_lite")) ++k;
    return k;
}();

}  // namespace

}  // namespace tonalis

#define TONALIS_TARGET_BODY "diffusion/variable.cpp"
#define TONALIS_TARGET_WIDEST 0
#include "targets.hpp"

namespace tonalis {

namespace {

// Ostromoukhov's table, levels 0..127: next, below-behind, below (the
// published sums are the sums of the three).
constexpr std::array<VariableWeights, 128> ostromoukhov_rows{{
    {13, 0, 5},      {13, 0, 5},      {21, 0, 10},     {7, 0, 4},        // 0-3
    {8, 0, 5},       {47, 3, 28},     {23, 3, 13},     {15, 3, 8},       // 4-7
    {22, 6, 11},     {43, 15, 20},    {7, 3, 3},       {501, 224, 211},  // 8-11
    {249, 116, 103}, {165, 80, 67},   {123, 62, 49},   {489, 256, 191},  // 12-15
    {81, 44, 31},    {483, 272, 181}, {60, 35, 22},    {53, 32, 19},     // 16-19
    {237, 148, 83},  {471, 304, 161}, {3, 2, 1},       {459, 304, 161},  // 20-23
    {38, 25, 14},    {453, 296, 175}, {225, 146, 91},  {149, 96, 63},    // 24-27
    {111, 71, 49},   {63, 40, 29},    {73, 46, 35},    {435, 272, 217},  // 28-31
    {108, 67, 56},   {13, 8, 7},      {213, 130, 119}, {423, 256, 245},  // 32-35
    {5, 3, 3},       {281, 173, 162}, {141, 89, 78},   {283, 183, 150},  // 36-39
    {71, 47, 36},    {285, 193, 138}, {13, 9, 6},      {41, 29, 18},     // 40-43
    {36, 26, 15},    {289, 213, 114}, {145, 109, 54},  {291, 223, 102},  // 44-47
    {73, 57, 24},    {293, 233, 90},  {21, 17, 6},     {295, 243, 78},   // 48-51
    {37, 31, 9},     {27, 23, 6},     {149, 129, 30},  {299, 263, 54},   // 52-55
    {75, 67, 12},    {43, 39, 6},     {151, 139, 18},  {303, 283, 30},   // 56-59
    {38, 36, 3},     {305, 293, 18},  {153, 149, 6},   {307, 303, 6},    // 60-63
    {1, 1, 0},       {101, 105, 2},   {49, 53, 2},     {95, 107, 6},     // 64-67
    {23, 27, 2},     {89, 109, 10},   {43, 55, 6},     {83, 111, 14},    // 68-71
    {5, 7, 1},       {172, 181, 37},  {97, 76, 22},    {72, 41, 17},     // 72-75
    {119, 47, 29},   {4, 1, 1},       {4, 1, 1},       {4, 1, 1},        // 76-79
    {4, 1, 1},       {4, 1, 1},       {4, 1, 1},       {4, 1, 1},        // 80-83
    {4, 1, 1},       {4, 1, 1},       {65, 18, 17},    {95, 29, 26},     // 84-87
    {185, 62, 53},   {30, 11, 9},     {35, 14, 11},    {85, 37, 28},     // 88-91
    {55, 26, 19},    {80, 41, 29},    {155, 86, 59},   {5, 3, 2},        // 92-95
    {5, 3, 2},       {5, 3, 2},       {5, 3, 2},       {5, 3, 2},        // 96-99
    {5, 3, 2},       {5, 3, 2},       {5, 3, 2},       {5, 3, 2},        // 100-103
    {5, 3, 2},       {5, 3, 2},       {5, 3, 2},       {5, 3, 2},        // 104-107
    {305, 176, 119}, {155, 86, 59},   {105, 56, 39},   {80, 41, 29},     // 108-111
    {65, 32, 23},    {55, 26, 19},    {335, 152, 113}, {85, 37, 28},     // 112-115
    {115, 48, 37},   {35, 14, 11},    {355, 136, 109}, {30, 11, 9},      // 116-119
    {365, 128, 107}, {185, 62, 53},   {25, 8, 7},      {95, 29, 26},     // 120-123
    {385, 112, 103}, {65, 18, 17},    {395, 104, 101}, {4, 1, 1},        // 124-127
}};

// Zhou and Fang's key levels and weights (next, below-behind, below).
constexpr std::array<KeyWeights, 18> zhou_fang_key_rows{{
    {0, {13, 0, 5}},
    {1, {1300249, 0, 499250}},
    {2, {214114, 287, 99357}},
    {3, {351854, 0, 199965}},
    {4, {801100, 0, 490999}},
    {10, {704075, 297466, 303694}},
    {22, {46613, 31917, 21469}},
    {32, {47482, 30617, 21900}},
    {44, {43024, 42131, 14826}},
    {64, {36411, 43219, 20369}},
    {72, {38477, 53843, 7678}},
    {77, {40503, 51547, 7948}},
    {85, {35865, 34108, 30026}},
    {95, {34117, 36899, 28983}},
    {102, {35132, 36059, 28807}},
    {107, {16477, 18810, 14712}},
    {112, {33360, 37954, 28685}},
    {127, {35269, 36066, 28664}},
}};

// Zhou and Fang's threshold modulation strength, percent, levels 0..127
// (the authors' table, interpolated from their key levels).
constexpr std::array<std::uint8_t, 128> zhou_fang_strength_rows{{
    0,   0,   1,   2,   3,   3,   4,  5,  6,  6,  7,  8,  9,  9,  10, 11,   // 0-15
    12,  12,  13,  14,  15,  15,  16, 17, 18, 18, 19, 20, 21, 21, 22, 23,   // 16-31
    24,  24,  25,  26,  27,  27,  28, 29, 30, 31, 32, 33, 34, 34, 35, 36,   // 32-47
    37,  38,  38,  39,  40,  41,  42, 42, 43, 44, 45, 46, 46, 47, 48, 49,   // 48-63
    50,  53,  56,  59,  62,  65,  68, 71, 75, 78, 81, 84, 87, 90, 93, 96,   // 64-79
    100, 100, 100, 100, 100, 100, 91, 83, 75, 66, 58, 50, 41, 33, 25, 17,   // 80-95
    21,  26,  31,  35,  40,  45,  50, 54, 58, 62, 66, 70, 71, 73, 75, 77,   // 96-111
    79,  80,  81,  83,  84,  86,  87, 88, 90, 91, 93, 94, 95, 97, 98, 100,  // 112-127
}};

std::array<float, 3> normalised(const VariableWeights& w) noexcept {
    const auto sum = static_cast<float>(w.next + w.below_behind + w.below);
    return {static_cast<float>(w.next) / sum, static_cast<float>(w.below_behind) / sum,
            static_cast<float>(w.below) / sum};
}

}  // namespace

const std::array<VariableWeights, 128>& ostromoukhov_table() noexcept {
    return ostromoukhov_rows;
}

const std::array<KeyWeights, 18>& zhou_fang_keys() noexcept {
    return zhou_fang_key_rows;
}

const std::array<std::uint8_t, 128>& zhou_fang_strengths() noexcept {
    return zhou_fang_strength_rows;
}

WeightRows weight_rows(VariableKind kind) noexcept {
    WeightRows rows{};
    std::array<std::array<float, 3>, 128> half{};
    if (kind == VariableKind::ostromoukhov) {
        for (std::size_t i = 0; i < 128; ++i) {
            half[i] = normalised(ostromoukhov_rows[i]);
        }
    } else {
        for (std::size_t k = 0; k + 1 < zhou_fang_key_rows.size(); ++k) {
            const KeyWeights& lo = zhou_fang_key_rows[k];
            const KeyWeights& hi = zhou_fang_key_rows[k + 1];
            const std::array<float, 3> a = normalised(lo.weights);
            const std::array<float, 3> b = normalised(hi.weights);
            const auto span = static_cast<float>(hi.level - lo.level);
            for (int level = lo.level; level <= hi.level; ++level) {
                const float t = static_cast<float>(level - lo.level) / span;
                for (std::size_t c = 0; c < 3; ++c) {
                    half[static_cast<std::size_t>(level)][c] = a[c] + t * (b[c] - a[c]);
                }
            }
        }
    }
    for (std::size_t i = 0; i < 128; ++i) {
        rows[i] = half[i];
        rows[255 - i] = half[i];
    }
    return rows;
}

std::size_t variable_scratch_floats(const Img& img) noexcept {
    return checked_mul(error_rows(1) * cell_floats, checked_add(img.width, 8));
}

void variable_diffuse(Img& img, const Levels& levels, const Space& space, float strength,
                      VariableKind kind, std::uint64_t seed, float* scratch) noexcept {
    if (img.width == 0 || img.height == 0) {
        return;
    }
    const WeightRows rows = weight_rows(kind);
    Pass p{};
    p.level_values = levels.values.data();
    p.level_codes = levels.codes.data();
    p.inv_step = levels.inv_step;
    p.max_index = levels.max_index;
    p.strength = strength;
    p.state = NoiseGenerator::from_seed(seed).state;
    // Per input code: where it lies in its interval, as a table row. The
    // two levels either side of the top one share the last interval.
    const float last_interval = levels.max_index - 1.0f;
    for (std::size_t k = 0; k < 256; ++k) {
        const float work = space.to_work[k];
        const float position = work * levels.inv_step;
        float base = position > 0.0f ? static_cast<float>(static_cast<int>(position)) : 0.0f;
        base = base < last_interval ? base : last_interval;
        const float within = (position - base) * 255.0f;
        int r = static_cast<int>(within + 0.5f);
        r = r < 0 ? 0 : (r > 255 ? 255 : r);
        const std::array<float, 3>& w = rows[static_cast<std::size_t>(r)];
        p.rows[k] = CodeRow{work, w[0], w[1], w[2]};
        const std::size_t m = static_cast<std::size_t>(r > 127 ? 255 - r : r);
        p.code_lift[k] = 0.5f * (static_cast<float>(zhou_fang_strength_rows[m]) * 0.01f);
    }
    // The quantized channels, side by side in one pass.
    const std::size_t kept = img.kept_channel();
    std::size_t offset[4] = {};
    int count = 0;
    for (std::size_t c = 0; c < img.channels && count < 4; ++c) {
        if (c != kept) {
            offset[count++] = c;
        }
    }
    target_baseline::variable_pass(img, p, offset, count, kind == VariableKind::zhou_fang,
                                   levels.count == 2, strength == 1.0f, scratch);
}

}  // namespace tonalis

#else  // the baseline's copy

#include "diffusion/rows.hpp"

// The table rows of a pixel's C quantized samples turned into vectors
// whose lane l is sample l's: working value, next, below-behind and below
// weight. Lanes from C on hold a zero row's (one sample: only lane 0
// counts).
struct CodeLanes {
    f4 work;
    f4 next;
    f4 behind;
    f4 below;
};

template <int C>
[[gnu::always_inline]] inline CodeLanes code_lanes(const Pass& p, const std::uint8_t* px,
                                                   const std::size_t (&offset)[4]) noexcept {
    const CodeRow blank{};
    const f4 r0 = load_quad(&p.rows[px[offset[0]]].work);
    if constexpr (C == 1) {
        return {r0, __builtin_shufflevector(r0, r0, 1, 1, 1, 1),
                __builtin_shufflevector(r0, r0, 2, 2, 2, 2),
                __builtin_shufflevector(r0, r0, 3, 3, 3, 3)};
    } else {
        const f4 r1 = load_quad(&p.rows[px[offset[1]]].work);
        const f4 r2 = C > 2 ? load_quad(&p.rows[px[offset[2]]].work) : load_quad(&blank.work);
        const f4 r3 = C > 3 ? load_quad(&p.rows[px[offset[3]]].work) : load_quad(&blank.work);
        const f4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
        const f4 t1 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
        const f4 t2 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
        const f4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
        return {__builtin_shufflevector(t0, t1, 0, 1, 4, 5),
                __builtin_shufflevector(t0, t1, 2, 3, 6, 7),
                __builtin_shufflevector(t2, t3, 0, 1, 4, 5),
                __builtin_shufflevector(t2, t3, 2, 3, 6, 7)};
    }
}

// The weights of each pixel's input, one lane per quantized channel (the
// walker's weight policy).
template <int C, class V>
struct CodeWeights {
    const Pass* p;
    std::size_t offset[4];

    [[gnu::always_inline]] RowWeights<V> at(const std::uint8_t* px) const noexcept {
        const CodeLanes r = code_lanes<C>(*p, px, offset);
        // Only the kernel's taps are read.
        RowWeights<V> w{};
        w.w[0][3] = lanes_of<V>(r.next);
        w.w[1][1] = lanes_of<V>(r.behind);
        w.w[1][2] = lanes_of<V>(r.below);
        return w;
    }

    template <class T>
    [[gnu::always_inline]] static T lanes_of(f4 x) noexcept {
        if constexpr (std::is_same_v<T, Lane0>) {
            return Lane0{x};
        } else {
            return x;
        }
    }
};

// The threshold rule, for C quantized samples per pixel, one per lane; lanes
// from C on stay zero. The threshold modulation, two levels and a unit
// strength are compile-time choices, so the pixel loop has no switch.
//
// Two levels: both candidate errors are formed before the comparison
// decides between them. A unit strength skips its multiplication, which
// would leave the error unchanged.
template <int C, bool Modulate, bool Two, bool Unit>
struct VariableLevels {
    using V = std::conditional_t<C == 1, Lane0, f4>;
    const Pass* p;
    std::size_t offset[4];
    // The pass's constants held by value: the pixel stores may alias
    // anything reached through a pointer, which would have to be read again
    // after each of them.
    float inv_step;
    float strength;
    float max_index;
    float low;  // the first two levels' values and codes
    float high;
    std::uint8_t low_code;
    std::uint8_t flip;  // low_code ^ the second level's code
    const float* level_values;
    const std::uint8_t* level_codes;
    const float* code_lift;
    std::uint64_t state;
    std::uint64_t key = 0;  // the noise key of the next pixel: its index + 1
    std::uint64_t step = 1;

    VariableLevels(const Pass& pass, const std::size_t (&at)[4]) noexcept
        : p(&pass),
          offset{at[0], at[1], at[2], at[3]},
          inv_step(pass.inv_step),
          strength(pass.strength),
          max_index(pass.max_index),
          low(pass.level_values[0]),
          high(pass.level_values[Two ? 1 : 0]),
          low_code(pass.level_codes[0]),
          flip(static_cast<std::uint8_t>(pass.level_codes[0] ^ pass.level_codes[Two ? 1 : 0])),
          level_values(pass.level_values),
          level_codes(pass.level_codes),
          code_lift(pass.code_lift.data()),
          state(pass.state) {}

    [[gnu::always_inline]] void start_row(std::size_t y, std::size_t width,
                                          bool reversed) noexcept {
        key = static_cast<std::uint64_t>(y * width) + 1 + (reversed ? width - 1 : 0);
        step = reversed ? ~std::uint64_t{0} : 1;  // -1, modulo 2^64
    }

    [[gnu::always_inline]] static f4 lanes(V v) noexcept {
        if constexpr (C == 1) {
            return v.v;
        } else {
            return v;
        }
    }

    [[gnu::always_inline]] V input(const std::uint8_t* px) const noexcept {
        return CodeWeights<C, V>::template lanes_of<V>(code_lanes<C>(*p, px, offset).work);
    }

    [[gnu::always_inline]] V quantize(V v, std::uint8_t* px, V weight, V& share) noexcept {
        const f4 value = lanes(v);
        const f4 w = lanes(weight);
        std::uint8_t code[4] = {};
        for (int l = 0; l < C; ++l) code[l] = px[offset[l]];
        f4 threshold = splat_quad(0.5f);
        if constexpr (Modulate) {
            const float lift = noise_of(mix_bits(state + key * NoiseGenerator::increment)) + 0.5f;
            f4 scale{};
            for (int l = 0; l < C; ++l) scale[l] = code_lift[code[l]];
            threshold = threshold + splat_quad(lift) * scale;
        }
        key += step;
        const f4 x_value = value * inv_step;
        f4 error;
        if constexpr (Two) {
            const i4 up = x_value > threshold;
            f4 error_low = value - low;
            f4 error_high = value - high;
            if constexpr (!Unit) {
                error_low = error_low * strength;
                error_high = error_high * strength;
            }
            error = pick_quad(up, error_high, error_low);
            share = CodeWeights<C, V>::template lanes_of<V>(
                pick_quad(up, error_high * w, error_low * w));
            for (int l = 0; l < C; ++l) {
                px[offset[l]] =
                    static_cast<std::uint8_t>(low_code ^ (flip & static_cast<std::uint8_t>(up[l])));
            }
        } else {
            f4 clamped = x_value < max_index ? x_value : splat_quad(max_index);
            clamped = clamped > 0.0f ? clamped : f4{};
            const i4 whole = __builtin_convertvector(clamped, i4);
            const i4 index = whole - (clamped - __builtin_convertvector(whole, f4) > threshold);
            f4 level{};
            for (int l = 0; l < C; ++l) {
                const auto i = static_cast<std::size_t>(index[l]);
                level[l] = level_values[i];
                px[offset[l]] = level_codes[i];
            }
            error = (value - level) * strength;
            share = CodeWeights<C, V>::template lanes_of<V>(error * w);
        }
        return CodeWeights<C, V>::template lanes_of<V>(error);
    }
};

template <int C, bool Modulate, bool Two, bool Unit>
void walk(Img& img, const Pass& p, const std::size_t (&offset)[4], float* scratch) noexcept {
    using Q = VariableLevels<C, Modulate, Two, Unit>;
    const Q q(p, offset);
    const CodeWeights<C, typename Q::V> weights{&p, {offset[0], offset[1], offset[2], offset[3]}};
    diffuse_pass<variable_taps>(q, weights, img.data.data(), img.height, img.width, img.channels,
                                true, C == 1 ? 1 : cell_floats, scratch, PipelineSettings{});
}

void variable_pass(Img& img, const Pass& p, const std::size_t (&offset)[4], int count,
                   bool modulate, bool two, bool unit, float* scratch) noexcept {
    using Walk = void (*)(Img&, const Pass&, const std::size_t (&)[4], float*) noexcept;
    auto pick = [&]<int C>() -> Walk {
        auto by_level = [&]<bool M>() -> Walk {
            if (!two) return walk<C, M, false, false>;
            return unit ? walk<C, M, true, true> : walk<C, M, true, false>;
        };
        return modulate ? by_level.template operator()<true>()
                        : by_level.template operator()<false>();
    };
    Walk w = nullptr;
    switch (count) {
        case 1: w = pick.template operator()<1>(); break;
        case 2: w = pick.template operator()<2>(); break;
        case 3: w = pick.template operator()<3>(); break;
        case 4: w = pick.template operator()<4>(); break;
        default: return;
    }
    w(img, p, offset, scratch);
}

#endif  // TONALIS_TARGET
