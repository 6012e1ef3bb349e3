// Every nearest-colour search plan against the plain reference scan.
//
// Palettes of sizes at and on either side of every limit of the search
// plans (search/plan.hpp), of hostile kinds (gray ramps, coplanar colours,
// duplicates, near-ties one and two codes apart, hashed colours), in both
// working spaces, under each instruction-set ceiling this processor runs.
// At strength 0 the engines' working values are the input codes' own, so
// every output pixel must be the reference colour of its input: through
// ordered and random dither (3, 4 and 5 channels; images large enough for
// the coarser grid the lists are picked from), error diffusion (small
// images, images with the grid, and from 1024 colours the finer grid), the
// single lookups (scan and blocked, at points between the codes too) and
// refined matching under each distance. The plans met are tallied, and a
// plan that the sweep never reaches fails the test.
//
// tools/test_core.sh and tools/cross_core.sh run it.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "colour.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "machine.hpp"
#include "threshold/matrices.hpp"
#include "threshold/ordered.hpp"
#include "palette.hpp"
#include "search/cells.hpp"
#include "search/plan.hpp"
#include "search/reference.hpp"
#include "space.hpp"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TONALIS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TONALIS_SANITIZED 1
#endif
#endif
#ifndef TONALIS_SANITIZED
#define TONALIS_SANITIZED 0
#endif

namespace {

using namespace tonalis;

// Under the sanitizers, which run many times slower, two kinds of palette
// and no image large enough for the finer grid; under emulation (--quick,
// as cross_core.sh runs it) the hashed palettes alone.
bool quick = TONALIS_SANITIZED != 0;
bool emulated = false;
using search::Form;
using search::Limits;

struct Lcg {
    std::uint32_t state;
    std::uint8_t byte() {
        state = state * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(state >> 24);
    }
};

enum class Kind { hashed, gray_ramp, coplanar, duplicates, near_ties };
constexpr Kind kinds[] = {Kind::hashed, Kind::gray_ramp, Kind::coplanar, Kind::duplicates,
                          Kind::near_ties};
const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::hashed: return "hashed";
        case Kind::gray_ramp: return "gray ramp";
        case Kind::coplanar: return "coplanar";
        case Kind::duplicates: return "duplicates";
        case Kind::near_ties: return "near ties";
    }
    return "?";
}

std::uint8_t clamp_code(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

std::vector<Rgb> hostile_palette(Kind kind, std::size_t n) {
    Lcg lcg{static_cast<std::uint32_t>(n * 7919 + static_cast<std::size_t>(kind))};
    std::vector<Rgb> rgb(n);
    for (std::size_t i = 0; i < n; ++i) {
        Rgb& c = rgb[i];
        switch (kind) {
            case Kind::hashed: c = {lcg.byte(), lcg.byte(), lcg.byte()}; break;
            case Kind::gray_ramp: {
                // Past 256 colours the ramp repeats its codes.
                const auto v = static_cast<std::uint8_t>(i * 255 / (n - 1) % 256);
                c = {v, v, v};
                break;
            }
            case Kind::coplanar: c = {lcg.byte(), lcg.byte(), 96}; break;
            case Kind::duplicates:
                // Each colour three times, the copies far apart in the order.
                c = i < (n + 2) / 3 ? Rgb{lcg.byte(), lcg.byte(), lcg.byte()}
                                    : rgb[i % ((n + 2) / 3)];
                break;
            case Kind::near_ties: {
                // Clusters of colours one and two codes apart: whole-code
                // points between them are equally near to several.
                static constexpr int step[6][3] = {{0, 0, 0}, {2, 0, 0}, {0, 2, 0},
                                                   {1, 1, 0}, {0, 0, 1}, {1, 0, 2}};
                if (i % 6 == 0) c = {lcg.byte(), lcg.byte(), lcg.byte()};
                const Rgb& base = rgb[i - i % 6];
                const int* d = step[i % 6];
                c = {clamp_code(base[0] + d[0]), clamp_code(base[1] + d[1]),
                     clamp_code(base[2] + d[2])};
                break;
            }
        }
    }
    return rgb;
}

// Input pixels: every colour, its neighbours one code away, the points
// halfway to the next colour, the corners of the cube and hashed codes.
std::vector<Rgb> probes_for(const std::vector<Rgb>& palette) {
    std::vector<Rgb> out = {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 255}};
    const std::size_t every = palette.size() > 600 ? palette.size() / 600 : 1;
    for (std::size_t i = 0; i < palette.size(); i += every) {
        const Rgb& c = palette[i];
        const Rgb& next = palette[(i + 1) % palette.size()];
        out.push_back(c);
        for (std::size_t k = 0; k < 3; ++k) {
            for (const int d : {-1, 1}) {
                Rgb p = c;
                p[k] = clamp_code(c[k] + d);
                out.push_back(p);
            }
        }
        out.push_back({static_cast<std::uint8_t>((c[0] + next[0]) / 2),
                       static_cast<std::uint8_t>((c[1] + next[1]) / 2),
                       static_cast<std::uint8_t>((c[2] + next[2]) / 2)});
    }
    Lcg lcg{static_cast<std::uint32_t>(palette.size())};
    for (std::size_t i = 0; i < 512; ++i) out.push_back({lcg.byte(), lcg.byte(), lcg.byte()});
    return out;
}

