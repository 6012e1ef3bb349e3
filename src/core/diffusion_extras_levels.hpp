// The definition of extras_levels_pass, for the translation units that each
// instantiate one of its forms (diffusion_extras_passes.hpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "diffusion_extras_passes.hpp"
#include "quad_lanes.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "diffusion_extras_levels.ipp"
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
