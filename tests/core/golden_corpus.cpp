// The golden corpus through the core alone.
//
// Reads tests/golden/corpus.txt (tests/golden_calls.py describes its lines)
// and, for direct binary search, the filter taps recorded beside it in
// dbs_filters.txt,
// makes every call of it as the module faces make it (intake, target, the
// engine, the same scratch), and compares the FNV-1a 64-bit hash of the
// output bytes with the one recorded from the Python functions on x86-64:
// under every instruction-set ceiling this processor runs, with worker
// threads off and on. The inputs are made here from the words of the line
// by the same integer arithmetic as in Python.
//
//   golden_corpus [CORPUS] [--sample N] [--print]
//
// CORPUS defaults to the source tree's file. --sample N makes about N of
// the calls, spread over the corpus (the emulated runs of cross_core.sh);
// --print prints each call's hash (first setting only) instead of checking.
// Exit status 0 when every hash matches.

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "colour.hpp"
#include "dbs.hpp"
#include "diffusion/diffusion.hpp"
#include "diffusion/refined.hpp"
#include "extras.hpp"
#include "diffusion/kernels.hpp"
#include "machine.hpp"
#include "threshold/matrices.hpp"
#include "names.hpp"
#include "threshold/noise.hpp"
#include "threshold/ordered.hpp"
#include "palette.hpp"
#include "threshold/pattern.hpp"
#include "diffusion/riemersma.hpp"
#include "space.hpp"
#include "threshold/refined.hpp"
#include "diffusion/variable.hpp"

#ifndef TONALIS_GOLDEN_CORPUS
#define TONALIS_GOLDEN_CORPUS "tests/golden/corpus.txt"
#endif

// ThreadSanitizer cannot model the palette cells' plain vector loads after
// an acquire fence, which the threshold passes' bands share, and runs this
// program many times slower: under it only every eighth call is made, on
// one thread (pipelined_rows checks the threads of error diffusion).
#if defined(__SANITIZE_THREAD__)
#define TONALIS_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TONALIS_UNDER_TSAN 1
#endif
#endif
#ifndef TONALIS_UNDER_TSAN
#define TONALIS_UNDER_TSAN 0
#endif

namespace {

using namespace tonalis;

struct BadLine : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::uint64_t fnv1a64(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (std::size_t i = 0; i < n; ++i) {
        h = (h ^ p[i]) * 1099511628211ull;
    }
    return h;
}

// --- the words of a line ------------------------------------------------------------

std::vector<std::string> split(std::string_view text, char sep) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(sep, from);
        parts.emplace_back(text.substr(from, at == std::string_view::npos ? text.npos : at - from));
        if (at == std::string_view::npos) return parts;
        from = at + 1;
    }
}

std::uint64_t to_u64(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        throw BadLine("not a whole number: " + text);
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0) throw BadLine("number out of range: " + text);
    return v;
}

std::size_t to_size(const std::string& text) {
    return static_cast<std::size_t>(to_u64(text));
}

// A seed as the modules take it: the low 64 bits of the integer.
std::uint64_t to_seed(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const std::string digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        throw BadLine("not an integer seed: " + text);
    }
    std::uint64_t v = 0;
    for (char d : digits) v = v * 10 + static_cast<std::uint64_t>(d - '0');
    return negative ? ~v + 1 : v;
}

// A decimal as Python's float() reads it, then as the modules narrow it.
double to_double(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') throw BadLine("not a number: " + text);
    return v;
}

std::vector<std::size_t> dims_of(const std::string& text) {
    std::vector<std::size_t> dims;
    for (const std::string& d : split(text, 'x')) dims.push_back(to_size(d));
    return dims;
}

struct Words {
    std::map<std::string, std::string, std::less<>> map;

    bool has(std::string_view key) const { return map.find(key) != map.end(); }
    std::string get(std::string_view key, std::string fallback) const {
        const auto it = map.find(key);
        return it == map.end() ? fallback : it->second;
    }
};

