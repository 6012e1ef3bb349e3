// Direct binary search on levels and palettes, from a Floyd-Steinberg start or a given one.
//
// The filtered error of a halftone g of an image f is E = sum (p * e)², with
// e = g - f and p the filter. With c the autocorrelation of p and q = c * e
// (both kept as planes), changing pixel m by a changes E by
// a (a c(0) + 2 q(m)), and exchanging pixels m and n = m + d (m changing by
// a, n by -a) by 2 a (a (c(0) - c(d)) + q(m) - q(n)); a taken change adds
// a c(. - m) to q. Every pixel tries its best toggle (the level or colour
// nearest to g(m) - q(m) / c(0), which minimises the first form) and the
// swaps with its 8 neighbours, and takes the one that lowers E most, if
// any does; pixels of levels too near a level for the filter to see a lone
// pixel of the next (fill_holds) keep their start and take part in no
// swap. Every sum is formed in a fixed order in single precision, so
// the bytes are the same on every machine.
//
// A palette searched in lightness and colour differences (to_opponent)
// sums such an E per channel, each with its own c: the forms above hold
// channel by channel, and the best toggle is the colour nearest to the
// target with each channel's squared distance weighed by its c(0).
//
// Tiles of tile_side(r) pixels are swept in four phases (even rows of
// tiles and even columns, even and odd, odd and even, odd and odd), a
// tile's pixels row by row. A change in a tile moves q at most 2r + 1
// pixels beyond it and a trial reads at most 1 pixel beyond it, so tiles
// of one phase, a tile apart, never meet: threads take them in any order
// and make the same bytes. A tile is visited again only when it or one of
// its 8 neighbours changed since its last visit: its trials would find
// nothing otherwise.
#include "dbs.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>

#include "checked_size.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "machine.hpp"
#include "search/plan.hpp"

namespace tonalis {

namespace {

constexpr std::size_t block_align = 64;
constexpr std::size_t max_side = 4 * max_dbs_radius + 1;
// Palettes up to this size are scanned in line.
constexpr std::size_t small_palette = max_dbs_opponent_colours;

// Blocks of block_side pixels square keep when they last changed; a tile
// is a whole number of blocks.
constexpr std::size_t block_side = 8;

constexpr std::size_t tile_side(std::size_t radius) noexcept {
    return std::max<std::size_t>(32, (4 * radius + 2 + block_side - 1) / block_side * block_side);
}

// How many blocks away a change can move what a trial reads: q moves 2r + 1
// pixels beyond a changed pixel, a swap changes a pixel 1 beyond its block
// and a trial reads 1 beyond its pixel.
constexpr std::size_t block_reach(std::size_t radius) noexcept {
    return (2 * radius + 3) / block_side + 1;
}

constexpr std::size_t round_up(std::size_t n) noexcept {
    return checked_add(n, block_align - 1) / block_align * block_align;
}

// Four floats: a register on every target.
using Lanes = float __attribute__((vector_size(16)));

// The 8 neighbours a pixel may swap with, row by row.
constexpr int neighbour_dy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
constexpr int neighbour_dx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};

// Where everything lies in the scratch: planes of (height + 4r) x
// (width + 4r) floats, the image in their middle.
struct Geometry {
    std::size_t height = 0, width = 0, radius = 0;
    std::size_t pad = 0, stride = 0, plane = 0;
    std::size_t tile = 0, tiles_y = 0, tiles_x = 0;
    std::size_t blocks_y = 0, blocks_x = 0, reach = 0;
    std::size_t planes = 0;  // channels searched together: 1 for levels, 3 for a palette

    // Byte offsets, each a multiple of block_align.
    std::size_t original = 0, diffusion = 0, errors = 0, correlations = 0, values = 0, indices = 0,
                holds = 0, marks = 0, block_marks = 0, total = 0;

    static Geometry make(const Img& img, const Target& target, std::size_t radius) noexcept {
        Geometry g;
        g.height = img.height;
        g.width = img.width;
        g.radius = radius;
        g.pad = 2 * radius;
        g.stride = checked_add(img.width, 2 * g.pad);
        g.plane = checked_mul(g.stride, checked_add(img.height, 2 * g.pad));
        g.tile = tile_side(radius);
        g.tiles_y = (img.height + g.tile - 1) / g.tile;
        g.tiles_x = (img.width + g.tile - 1) / g.tile;
        g.blocks_y = (img.height + block_side - 1) / block_side;
        g.blocks_x = (img.width + block_side - 1) / block_side;
        g.reach = block_reach(radius);
        g.planes = std::holds_alternative<Palette>(target) ? 3 : 1;
        const std::size_t pixels = img.pixel_count();
        std::size_t at = 0;
        const auto take = [&at](std::size_t bytes) {
            const std::size_t start = at;
            at = checked_add(at, round_up(bytes));
            return start;
        };
        g.original = take(checked_mul(pixels, img.channels));
        g.diffusion = take(checked_mul(diffusion_scratch_floats(img, target), sizeof(float)));
        g.errors = take(checked_product(g.plane, g.planes, sizeof(float)));
        g.correlations = take(checked_product(g.plane, g.planes, sizeof(float)));
        g.values = take(checked_product(pixels, g.planes, sizeof(float)));
        g.indices = take(checked_mul(pixels, sizeof(std::uint16_t)));
        g.holds = take(pixels);
        g.marks = take(checked_product(g.tiles_y, g.tiles_x, sizeof(std::int32_t)));
        g.block_marks = take(checked_product(g.blocks_y, g.blocks_x, sizeof(std::int32_t)));
        // Room to align the start.
        g.total = checked_add(at, block_align);
        return g;
    }
};

// The filter's autocorrelation, (4r + 1)² values row by row: c(d) is the
// sum over taps k, row by row, of p(k) p(k + d), for d before the centre
// in row order; the rest mirror them, so c(-d) is c(d) to the bit.
struct Autocorrelation {
    std::array<float, max_side * max_side> table{};
    std::size_t side = 0;
    float centre = 0.0f;
    float inv_centre = 0.0f;
    float sum = 0.0f;               // of the whole table, in row order
    std::array<float, 8> swap{};    // c(0) - c(d) for the 8 neighbours
    Lanes swap_low{}, swap_high{};  // the same, four and four

