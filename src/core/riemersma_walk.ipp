// The walks of Riemersma dither along the path, compiled for the baseline
// and AVX2 (see targets.hpp): AVX2's blend takes one step off the chain of
// dependent operations from one pixel to the next, and its three-operand
// encodings the register copies.

// Lane by lane: `yes` where mask is all ones, `no` where it is zero.
[[gnu::always_inline]] inline Quad pick_lanes(QuadI mask, Quad yes, Quad no) noexcept {
#if TONALIS_TARGET >= 1
    return __builtin_ia32_blendvps(no, yes, reinterpret_cast<Quad>(mask));
#else
    return pick_quad(mask, yes, no);
#endif
}

// Runs step(index, carried, cell) for the pixels idx[0 .. n), where cell is
// the ring slot of the pixel's error (holding the error leaving the
// window) and step returns the next pixel's sum.
template <class Step>
[[gnu::always_inline]] inline void follow(const History& h, Walked& at, const std::uint32_t* idx,
                                          std::size_t n, Step step) noexcept {
    while (n > 0) {
        if (at.until_resync == 0) {
            Quad sum{};
            std::size_t slot = at.latest;
            for (std::size_t a = 0; a < h.length; ++a) {
                sum = sum + load_quad(h.ring + slot * 4) * h.weights[a];
                slot = slot == 0 ? h.length - 1 : slot - 1;
            }
            at.carried = sum;
            at.until_resync = resync;
        }
        const std::size_t m = n < at.until_resync ? n : at.until_resync;
        Quad carried = at.carried;
        std::size_t latest = at.latest;
        for (std::size_t i = 0; i < m; ++i) {
            latest = latest + 1 == h.length ? 0 : latest + 1;
            carried = step(idx[i], carried, h.ring + latest * 4);
        }
        at.carried = carried;
        at.latest = latest;
        at.until_resync -= m;
        idx += m;
        n -= m;
    }
}

// Levels: the C quantized samples of a pixel (at `offset` within it) side
// by side in vector lanes, each lane performing the scalar rule's
// operations in its order; lanes from C on stay zero. With two levels both
// candidate errors and sums are formed before the comparison picks one, so
// a pixel's sum reaches the next pixel after the arithmetic alone; a unit
// strength skips its multiplication, which would leave the error unchanged.
template <int C, bool Two, bool Unit>
struct LevelWalk {
    std::uint8_t* data;
    std::size_t channels;
    std::size_t offset[4];
    const Levels* levels;
    const float* to_work;
    History h;
    Quad threshold, low, high, scale, inv_step, first, last, fall;
    std::uint8_t code_low, code_flip;
    // The output bytes of the lanes, byte l for lane l, by the mask of the
    // lanes at the upper level.
    std::uint32_t codes_by_mask[16];
    Walked at;

    LevelWalk(Img& img, const Levels& lv, const float* work, float strength, const History& hist,
              const std::size_t (&off)[4]) noexcept
        : data(img.data.data()),
          channels(img.channels),
          offset{off[0], off[1], off[2], off[3]},
          levels(&lv),
          to_work(work),
          h(hist),
          threshold(splat_quad(Two ? upper_threshold(lv) : 0.0f)),
          low(splat_quad(lv.values[0])),
          high(splat_quad(lv.values[Two ? 1 : 0])),
          scale(splat_quad(strength)),
          inv_step(splat_quad(lv.inv_step)),
          first(splat_quad(hist.first)),
          last(splat_quad(hist.last)),
          fall(splat_quad(hist.fall)),
          code_low(lv.codes[0]),
          code_flip(static_cast<std::uint8_t>(lv.codes[0] ^ lv.codes[Two ? 1 : 0])) {
        for (std::uint32_t m = 0; m < 16; ++m) {
            std::uint32_t word = 0;
            for (std::uint32_t l = 0; l < 4; ++l) {
                const std::uint32_t code = lv.codes[Two && (m >> l & 1) != 0 ? 1 : 0];
                word |= code << (8 * l);
            }
            codes_by_mask[m] = word;
        }
    }

    static void sink(void* self, const std::uint32_t* idx, std::size_t n) noexcept {
        static_cast<LevelWalk*>(self)->run(idx, n);
    }