// An image of `pixels` pixels (`width` a row) of `channels` samples holding
// the probes in turn; samples past the third are 200.
Img probe_image(const std::vector<Rgb>& probes, std::size_t pixels, std::size_t width,
                std::size_t channels) {
    Img img;
    img.width = width;
    img.height = (pixels + width - 1) / width;
    img.channels = channels;
    img.data = Buffer<std::uint8_t>::allocate(img.pixel_count() * channels, malloc_allocator);
    for (std::size_t i = 0; i < img.pixel_count(); ++i) {
        const Rgb& p = probes[i % probes.size()];
        for (std::size_t c = 0; c < channels; ++c) {
            img.data[i * channels + c] = c < 3 ? p[c] : 200;
        }
    }
    return img;
}

struct Sweep {
    int failures = 0;
    std::set<std::pair<int, int>> met;  // (engine, form)
    std::set<std::size_t> diffusion_sides;
    bool finite_longest = false;
    bool parent_grid = false;  // threshold lists picked from a coarser grid's

    void fail(const std::string& what) {
        if (failures < 20) std::printf("FAIL %s\n", what.c_str());
        ++failures;
    }
    void note(search::Engine engine, const search::Plan& plan) {
        met.insert({static_cast<int>(engine), static_cast<int>(plan.form)});
        met.insert({static_cast<int>(engine), 100 + static_cast<int>(plan.plain)});
        met.insert({static_cast<int>(engine), 200 + static_cast<int>(plan.fallback)});
    }
};

// The case's reference answer for every probe, in the space's working values.
struct Case {
    std::string name;
    const Palette* palette;
    const Space* space;
    std::vector<Rgb> probes;
    std::vector<Rgb> expected;  // the bytes of each probe's reference colour
};

void check_image(Sweep& sweep, const Case& c, const Img& img, const char* engine) {
    for (std::size_t i = 0; i < img.pixel_count(); ++i) {
        const Rgb& want = c.expected[i % c.probes.size()];
        const std::uint8_t* got = img.data.data() + i * img.channels;
        if (got[0] != want[0] || got[1] != want[1] || got[2] != want[2]) {
            const Rgb& p = c.probes[i % c.probes.size()];
            sweep.fail(c.name + ", " + engine + ", " + std::to_string(img.channels) +
                       " channels, pixel " + std::to_string(i) + " (" + std::to_string(p[0]) + " " +
                       std::to_string(p[1]) + " " + std::to_string(p[2]) + "): got " +
                       std::to_string(got[0]) + " " + std::to_string(got[1]) + " " +
                       std::to_string(got[2]) + ", reference " + std::to_string(want[0]) + " " +
                       std::to_string(want[1]) + " " + std::to_string(want[2]));
            return;
        }
    }
}