    // With a `second` filter, the first's table plus `weight` times the
    // second's, term by term: the error as seen through both.
    static Autocorrelation make(const float* taps, std::size_t radius,
                                const float* second = nullptr, float weight = 0.0f) noexcept {
        Autocorrelation a = of_taps(taps, radius);
        if (second != nullptr) {
            const Autocorrelation b = of_taps(second, radius);
            const std::size_t count = a.side * a.side;
            for (std::size_t i = 0; i < count; ++i) {
                a.table[i] = a.table[i] + weight * b.table[i];
            }
        }
        a.finish();
        return a;
    }

    // A filter's table times `weight`.
    static Autocorrelation weighted(const float* taps, float weight, std::size_t radius) noexcept {
        Autocorrelation a = of_taps(taps, radius);
        const std::size_t count = a.side * a.side;
        for (std::size_t i = 0; i < count; ++i) {
            a.table[i] = weight * a.table[i];
        }
        a.finish();
        return a;
    }

    // Whether the table weighs a lone change at all: a filter too faint
    // for single precision gives a centre of 0.
    bool weighs() const noexcept {
        return centre > 0.0f && inv_centre < std::numeric_limits<float>::infinity();
    }

private:
    static Autocorrelation of_taps(const float* taps, std::size_t radius) noexcept {
        Autocorrelation a;
        const std::size_t n = 2 * radius + 1;
        const std::size_t side = 4 * radius + 1;
        a.side = side;
        for (std::size_t ky = 0; ky < n; ++ky) {
            for (std::size_t kx = 0; kx < n; ++kx) {
                const float pk = taps[ky * n + kx];
                // d = j - k, at (j - k + 2r) in the table.
                float* out = a.table.data() + (n - 1 - ky) * side + (n - 1 - kx);
                for (std::size_t jy = 0; jy < n; ++jy) {
                    for (std::size_t jx = 0; jx < n; ++jx) {
                        out[jy * side + jx] = out[jy * side + jx] + pk * taps[jy * n + jx];
                    }
                }
            }
        }
        const std::size_t count = side * side;
        const std::size_t middle = count / 2;
        for (std::size_t i = middle + 1; i < count; ++i) {
            a.table[i] = a.table[count - 1 - i];
        }
        return a;
    }

    // The figures the search reads, from the table.
    void finish() noexcept {
        const std::size_t count = side * side;
        const std::size_t middle = count / 2;
        centre = table[middle];
        for (std::size_t i = 0; i < count; ++i) sum = sum + table[i];
        inv_centre = 1.0f / centre;
        for (std::size_t k = 0; k < 8; ++k) {
            const std::size_t at = static_cast<std::size_t>(
                static_cast<std::ptrdiff_t>(middle) +
                neighbour_dy[k] * static_cast<std::ptrdiff_t>(side) + neighbour_dx[k]);
            swap[k] = centre - table[at];
        }
        swap_low = Lanes{swap[0], swap[1], swap[2], swap[3]};
        swap_high = Lanes{swap[4], swap[5], swap[6], swap[7]};
    }
};

// The fraction of the way between two levels below which a lone pixel of
// the far level raises the filtered error: c(0) / (2 sum c).
float hold_fraction(const Autocorrelation& ac) noexcept {
    return ac.centre / (ac.sum + ac.sum);
}

// A barrier whose last arrival runs `last` before it lets the others go.
class PhaseBarrier {
public:
    template <class F>
    void arrive(std::size_t team, F&& last) noexcept {
        const std::uint32_t seen = generation_.load(std::memory_order_acquire);
        if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == team) {
            arrived_.store(0, std::memory_order_relaxed);
            last();
            generation_.store(seen + 1, std::memory_order_release);
            wake_all(generation_);
            return;
        }
        while (generation_.load(std::memory_order_acquire) == seen) {
            wait_while(generation_, seen);
        }
    }

private:
    std::atomic<std::size_t> arrived_{0};
    std::atomic<std::uint32_t> generation_{0};
};

