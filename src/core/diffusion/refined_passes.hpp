// The passes of refined error diffusion, one translation unit per quantizer
// family, and the layout of the error rows they share.
#pragma once

#include <cstddef>

#include "extras.hpp"
#include "diffusion/kernels.hpp"
#include "prepared.hpp"

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

// Each pass takes the kernel both as data and as its index `k` in
// diffusion_kernels(), which picks the compiled taps.

// Up to four independent channels of a pixel in lanes 0..count-1.
struct LaneSet {
    std::size_t offset[4] = {};
    std::size_t count = 0;
};

// Levels on the channels `lanes` names, each an independent gray plane:
// `Two`, two levels decided by a comparison, or more by the nearest-level
// rule; `Single`, one lane (gray) or several (colour channels side by side).
// Defined in diffusion/refined_levels.hpp; each form is instantiated in a
// translation unit of its own, refined_{two,many}_levels_{gray,colour}.cpp,
// so that no compile takes long.
template <bool Two, bool Single>
void extras_levels_pass(Img& img, const Levels& levels, const LaneSet& lanes, const Space& space,
                        float strength, const DiffusionKernel& kernel, std::size_t k,
                        bool serpentine, const Extras& extras, float* scratch) noexcept;

// A palette through its colour match (diffusion/refined_palette.cpp); the
// image has three channels or more.
void extras_palette_pass(Img& img, const Palette& palette, const ColourMatch& match,
                         const Space& space, float strength, const DiffusionKernel& kernel,
                         std::size_t k, bool serpentine, const Extras& extras,
                         float* scratch) noexcept;

}  // namespace tonalis