Words parse_words(const std::string& text) {
    static const std::vector<std::string> keys = {
        "f",          "image",    "levels", "palette", "method", "matrix", "serpentine",
        "seed",       "strength", "linear", "alpha",   "limit",  "mask",   "distance",
        "candidates", "history",  "ratio",  "filter",  "passes", "swaps",  "opponent"};
    Words w;
    for (const std::string& word : split(text, ' ')) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos) throw BadLine("malformed word " + word);
        std::string key = word.substr(0, eq);
        if (std::find(keys.begin(), keys.end(), key) == keys.end() || w.has(key)) {
            throw BadLine("unknown or repeated word " + word);
        }
        w.map.emplace(std::move(key), word.substr(eq + 1));
    }
    if (!w.has("f") || !w.has("image")) throw BadLine("line without f= and image=");
    return w;
}

// --- the inputs, as tests/golden_calls.py makes them -------------------------------

std::vector<std::uint32_t> draws(std::uint64_t seed, std::size_t count) {
    std::vector<std::uint32_t> out(count);
    const std::uint32_t offset = static_cast<std::uint32_t>(seed) * 0x85EBCA77u + 0x165667B1u;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t x = static_cast<std::uint32_t>(i) * 0x9E3779B1u + offset;
        x ^= x >> 16;
        x *= 0x7FEB352Du;
        x ^= x >> 15;
        x *= 0x846CA68Bu;
        x ^= x >> 16;
        out[i] = x;
    }
    return out;
}

// The caller's array: its samples and its shape (ndim 2 or 3).
struct Array {
    std::vector<std::uint8_t> samples;
    std::size_t height = 0;
    std::size_t width = 0;
    std::size_t channels = 1;
    int ndim = 2;
};

Array make_image(const std::string& word) {
    const std::vector<std::string> parts = split(word, '.');
    if (parts.size() != 3) throw BadLine("malformed image " + word);
    const std::string& kind = parts[0];
    const std::uint64_t seed = to_u64(parts[1]);
    const std::vector<std::size_t> dims = dims_of(parts[2]);
    if (dims.size() != 2 && dims.size() != 3) throw BadLine("malformed image " + word);
    Array a;
    a.height = dims[0];
    a.width = dims[1];
    a.channels = dims.size() == 3 ? dims[2] : 1;
    a.ndim = static_cast<int>(dims.size());
    const std::size_t h = a.height, w = a.width, c = a.channels;
    const std::vector<std::uint32_t> r = draws(seed, h * w * c);
    a.samples.resize(r.size());
    static constexpr std::uint8_t edge[9] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            for (std::size_t ch = 0; ch < c; ++ch) {
                const std::size_t i = (y * w + x) * c + ch;
                const std::uint64_t top = r[i] >> 24;
                std::uint64_t v = 0;
                if (kind == "ramp") {
                    v = (x * 255 / std::max<std::size_t>(w - 1, 1) + y * 97 * (ch + 1) / h +
                         top % 23) %
                        256;
                } else if (kind == "noise") {
                    v = top;
                } else if (kind == "edge") {
                    v = edge[top % 9];
                } else if (kind == "flat") {
                    const auto base = static_cast<std::int64_t>((seed * 53 + ch * 89 + 17) % 256);
                    v = static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                        base + static_cast<std::int64_t>(top % 3) - 1, 0, 255));
                } else if (kind == "tone") {
                    v = ((x + y) * 255 / std::max<std::size_t>(w + h - 2, 1) + ch * 64) % 256;
                } else {
                    throw BadLine("unknown image kind " + kind);
                }
                a.samples[i] = static_cast<std::uint8_t>(v);
            }
        }
    }
    return a;
}

