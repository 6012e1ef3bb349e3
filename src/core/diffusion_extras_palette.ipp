// Refined error diffusion to a palette, compiled per target (see
// targets.hpp): the colour nearest under the chosen distance, four rows'
// pixels searched at once.

#include "diffusion_extras.ipp"

void palette_pass(Img& img, const Palette& palette, const ColourMatch& match, const Space& space,
                  float strength, const DiffusionKernel& kernel, std::size_t k, bool serpentine,
                  const Extras& extras, float* scratch) noexcept {
    const Weights weights = weights_of(kernel, strength);
    const PaletteColours q{space.to_work.data(), &palette, &match};
    diffuse_kernel(k, q, img, serpentine, weights, extras, scratch);
}
