// Refined error diffusion to two levels, colour channels side by side.
#include "diffusion/refined_levels.hpp"

namespace tonalis {

template void extras_levels_pass<true, false>(Img&, const Levels&, const LaneSet&, const Space&,
                                              float, const DiffusionKernel&, std::size_t, bool,
                                              const Extras&, float*) noexcept;

}  // namespace tonalis