void threshold_engines(Sweep& sweep, const Case& c) {
    const Palette& palette = *c.palette;
    const std::size_t n = palette.colors.size();
    const ThresholdMatrix bayer = ThresholdMatrix::bayer(4);
    const Target target = palette;
    // Odd widths: the vector forms finish rows one pixel at a time. From
    // the size at which palettes get the coarser grid that the lists are
    // picked from, and for the largest, an image large enough for it.
    std::vector<std::pair<std::size_t, std::size_t>> sizes = {
        {std::max<std::size_t>(c.probes.size(), 4000), 67}};
    if (!quick && (n == PaletteCells::parent_min_colors + 1 || n == max_palette_colors)) {
        sizes.push_back({std::size_t{1} << 21, 1447});
    }
    for (const auto& [pixels, width] : sizes) {
        for (const std::size_t channels : {3u, 4u, 5u}) {
            if (pixels > 4000 && channels != 3) continue;
            Img ordered = probe_image(c.probes, pixels, width, channels);
            const search::Plan plan =
                search::choose(search::Engine::ordered, n, channels, ordered.pixel_count());
            sweep.note(search::Engine::ordered, plan);
            if (plan.form == Form::cell_lists && plan.side >= PaletteCells::parent_min_side &&
                n > PaletteCells::parent_min_colors) {
                sweep.parent_grid = true;
            }
            ordered_dither_pass(ordered, target, *c.space, 0.0f, bayer);
            check_image(sweep, c, ordered, "ordered");
            Img random = probe_image(c.probes, pixels, width - 14, channels);
            random_dither_pass(random, target, *c.space, 0.0f, 99);
            check_image(sweep, c, random, "random");
        }
    }
}

void diffusion_engine(Sweep& sweep, const Case& c) {
    const std::size_t n = c.palette->colors.size();
    // A small image (no grid), one with the grid, and from the finer grid's
    // size on, one large enough for it; about where large images take the
    // grid sooner, one of that size.
    std::vector<std::pair<std::size_t, std::size_t>> sizes = {{3600, 61}, {96000, 320}};
    if (!quick && n + 1 >= Limits::diffusion_fine_grid_from &&
        n <= Limits::diffusion_fine_grid_from + 1) {
        sizes.push_back({540000, 750});
    }
    if (!quick && n + 1 >= Limits::diffusion_grid_large_from &&
        n <= Limits::diffusion_grid_large_from + 1) {
        sizes.push_back({Limits::diffusion_large_pixels, 1024});
    }
    // The engine's own copy, which prepare_palette_search may add to.
    Target target = *c.palette;
    Palette& palette = std::get<Palette>(target);
    for (const auto& [pixels, width] : sizes) {
        for (const bool serpentine : {false, true}) {
            Img img = probe_image(c.probes, pixels, width, 3);
            const search::Plan plan = diffusion_search_plan(img, target);
            sweep.note(search::Engine::diffusion, plan);
            if (plan.form == Form::grid_cells) {
                sweep.diffusion_sides.insert(plan.side);
                if (plan.longest < n) sweep.finite_longest = true;
            }
            prepare_palette_search(plan, palette);
            std::vector<float> scratch(diffusion_scratch_floats(img, target));
            error_diffuse(img, target, *c.space, 0.0f, diffusion_kernels()[0], serpentine,
                          scratch.data(), plan);
            check_image(sweep, c, img, serpentine ? "diffusion, serpentine" : "diffusion");
        }
    }
}

