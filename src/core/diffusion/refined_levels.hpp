// The definition of extras_levels_pass, for the translation units that each
// instantiate one of its forms (diffusion/refined_passes.hpp), and its
// levels passes, compiled for the baseline and AVX2: the header includes
// itself once per target (see targets.hpp), and its second part is that
// target's copy.
#if !defined(TONALIS_TARGET)
#ifndef TONALIS_DIFFUSION_REFINED_LEVELS_HPP
#define TONALIS_DIFFUSION_REFINED_LEVELS_HPP

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "diffusion/refined_passes.hpp"
#include "diffusion/refined_rows.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion/refined_levels.hpp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

template <bool Two, bool Single>
void extras_levels_pass(Img& img, const Levels& levels, const LaneSet& lanes, const Space& space,
                        float strength, const DiffusionKernel& kernel, std::size_t k,
                        bool serpentine, const Extras& extras, float* scratch) noexcept {
    TONALIS_DISPATCH_TO_AVX2(levels_pass<Two, Single>)(img, levels, lanes, space, strength, kernel,
                                                       k, serpentine, extras, scratch);
}

}  // namespace tonalis

#endif  // TONALIS_DIFFUSION_REFINED_LEVELS_HPP

#else  // one target's copy: `two`, two levels, decided by a comparison with
       // 127.5 rather than by the nearest-level rule; `single`, one lane, its
       // count known when compiling.

#include "diffusion/refined_rows.hpp"

template <bool two, bool single>
void levels_pass(Img& img, const Levels& levels, const LaneSet& lanes, const Space& space,
                 float strength, const DiffusionKernel& kernel, std::size_t k, bool serpentine,
                 const Extras& extras, float* scratch) noexcept {
    const Weights weights = weights_of(kernel, strength);
    diffuse_kernel(k, LevelLanes<two, single>{space.to_work.data(), &levels, lanes}, img,
                   serpentine, weights, extras, scratch);
}

#endif  // TONALIS_TARGET