std::vector<Rgb> make_palette(const std::string& word) {
    const std::vector<std::string> parts = split(word, '.');
    if (parts.size() != 3) throw BadLine("malformed palette " + word);
    const std::string& kind = parts[0];
    const std::size_t n = to_size(parts[2]);
    const std::vector<std::uint32_t> r = draws(to_u64(parts[1]), n);
    const auto bytes = [](std::uint32_t v) {
        return Rgb{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                   static_cast<std::uint8_t>(v >> 8)};
    };
    std::size_t k = 2;
    while (k * k * k < n) ++k;
    std::vector<Rgb> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (kind == "rand") {
            out[i] = bytes(r[i]);
        } else if (kind == "gray") {
            const auto g = static_cast<std::uint8_t>(i * 255 / (n - 1));
            out[i] = {g, g, g};
        } else if (kind == "dup") {
            out[i] = bytes(r[i / 3]);
        } else if (kind == "tie") {
            Rgb c = bytes(r[i / 8]);
            for (std::size_t b = 0; b < 3; ++b) {
                c[b] = static_cast<std::uint8_t>(std::min<std::size_t>(c[b] + ((i >> b) & 1), 255));
            }
            out[i] = c;
        } else if (kind == "plane") {
            const auto a = static_cast<std::uint8_t>(r[i] >> 24);
            out[i] = {a, static_cast<std::uint8_t>(r[i] >> 16), static_cast<std::uint8_t>(255 - a)};
        } else if (kind == "cube") {
            const auto level = [&](std::size_t v) {
                return static_cast<std::uint8_t>(v % k * 255 / (k - 1));
            };
            out[i] = {level(i), level(i / k), level(i / (k * k))};
        } else {
            throw BadLine("unknown palette kind " + kind);
        }
    }
    return out;
}

std::vector<float> make_mask(const std::string& word, std::size_t h, std::size_t w) {
    const std::vector<std::string> parts = split(word, '.');
    if (parts.size() != 2) throw BadLine("malformed mask " + word);
    const std::string& kind = parts[0];
    const std::vector<std::uint32_t> r = draws(to_u64(parts[1]), h * w);
    std::vector<float> out(h * w);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const std::uint32_t v = r[y * w + x];
            std::size_t code = 0;
            if (kind == "rand") {
                code = v >> 24;
            } else if (kind == "bin") {
                code = 255 * (v >> 31);
            } else if (kind == "ramp") {
                code = x * 255 / std::max<std::size_t>(w - 1, 1);
            } else if (kind == "half") {
                code = 128;
            } else {
                throw BadLine("unknown mask kind " + kind);
            }
            // A uint8 mask divided by 255 in single precision, as tonalis_tools does.
            out[y * w + x] = static_cast<float>(code) / 255.0f;
        }
    }
    return out;
}

ThresholdMatrix make_matrix(const std::string& word) {
    if (word.rfind("bayer", 0) == 0) {
        const std::size_t n = to_size(word.substr(5));
        if (!is_bayer_size(n)) throw BadLine("not a Bayer size: " + word);
        return ThresholdMatrix::bayer(n);
    }
    const std::vector<std::string> parts = split(word, '.');
    if (parts.size() < 3) throw BadLine("malformed matrix " + word);
    const std::string& kind = parts[0];
    const std::vector<std::size_t> dims = dims_of(parts[2]);
    if (dims.size() != 2) throw BadLine("malformed matrix " + word);
    const std::size_t rows = dims[0], cols = dims[1], n = rows * cols;
    const std::vector<std::uint32_t> r = draws(to_u64(parts[1]), n);
    std::variant<ThresholdMatrix, std::string> made;
    if (kind == "perm") {
        std::vector<std::int64_t> order(n);
        std::iota(order.begin(), order.end(), std::int64_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
            return r[static_cast<std::size_t>(a)] < r[static_cast<std::size_t>(b)];
        });
        made = ThresholdMatrix::from_indices(rows, cols, order);
    } else if (kind == "idx" && parts.size() == 4) {
        const std::uint64_t most = to_u64(parts[3]);
        std::vector<std::int64_t> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<std::int64_t>(r[i] % most);
        made = ThresholdMatrix::from_indices(rows, cols, values);
    } else if (kind == "thr") {
        std::vector<double> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(r[i] % 1025) / 1024.0;
        made = ThresholdMatrix::from_thresholds(rows, cols, values);
    } else {
        throw BadLine("unknown matrix kind " + word);
    }
    if (const std::string* message = std::get_if<std::string>(&made)) {
        throw BadLine("matrix " + word + ": " + *message);
    }
    return std::get<ThresholdMatrix>(std::move(made));
}

// A gray array (2-D, or of one or two channels) as RGB, or LA as RGBA,
// as tonalis_tools.algorithms.to_colour gives it.
Array to_colour(const Array& gray) {
    Array a;
    a.height = gray.height;
    a.width = gray.width;
    a.channels = gray.channels == 2 ? 4 : 3;
    a.ndim = 3;
    a.samples.resize(a.height * a.width * a.channels);
    for (std::size_t p = 0; p < a.height * a.width; ++p) {
        const std::uint8_t v = gray.samples[p * gray.channels];
        for (std::size_t c = 0; c < 3; ++c) a.samples[p * a.channels + c] = v;
        if (gray.channels == 2) a.samples[p * 4 + 3] = gray.samples[p * 2 + 1];
    }
    return a;
}