// Single lookups by both plain searches, at the probes and between codes.
void lookups(Sweep& sweep, const Case& c) {
    const Palette& palette = *c.palette;
    const search::Plan plan = search::choose(search::Engine::lookup, palette.colors.size(), 3, 0);
    sweep.note(search::Engine::lookup, plan);
    Lcg lcg{static_cast<std::uint32_t>(palette.colors.size() + 5)};
    for (const Form form : {Form::scan, Form::blocked}) {
        const NearestColorFn find = nearest_color_function(form);
        for (std::size_t i = 0; i < c.probes.size() + 256; ++i) {
            float p[3];
            for (std::size_t k = 0; k < 3; ++k) {
                p[k] = i < c.probes.size()
                           ? c.space->to_work[c.probes[i][k]]
                           : static_cast<float>(lcg.byte()) * 1.25f - 32.0f + 0.375f;
            }
            const std::size_t want = search::reference_nearest(
                palette.colors.data(), palette.colors.size(), p[0], p[1], p[2]);
            const std::size_t got = find(palette.layout, p[0], p[1], p[2]);
            if (got != want) {
                sweep.fail(c.name + ", lookup by " + (form == Form::scan ? "scan" : "blocks") +
                           ", point " + std::to_string(i) + ": colour " + std::to_string(got) +
                           ", reference " + std::to_string(want));
                break;
            }
        }
    }
}

// Refined matching under each distance: the reference over the colours'
// coordinates, one point at a time and four at a time.
void refined(Sweep& sweep, const Case& c) {
    const Palette& palette = *c.palette;
    const std::size_t n = palette.colors.size();
    sweep.note(search::Engine::refined, search::choose(search::Engine::refined, n, 3, 0));
    for (const Distance distance : {Distance::rgb, Distance::luma, Distance::oklab}) {
        const ColourMatch match = ColourMatch::make(palette, *c.space, distance);
        std::vector<Color> coords(n);
        for (std::size_t j = 0; j < n; ++j) {
            const Color& k = palette.colors[j];
            const Quad q = match.coordinates(Quad{k[0], k[1], k[2], 0.0f});
            coords[j] = {q[0], q[1], q[2]};
        }
        for (std::size_t i = 0; i + 4 <= c.probes.size(); i += 4) {
            Quad lane[3] = {};
            for (std::size_t l = 0; l < 4; ++l) {
                const Rgb& p = c.probes[i + l];
                const Quad q = match.coordinates(Quad{
                    c.space->to_work[p[0]], c.space->to_work[p[1]], c.space->to_work[p[2]], 0.0f});
                for (std::size_t k = 0; k < 3; ++k) lane[k][l] = q[k];
            }
            const QuadI four = match.nearest_four(lane[0], lane[1], lane[2]);
            for (std::size_t l = 0; l < 4; ++l) {
                const std::size_t want =
                    search::reference_nearest(coords.data(), n, lane[0][l], lane[1][l], lane[2][l]);
                const std::size_t one =
                    match.nearest(Quad{lane[0][l], lane[1][l], lane[2][l], 0.0f});
                if (one != want || static_cast<std::size_t>(four[l]) != want) {
                    sweep.fail(c.name + ", refined, distance " +
                               std::to_string(static_cast<int>(distance)) + ", probe " +
                               std::to_string(i + l) + ": colour " + std::to_string(one) +
                               ", four at a time " + std::to_string(four[l]) + ", reference " +
                               std::to_string(want));
                    return;
                }
            }
        }
    }
}

