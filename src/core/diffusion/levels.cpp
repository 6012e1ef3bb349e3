// Error diffusion to levels, compiled for the baseline and AVX2 (see
// targets.hpp): its lane arithmetic gains from AVX2's encodings, and
// nothing more from AVX-512. The file includes itself once per target:
// the first part below is compiled once, the second once per target.
#if !defined(TONALIS_TARGET)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "diffusion/diffusion.hpp"
#include "diffusion/rows.hpp"
#include "space.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion/levels.cpp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

void diffuse_levels(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                    std::size_t kernel, bool serpentine, float* scratch,
                    const PipelineSettings& pipe) noexcept {
    TONALIS_DISPATCH_TO_AVX2(diffuse_levels_pass)(img, levels, space, rows, kernel, serpentine,
                                                  scratch, pipe);
}

}  // namespace tonalis

#else  // one target's copy

#include "diffusion/rows.hpp"

// The level arithmetic of both quantizers below, on the first n lanes of
// any float vector F (I: the integer vector of the same lanes): each lane's
// code goes to put(lane, code), and the lanes' errors come back. Two levels
// are decided by a comparison with 127.5 instead of the nearest-level rule;
// the two agree except for the float just below 127.5.
template <bool two, class I, class F, class Put>
[[gnu::always_inline]] inline F level_errors(const F& v, int n, const std::uint8_t* codes,
                                             const float* values, float inv_step, float max_index,
                                             Put&& put) noexcept {
    if constexpr (two) {
        const I high = v >= 127.5f;
        for (int l = 0; l < n; ++l) put(l, static_cast<std::uint8_t>(high[l]));
        const I top = reinterpret_cast<I>(F{} + 255.0f);
        return v - reinterpret_cast<F>(top & high);
    } else {
        I i;
        level_index(v * inv_step, max_index, i);
        F level{};
        for (int l = 0; l < n; ++l) {
            put(l, codes[i[l]]);
            level[l] = values[i[l]];
        }
        return v - level;
    }
}

// Levels target: up to four samples of a pixel (its channels at `offset`)
// side by side in vector lanes. Each lane is its own gray plane with its
// own error cells, and the lanes' chains of dependent operations overlap;
// lanes from C on stay zero. One channel uses Lane0, whose cells hold one
// float.
template <class V_, int C, bool two>
struct LevelQuantizer {
    using V = V_;
    const float* to_work;
    const std::uint8_t* codes;
    const float* values;
    float inv_step;
    float max_index;
    std::size_t offset[static_cast<std::size_t>(
        C)];  // sample offsets within a pixel; unused for one channel

    static V wrap(f4 x) noexcept {
        if constexpr (std::is_same_v<V, Lane0>) {
            return Lane0{x};
        } else {
            return x;
        }
    }
    static f4 lanes(V v) noexcept {
        if constexpr (std::is_same_v<V, Lane0>) {
            return v.v;
        } else {
            return v;
        }
    }

    // One channel is addressed through the base pointer alone (the pass
    // starts at its first sample), which keeps a register free.
    [[gnu::always_inline]] std::size_t at(int l) const noexcept { return C == 1 ? 0 : offset[l]; }

    [[gnu::always_inline]] V input(const std::uint8_t* px) const noexcept {
        f4 r = {};
        for (int l = 0; l < C; ++l) r[l] = to_work[px[at(l)]];
        return wrap(r);
    }
    [[gnu::always_inline]] V quantize(V value, std::uint8_t* px) const noexcept {
        return wrap(level_errors<two, i4>(lanes(value), C, codes, values, inv_step, max_index,
                                          [&](int l, std::uint8_t code) { px[at(l)] = code; }));
    }
    // Two levels: the next pixel's share from both candidate errors, scaled
    // before the comparison's choice (see SharesAhead in diffusion/rows.hpp).
    [[gnu::always_inline]] V quantize(V value, std::uint8_t* px, V weight, V& share) const noexcept
        requires two
    {
        const f4 v = lanes(value);
        const f4 w = lanes(weight);
        const i4 high = v >= 127.5f;
        for (int l = 0; l < C; ++l) px[at(l)] = static_cast<std::uint8_t>(high[l]);
        const f4 top = v - 255.0f;
        share = wrap(reinterpret_cast<f4>((reinterpret_cast<i4>(top * w) & high) |
                                          (reinterpret_cast<i4>(v * w) & ~high)));
        return wrap(reinterpret_cast<f4>((reinterpret_cast<i4>(top) & high) |
                                         (reinterpret_cast<i4>(v) & ~high)));
    }
};

