// Error diffusion with an error limit, per-pixel strength and a choice of colour distance.
#include "diffusion_extras.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "quad_lanes.hpp"
#include "targets.hpp"

namespace tonalis {

constexpr std::size_t margin = 2;  // cells either side of a row, for shares that fall outside
// Rows walked side by side, each `lag` pixels behind the one above: by then
// every cell it reads has received all its shares from the rows above,
// every cell two of them reach has received the upper row's shares first,
// and the rows' chains of dependent operations (a pixel's error feeds the
// next pixel's value) overlap. A group of rows in flight reaches two rows
// below its last.
constexpr std::size_t rows_in_flight = 4;
constexpr std::size_t lag = 8;
constexpr std::size_t ring = 8;  // error rows, at least rows_in_flight + 2
static_assert(ring >= rows_in_flight + 2);

}  // namespace tonalis

#define TONALIS_TARGET_BODY "diffusion_extras.ipp"
#define TONALIS_TARGET_WIDEST 1
#include "targets.hpp"

namespace tonalis {

std::size_t extras_scratch_floats(const Img& img) noexcept {
    return ring * 4 * (img.width + 2 * margin);
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
    TONALIS_DISPATCH_TO_AVX2(diffuse_extras_pass)(img, target, match, space, strength, kernel, k,
                                                  serpentine, extras, scratch);
}

}  // namespace tonalis