// Palette sizes at every limit of the plans and one either side.
std::vector<std::size_t> swept_sizes() {
    std::set<std::size_t> sizes = {2, 3, 16, 64, 200, max_palette_colors};
    for (const std::size_t limit :
         {Limits::pixel_lanes_most, Limits::whole_groups_most, Limits::cell_sets_most,
          Limits::refined_scan_most, Limits::blocked_form_above, Limits::diffusion_grid_from,
          Limits::diffusion_grid_large_from, Limits::diffusion_fine_grid_from, Limits::scan_most,
          Limits::neighbours_above, PaletteCells::parent_min_colors}) {
        for (const std::size_t n : {limit - 1, limit, limit + 1}) {
            if (n >= min_palette_colors && n <= max_palette_colors) sizes.insert(n);
        }
    }
    return {sizes.begin(), sizes.end()};
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--quick") {
            quick = emulated = true;
        } else {
            std::fprintf(stderr, "usage: search_plans [--quick]\n");
            return 2;
        }
    }
    Sweep sweep;
    const std::vector<std::size_t> sizes = swept_sizes();
    for (const bool linear : {false, true}) {
        const Space space = Space::make(linear);
        for (const Kind kind : kinds) {
            // Linear light for the kinds whose ties and spacings it moves.
            if ((linear || quick) && kind != Kind::hashed && kind != Kind::near_ties) continue;
            if (emulated && (linear || kind != Kind::hashed)) continue;
            for (const std::size_t n : sizes) {
                const Palette palette = Palette::make(hostile_palette(kind, n), space);
                Case c;
                c.name = std::string(kind_name(kind)) + ", " + std::to_string(n) + " colours" +
                         (linear ? ", linear" : "");
                c.palette = &palette;
                c.space = &space;
                c.probes = probes_for(palette.rgb);
                for (const Rgb& p : c.probes) {
                    const std::size_t j =
                        search::reference_nearest(palette.colors.data(), n, space.to_work[p[0]],
                                                  space.to_work[p[1]], space.to_work[p[2]]);
                    c.expected.push_back(palette.rgb[j]);
                }
                for (const VectorIsa isa :
                     {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
                    set_vector_isa_ceiling(isa);
                    if (vector_isa() != isa) continue;
                    const std::string name = c.name;
                    c.name = name + ", isa " + std::to_string(static_cast<int>(isa));
                    threshold_engines(sweep, c);
                    diffusion_engine(sweep, c);
                    lookups(sweep, c);
                    refined(sweep, c);
                    c.name = name;
                }
                set_vector_isa_ceiling(VectorIsa::avx512);
            }
        }
    }
    // Every plan the table can give was met.
    using E = search::Engine;
    const std::pair<E, Form> wanted[] = {
        {E::ordered, Form::pixel_lanes},  {E::ordered, Form::cell_sets},
        {E::ordered, Form::cell_lists},   {E::ordered, Form::whole_groups},
        {E::ordered, Form::box_groups},   {E::diffusion, Form::scan},
        {E::diffusion, Form::neighbours}, {E::diffusion, Form::grid_cells},
        {E::lookup, Form::scan},          {E::lookup, Form::blocked},
        {E::refined, Form::quad_scan},    {E::refined, Form::scan},
        {E::refined, Form::blocked},
    };
    for (const auto& [engine, form] : wanted) {
        if (!sweep.met.count({static_cast<int>(engine), static_cast<int>(form)})) {
            sweep.fail("the sweep never met form " + std::to_string(static_cast<int>(form)) +
                       " of engine " + std::to_string(static_cast<int>(engine)));
        }
    }
    for (const E engine : {E::ordered, E::diffusion}) {
        for (const Form plain : {Form::scan, Form::blocked}) {
            if (!sweep.met.count({static_cast<int>(engine), 100 + static_cast<int>(plain)})) {
                sweep.fail("the sweep never met plain form " +
                           std::to_string(static_cast<int>(plain)) + " of engine " +
                           std::to_string(static_cast<int>(engine)));
            }
        }
    }
    if (sweep.diffusion_sides.size() < (quick ? 1u : 2u) || !sweep.finite_longest) {
        sweep.fail("the sweep missed a grid of error diffusion (coarse, fine or scanned lists)");
    }
    if (!quick && !sweep.parent_grid) {
        sweep.fail("the sweep missed the threshold lists picked from a coarser grid");
    }
    if (sweep.failures == 0) {
        std::printf("search plans: %zu palette sizes, every plan as the reference scan\n",
                    sizes.size());
    }
    return sweep.failures == 0 ? 0 : 1;
}
