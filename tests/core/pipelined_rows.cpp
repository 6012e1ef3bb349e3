// Error diffusion on several threads against the plain one-pixel-at-a-time scan.
//
// Equal output bytes prove little: a row that trails the one above by one
// pixel too few usually still quantizes every pixel the same way. So this
// program records the working value of every pixel (the input plus the
// error it received, just before quantizing) and compares their bits with
// those of a plain scan written here, under schedules made hostile by
// random pauses at every publication. It then takes one pixel off each
// kernel's lag and checks that the comparison does catch the difference.
//
//   tools/test_core.sh builds and runs it; exit status 0 when all hold.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "diffusion/diffusion.hpp"
#include "diffusion/kernels.hpp"
#include "diffusion/rows.hpp"
#include "machine.hpp"
#include "palette.hpp"
#include "pipeline.hpp"
#include "space.hpp"

// The row groups' vectors are 32 bytes wide; on the baseline they live in
// pairs of registers and, all helpers being inlined, never cross a call. g++
// warns about the calling convention only at the end of the file.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tonalis::core_test {

// The walkers, compiled here as the baseline target's copy is.
#define TONALIS_TARGET 0
#include "diffusion/rows.hpp"
#undef TONALIS_TARGET

// Two levels on one channel, recording each working value by position.
struct RecordingQuantizer {
    using V = Lane0;
    const std::uint8_t* first;
    float* work;

    [[gnu::always_inline]] V input(const std::uint8_t* px) const noexcept {
        return Lane0{f4{static_cast<float>(*px), 0.0f, 0.0f, 0.0f}};
    }
    [[gnu::always_inline]] V quantize(V v, std::uint8_t* px) const noexcept {
        work[px - first] = v.v[0];
        const bool high = v.v[0] >= 127.5f;
        *px = high ? 255 : 0;
        return Lane0{v.v - f4{high ? 255.0f : 0.0f, 0.0f, 0.0f, 0.0f}};
    }
};

// The same, for the pass that walks a group of rows in the lanes of one vector.
struct RecordingLanes {
    const std::uint8_t* first;
    float* work;

    [[gnu::always_inline]] float input(const std::uint8_t* px) const noexcept {
        return static_cast<float>(*px);
    }
    template <bool all>
    [[gnu::always_inline]] fr quantize(const fr& v, std::uint8_t* const (&px)[group_rows],
                                       unsigned live) const noexcept {
        fr err{};
        for (std::size_t r = 0; r < group_rows; ++r) {
            const bool high = v[r] >= 127.5f;
            err[r] = v[r] - (high ? 255.0f : 0.0f);
            if (all || ((live >> r) & 1u) != 0) {
                work[px[r] - first] = v[r];
                *px[r] = high ? 255 : 0;
            }
        }
        return err;
    }
};

struct Scan {
    std::vector<std::uint8_t> out;
    std::vector<float> work;
};

// The plain scan: every pixel in raster order adds its shares into a
// whole-image error plane, tap by tap.
Scan plain_scan(const std::vector<std::uint8_t>& in, std::size_t h, std::size_t w,
                const DiffusionKernel& kernel, const KernelRows& rows) {
    Scan s{in, std::vector<float>(h * w)};
    const std::size_t ew = w + 4;
    std::vector<float> err((h + 2) * ew, 0.0f);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const float v = static_cast<float>(in[y * w + x]) + err[y * ew + x + 2];
            s.work[y * w + x] = v;
            const bool high = v >= 127.5f;
            s.out[y * w + x] = high ? 255 : 0;
            const float e = v - (high ? 255.0f : 0.0f);
            for (const KernelTap& t : kernel.taps) {
                const float share = rows.weights[static_cast<std::size_t>(t.dy)]
                                                [static_cast<std::size_t>(t.dx + 2)];
                float& cell =
                    err[(y + static_cast<std::size_t>(t.dy)) * ew +
                        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(x) + t.dx + 2)];
                cell = cell + share * e;
            }
        }
    }
    return s;
}

// Pauses of random length at random publications, different per thread.
struct Hostile {
    unsigned odds;  // one publication in `odds` pauses
    std::atomic<std::uint32_t> seed{1};
};

