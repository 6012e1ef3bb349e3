// The error-diffusion passes of both modes, compiled once per
// instruction-set level after palette_search.ipp and diffusion_row.ipp.

void diffuse_levels_pass(Img& img, const Levels& levels, const Space& space, const KernelRows& rows,
                    std::size_t kernel, bool serpentine, float* scratch) noexcept {
    const std::size_t channels = img.channels;
    const bool two = levels.count == 2;
    const float* to_work = space.to_work.data();
    std::size_t active[4];
    std::size_t count = 0;
    auto run = [&](std::size_t first) {
        std::uint8_t* data = img.data.data();
        if (count == 1) {
            // One channel: plain scalar steps over its samples.
            if (two) {
                GrayTwo q{to_work};
                diffuse_any(kernel, q, data + first, img.height, img.width, channels, serpentine,
                            rows, 1, scratch);
            } else {
                GrayLevels q{to_work, levels.codes.data(), levels.values.data(), levels.inv_step,
                             levels.max_index};
                diffuse_any(kernel, q, data + first, img.height, img.width, channels, serpentine,
                            rows, 1, scratch);
            }
            return;
        }
        std::size_t offset[4] = {};
        for (std::size_t l = 0; l < count; ++l) offset[l] = active[l];
        auto lanes = [&]<int C>(std::integral_constant<int, C>) {
            if (two) {
                LanesTwo<C> q{to_work, {offset[0], offset[1], offset[2], offset[3]}};
                diffuse_any(kernel, q, data, img.height, img.width, channels, serpentine, rows,
                            cell_floats, scratch);
            } else {
                LanesLevels<C> q{to_work, levels.codes.data(), levels.values.data(),
                                 levels.inv_step, levels.max_index,
                                 {offset[0], offset[1], offset[2], offset[3]}};
                diffuse_any(kernel, q, data, img.height, img.width, channels, serpentine, rows,
                            cell_floats, scratch);
            }
        };
        if (count == 2) lanes(std::integral_constant<int, 2>{});
        if (count == 3) lanes(std::integral_constant<int, 3>{});
        if (count == 4) lanes(std::integral_constant<int, 4>{});
    };
    // Channels are independent gray planes; up to four share one pass.
    for (std::size_t c = 0; c < channels; ++c) {
        if (img.alpha && *img.alpha == c) {
            continue;
        }
        active[count++] = c;
        if (count == 4) {
            run(active[0]);
            count = 0;
        }
    }
    if (count > 0) {
        run(active[0]);
    }
}


// The three colour channels of a pixel in lanes 0 to 2 (lane 3 stays zero):
// one search per pixel, then the error of all three channels at once.
struct PaletteQuantizer {
    using V = f4;
    const float* to_work;
    const Palette* palette;
    ColorSearch search;

    [[gnu::always_inline]] f4 input(const std::uint8_t* px) const noexcept {
        return f4{to_work[px[0]], to_work[px[1]], to_work[px[2]], 0.0f};
    }
    [[gnu::always_inline]] f4 quantize(f4 v, std::uint8_t* px) noexcept {
        const std::size_t j = search(v[0], v[1], v[2]);
        const Rgb& out = palette->rgb[j];
        px[0] = out[0];
        px[1] = out[1];
        px[2] = out[2];
        return v - load_cell<f4>(palette->layout.quads.data() + 4 * j);
    }
};

void diffuse_palette_pass(Img& img, const Palette& palette, const Space& space,
                          const KernelRows& rows, std::size_t kernel, bool serpentine,
                          float* scratch) noexcept {
    // Each pixel waits for the previous one's search, and the blocked
    // search's unpredictable branches cost more than scanning a few hundred
    // colours.
    PaletteQuantizer q{space.to_work.data(), &palette, ColorSearch(palette.layout, 513)};
    diffuse_any(kernel, q, img.data.data(), img.height, img.width, img.channels, serpentine, rows,
                cell_floats, scratch);
}