bool is_gray(const Array& a) {
    return a.ndim == 2 || a.channels <= 2;
}

// --- one call ------------------------------------------------------------------------

// A call's inputs, made once and used under every setting.
struct Inputs {
    Words words;
    std::string family;
    Array array;
    std::optional<std::vector<Rgb>> palette;
    std::uint32_t levels = 2;
    float strength = 1.0f;
    bool linear = false;
    bool preserve_alpha = true;
    std::string method;
    bool serpentine = false;
    std::uint64_t seed = 0;
    std::optional<ThresholdMatrix> matrix;
    Extras extras;
    std::vector<float> mask;
    std::size_t candidates = 8;
    std::size_t history = 16;
    float ratio = 1.0f / 16.0f;
    std::string filter;
    std::size_t passes = max_dbs_passes;
    bool swaps = true;
    bool opponent = false;
};

// Direct binary search's filters by their corpus word: the taps Python
// made, as dbs_filters.txt records their bits (word, radius, taps; for
// WORD/weights, "w" and the weights of an opponent search).
struct Filter {
    std::size_t radius = 0;
    std::vector<float> taps;
};

std::map<std::string, Filter, std::less<>> read_filters(const std::string& path) {
    std::map<std::string, Filter, std::less<>> filters;
    std::ifstream file(path);
    if (!file) return filters;  // a corpus without dbs calls needs none
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = split(line, ' ');
        if (fields.size() < 3) throw BadLine("short filter line: " + line);
        Filter f;
        const bool weights = fields[1] == "w";
        f.radius = weights ? 0 : to_size(fields[1]);
        const std::size_t side = 2 * f.radius + 1;
        if (weights
                ? fields.size() != 4
                : f.radius < 1 || f.radius > max_dbs_radius || fields.size() != 2 + side * side) {
            throw BadLine("filter with a wrong radius or tap count: " + fields[0]);
        }
        for (std::size_t i = 2; i < fields.size(); ++i) {
            char* end = nullptr;
            const unsigned long bits = std::strtoul(fields[i].c_str(), &end, 16);
            if (*end != '\0' || fields[i].size() != 8) throw BadLine("bad tap " + fields[i]);
            f.taps.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
        }
        filters.emplace(fields[0], std::move(f));
    }
    return filters;
}

std::map<std::string, Filter, std::less<>> filters;

Distance to_distance(const std::string& text) {
    if (text == "rgb") return Distance::rgb;
    if (text == "luma") return Distance::luma;
    if (text == "oklab") return Distance::oklab;
    throw BadLine("unknown distance " + text);
}

Inputs make_inputs(const std::string& text) {
    Inputs in;
    in.words = parse_words(text);
    const Words& w = in.words;
    in.family = w.get("f", "");
    in.array = make_image(w.get("image", ""));
    if (w.has("palette")) in.palette = make_palette(w.get("palette", ""));
    in.levels = static_cast<std::uint32_t>(to_size(w.get("levels", "2")));
    if (in.levels < 2 || in.levels > 256) throw BadLine("levels out of range");
    in.strength = static_cast<float>(to_double(w.get("strength", "1")));
    in.linear = w.get("linear", "0") == "1";
    in.preserve_alpha = w.get("alpha", "1") == "1";
    in.method = w.get("method", in.family == "variable" ? "ostromoukhov" : "floyd_steinberg");
    in.serpentine = w.get("serpentine", "0") == "1";
    in.seed = to_seed(w.get("seed", "0"));
    in.matrix = make_matrix(w.get("matrix", "bayer8"));
    if (w.has("limit")) in.extras.limit = static_cast<float>(to_double(w.get("limit", "")));
    in.extras.distance = to_distance(w.get("distance", "rgb"));
    in.candidates = to_size(w.get("candidates", "8"));
    in.history = to_size(w.get("history", "16"));
    in.ratio = static_cast<float>(to_double(w.get("ratio", "0.0625")));
    in.filter = w.get("filter", "g1.2");
    in.opponent = w.get("opponent", "0") == "1";
    in.passes = to_size(w.get("passes", "1000"));
    in.swaps = w.get("swaps", "1") == "1";
    // The Python functions make gray images RGB for a palette of colours.
    const bool colour_first =
        in.family == "pattern" ||
        ((in.family == "riemersma" || in.family == "dbs") && in.palette.has_value());
    if (colour_first && is_gray(in.array)) in.array = to_colour(in.array);
    if (w.has("mask")) {
        in.mask = make_mask(w.get("mask", ""), in.array.height, in.array.width);
        in.extras.mask = in.mask.data();
    }
    if (in.palette && in.array.channels < 3) throw BadLine("a palette needs colour channels");
    return in;
}

