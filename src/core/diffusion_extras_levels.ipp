// Refined error diffusion to levels, compiled per target (see targets.hpp):
// the channels are independent gray planes, and up to four share one pass.
// `two`: two levels, decided by a comparison (diffusion_extras_two_levels.cpp)
// rather than the nearest-level rule (diffusion_extras_many_levels.cpp).

#include "diffusion_extras.ipp"

template <bool two>
void levels_pass(Img& img, const Levels& levels, const Space& space, float strength,
                 const DiffusionKernel& kernel, std::size_t k, bool serpentine,
                 const Extras& extras, float* scratch) noexcept {
    const Weights weights = weights_of(kernel, strength);
    const std::size_t kept = img.kept_channel();
    LaneSet lanes;
    auto flush = [&] {
        if (lanes.count == 1) {
            diffuse_kernel(k, LevelLanes<two, true>{space.to_work.data(), &levels, lanes}, img,
                           serpentine, weights, extras, scratch);
        } else if (lanes.count > 1) {
            diffuse_kernel(k, LevelLanes<two, false>{space.to_work.data(), &levels, lanes}, img,
                           serpentine, weights, extras, scratch);
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