void hostile_pause(void* context, std::size_t) {
    auto& hostile = *static_cast<Hostile*>(context);
    thread_local std::minstd_rand rng(hostile.seed.fetch_add(7919));
    if (rng() % hostile.odds != 0) {
        return;
    }
    switch (rng() % 3) {
        case 0: std::this_thread::yield(); break;
        case 1: std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200)); break;
        default:
            for (auto i = rng() % 20000; i > 0; --i) {
                std::atomic_signal_fence(std::memory_order_seq_cst);
            }
    }
}

// The two ways of walking rows: in pairs, or a group in the lanes of a vector.
enum class Walk { pairs, lanes };
constexpr Walk walks[] = {Walk::pairs, Walk::lanes};

Scan pipelined_scan(const std::vector<std::uint8_t>& in, std::size_t h, std::size_t w,
                    std::size_t kernel, const KernelRows& rows, const PipelineSettings& pipe,
                    Walk walk) {
    Scan s{in, std::vector<float>(h * w)};
    if (walk == Walk::pairs) {
        std::vector<float> scratch(error_rows(pipe.threads) * (w + 8));
        const RecordingQuantizer q{s.out.data(), s.work.data()};
        diffuse_any(kernel, q, s.out.data(), h, w, 1, false, rows, 1, scratch.data(), pipe);
    } else {
        std::vector<float> scratch(group_sets(pipe.threads) * 2 * group_rows * group_cells(w));
        const RecordingLanes q{s.out.data(), s.work.data()};
        diffuse_lanes_any(kernel, q, s.out.data(), h, w, 1, rows, scratch.data(), pipe);
    }
    return s;
}

std::string walk_name(Walk walk) {
    return walk == Walk::pairs ? " (pairs)" : " (lanes)";
}

std::vector<std::uint8_t> test_image(std::size_t h, std::size_t w, std::uint32_t salt) {
    std::vector<std::uint8_t> img(h * w);
    std::minstd_rand rng(salt);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const auto ramp = static_cast<std::uint32_t>(255 * (x + y) / (w + h));
            img[y * w + x] = static_cast<std::uint8_t>(
                std::min<std::uint32_t>(255, ramp + rng() % 64 >= 32 ? ramp + rng() % 32 : ramp));
        }
    }
    return img;
}

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

bool same_bits(const Scan& a, const Scan& b) {
    return a.out == b.out &&
           std::memcmp(a.work.data(), b.work.data(), a.work.size() * sizeof(float)) == 0;
}

struct Shape {
    std::size_t h;
    std::size_t w;
};

constexpr Shape shapes[] = {{2, 9}, {7, 10}, {33, 17}, {64, 64}, {101, 40}, {40, 211}};
constexpr std::size_t thread_counts[] = {2, 3, 8};
constexpr float strengths[] = {1.0f, 0.37f};

// Every kernel, shape, thread count and strength gives the plain scan's
// working values under hostile schedules and publication steps.
void pipelined_matches_plain() {
    const auto kernels = diffusion_kernels();
    Hostile hostile{16};
    std::uint32_t salt = 1;
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        for (const float strength : strengths) {
            const KernelRows rows = kernel_rows(kernels[k], strength);
            for (const Shape& shape : shapes) {
                const auto img = test_image(shape.h, shape.w, salt++);
                const Scan plain = plain_scan(img, shape.h, shape.w, kernels[k], rows);
                for (const Walk walk : walks) {
                    for (const std::size_t threads : thread_counts) {
                        for (const std::size_t chunk :
                             {std::size_t{1}, std::size_t{5}, std::size_t{256}}) {
                            PipelineSettings pipe;
                            pipe.threads = threads;
                            pipe.chunk = chunk;
                            pipe.pause = hostile_pause;
                            pipe.context = &hostile;
                            const Scan mine =
                                pipelined_scan(img, shape.h, shape.w, k, rows, pipe, walk);
                            check(same_bits(plain, mine),
                                  std::string(kernels[k].name) + " " + std::to_string(shape.h) +
                                      "x" + std::to_string(shape.w) + " on " +
                                      std::to_string(threads) + " threads, chunk " +
                                      std::to_string(chunk) + walk_name(walk));
                        }
                    }
                }
            }
            // One thread: the groups of rows alone.
            for (const Walk walk : walks) {
                for (const Shape shape : {Shape{20, 50}, Shape{23, 77}, Shape{5, 3}}) {
                    const auto img = test_image(shape.h, shape.w, salt++);
                    PipelineSettings one;
                    check(same_bits(plain_scan(img, shape.h, shape.w, kernels[k], rows),
                                    pipelined_scan(img, shape.h, shape.w, k, rows, one, walk)),
                          std::string(kernels[k].name) + " on one thread" + walk_name(walk));
                }
            }
        }
    }
}