// What all threads of a search share besides the planes.
struct Shared {
    PhaseBarrier barrier;
    std::atomic<std::size_t> next{0};           // next tile of the phase to take
    std::atomic<std::size_t> changed_tiles{0};  // in the current pass
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> toggles{0};
    std::atomic<std::size_t> swaps{0};
    std::size_t passes = 0;  // written by the last arrival of a pass
};

// Each channel's autocorrelation; channels may share one.
template <std::size_t C>
using Tables = std::array<const Autocorrelation*, C>;

// One search: C channels refined together against `colours` (C floats
// per index), the toggle's candidate from `nearest`.
template <std::size_t C, class Nearest>
struct Search {
    const Geometry& geo;
    Tables<C> ac;
    const DbsSettings& settings;
    std::array<float*, C> errors;
    std::array<float*, C> corr;
    std::array<float*, C> values;
    std::uint16_t* indices;
    const std::uint8_t* holds;  // 1 where the pixel keeps its start
    std::int32_t* marks;
    std::int32_t* block_marks;
    const float* colours;
    Nearest nearest;

    // q over rows [y0, y1) from the error planes, each value summed over
    // the table in row order.
    void correlate(std::size_t y0, std::size_t y1) const noexcept {
        const std::size_t stride = geo.stride;
        const std::size_t w = geo.width;
        for (std::size_t c = 0; c < C; ++c) {
            const std::size_t side = ac[c]->side;
            const float* table = ac[c]->table.data();
            for (std::size_t y = y0; y < y1; ++y) {
                float* out = corr[c] + (y + geo.pad) * stride + geo.pad;
                const float* in = errors[c] + y * stride;
                // Sixteen values at a time in registers through the whole
                // table, then the rest one by one: the same terms in the
                // same order.
                std::size_t x = 0;
                for (; x + 16 <= w; x += 16) {
                    Lanes sum[4] = {};
                    for (std::size_t i = 0; i < side; ++i) {
                        const float* row = in + i * stride + x;
                        const float* weights = table + i * side;
                        for (std::size_t j = 0; j < side; ++j) {
                            for (std::size_t l = 0; l < 4; ++l) {
                                Lanes v;
                                __builtin_memcpy(&v, row + j + 4 * l, sizeof v);
                                sum[l] = sum[l] + weights[j] * v;
                            }
                        }
                    }
                    __builtin_memcpy(out + x, sum, sizeof sum);
                }
                for (; x < w; ++x) {
                    float sum = 0.0f;
                    for (std::size_t i = 0; i < side; ++i) {
                        const float* row = in + i * stride + x;
                        const float* weights = table + i * side;
                        for (std::size_t j = 0; j < side; ++j) {
                            sum = sum + weights[j] * row[j];
                        }
                    }
                    out[x] = sum;
                }
            }
        }
    }

    // q += a c(. - m) around the pixel at (y, x), in channel c.
    void spread(std::size_t c, std::size_t y, std::size_t x, float a) const noexcept {
        float* plane = corr[c];
        const std::size_t side = ac[c]->side;
        const float* table = ac[c]->table.data();
        for (std::size_t i = 0; i < side; ++i) {
            float* row = plane + (y + i) * geo.stride + x;
            const float* t = table + i * side;
            for (std::size_t j = 0; j < side; ++j) {
                row[j] = row[j] + a * t[j];
            }
        }
    }