// One channel, a group of rows in the lanes (see diffuse_lanes): the arithmetic
// of LevelQuantizer, lane by lane.
template <bool two>
struct RowLaneLevels {
    const float* to_work;
    const std::uint8_t* codes;
    const float* values;
    float inv_step;
    float max_index;

    [[gnu::always_inline]] float input(const std::uint8_t* px) const noexcept {
        return to_work[*px];
    }
    template <bool all>
    [[gnu::always_inline]] fr quantize(const fr& v, std::uint8_t* const (&px)[group_rows],
                                       unsigned live) const noexcept {
        return level_errors<two, ir>(v, static_cast<int>(group_rows), codes, values, inv_step,
                                     max_index, [&](int r, std::uint8_t code) {
                                         if (all || ((live >> r) & 1u) != 0) *px[r] = code;
                                     });
    }
};

// The channels at `offset` (1 to 4 of them) as one pass.
template <int C>
void diffuse_channels(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                      std::size_t kernel, bool serpentine, float* scratch,
                      const PipelineSettings& pipe, const std::size_t (&offset)[4]) noexcept {
    using V = std::conditional_t<C == 1, Lane0, f4>;
    const std::size_t cells = C == 1 ? 1 : cell_floats;
    auto run = [&]<bool two>(std::bool_constant<two>) {
        if constexpr (C == 1) {
            if (!serpentine) {
                const RowLaneLevels<two> lanes{space.to_work.data(), levels.codes.data(),
                                               levels.values.data(), levels.inv_step,
                                               levels.max_index};
                diffuse_lanes_any(kernel, lanes, img.data.data() + offset[0], img.height, img.width,
                                  img.channels, rows, scratch, pipe);
                return;
            }
        }
        LevelQuantizer<V, C, two> q{space.to_work.data(), levels.codes.data(), levels.values.data(),
                                    levels.inv_step,      levels.max_index,    {}};
        std::copy_n(offset, C, q.offset);
        std::uint8_t* first = img.data.data() + (C == 1 ? offset[0] : 0);
        diffuse_any(kernel, q, first, img.height, img.width, img.channels, serpentine, rows, cells,
                    scratch, pipe);
    };
    if (levels.count == 2) {
        run(std::true_type{});
    } else {
        run(std::false_type{});
    }
}

void diffuse_levels_pass(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                         std::size_t kernel, bool serpentine, float* scratch,
                         const PipelineSettings& pipe) noexcept {
    const std::size_t kept = img.kept_channel();
    // Channels are independent gray planes; up to four share one pass.
    std::size_t offset[4] = {};
    std::size_t count = 0;
    using Pass = void (*)(Img&, const Levels&, const Space&, const KernelRows&, std::size_t, bool,
                          float*, const PipelineSettings&, const std::size_t (&)[4]) noexcept;
    constexpr Pass passes[] = {diffuse_channels<1>, diffuse_channels<2>, diffuse_channels<3>,
                               diffuse_channels<4>};
    auto flush = [&] {
        if (count > 0) {
            passes[count - 1](img, levels, space, rows, kernel, serpentine, scratch, pipe, offset);
        }
        count = 0;
    };
    for (std::size_t c = 0; c < img.channels; ++c) {
        if (c == kept) {
            continue;
        }
        offset[count++] = c;
        if (count == 4) {
            flush();
        }
    }
    flush();
}

#endif  // TONALIS_TARGET
