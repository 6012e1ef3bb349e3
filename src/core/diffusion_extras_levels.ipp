// Refined error diffusion to levels, compiled per target (see targets.hpp).
// `two`: two levels, decided by a comparison with 127.5 rather than by the
// nearest-level rule; `single`: one lane, its count known when compiling.

#include "diffusion_extras.ipp"

template <bool two, bool single>
void levels_pass(Img& img, const Levels& levels, const LaneSet& lanes, const Space& space,
                 float strength, const DiffusionKernel& kernel, std::size_t k, bool serpentine,
                 const Extras& extras, float* scratch) noexcept {
    const Weights weights = weights_of(kernel, strength);
    diffuse_kernel(k, LevelLanes<two, single>{space.to_work.data(), &levels, lanes}, img,
                   serpentine, weights, extras, scratch);
}