    // The best trial at (y, x), taken when it lowers the error: 0 nothing,
    // 1 a toggle, 2 a swap.
    int trial(std::size_t y, std::size_t x) const noexcept {
        const std::size_t w = geo.width;
        const std::size_t m = y * w + x;
        const std::size_t at = (y + geo.pad) * geo.stride + x + geo.pad;
        if (holds[m] != 0) {
            return 0;
        }
        const std::uint16_t current = indices[m];
        float best = 0.0f;
        int choice = -1;  // 0..7 a swap, 8 the toggle
        std::array<float, C> target;
        for (std::size_t c = 0; c < C; ++c) {
            target[c] = values[c][m] - corr[c][at] * ac[c]->inv_centre;
        }
        const std::uint16_t candidate = nearest(target);
        if (candidate != current) {
            float change = 0.0f;
            for (std::size_t c = 0; c < C; ++c) {
                const float a = colours[candidate * C + c] - values[c][m];
                float s = a * ac[c]->centre;
                s = s + (corr[c][at] + corr[c][at]);
                change = change + a * s;
            }
            if (change < best) {
                best = change;
                choice = 8;
            }
        }
        const bool inside = y > 0 && x > 0 && y + 1 < geo.height && x + 1 < w;
        if (settings.swaps && inside) {
            // The 8 swaps side by side, lanes in neighbour order; each
            // lane takes the steps of the loop below.
            Lanes low{}, high{};
            for (std::size_t c = 0; c < C; ++c) {
                const float* v = values[c] + m;
                const float* up = v - w;
                const float* down = v + w;
                const float* q = corr[c] + at;
                const float* qup = q - geo.stride;
                const float* qdown = q + geo.stride;
                const Lanes a_low = Lanes{up[-1], up[0], up[1], v[-1]} - v[0];
                const Lanes a_high = Lanes{v[1], down[-1], down[0], down[1]} - v[0];
                const Lanes q_low = q[0] - Lanes{qup[-1], qup[0], qup[1], q[-1]};
                const Lanes q_high = q[0] - Lanes{q[1], qdown[-1], qdown[0], qdown[1]};
                Lanes s_low = a_low * ac[c]->swap_low;
                Lanes s_high = a_high * ac[c]->swap_high;
                s_low = s_low + q_low;
                s_high = s_high + q_high;
                low = low + a_low * s_low;
                high = high + a_high * s_high;
            }
            low = low + low;
            high = high + high;
            const std::uint16_t* i = indices + m;
            const std::uint16_t around[8] = {i[-w - 1], i[-w],    i[-w + 1], i[-1],
                                             i[1],      i[w - 1], i[w],      i[w + 1]};
            const std::uint8_t* h = holds + m;
            const std::uint8_t held[8] = {h[-w - 1], h[-w],    h[-w + 1], h[-1],
                                          h[1],      h[w - 1], h[w],      h[w + 1]};
            for (int k = 0; k < 8; ++k) {
                const float change = k < 4 ? low[k] : high[k - 4];
                if (around[k] != current && held[k] == 0 && change < best) {
                    best = change;
                    choice = k;
                }
            }
        } else if (settings.swaps) {
            for (int k = 0; k < 8; ++k) {
                const std::size_t ny = y + static_cast<std::size_t>(neighbour_dy[k]);
                const std::size_t nx = x + static_cast<std::size_t>(neighbour_dx[k]);
                if (ny >= geo.height || nx >= w) {
                    continue;  // wrapped below zero too
                }
                const std::size_t n = ny * w + nx;
                if (indices[n] == current || holds[n] != 0) {
                    continue;
                }
                const std::size_t nat = (ny + geo.pad) * geo.stride + nx + geo.pad;
                float change = 0.0f;
                for (std::size_t c = 0; c < C; ++c) {
                    const float a = values[c][n] - values[c][m];
                    const float q = corr[c][at] - corr[c][nat];
                    float s = a * ac[c]->swap[static_cast<std::size_t>(k)];
                    s = s + q;
                    change = change + a * s;
                }
                change = change + change;
                if (change < best) {
                    best = change;
                    choice = k;
                }
            }
        }
        if (choice < 0) {
            return 0;
        }
        if (choice == 8) {
            for (std::size_t c = 0; c < C; ++c) {
                const float v = colours[candidate * C + c];
                spread(c, y, x, v - values[c][m]);
                values[c][m] = v;
            }
            indices[m] = candidate;
            return 1;
        }
        const std::size_t ny = y + static_cast<std::size_t>(neighbour_dy[choice]);
        const std::size_t nx = x + static_cast<std::size_t>(neighbour_dx[choice]);
        const std::size_t n = ny * w + nx;
        for (std::size_t c = 0; c < C; ++c) {
            const float a = values[c][n] - values[c][m];
            spread(c, y, x, a);
            spread(c, ny, nx, -a);
            std::swap(values[c][m], values[c][n]);
        }
        std::swap(indices[m], indices[n]);
        return 2;
    }

    // Whether the tile at (ty, tx), seen last at step `seen` (4 per pass),
    // or one of its neighbours changed since.
    bool stale(std::size_t ty, std::size_t tx, std::int32_t seen) const noexcept {
        const std::size_t y0 = ty == 0 ? 0 : ty - 1;
        const std::size_t y1 = std::min(ty + 2, geo.tiles_y);
        const std::size_t x0 = tx == 0 ? 0 : tx - 1;
        const std::size_t x1 = std::min(tx + 2, geo.tiles_x);
        for (std::size_t y = y0; y < y1; ++y) {
            for (std::size_t x = x0; x < x1; ++x) {
                if (marks[y * geo.tiles_x + x] >= seen) {
                    return true;
                }
            }
        }
        return false;
    }

    // The same for the block at (by, bx), from the blocks within reach:
    // false only when no pixel a trial in it reads has changed since its
    // trials last found nothing to take, which they would find again.
    bool block_stale(std::size_t by, std::size_t bx, std::int32_t seen) const noexcept {
        const std::size_t y0 = by < geo.reach ? 0 : by - geo.reach;
        const std::size_t y1 = std::min(by + geo.reach + 1, geo.blocks_y);
        const std::size_t x0 = bx < geo.reach ? 0 : bx - geo.reach;
        const std::size_t x1 = std::min(bx + geo.reach + 1, geo.blocks_x);
        for (std::size_t y = y0; y < y1; ++y) {
            const std::int32_t* row = block_marks + y * geo.blocks_x;
            for (std::size_t x = x0; x < x1; ++x) {
                if (row[x] >= seen) {
                    return true;
                }
            }
        }
        return false;
    }

