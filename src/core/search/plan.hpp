// Which nearest-colour search an engine runs: the table of sizes at which
// the choice changes, and the one function that makes it.
//
// Every search form finds the same colour (reference.hpp states the rule);
// they differ only in speed, so the choice depends on the palette's size,
// the engine and the image, never on the colours themselves. An engine
// calls choose() once per call and runs the plan it gives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonalis::search {

// The sizes at which a choice changes, each with the measurement that set
// it (figures from one thread of the project's benchmark machine, an AMD
// EPYC with AVX-512, at 2048² unless said otherwise; see the performance
// page). "No measurement recorded" says that no figure for that size was
// kept when it was chosen.
struct Limits {
    // Threshold dither: palettes of up to this many colours are compared
    // whole, vectors of pixels against each colour, without a grid. From
    // the per-pixel costs kept in ordered.cpp (1400 ps plus 170 per colour
    // against 2600 for the cell sets, which cross between 7 and 8 colours);
    // no timing of the cut-over itself is recorded.
    static constexpr std::size_t pixel_lanes_most = 6;
    // Threshold dither without the grid (other channel counts, or no
    // memory for it): palettes of up to this many colours are compared
    // whole with each group of pixels, since picking the colours near a
    // group costs more than it saves. No measurement recorded.
    static constexpr std::size_t whole_groups_most = 8;
    // Threshold dither: palettes of up to this many colours keep each cell's
    // list as a set of colour indices in the cell's 32-bit state (one bit
    // per colour and the odd tag): the largest that fits, not a measurement.
    static constexpr std::size_t cell_sets_most = 31;
    // Refined matching (ColourMatch): palettes of up to this many colours are
    // scanned four pixels at a time by the match itself; larger ones take
    // the layout searches over their coordinates. Measured at the ends only
    // (docs/refined.md): 256 colours, layout scan 215 ms against 223 for the
    // plain engine; 4096 colours, layout search 1.15 s against 6.1 s for
    // four pixels at a time. No measurement at 32 recorded.
    static constexpr std::size_t refined_scan_most = 32;
    // Palettes of more than this many colours get the blocked form (blocks
    // of neighbouring colours with bounding boxes) when they are made, and
    // the threshold engines search it for pixels without a cell list. The
    // blocked search is about 40 times as fast as a scan over 4096 colours
    // (512² ordered dither: 28.6 ms against 1080 ms); no measurement at 128
    // recorded.
    static constexpr std::size_t blocked_form_above = 128;
    // Error diffusion searches a grid of cell lists from this many colours
    // on: 256 colours 179 -> 91 ms, JJN 181 -> 100 ms, 4096 colours
    // 460 -> 126 ms. Against the scan, at 1024², one thread, AVX-512 (and
    // AVX2): 64 colours 21.7 -> 21.4 ms (26.9 -> 20.7), serpentine JJN
    // 37.4 -> 38.5; 96 colours 25.1 -> 21.6 (34.2 -> 21.9), serpentine JJN
    // 41.4 -> 38.7; 127 colours 28.6 -> 22.0 (42.0 -> 22.9). At 300² the
    // grid's making costs more than it saves at 64 colours (1.85 -> 2.2 ms)
    // and at 96 (2.1 -> 2.2 to 2.3), so it starts at 128 colours, and at
    // 96 on images of a megapixel and more (2048², 96 colours: 100 -> 84
    // ms, 127: 114 -> 85).
    static constexpr std::size_t diffusion_grid_from = 128;
    static constexpr std::size_t diffusion_grid_large_from = 96;
    static constexpr std::size_t diffusion_large_pixels = std::size_t{1} << 20;
    // ... on images whose grid has at least this many cells per side
    // (images above 256²). No measurement recorded.
    static constexpr std::size_t diffusion_grid_min_side = 16;
    // ... with one cell per this many pixels (by powers of two from 4 per
    // side). No measurement recorded.
    static constexpr std::size_t diffusion_pixels_per_cell = 128;
    // ... and up to 16 cells per side, 32 from this many colours on: with 32
    // per side, 256 colours took 105 ms on a quiet host but up to 180 ms
    // while other guests used the shared cache.
    static constexpr std::size_t diffusion_fine_grid_from = 1024;
    static constexpr std::size_t diffusion_coarse_side = 16;
    static constexpr std::size_t diffusion_fine_side = 32;
    // Error diffusion over a scanned palette: cell lists longer than this
    // fraction of the palette (1 / n) are left to the scan, which is then
    // faster. No measurement recorded.
    static constexpr std::size_t diffusion_longest_fraction = 8;
    // Error diffusion runs the 256-bit copy of its search, where wider
    // vectors exist too, for palettes of up to this many colours: their
    // scan fills 8 lanes better than 16. 2048², one thread, AVX2 against
    // AVX-512: 7 (e-paper) colours 53.0-53.6 ms against 63.0-64.1, 8
    // colours 49.3-54.8 against 60.7-64.2, 16 colours 51.3-53.7 against
    // 63.5-64.2 (serpentine 94.8-98.0 against 112; JJN 64.8-66.3 against
    // 71.4-71.8), 24 colours 70.4-74.6 against 79.0-79.2, 32 colours
    // 73.0-76.8 against 76.2-79.1; on two threads 7 colours 24.7-25.3
    // against 30.5-32.3. From 40 colours on AVX-512 is faster (40: 72.1-
    // 79.9 against 84.7-91.1; 64: 79.0-84.2 against 99.6-99.8), and from 96
    // on the two are within the noise.
    static constexpr std::size_t diffusion_narrow_most = 32;
    // Error diffusion (without the grid) and single lookups scan palettes of
    // up to this many colours and take the blocked search above: each pixel
    // waits for the previous one's search, and the blocked search's
    // unpredictable branches cost more than scanning a few hundred colours.
    // Up to here the paired rows share one scan (15 to 17 % faster at 256
    // colours). No measurement at 512 recorded.
    static constexpr std::size_t scan_most = 512;
    // Error diffusion without the grid builds neighbour lists for palettes
    // of more than this many colours: 4096 colours take 0.70 to 0.74 of the
    // blocked search's time (medians of five); building them takes about
    // 20 ms, 3 to 4 % of the call. No measurement at 512 recorded.
    static constexpr std::size_t neighbours_above = 512;
    // Threshold dither's grid: about one cell per this many pixels, scaled
    // by the cube root of (colours / 256), at most this many cells per side:
    // at 2048² 24 cells per side beat 32 and 16 by 5 %, at 4096² 32 beat 64
    // by 10 % (256 colours) to 25 % (4096); against one cell per 128 pixels
    // up to 64 per side, random dither 2048² 256 colours 20.1 -> 19.0 ms,
    // 4096² 4096 colours 177 -> 140 ms.
    static constexpr std::size_t threshold_pixels_per_cell = 300;
    static constexpr std::size_t threshold_most_side = 32;
    // Grids of cell sets: one cell per this many pixels by powers of two,
    // at most this many per side, so that the 16 KiB of states stay in the
    // first-level cache, which saves more on the gathers of the states than
    // shorter sets would. No figure recorded.
    static constexpr std::size_t set_pixels_per_cell = 128;
    static constexpr std::size_t set_most_side = 16;
    // Cell lists of up to this many colours lose the colours to which
    // another is nearer throughout the cell (a test of every pair). No
    // measurement recorded.
    static constexpr std::size_t prune_most = 64;
};

