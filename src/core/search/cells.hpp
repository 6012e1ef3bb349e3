// Candidate lists of the nearest-colour search over a grid of cells: for
// the threshold engines, whose working values stay inside a known box, and
// for error diffusion, whose working values mostly stay near the codes.
//
// A cell's list holds, in the caller's order, every colour that could be
// the nearest (the first colour at the smallest distance
// (dr² + dg²) + db², each step rounded to single precision) for some point
// of the cell: every colour whose distance from the cell (computed like a
// distance from the gaps between cell and colour on each channel) is at
// most the smallest distance any colour has from the cell's farthest
// corner. Rounding is monotonic, so for a point inside the cell no
// colour's computed distance is below its gap bound nor above its corner
// bound; the nearest colour's distance is at most that smallest corner
// bound, so the nearest colour, and every colour as near, is on the list.
// Searching the list in its order therefore gives what the plain scan of
// the whole palette gives. So does searching, in the caller's order, any
// set of colours holding the list: the union of the lists of several
// pixels serves all of them. Short lists then lose every colour to which
// another colour is nearer throughout the cell (prune_dominated, in
// search/cell_lists.hpp).
//
// Lists are built when a pixel first falls in their cell, by whichever
// thread gets there first, into one preallocated pool; a pixel whose cell
// has no list (being built by another thread, or the pool full), or that
// lies outside the grid, is searched the plain way.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "machine.hpp"
#include "palette.hpp"

// Whether runs of cell states are read relaxed and closed by one fence
// (PaletteCells::peek_state): not under ThreadSanitizer, which cannot
// follow fences.
#if defined(__SANITIZE_THREAD__)
#define TONALIS_FENCED_STATES 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TONALIS_FENCED_STATES 0
#endif
#endif
#ifndef TONALIS_FENCED_STATES
#define TONALIS_FENCED_STATES 1
#endif

namespace tonalis {

class PaletteCells {
public:
    // What the lists hold for each colour: the bytes written out,
    // r | g << 8 | b << 16 (equal bytes have equal working values, so which
    // of two equal colours is found does not matter), in the pool or, for
    // small palettes, as sets in the states (below); or its index in the
    // caller's order, with every list of up to most_blocks * block_lanes
    // colours (one colour too) laid out as blocks for a search in vector
    // lanes, each block holding block_lanes working values of each channel
    // (+inf in unused lanes), then block_lanes indices. A list's blocks
    // follow each other from the start of a cache line.
    // Or, for a coarser grid that only serves to build the lists of a
    // finer one (its parent, below), each colour's index alone.
    enum class Entries { packed_rgb, sets, blocks, indices };
    static constexpr std::size_t block_lanes = 8;
    static constexpr std::size_t block_words = 4 * block_lanes;
    static constexpr std::size_t most_blocks = 2;
    // A cell's state is one 32-bit word: no list yet, being built, no list
    // ever (the pool is full, or the list too long); odd: a list of one
    // colour, (state >> 1); otherwise a list of (state >> 1) & 0x7FF colours
    // at pool()[(state >> 12) - 1].
    static constexpr std::uint32_t unbuilt = 0;
    static constexpr std::uint32_t building = 2;
    static constexpr std::uint32_t no_list = 4;
    static constexpr std::size_t max_side = 64;
    static constexpr std::size_t max_length = 0x7FF;
    static constexpr std::size_t max_pool_members = (std::size_t{1} << 20) - 1;
    // With sets, each cell's list is kept in its state instead, as a set of
    // colour indices: odd, bit j + 1 set for colour j; no pool. Palettes of
    // up to this many colours fit (larger ones take packed entries).
    static constexpr std::size_t max_set_colors = 31;

    static constexpr std::uint32_t single(std::uint32_t rgb) noexcept { return rgb << 1 | 1u; }
    static constexpr std::uint32_t list(std::size_t start, std::size_t length) noexcept {
        return static_cast<std::uint32_t>(((start + 1) << 12) | (length << 1));
    }
    static constexpr std::uint32_t set_of(std::size_t color) noexcept {
        return std::uint32_t{2} << color | 1u;
    }

    // Cells covering working values from `low` to `high` per channel, `side`
    // per channel. False when the grid cannot be made (memory), and the
    // search must go without it.
    bool make(const Palette& palette, const float low[3], const float high[3], std::size_t side,
              Entries entries = Entries::packed_rgb) noexcept;

    // A grid of lists, in the indices form, of parent_ratio³ cells each,
    // whose lists this grid's lists are built from: a cell's colours are
    // among those of the parent cell around it, so its list is picked
    // from that short list rather than from the whole palette. Grids in
    // the packed form (the threshold engines', which meet thousands of
    // cells) of at least parent_min_side cells per side over palettes of
    // more than parent_min_colors colours have one, unless memory is short.
    // Random dither to 256 colours at 2048², one thread: 17.4-17.9 ms ->
    // 16.8-17.2; 4096 colours 35.5-36.7 -> 34.4-35.3. Finer grids still do
    // not pay with it (32 cells per side instead of 24: 17.3 ms).
    static constexpr std::size_t parent_ratio = 4;
    static constexpr std::size_t parent_min_side = 16;
    static constexpr std::size_t parent_min_colors = 64;
    PaletteCells* parent() const noexcept { return parent_.get(); }