    // One visit of a tile, row by row; the stretch of a row in a block is
    // skipped while the block is not stale (see block_stale), which makes
    // the same bytes as trying every pixel. True when anything changed.
    bool visit(std::size_t ty, std::size_t tx, std::int32_t step, bool first, std::size_t& toggles,
               std::size_t& swaps) const noexcept {
        const std::size_t y0 = ty * geo.tile;
        const std::size_t y1 = std::min(geo.height, y0 + geo.tile);
        const std::size_t x0 = tx * geo.tile;
        const std::size_t x1 = std::min(geo.width, x0 + geo.tile);
        constexpr std::size_t most = tile_side(max_dbs_radius) / block_side;
        bool known_stale[most];
        // The visit's changes when each block was last found not stale:
        // only a change of this visit can make it stale (the tiles around
        // are not visited meanwhile).
        std::size_t checked[most];
        std::size_t changes = 0;
        const std::size_t blocks = (x1 - x0 + block_side - 1) / block_side;
        for (std::size_t y = y0; y < y1; ++y) {
            const std::size_t by = y / block_side;
            if (y % block_side == 0 || y == y0) {
                std::fill(known_stale, known_stale + blocks, first);
                std::fill(checked, checked + blocks, oversized);
            }
            for (std::size_t b = 0; b < blocks; ++b) {
                const std::size_t bx = x0 / block_side + b;
                if (!known_stale[b]) {
                    if (checked[b] == changes || !block_stale(by, bx, step - 4)) {
                        checked[b] = changes;
                        continue;
                    }
                    known_stale[b] = true;
                }
                const std::size_t end = std::min(x1, (bx + 1) * block_side);
                bool here = false;
                for (std::size_t x = bx * block_side; x < end; ++x) {
                    const int taken = trial(y, x);
                    toggles += taken == 1;
                    swaps += taken == 2;
                    here |= taken != 0;
                }
                if (here) {
                    block_marks[by * geo.blocks_x + bx] = step;
                    ++changes;
                }
            }
        }
        return changes != 0;
    }

    void run(std::size_t member, std::size_t team, Shared& shared) const noexcept {
        correlate(part_start(geo.height, member, team), part_start(geo.height, member + 1, team));
        shared.barrier.arrive(team, [] {});
        std::size_t toggles = 0;
        std::size_t swaps = 0;
        for (std::size_t pass = 0; pass < settings.passes; ++pass) {
            for (std::size_t phase = 0; phase < 4; ++phase) {
                const std::size_t py = phase / 2;
                const std::size_t px = phase % 2;
                const std::size_t rows = (geo.tiles_y + 1 - py) / 2;
                const std::size_t cols = (geo.tiles_x + 1 - px) / 2;
                const auto step = static_cast<std::int32_t>(4 * pass + phase);
                for (std::size_t i = shared.next.fetch_add(1, std::memory_order_relaxed);
                     i < rows * cols; i = shared.next.fetch_add(1, std::memory_order_relaxed)) {
                    const std::size_t ty = py + 2 * (i / cols);
                    const std::size_t tx = px + 2 * (i % cols);
                    if (pass > 0 && !stale(ty, tx, step - 4)) {
                        continue;
                    }
                    if (visit(ty, tx, step, pass == 0, toggles, swaps)) {
                        marks[ty * geo.tiles_x + tx] = step;
                        shared.changed_tiles.fetch_add(1, std::memory_order_relaxed);
                    }
                }
                shared.barrier.arrive(team, [&] {
                    shared.next.store(0, std::memory_order_relaxed);
                    if (phase == 3) {
                        shared.passes = pass + 1;
                        if (shared.changed_tiles.exchange(0, std::memory_order_relaxed) == 0) {
                            shared.stop.store(true, std::memory_order_relaxed);
                        }
                    }
                });
            }
            if (shared.stop.load(std::memory_order_relaxed)) {
                break;
            }
        }
        shared.toggles.fetch_add(toggles, std::memory_order_relaxed);
        shared.swaps.fetch_add(swaps, std::memory_order_relaxed);
    }
};

template <class Byte>
Byte* aligned_start(Byte* scratch) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(scratch);
    return scratch + ((block_align - address % block_align) % block_align);
}

template <std::size_t C, class Nearest>
void search(const Geometry& geo, Tables<C> ac, const DbsSettings& settings, std::uint8_t* base,
            const float* colours, Nearest nearest, DbsReport& report) noexcept {
    auto* errors = reinterpret_cast<float*>(base + geo.errors);
    auto* corr = reinterpret_cast<float*>(base + geo.correlations);
    auto* values = reinterpret_cast<float*>(base + geo.values);
    auto* marks = reinterpret_cast<std::int32_t*>(base + geo.marks);
    std::fill(marks, marks + geo.tiles_y * geo.tiles_x, -1);
    auto* block_marks = reinterpret_cast<std::int32_t*>(base + geo.block_marks);
    std::fill(block_marks, block_marks + geo.blocks_y * geo.blocks_x, -1);
    std::fill(corr, corr + C * geo.plane, 0.0f);
    Search<C, Nearest> s{geo,
                         ac,
                         settings,
                         {},
                         {},
                         {},
                         reinterpret_cast<std::uint16_t*>(base + geo.indices),
                         base + geo.holds,
                         marks,
                         block_marks,
                         colours,
                         nearest};
    for (std::size_t c = 0; c < C; ++c) {
        s.errors[c] = errors + c * geo.plane;
        s.corr[c] = corr + c * geo.plane;
        s.values[c] = values + c * geo.height * geo.width;
    }
    // One thread per tile of the first phase at most.
    const std::size_t first_phase = ((geo.tiles_y + 1) / 2) * ((geo.tiles_x + 1) / 2);
    const std::size_t threads = std::max<std::size_t>(1, std::min(worker_count(), first_phase));
    Shared shared;
    auto member = [&](std::size_t id, std::size_t team) { s.run(id, team, shared); };
    run_team(threads, member);
    report.passes = std::max(report.passes, shared.passes);
    report.toggles += shared.toggles.load(std::memory_order_relaxed);
    report.swaps += shared.swaps.load(std::memory_order_relaxed);
}