// What the modules' intake makes of the array and the options.
struct Call {
    Img img;
    Target target;
    Space space;
};

Call intake(const Inputs& in) {
    Call call{Img{}, Levels{}, Space::make(in.linear)};
    Img& img = call.img;
    img.height = in.array.height;
    img.width = in.array.width;
    img.channels = in.array.channels;
    if (in.array.ndim == 3 && in.preserve_alpha && (img.channels == 2 || img.channels == 4)) {
        img.alpha = img.channels - 1;
    }
    img.data = Buffer<std::uint8_t>::allocate(in.array.samples.size(), malloc_allocator);
    std::memcpy(img.data.data(), in.array.samples.data(), in.array.samples.size());
    if (in.palette) {
        call.target = Palette::make(*in.palette, call.space);
    } else {
        call.target = Levels::make(in.levels, call.space);
    }
    return call;
}

const DiffusionKernel& kernel_of(const std::string& name) {
    const DiffusionKernel* kernel = parse_method(name);
    if (kernel == nullptr) throw BadLine("unknown kernel " + name);
    return *kernel;
}

void plain_diffusion(Call& c, const Inputs& in, const DiffusionKernel& kernel) {
    const search::Plan plan = prepare_diffusion(c.img, c.target);
    PipelineSettings pipe;
    pipe.threads = diffusion_threads(c.img, c.target, in.serpentine, plan);
    std::vector<float> scratch(diffusion_scratch_floats(c.img, c.target, pipe.threads));
    error_diffuse(c.img, c.target, c.space, in.strength, kernel, in.serpentine, scratch.data(),
                  plan, pipe);
}

std::optional<ColourMatch> match_of(const Call& c, const Inputs& in) {
    if (const Palette* palette = std::get_if<Palette>(&c.target)) {
        return ColourMatch::make(*palette, c.space, in.extras.distance);
    }
    if (in.extras.distance != Distance::rgb) throw BadLine("a distance needs a palette");
    return std::nullopt;
}

