// Single lookups of the nearest colour in a PaletteLayout (palette.hpp), by
// either plain search, compiled once per target and dispatched to the
// widest in use.
//
// This file is its own per-target body: compiled at global scope it brings
// in what it uses and the dispatch, and targets.hpp includes it again inside
// each target's namespace for the searches.
#if !defined(TONALIS_TARGET)
#include <cstddef>

#include "palette.hpp"
#include "search/layout_forms.hpp"
#include "search/plan.hpp"
#include "targets.hpp"

#define TONALIS_TARGET_BODY "search/lookup.cpp"
#include "targets.hpp"

namespace tonalis {

NearestColorFn nearest_color_function(search::Form form) noexcept {
    return form == search::Form::blocked ? TONALIS_DISPATCH(nearest_by_blocks)
                                         : TONALIS_DISPATCH(nearest_by_scan);
}

}  // namespace tonalis

#else

#include "search/layout_forms.hpp"

std::size_t nearest_by_scan(const PaletteLayout& layout, float p0, float p1, float p2) noexcept {
    return scan_colors(layout, p0, p1, p2);
}

std::size_t nearest_by_blocks(const PaletteLayout& layout, float p0, float p1, float p2) noexcept {
    ColorSearch blocked(layout, search::Form::blocked);
    return blocked(p0, p1, p2);
}

#endif