// A lag one pixel short reads cells before their last share arrives: the
// hostile schedules must expose it for every kernel (the reads race, so
// this check is left out under the thread sanitizer). A kernel that runs
// on the pass of a kernel with one more tap (false Floyd-Steinberg) may
// need less than that pass's lag, so one pixel short is no fault for it:
// the kernel the pass is for is checked instead.
void short_lag_is_caught() {
#if defined(__SANITIZE_THREAD__)
    std::printf("short-lag check skipped under the thread sanitizer\n");
#else
    const auto kernels = diffusion_kernels();
    Hostile hostile{4};
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        const auto own_lag = kernel_data::pipeline_lag(kernel_data::tap_shape(kernels[k]));
        const auto pass = static_cast<std::size_t>(kernel_data::served[k]);
        if (own_lag < kernel_data::pipeline_lag(kernel_data::tap_shape(kernels[pass]))) {
            continue;
        }
        const KernelRows rows = kernel_rows(kernels[k], 1.0f);
        for (const Walk walk : walks) {
            bool caught = false;
            for (std::uint32_t trial = 0; trial < 200 && !caught; ++trial) {
                const auto img = test_image(24, 60, 1000 + trial);
                PipelineSettings pipe;
                pipe.threads = 2 + trial % 2;
                pipe.chunk = 1;
                pipe.lag_cut = 1;
                pipe.pause = hostile_pause;
                pipe.context = &hostile;
                caught = !same_bits(plain_scan(img, 24, 60, kernels[k], rows),
                                    pipelined_scan(img, 24, 60, k, rows, pipe, walk));
            }
            check(caught, std::string("a lag one pixel short goes unnoticed for ") +
                              std::string(kernels[k].name) + walk_name(walk));
        }
    }
#endif
}

// The engine's own quantizers (levels and palettes, every instruction set
// this processor has): the same bytes on any number of threads.
void engine_bytes_match() {
    const auto kernels = diffusion_kernels();
    const Space space = Space::make(false);
    Hostile hostile{32};
    const std::size_t h = 37;
    const std::size_t w = 83;
    std::vector<Target> targets;
    targets.emplace_back(Levels::make(2, space));
    targets.emplace_back(Levels::make(5, space));
    std::vector<Rgb> colors;
    std::minstd_rand rng(99);
    for (std::size_t n : {std::size_t{16}, std::size_t{300}}) {
        colors.clear();
        for (std::size_t i = 0; i < n; ++i) {
            colors.push_back({static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(rng())});
        }
        targets.emplace_back(Palette::make(colors, space));
    }
    for (const VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        set_vector_isa_ceiling(isa);
        for (std::size_t k = 0; k < kernels.size(); ++k) {
            for (std::size_t t = 0; t < targets.size(); ++t) {
                for (const std::size_t channels :
                     {std::size_t{1}, std::size_t{3}, std::size_t{4}}) {
                    if (std::holds_alternative<Palette>(targets[t]) && channels < 3) {
                        continue;
                    }
                    std::vector<std::uint8_t> pixels(h * w * channels);
                    for (auto& v : pixels) v = static_cast<std::uint8_t>(rng());
                    std::vector<std::vector<std::uint8_t>> outs;
                    for (const std::size_t threads :
                         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{8}}) {
                        Img img;
                        img.data = Buffer<std::uint8_t>::allocate(pixels.size(), malloc_allocator);
                        img.height = h;
                        img.width = w;
                        img.channels = channels;
                        std::copy(pixels.begin(), pixels.end(), img.data.data());
                        std::vector<float> scratch(
                            diffusion_scratch_floats(img, targets[t], threads));
                        PipelineSettings pipe;
                        pipe.threads = threads;
                        pipe.chunk = 1 + rng() % 9;
                        pipe.pause = hostile_pause;
                        pipe.context = &hostile;
                        error_diffuse(img, targets[t], space, 0.9f, kernels[k], false,
                                      scratch.data(), diffusion_search_plan(img, targets[t]), pipe);
                        outs.emplace_back(img.data.data(), img.data.data() + pixels.size());
                    }
                    for (std::size_t i = 1; i < outs.size(); ++i) {
                        check(outs[i] == outs[0],
                              std::string(kernels[k].name) + ", target " + std::to_string(t) +
                                  ", " + std::to_string(channels) + " channels, isa " +
                                  std::to_string(static_cast<int>(isa)) + ": thread counts differ");
                    }
                }
            }
        }
    }
    set_vector_isa_ceiling(VectorIsa::avx512);
}