std::uint64_t run(const Inputs& in) {
    Call c = intake(in);
    const std::string& f = in.family;
    if (f == "error_diffusion") {
        plain_diffusion(c, in, kernel_of(in.method));
    } else if (f == "ordered_dither") {
        ordered_dither_pass(c.img, c.target, c.space, in.strength, *in.matrix);
    } else if (f == "random_dither") {
        random_dither_pass(c.img, c.target, c.space, in.strength, in.seed);
    } else if (f == "dither") {
        const std::optional<DitherMethod> method = parse_dither_method(in.method);
        if (!method) throw BadLine("unknown dither method " + in.method);
        switch (method->family) {
            case DitherMethod::Family::diffusion: plain_diffusion(c, in, *method->kernel); break;
            case DitherMethod::Family::random:
                random_dither_pass(c.img, c.target, c.space, in.strength, in.seed);
                break;
            case DitherMethod::Family::ordered:
                ordered_dither_pass(c.img, c.target, c.space, in.strength,
                                    ThresholdMatrix::bayer(method->bayer_size));
                break;
        }
    } else if (f == "diffuse" || f == "ordered" || f == "random") {
        const std::optional<ColourMatch> match = match_of(c, in);
        const ColourMatch* m = match ? &*match : nullptr;
        if (f == "diffuse") {
            std::vector<float> scratch(extras_scratch_floats(c.img));
            error_diffuse_extras(c.img, c.target, m, c.space, in.strength, kernel_of(in.method),
                                 in.serpentine, in.extras, scratch.data());
        } else if (f == "ordered") {
            ordered_extras(c.img, c.target, m, c.space, in.strength, *in.matrix, in.extras);
        } else {
            random_extras(c.img, c.target, m, c.space, in.strength, in.seed, in.extras);
        }
    } else if (f == "pattern") {
        const std::optional<ColourMatch> match = match_of(c, in);
        const Palette* palette = std::get_if<Palette>(&c.target);
        if (!match || palette == nullptr) throw BadLine("pattern dither needs a palette");
        if (in.candidates < min_pattern_candidates || in.candidates > max_pattern_candidates) {
            throw BadLine("candidates out of range");
        }
        std::vector<std::uint8_t> scratch(pattern_scratch_bytes(in.candidates));
        pattern_dither(c.img, *palette, *match, c.space, in.strength, *in.matrix, in.candidates,
                       scratch.data());
    } else if (f == "riemersma") {
        const std::optional<ColourMatch> match = match_of(c, in);
        if (in.history < 1 || in.history > max_riemersma_history) {
            throw BadLine("history out of range");
        }
        std::vector<std::uint32_t> path(riemersma_path_entries(c.img));
        std::vector<float> ring(riemersma_history_floats(in.history));
        riemersma_dither(c.img, c.target, match ? &*match : nullptr, c.space, in.strength,
                         in.history, in.ratio, path.data(), ring.data());
    } else if (f == "variable") {
        const Levels* levels = std::get_if<Levels>(&c.target);
        if (levels == nullptr) throw BadLine("variable diffusion takes levels");
        VariableKind kind = VariableKind::ostromoukhov;
        if (in.method == "zhou_fang") {
            kind = VariableKind::zhou_fang;
        } else if (in.method != "ostromoukhov") {
            throw BadLine("unknown variable method " + in.method);
        }
        std::vector<float> scratch(variable_scratch_floats(c.img));
        variable_diffuse(c.img, *levels, c.space, in.strength, kind, in.seed, scratch.data());
    } else if (f == "dbs") {
        const auto find = [](const std::string& word) -> const Filter& {
            const auto filter = filters.find(word);
            if (filter == filters.end()) throw BadLine("filter not in dbs_filters.txt: " + word);
            return filter->second;
        };
        if (in.passes < 1 || in.passes > max_dbs_passes) throw BadLine("passes out of range");
        DbsSettings settings;
        settings.passes = in.passes;
        settings.swaps = in.swaps;
        // tonalis_tools searches a palette in lightness and colour
        // differences when asked and when it has a colour other than grays
        // and at most max_dbs_opponent_colours.
        const Palette* palette = std::get_if<Palette>(&c.target);
        const bool coloured =
            palette != nullptr && palette->rgb.size() <= max_dbs_opponent_colours &&
            std::any_of(palette->rgb.begin(), palette->rgb.end(),
                        [](const Rgb& rgb) { return rgb[0] != rgb[1] || rgb[1] != rgb[2]; });
        if (in.opponent && coloured) {
            const Filter& far = find(in.filter + "/far");
            const Filter& weights = find(in.filter + "/weights");
            settings.taps = far.taps.data();
            settings.radius = far.radius;
            settings.chroma_taps = find(in.filter + "/chroma").taps.data();
            settings.chroma_weight = weights.taps[1];
            if (filters.count(in.filter + "/near") != 0) {
                settings.near_taps = find(in.filter + "/near").taps.data();
                settings.near_weight = weights.taps[0];
            }
        } else {
            const Filter& filter = find(in.filter);
            settings.taps = filter.taps.data();
            settings.radius = filter.radius;
        }
        auto scratch = Buffer<std::uint8_t>::allocate(
            dbs_scratch_bytes(c.img, c.target, settings.radius), malloc_allocator);
        dbs_dither(c.img, c.target, c.space, settings, scratch.data());
    } else {
        throw BadLine("unknown family " + f);
    }
    return fnv1a64(c.img.data.data(), c.img.data.size());
}

struct Entry {
    std::uint64_t recorded;
    std::string text;
};