// The error plane of one channel: the halftone's working value less the
// original's, zero around the image.
void fill_errors(const Geometry& geo, float* errors, const float* values,
                 const std::uint8_t* original, std::size_t channels, std::size_t channel,
                 const Space& space) noexcept {
    std::fill(errors, errors + geo.plane, 0.0f);
    for (std::size_t y = 0; y < geo.height; ++y) {
        float* row = errors + (y + geo.pad) * geo.stride + geo.pad;
        for (std::size_t x = 0; x < geo.width; ++x) {
            const std::size_t m = y * geo.width + x;
            row[x] = values[m] - space.to_work[original[m * channels + channel]];
        }
    }
}

// The pixels that keep their start, for one channel of levels. In a flat
// stretch whose original lies a fraction t of the way from one level to
// the next, a lone pixel of the far level lowers the filtered error only
// when t > c(0) / (2 sum c): below that fraction (and above 1 less it) the
// search takes away every such pixel the start placed, or drifts them by
// swaps toward the lighter parts, and shadows and highlights lose their
// detail (a Gaussian of sigma 1.2 pixels flattens every code below about 45
// to black). Such pixels keep the start's level, and no swap moves them. A
// pixel whose original is a level itself is searched: the pixels of the
// other level that the start left there are its stray error.
void fill_holds(const Geometry& geo, std::uint8_t* holds, const std::uint8_t* original,
                std::size_t channels, std::size_t channel, const Levels& levels, const Space& space,
                const Autocorrelation& ac) noexcept {
    const float least = hold_fraction(ac);
    const std::size_t pixels = geo.height * geo.width;
    for (std::size_t m = 0; m < pixels; ++m) {
        const float f = space.to_work[original[m * channels + channel]];
        std::size_t i = nearest_level(levels, f);
        if (i > 0 && levels.values[i] > f) --i;
        std::uint8_t hold = 0;
        if (i + 1 < levels.count && levels.values[i + 1] > levels.values[i]) {
            const float t = (f - levels.values[i]) / (levels.values[i + 1] - levels.values[i]);
            hold = (t > 0.0f && t < least) || (t < 1.0f && t > 1.0f - least);
        }
        holds[m] = hold;
    }
}

// The scratch's planes a search starts from: the original codes, the
// error, the working values and the colour or level of each pixel.
struct Planes {
    const std::uint8_t* original;
    float* errors;
    float* values;
    std::uint16_t* indices;

    static Planes in(const Geometry& geo, std::uint8_t* base) noexcept {
        return {base + geo.original, reinterpret_cast<float*>(base + geo.errors),
                reinterpret_cast<float*>(base + geo.values),
                reinterpret_cast<std::uint16_t*>(base + geo.indices)};
    }
};

// The first level of each code (levels sharing a code share a value);
// the nearest level for a code of none, which only a given start has.
std::array<std::uint16_t, 256> levels_of_codes(const Levels& levels, const Space& space) noexcept {
    std::array<std::uint16_t, 256> level_of{};
    for (std::size_t code = 0; code < 256; ++code) {
        level_of[code] = static_cast<std::uint16_t>(nearest_level(levels, space.to_work[code]));
    }
    for (std::size_t i = levels.count; i-- > 0;) {
        level_of[levels.codes[i]] = static_cast<std::uint16_t>(i);
    }
    return level_of;
}

// The nearest-colour search the plan picks for this palette and image.
NearestColorFn palette_lookup(const Img& img, const PaletteLayout& layout) noexcept {
    return nearest_color_function(
        search::choose(search::Engine::lookup, layout.count, img.channels, img.pixel_count()).form);
}

// The palette colour nearest to a pixel's samples, in the working space.
std::size_t nearest_of_pixel(NearestColorFn find, const PaletteLayout& layout, const Space& space,
                             const std::uint8_t* px) noexcept {
    return find(layout, space.to_work[px[0]], space.to_work[px[1]], space.to_work[px[2]]);
}

