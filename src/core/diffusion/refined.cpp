// Error diffusion with an error limit, per-pixel strength and a choice of colour distance.
#include "diffusion/refined.hpp"

#include <variant>

#include "checked_size.hpp"
#include "diffusion/refined_passes.hpp"

namespace tonalis {

std::size_t extras_scratch_floats(const Img& img) noexcept {
    return checked_mul(ring * 4, checked_add(img.width, 2 * margin));
}

void error_diffuse_extras(Img& img, const Target& target, const ColourMatch* match,
                          const Space& space, float strength, const DiffusionKernel& kernel,
                          bool serpentine, const Extras& extras, float* scratch) noexcept {
    const auto kernels = diffusion_kernels();
    std::size_t k = 0;
    while (k < kernels.size() && &kernels[k] != &kernel) ++k;
    if (k == kernels.size() || img.width == 0 || img.height == 0) {
        return;
    }
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        if (img.channels >= 3 && match != nullptr) {
            extras_palette_pass(img, *palette, *match, space, strength, kernel, k, serpentine,
                                extras, scratch);
        }
        return;
    }
    const Levels& levels = std::get<Levels>(target);
    const bool two = levels.count == 2;
    // Channels are independent gray planes; up to four share one pass.
    const std::size_t kept = img.kept_channel();
    LaneSet lanes;
    auto flush = [&] {
        const auto pass =
            lanes.count == 1
                ? (two ? extras_levels_pass<true, true> : extras_levels_pass<false, true>)
                : (two ? extras_levels_pass<true, false> : extras_levels_pass<false, false>);
        if (lanes.count > 0) {
            pass(img, levels, lanes, space, strength, kernel, k, serpentine, extras, scratch);
        }
        lanes.count = 0;
    };
    for (std::size_t c = 0; c < img.channels; ++c) {
        if (c == kept) {
            continue;
        }
        lanes.offset[lanes.count++] = c;
        if (lanes.count == 4) {
            flush();
        }
    }
    flush();
}

}  // namespace tonalis