std::vector<Entry> read_corpus(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::vector<Entry> entries;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.find(' ');
        if (space != 16) throw BadLine("line without a 16-digit hash: " + line);
        char* end = nullptr;
        const std::string digits = line.substr(0, 16);
        const unsigned long long h = std::strtoull(digits.c_str(), &end, 16);
        if (*end != '\0') throw BadLine("line without a 16-digit hash: " + line);
        entries.push_back({h, line.substr(17)});
    }
    return entries;
}

struct Setting {
    VectorIsa isa;
    std::size_t workers;
};

const char* isa_name(VectorIsa isa) {
    switch (isa) {
        case VectorIsa::baseline: return "baseline";
        case VectorIsa::avx2: return "avx2";
        case VectorIsa::avx512: return "avx512";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = TONALIS_GOLDEN_CORPUS;
    std::size_t sample = 0;
    bool print = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--print") {
            print = true;
        } else if (arg == "--sample" && i + 1 < argc) {
            sample = static_cast<std::size_t>(std::strtoull(argv[++i], nullptr, 10));
        } else if (!arg.empty() && arg[0] != '-') {
            path = arg;
        } else {
            std::fprintf(stderr, "usage: golden_corpus [CORPUS] [--sample N] [--print]\n");
            return 2;
        }
    }
    const auto began = std::chrono::steady_clock::now();
    std::vector<Entry> entries;
    try {
        entries = read_corpus(path);
        const std::size_t slash = path.find_last_of("/\\");
        filters =
            read_filters((slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                         "dbs_filters.txt");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "golden corpus: %s\n", e.what());
        return 2;
    }
    if (entries.empty()) {
        std::fprintf(stderr, "golden corpus: no calls in %s\n", path.c_str());
        return 2;
    }
    if (TONALIS_UNDER_TSAN && sample == 0) sample = entries.size() / 8;
    const std::size_t step = sample == 0 ? 1 : std::max<std::size_t>(1, entries.size() / sample);

    std::vector<Setting> settings;
    for (const VectorIsa isa : {VectorIsa::baseline, VectorIsa::avx2, VectorIsa::avx512}) {
        set_vector_isa_ceiling(isa);
        if (vector_isa() != isa) continue;
        for (const std::size_t workers : {std::size_t{1}, max_workers}) {
            if (workers > 1 && TONALIS_UNDER_TSAN) continue;
            settings.push_back({isa, workers});
        }
    }
    if (print) settings.resize(1);

    // One line for each of the first calls that differ, with the settings
    // under which they do.
    constexpr std::size_t shown = 20;
    std::size_t calls = 0;
    std::size_t failed_calls = 0;
    std::size_t failures = 0;
    for (std::size_t n = 0; n < entries.size(); n += step) {
        const Entry& entry = entries[n];
        std::string differ;
        ++calls;
        try {
            const Inputs in = make_inputs(entry.text);
            for (const Setting& s : settings) {
                set_vector_isa_ceiling(s.isa);
                set_worker_ceiling(s.workers);
                const std::uint64_t h = run(in);
                if (print) {
                    std::printf("%016llx %s\n", static_cast<unsigned long long>(h),
                                entry.text.c_str());
                } else if (h != entry.recorded) {
                    char text[96];
                    std::snprintf(text, sizeof text, "%s%s/%zu %016llx", differ.empty() ? "" : ", ",
                                  isa_name(s.isa), worker_count(),
                                  static_cast<unsigned long long>(h));
                    differ += text;
                    ++failures;
                }
            }
        } catch (const std::exception& e) {
            differ = std::string("cannot make the call: ") + e.what();
            ++failures;
        }
        if (!differ.empty() && failed_calls++ < shown) {
            std::printf("FAIL %s\n  recorded %016llx; %s\n", entry.text.c_str(),
                        static_cast<unsigned long long>(entry.recorded), differ.c_str());
        }
    }
    if (print) return 0;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (failures > 0) {
        std::printf(
            "golden corpus: %zu of %zu calls differ (%zu of %zu runs under %zu settings), %.1f s\n",
            failed_calls, calls, failures, calls * settings.size(), settings.size(), seconds);
        return 1;
    }
    std::printf("golden corpus: %zu calls under %zu settings as recorded, %.1f s\n", calls,
                settings.size(), seconds);
    return 0;
}