// A given start as the search would take it, without a search: each
// pixel at its nearest level or colour.
void settle_start(Img& img, const Target& target, const Space& space) noexcept {
    const std::size_t channels = img.channels;
    std::uint8_t* data = img.data.data();
    const std::size_t samples = img.pixel_count() * channels;
    if (const Palette* palette = std::get_if<Palette>(&target)) {
        const NearestColorFn find = palette_lookup(img, palette->layout);
        for (std::size_t m = 0; m < samples; m += channels) {
            std::uint8_t* px = data + m;
            const std::size_t k = nearest_of_pixel(find, palette->layout, space, px);
            std::memcpy(px, palette->rgb[k].data(), 3);
        }
        return;
    }
    const Levels& levels = std::get<Levels>(target);
    const std::array<std::uint16_t, 256> level_of = levels_of_codes(levels, space);
    const std::size_t kept = img.kept_channel();
    for (std::size_t m = 0; m < samples; m += channels) {
        for (std::size_t c = 0; c < channels; ++c) {
            if (c != kept) data[m + c] = levels.codes[level_of[data[m + c]]];
        }
    }
}

void search_levels(Img& img, const Levels& levels, const Space& space, const Geometry& geo,
                   const Autocorrelation& ac, const DbsSettings& settings, std::uint8_t* base,
                   DbsReport& report) noexcept {
    const std::array<std::uint16_t, 256> level_of = levels_of_codes(levels, space);
    const auto [original, errors, values, indices] = Planes::in(geo, base);
    const std::size_t channels = img.channels;
    std::uint8_t* data = img.data.data();
    const std::size_t pixels = img.pixel_count();
    auto* holds = base + geo.holds;
    const auto nearest = [&levels](const std::array<float, 1>& t) noexcept {
        return static_cast<std::uint16_t>(nearest_level(levels, t[0]));
    };
    for (std::size_t channel = 0; channel < channels; ++channel) {
        if (channel == img.kept_channel()) {
            continue;
        }
        for (std::size_t m = 0; m < pixels; ++m) {
            const std::uint16_t level = level_of[data[m * channels + channel]];
            indices[m] = level;
            values[m] = levels.values[level];
        }
        fill_errors(geo, errors, values, original, channels, channel, space);
        fill_holds(geo, holds, original, channels, channel, levels, space, ac);
        search<1>(geo, Tables<1>{&ac}, settings, base, levels.values.data(), nearest, report);
        for (std::size_t m = 0; m < pixels; ++m) {
            data[m * channels + channel] = levels.codes[indices[m]];
        }
    }
}

// Linear sRGB to the opponent space the eye model measures a palette's
// error in: lightness 116 Y and the colour differences 500 (X - Y) and
// 200 (Y - Z), X, Y and Z relative to D65 white; CIELAB's scales without
// its cube roots, so that blurring stays linear. Rows are channels.
constexpr float opponent_of[3][3] = {
    {24.670053f, 82.95765f, 8.372299f},
    {110.638535f, -169.47118f, 58.83265f},
    {38.983257f, 121.13683f, -160.12009f},
};

std::array<float, 3> to_opponent(float r, float g, float b) noexcept {
    std::array<float, 3> o{};
    for (std::size_t i = 0; i < 3; ++i) {
        o[i] = (opponent_of[i][0] * r + opponent_of[i][1] * g) + opponent_of[i][2] * b;
    }
    return o;
}

// The three error planes in the opponent space: the halftone's values (in
// it already) less the original's.
void fill_opponent_errors(const Geometry& geo, float* errors, const float* values,
                          const std::uint8_t* original, std::size_t channels,
                          const Space& space) noexcept {
    const std::size_t pixels = geo.height * geo.width;
    std::fill(errors, errors + 3 * geo.plane, 0.0f);
    for (std::size_t y = 0; y < geo.height; ++y) {
        for (std::size_t x = 0; x < geo.width; ++x) {
            const std::size_t m = y * geo.width + x;
            const std::uint8_t* px = original + m * channels;
            const std::array<float, 3> o =
                to_opponent(space.to_work[px[0]], space.to_work[px[1]], space.to_work[px[2]]);
            for (std::size_t c = 0; c < 3; ++c) {
                errors[c * geo.plane + (y + geo.pad) * geo.stride + geo.pad + x] =
                    values[c * pixels + m] - o[c];
            }
        }
    }
}