// The search forms (see the architecture page for each).
enum class Form : std::uint8_t {
    scan,          // every colour, in vectors of colours (scan_colors)
    blocked,       // the blocked form, skipping blocks whose box is too far
    neighbours,    // neighbour lists from the previous colour found
    grid_cells,    // error diffusion's grid of cell lists (blocks of indices)
    cell_lists,    // threshold dither's grid of cell lists (packed bytes)
    cell_sets,     // threshold dither's grid of cell sets (colour bits)
    pixel_lanes,   // vectors of pixels against every colour
    whole_groups,  // groups of pixels against every colour
    box_groups,    // groups of pixels against the colours near their box
    quad_scan,     // ColourMatch's own scan, four pixels at a time
};

enum class Engine : std::uint8_t {
    diffusion,  // error diffusion (and the start of direct binary search)
    ordered,    // ordered dither
    random,     // random dither
    refined,    // refined matching (ColourMatch), under any distance
    lookup,     // one point at a time through a PaletteLayout
};

struct Plan {
    Form form = Form::scan;
    // The search for what the main form leaves: points outside a grid,
    // cells without a list, lists longer than `longest`, neighbour lists
    // that give up or could not be built. Always scan or blocked.
    Form plain = Form::scan;
    // What runs when the main form's structure cannot be built (a grid
    // without memory): for the threshold engines whole or box groups,
    // otherwise `plain`.
    Form fallback = Form::scan;
    std::size_t side = 0;     // cells per channel of a grid form
    std::size_t longest = 0;  // grid_cells: the longest list searched
    // Run the 256-bit copy of the engine where wider vectors exist too.
    bool narrow = false;
};

// The plan for `colors` palette colours (2 to 4096) on an image of
// `channels` samples per pixel and `pixels` pixels.
Plan choose(Engine engine, std::size_t colors, std::size_t channels, std::size_t pixels) noexcept;

// True when a palette of `colors` colours gets the blocked form.
constexpr bool has_blocked_form(std::size_t colors) noexcept {
    return colors > Limits::blocked_form_above;
}

}  // namespace tonalis::search
