// Refined error diffusion to three levels or more, colour channels side by side.
#include "diffusion/refined_levels.hpp"

namespace tonalis {

template void extras_levels_pass<false, false>(Img&, const Levels&, const LaneSet&, const Space&,
                                               float, const DiffusionKernel&, std::size_t, bool,
                                               const Extras&, float*) noexcept;

}  // namespace tonalis