// `tables` gives each channel's autocorrelation; `opponent` searches in
// the opponent space (palettes of at most small_palette colours).
void search_palette(Img& img, const Palette& palette, const Space& space, const Geometry& geo,
                    Tables<3> tables, bool opponent, const DbsSettings& settings,
                    std::uint8_t* base, DbsReport& report) noexcept {
    const PaletteLayout& layout = palette.layout;
    const NearestColorFn find = palette_lookup(img, layout);
    const auto [original, errors, values, indices] = Planes::in(geo, base);
    const std::size_t channels = img.channels;
    std::uint8_t* data = img.data.data();
    const std::size_t pixels = img.pixel_count();
    const std::size_t count = palette.colors.size();
    // The colours in the coordinates searched.
    std::array<float, 3 * small_palette> opposed{};
    const float* colours = palette.colors.front().data();
    if (opponent) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::array<float, 3> o =
                to_opponent(palette.colors[k][0], palette.colors[k][1], palette.colors[k][2]);
            std::memcpy(opposed.data() + 3 * k, o.data(), sizeof o);
        }
        colours = opposed.data();
    }
    // A palette holds no pixel: the same rule along the lines between its
    // colours made the measured panels' pictures worse.
    std::fill(base + geo.holds, base + geo.holds + pixels, std::uint8_t{0});
    // The colour error diffusion wrote, found again among the palette's.
    for (std::size_t m = 0; m < pixels; ++m) {
        const std::size_t k = nearest_of_pixel(find, layout, space, data + m * channels);
        indices[m] = static_cast<std::uint16_t>(k);
        for (std::size_t c = 0; c < 3; ++c) {
            values[c * pixels + m] = colours[3 * k + c];
        }
    }
    if (opponent) {
        fill_opponent_errors(geo, errors, values, original, channels, space);
    } else {
        for (std::size_t c = 0; c < 3; ++c) {
            fill_errors(geo, errors + c * geo.plane, values + c * pixels, original, channels, c,
                        space);
        }
    }
    if (count <= small_palette) {
        // The best toggle minimises the sum over channels of c(0) times the
        // squared distance to the target: with one table for all channels,
        // the layout's rule (a weight of 1 changes no bit), without the call.
        const std::array<float, 3> weight =
            opponent ? std::array<float, 3>{tables[0]->centre, tables[1]->centre, tables[2]->centre}
                     : std::array<float, 3>{1.0f, 1.0f, 1.0f};
        const auto scan = [colours, count, weight](const std::array<float, 3>& t) noexcept {
            float best = std::numeric_limits<float>::infinity();
            std::uint16_t found = 0;
            for (std::size_t k = 0; k < count; ++k) {
                const float dr = t[0] - colours[3 * k];
                const float dg = t[1] - colours[3 * k + 1];
                const float db = t[2] - colours[3 * k + 2];
                const float d = (weight[0] * dr * dr + weight[1] * dg * dg) + weight[2] * db * db;
                if (d < best) {
                    best = d;
                    found = static_cast<std::uint16_t>(k);
                }
            }
            return found;
        };
        search<3>(geo, tables, settings, base, colours, scan, report);
    } else {
        const auto nearest = [find, &layout](const std::array<float, 3>& t) noexcept {
            return static_cast<std::uint16_t>(find(layout, t[0], t[1], t[2]));
        };
        search<3>(geo, tables, settings, base, colours, nearest, report);
    }
    for (std::size_t m = 0; m < pixels; ++m) {
        const Rgb& rgb = palette.rgb[indices[m]];
        std::memcpy(data + m * channels, rgb.data(), 3);
    }
}

}  // namespace

std::size_t dbs_scratch_bytes(const Img& img, const Target& target, std::size_t radius) noexcept {
    return Geometry::make(img, target, radius).total;
}

DbsReport dbs_dither(Img& img, Target& target, const Space& space, const DbsSettings& settings,
                     std::uint8_t* scratch) noexcept {
    DbsReport report;
    if (img.pixel_count() == 0) {
        return report;
    }
    const Geometry geo = Geometry::make(img, target, settings.radius);
    std::uint8_t* base = aligned_start(scratch);
    std::memcpy(base + geo.original, img.data.data(), img.pixel_count() * img.channels);
    if (settings.start != nullptr) {
        const std::size_t kept = img.kept_channel();
        const std::size_t channels = img.channels;
        std::uint8_t* data = img.data.data();
        for (std::size_t m = 0; m < img.pixel_count() * channels; m += channels) {
            for (std::size_t c = 0; c < channels; ++c) {
                if (c != kept) data[m + c] = settings.start[m + c];
            }
        }
    } else {
        const search::Plan start_plan = prepare_diffusion(img, target);
        error_diffuse(img, target, space, 1.0f, diffusion_kernels()[0], false,
                      reinterpret_cast<float*>(base + geo.diffusion), start_plan);
    }
    const Palette* palette = std::get_if<Palette>(&target);
    const bool opponent = palette != nullptr && settings.chroma_taps != nullptr &&
                          palette->colors.size() <= small_palette;
    // Every channel's table, or lightness's in a search in colour differences.
    const Autocorrelation ac = opponent
                                   ? Autocorrelation::make(settings.taps, settings.radius,
                                                           settings.near_taps, settings.near_weight)
                                   : Autocorrelation::make(settings.taps, settings.radius);
    Autocorrelation chroma;
    if (opponent) {
        chroma = Autocorrelation::weighted(settings.chroma_taps, settings.chroma_weight,
                                           settings.radius);
    }
    // A filter too faint to weigh any error leaves the start as it is, at
    // its levels or colours.
    if (!ac.weighs() || (opponent && !chroma.weighs())) {
        if (settings.start != nullptr) {
            settle_start(img, target, space);
        }
        return report;
    }
    if (palette != nullptr) {
        const Tables<3> tables =
            opponent ? Tables<3>{&ac, &chroma, &chroma} : Tables<3>{&ac, &ac, &ac};
        search_palette(img, *palette, space, geo, tables, opponent, settings, base, report);
    } else {
        search_levels(img, std::get<Levels>(target), space, geo, ac, settings, base, report);
    }
    return report;
}

}  // namespace tonalis