    std::size_t side() const noexcept { return side_; }
    std::size_t cell_count() const noexcept { return side_ * side_ * side_; }
    bool blocks() const noexcept { return blocks_; }
    // True when states hold sets of colour indices (Entries::sets).
    bool sets() const noexcept { return sets_; }
    const float* origin() const noexcept { return origin_; }
    const float* scale() const noexcept { return scale_; }
    const std::uint32_t* pool() const noexcept { return pool_.get(); }
    // The bytes written for each colour, r | g << 8 | b << 16 (lists in the
    // packed form only; null in the others).
    const std::uint32_t* packed_rgb() const noexcept { return packed_rgb_.get(); }
    // Every read of a state is this acquire load: other threads may be
    // publishing it, and the list it names is read after it. The state of
    // cell_count(), where cell_of puts points outside the grid, is no_list.
    std::uint32_t state(std::size_t cell) const noexcept { return load_state(states(), cell); }
    // The same for runs of loads, with the address of the states taken once
    // (an acquire load obliges the compiler to read again any member of
    // this object that it reads after the load).
    const std::uint32_t* states() const noexcept { return states_.get(); }
    // The compilers' atomic builtins on the plain words: libc++ has no
    // std::atomic_ref before release 19 (emscripten's and older Xcodes' lack it).
    static std::uint32_t load_state(const std::uint32_t* states, std::size_t cell) noexcept {
        return __atomic_load_n(&states[cell], __ATOMIC_ACQUIRE);
    }
    // For runs of loads: relaxed loads, then one acquire fence (states_read)
    // before any list they name is read. The fence orders every later read
    // of a list behind the states read before it, and the loads stay free
    // to overlap (about 3 % of a 16-colour threshold call against an
    // acquire load per state). ThreadSanitizer cannot follow fences, so
    // under it each load acquires and the fence is left out: the same
    // ordering, in the form it checks.
    static std::uint32_t peek_state(const std::uint32_t* states, std::size_t cell) noexcept {
        return __atomic_load_n(&states[cell],
                               TONALIS_FENCED_STATES ? __ATOMIC_RELAXED : __ATOMIC_ACQUIRE);
    }
    static void states_read() noexcept {
        if constexpr (TONALIS_FENCED_STATES) std::atomic_thread_fence(std::memory_order_acquire);
    }
    // True when the caller is to build the cell's list (it was unbuilt).
    bool claim(std::size_t cell) noexcept {
        std::uint32_t expected = unbuilt;
        return __atomic_compare_exchange_n(&states_[cell], &expected, building, false,
                                           __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    }
    // Room for `length` words, or null when the pool is full. Rooms start
    // on a block of list_block words (of a cache line with blocks) and fill
    // whole blocks, the spare words set to `spare`: a list may be read a
    // block at a time. The pool's first block is zeros and no list's, for
    // readers that have no list to read.
    static constexpr std::size_t list_block = 4;
    std::uint32_t* reserve(std::size_t length, std::size_t& start,
                           std::uint32_t spare = 0) noexcept;
    void publish(std::size_t cell, std::uint32_t value) noexcept {
        __atomic_store_n(&states_[cell], value, __ATOMIC_RELEASE);
    }
    // The cell of a working value, or cell_count() when it lies outside the
    // grid (or is NaN).
    [[gnu::always_inline]] std::size_t cell_of(float p0, float p1, float p2) const noexcept {
        const auto limit = static_cast<float>(side_);
        const float t0 = (p0 - origin_[0]) * scale_[0];
        const float t1 = (p1 - origin_[1]) * scale_[1];
        const float t2 = (p2 - origin_[2]) * scale_[2];
        if (!(t0 >= 0.0f && t0 < limit && t1 >= 0.0f && t1 < limit && t2 >= 0.0f && t2 < limit)) {
            return cell_count();
        }
        return (static_cast<std::size_t>(t0) * side_ + static_cast<std::size_t>(t1)) * side_ +
               static_cast<std::size_t>(t2);
    }
    // The box of working values whose pixels the index arithmetic puts in
    // cell (i0, i1, i2), widened so that rounding cannot put a pixel outside.
    void box(std::size_t i0, std::size_t i1, std::size_t i2, float lo[3],
             float hi[3]) const noexcept;

private:
    // Words of a room's unit: a block, or with blocks a cache line.
    static constexpr std::size_t line_words = 64 / sizeof(std::uint32_t);
    std::size_t room_words() const noexcept { return blocks_ ? line_words : list_block; }

    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    struct FreeAligned {
        void operator()(void* p) const noexcept { free_aligned(p); }
    };
    // The grid itself, of `side` cells of 1 / scale[c] from origin[c].
    bool make_grid(const Palette& palette, const float origin[3], const float scale[3],
                   std::size_t side, Entries entries) noexcept;

    std::size_t side_ = 0;
    bool sets_ = false;
    bool blocks_ = false;
    std::unique_ptr<PaletteCells> parent_;
    float origin_[3]{};
    float scale_[3]{};
    std::unique_ptr<std::uint32_t[], Free> states_;
    std::unique_ptr<std::uint32_t[], FreeAligned> pool_;
    std::unique_ptr<std::uint32_t[], Free> packed_rgb_;
    std::size_t pool_size_ = 0;
    std::atomic<std::size_t> used_{0};
};

}  // namespace tonalis
