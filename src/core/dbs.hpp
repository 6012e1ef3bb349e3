// Direct binary search: a halftone refined by the toggles and swaps that most reduce its
// perceptually filtered error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "prepared.hpp"

namespace tonalis {

// The filter's taps span (2r + 1)² pixels, r at most this; its
// autocorrelation (4r + 1)².
inline constexpr std::size_t max_dbs_radius = 8;
// The most passes a call makes.
inline constexpr std::size_t max_dbs_passes = 1000;
// The largest palette searched in lightness and colour differences
// (DbsSettings::chroma_taps): the palettes scanned in line.
inline constexpr std::size_t max_dbs_opponent_colours = 32;

struct DbsSettings {
    // (2 * radius + 1)² filter taps, row by row, finite; the caller
    // normalises them (their sum sets only the scale of the error).
    const float* taps = nullptr;
    std::size_t radius = 0;  // 1..=max_dbs_radius
    // At most this many passes (1..=max_dbs_passes); the search stops
    // sooner when a pass changes nothing.
    std::size_t passes = max_dbs_passes;
    bool swaps = true;  // try exchanging a pixel with its 8 neighbours too
    // The halftone to start from, in the image's layout (its kept channel
    // is not read), or null for Floyd-Steinberg's. Its samples need not be
    // levels or colours: each pixel starts at the level or colour nearest
    // to it.
    const std::uint8_t* start = nullptr;
    // A palette of at most max_dbs_opponent_colours searched as the eye splits colour:
    // the error in lightness and two colour differences (linear in the
    // working space), lightness through `taps` plus `near_weight` times
    // `near_taps` (null for none), the colour differences through
    // `chroma_taps` times `chroma_weight`. Taps as above, of the same
    // radius; weights finite and >= 0. Null `chroma_taps`, levels or a
    // larger palette: every channel through `taps`.
    const float* chroma_taps = nullptr;
    float chroma_weight = 1.0f;
    const float* near_taps = nullptr;
    float near_weight = 0.0f;
};

// What a call did: passes made (the last one changed nothing unless the
// limit stopped it) and toggles and swaps taken.
struct DbsReport {
    std::size_t passes = 0;
    std::size_t toggles = 0;
    std::size_t swaps = 0;
};

// Bytes of scratch for an image, target and radius (oversized,
// checked_size.hpp, when the count does not fit in a size). The caller
// allocates them before releasing the interpreter.
std::size_t dbs_scratch_bytes(const Img& img, const Target& target, std::size_t radius) noexcept;

// Rewrites img.data in place: the start (Floyd-Steinberg error diffusion
// unless the settings give one) first, then passes of direct binary search in the call's working
// space (linear light or codes), each visiting every pixel once, in tiles swept in four phases far
// enough apart that tiles of one phase never touch each other's state: the output is the same on
// any number of threads. Levels refine each channel on its own (the kept channel untouched), pixels
// whose original lies too near a level for the filter to weigh a lone pixel of the next keeping the
// start's level; a palette refines the colour channels together, against its colours. Runs without
// the interpreter; cannot fail.
DbsReport dbs_dither(Img& img, Target& target, const Space& space, const DbsSettings& settings,
                     std::uint8_t* scratch) noexcept;

}  // namespace tonalis