// The load the default pipeline reads: the minute's average and the
// threads ready now, from real /proc/loadavg lines; anything else refused.
void loadavg_is_read() {
    struct Case {
        const char* text;
        bool ok;
        double minute, running;
    };
    const Case cases[] = {
        {"0.61 0.94 0.64 2/114 8863\n", true, 0.61, 2.0},
        {"12.25 3.00 1.5 17/2048 1\n", true, 12.25, 17.0},
        {"3 2 1 1/9 5", true, 3.0, 1.0},
        {"", false, 0, 0},
        {"0.61 0.94 0.64", false, 0, 0},
        {"0.61 0.94 0.64 x/114 1", false, 0, 0},
        {"0.61 0.94 0.64 2 1", false, 0, 0},
        {"-1.0 0 0 1/1 1", false, 0, 0},
    };
    for (const Case& c : cases) {
        double minute = -1.0;
        double running = -1.0;
        const bool ok = parse_loadavg(c.text, minute, running);
        const bool right =
            ok == c.ok && (!ok || (std::abs(minute - c.minute) < 1e-9 && running == c.running));
        check(right, std::string("/proc/loadavg text \"") + c.text + "\" read as " +
                         (ok ? std::to_string(minute) + ", " + std::to_string(running)
                             : std::string("refused")));
    }
}

// A thread count the user chose is used as it is, up to max_workers, on
// however few processors; without one the processors decide, and rows are
// pipelined on those the load leaves idle. A team of max_workers then runs all its members at once:
// each waits until every one has arrived. Runs first, before anything sets
// the count.
std::size_t chosen_count_is_used() {
    const std::size_t usable = worker_count();
    check(usable >= 1 && usable <= max_workers,
          "usable processors out of range: " + std::to_string(usable));
    check(pipeline_worker_count() >= 1 && pipeline_worker_count() <= usable,
          "rows pipelined on " + std::to_string(pipeline_worker_count()) + " of " +
              std::to_string(usable) + " usable processors");
    for (const std::size_t chosen :
         {max_workers, std::size_t{1}, std::size_t{0}, std::size_t{3}, max_workers + 1}) {
        set_worker_ceiling(chosen);
        const std::size_t expected = std::clamp<std::size_t>(chosen, 1, max_workers);
        check(worker_count() == expected && pipeline_worker_count() == expected,
              "a chosen count of " + std::to_string(chosen) + " gives " +
                  std::to_string(worker_count()) + " threads, " +
                  std::to_string(pipeline_worker_count()) + " pipelined");
    }
    std::atomic<std::size_t> arrived{0};
    std::size_t told[max_workers] = {};
    auto member = [&](std::size_t m, std::size_t team) {
        told[m] = team;
        arrived.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (arrived.load() < team && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    };
    run_team(max_workers, member);
    check(arrived.load() == max_workers &&
              std::all_of(std::begin(told), std::end(told),
                          [](std::size_t t) { return t == max_workers; }),
          "a team of " + std::to_string(max_workers) + " ran " + std::to_string(arrived.load()) +
              " members");
    return usable;
}

}  // namespace tonalis::core_test

int main() {
    using namespace tonalis::core_test;
    const std::size_t usable = chosen_count_is_used();
    loadavg_is_read();
    pipelined_matches_plain();
    short_lag_is_caught();
    engine_bytes_match();
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf(
        "pipelined rows: all checks passed (%llu usable processors, %llu threads at once)\n",
        static_cast<unsigned long long>(usable),
        static_cast<unsigned long long>(tonalis::max_workers));
    return 0;
}