    // The walk works on a copy: the byte stores could alias members of an
    // object in memory, which would then be read again after each pixel.
    void run(const std::uint32_t* idx, std::size_t n) noexcept {
        LevelWalk k = *this;
        follow(k.h, k.at, idx, n, [&k](std::uint32_t index, Quad carried, float* cell) {
            std::uint8_t* px = k.data + static_cast<std::size_t>(index) * k.channels;
            Quad input{};
            for (int l = 0; l < C; ++l) input[l] = k.to_work[px[k.offset[l]]];
            const Quad v = input + carried;
            const Quad rest = (carried - load_quad(cell) * k.last) * k.fall;
            Quad error;
            std::uint8_t out[4];
            if constexpr (Two) {
                const QuadI up = v >= k.threshold;
                Quad error_low = v - k.low;
                Quad error_high = v - k.high;
                if constexpr (!Unit) {
                    error_low = error_low * k.scale;
                    error_high = error_high * k.scale;
                }
                carried = pick_lanes(up, error_high * k.first + rest, error_low * k.first + rest);
                error = pick_lanes(up, error_high, error_low);
                const std::uint32_t mask = quad_bits(up);
                const std::uint32_t word = k.codes_by_mask[mask];
                for (int l = 0; l < C; ++l) out[l] = static_cast<std::uint8_t>(word >> (8 * l));
            } else {
                QuadI index_of;
                level_index(v * k.inv_step, k.levels->max_index, index_of);
                Quad level{};
                for (int l = 0; l < C; ++l) {
                    const auto i = static_cast<std::size_t>(index_of[l]);
                    level[l] = k.levels->values[i];
                    out[l] = k.levels->codes[i];
                }
                error = (v - level) * k.scale;
                carried = error * k.first + rest;
            }
            store_quad(cell, error);
            // Bytes are written last: a byte store may alias anything.
            for (int l = 0; l < C; ++l) px[k.offset[l]] = out[l];
            return carried;
        });
        at = k.at;
    }
};

template <int C, bool Two, bool Unit>
void levels_walk(Img& img, const Levels& levels, const float* to_work, float strength,
                 const History& h, const std::size_t (&offset)[4], std::uint32_t* path) noexcept {
    LevelWalk<C, Two, Unit> walk(img, levels, to_work, strength, h, offset);
    hilbert_path(img.width, img.height, path, &LevelWalk<C, Two, Unit>::sink, &walk);
}

template <int C>
void levels_walk_any(Img& img, const Levels& levels, const float* to_work, float strength,
                     const History& h, const std::size_t (&offset)[4],
                     std::uint32_t* path) noexcept {
    if (levels.count != 2) {
        levels_walk<C, false, false>(img, levels, to_work, strength, h, offset, path);
    } else if (strength == 1.0f) {
        levels_walk<C, true, true>(img, levels, to_work, strength, h, offset, path);
    } else {
        levels_walk<C, true, false>(img, levels, to_work, strength, h, offset, path);
    }
}

// A palette: the three colour channels as one four-lane value.
struct PaletteWalk {
    std::uint8_t* data;
    std::size_t channels;
    const Palette* palette;
    const ColourMatch* match;
    const float* to_work;
    float strength;
    History h;
    Walked at;

    static void sink(void* self, const std::uint32_t* idx, std::size_t n) noexcept {
        static_cast<PaletteWalk*>(self)->run(idx, n);
    }

    // On a copy, as LevelWalk::run.
    void run(const std::uint32_t* idx, std::size_t n) noexcept {
        PaletteWalk k = *this;
        follow(k.h, k.at, idx, n, [&k](std::uint32_t index, Quad carried, float* cell) {
            std::uint8_t* px = k.data + static_cast<std::size_t>(index) * k.channels;
            const Quad v =
                Quad{k.to_work[px[0]], k.to_work[px[1]], k.to_work[px[2]], 0.0f} + carried;
            const std::size_t chosen = k.match->nearest(k.match->coordinates(v));
            const Quad colour = load_quad(k.palette->layout.quads.data() + chosen * 4);
            const Quad error = (v - colour) * k.strength;
            const Quad oldest = load_quad(cell);  // the error leaving the window
            store_quad(cell, error);
            const Rgb& out = k.palette->rgb[chosen];
            px[0] = out[0];
            px[1] = out[1];
            px[2] = out[2];
            return error * k.h.first + (carried - oldest * k.h.last) * k.h.fall;
        });
        at = k.at;
    }
};

// The walk of one call: levels or a palette.
void riemersma_walk(const WalkSetup& a) noexcept {
    Img& img = *a.img;
    if (a.palette != nullptr) {
        PaletteWalk walk{img.data.data(), img.channels, a.palette, a.match,
                         a.to_work,       a.strength,   a.h,       {}};
        hilbert_path(img.width, img.height, a.path, &PaletteWalk::sink, &walk);
        return;
    }
    switch (a.count) {
        case 1:
            levels_walk_any<1>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 2:
            levels_walk_any<2>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 3:
            levels_walk_any<3>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        case 4:
            levels_walk_any<4>(img, *a.levels, a.to_work, a.strength, a.h, a.offset, a.path);
            break;
        default: break;
    }
}
