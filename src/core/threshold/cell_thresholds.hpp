// The ordered dither tables of a small matrix: the code of every input
// byte in every cell, and the same table as level thresholds, which the
// vector passes compare bytes with (threshold/level_passes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tonalis {

// The largest matrix whose cell-by-byte table is built: 256 cells, 64 KiB
// on the stack.
inline constexpr std::size_t table_cells = 256;

// The cell table as level thresholds: a cell's level index rises with the
// input byte (the working value, the shift and the rounding are all
// monotonic), so it is the index at byte 0 plus the number of thresholds
// below the byte. Stored as "byte > t" limits: t = threshold - 1, and 255
// (never exceeded) for unused entries.
struct CellThresholds {
    static constexpr std::size_t max_steps = 15;  // levels up to 16
    std::uint8_t base[table_cells];
    std::uint8_t limit[max_steps][table_cells];
    std::size_t steps;  // thresholds used by the cell with the most
};

}  // namespace tonalis
