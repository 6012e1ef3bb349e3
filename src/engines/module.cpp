// tonalis_tools._engines: the refined engines (error limit, per-pixel strength, colour distance)
// behind tonalis_tools.diffuse, ordered and random.
//
// Each function takes its own arguments first, positionally and already
// validated by tonalis_tools, then the arguments of the matching tonalis
// function, bound and converted by the same binder and intake as tonalis,
// so images, palettes and levels are read and refused the same way.
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "binding.hpp"
#include "dbs.hpp"
#include "diffusion/refined.hpp"
#include "extras_args.hpp"
#include "guarded.hpp"
#include "intake.hpp"
#include "matrix_arg.hpp"
#include "names.hpp"
#include "threshold/noise.hpp"
#include "numpy.hpp"
#include "output.hpp"
#include "threshold/pattern.hpp"
#include "diffusion/riemersma.hpp"
#include "switches.hpp"
#include "text.hpp"
#include "threshold/refined.hpp"
#include "diffusion/variable.hpp"

namespace tonalis::py {

namespace {

using P = Name;

constexpr Name diffuse_params[] = {P::image,      P::method,   P::levels, P::palette,
                                   P::serpentine, P::strength, P::linear, P::preserve_alpha};
constexpr Name ordered_params[] = {P::image,    P::matrix, P::levels,        P::palette,
                                   P::strength, P::linear, P::preserve_alpha};
constexpr Name random_params[] = {P::image,    P::levels, P::palette,       P::seed,
                                  P::strength, P::linear, P::preserve_alpha};

constexpr Signature diffuse_sig{"diffuse", diffuse_params, 2};
constexpr Signature ordered_sig{"ordered", ordered_params, 2};
constexpr Signature random_sig{"random", random_params, 1};
constexpr Signature pattern_sig{"pattern", ordered_params, 2};
constexpr Name variable_params[] = {P::image,    P::levels, P::seed,
                                    P::strength, P::linear, P::preserve_alpha};
constexpr Signature variable_sig{"variable", variable_params, 1};
constexpr Name riemersma_params[] = {P::image,    P::levels, P::palette,
                                     P::strength, P::linear, P::preserve_alpha};
constexpr Signature riemersma_sig{"riemersma", riemersma_params, 1};
constexpr Name dbs_params[] = {P::image, P::levels, P::palette, P::linear, P::preserve_alpha};
constexpr Signature dbs_sig{"dbs", dbs_params, 1};

// The image, target and space of a call, with the palette's colour match
// and the mask copied for its size.
struct Call {
    Origin origin;
    std::optional<Prepared> prepared;
    std::optional<ColourMatch> match;
};

bool prepare_call(const Args& args, ExtrasArgs& extras, Call& call) {
    call.prepared = prepare(args.image, args.levels, args.palette, args.linear, args.preserve_alpha,
                            args.strength, call.origin);
    if (!call.prepared) {
        return false;
    }
    if (!check_mask(extras, call.prepared->img.height, call.prepared->img.width)) {
        return false;
    }
    if (const Palette* palette = std::get_if<Palette>(&call.prepared->target)) {
        call.match = ColourMatch::make(*palette, call.prepared->space, extras.extras.distance);
    } else if (extras.extras.distance != Distance::rgb) {
        PyErr_SetString(PyExc_ValueError, "distance other than 'rgb' needs a palette");
        return false;
    }
    return true;
}

const ColourMatch* match_of(const Call& call) noexcept {
    return call.match ? &*call.match : nullptr;
}

PyObject* diffuse_op(const Args& args, ExtrasArgs& extras) {
    const DiffusionKernel* kernel = parse_method(args.method);
    if (kernel == nullptr) {
        PyErr_SetString(PyExc_ValueError, ("unknown error-diffusion method " +
                                           quoted_literal(decode_utf8(args.method)) +
                                           "; valid values: " + method_names())
                                              .c_str());
        return nullptr;
    }
    Call call;
    if (!prepare_call(args, extras, call)) {
        return nullptr;
    }
    Prepared& p = *call.prepared;
    auto scratch = Buffer<float>::allocate(extras_scratch_floats(p.img), interpreter_allocator);
    if (scratch.empty()) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the error rows");
        return nullptr;
    }
    {
        Detached detached;
        error_diffuse_extras(p.img, p.target, match_of(call), p.space, p.strength, *kernel,
                             args.serpentine, extras.extras, scratch.data());
    }
    return into_output(std::move(p.img), call.origin);
}

PyObject* ordered_op(const Args& args, ExtrasArgs& extras) {
    std::optional<ThresholdMatrix> matrix = matrix_or_default(args.matrix);
    if (!matrix) {
        return nullptr;
    }
    Call call;
    if (!prepare_call(args, extras, call)) {
        return nullptr;
    }
    Prepared& p = *call.prepared;
    {
        Detached detached;
        ordered_extras(p.img, p.target, match_of(call), p.space, p.strength, *matrix,
                       extras.extras);
    }
    return into_output(std::move(p.img), call.origin);
}

PyObject* random_op(const Args& args, ExtrasArgs& extras) {
    Call call;
    if (!prepare_call(args, extras, call)) {
        return nullptr;
    }
    Prepared& p = *call.prepared;
    // Only the low 64 bits of the seed matter, as for tonalis.random_dither.
    const std::uint64_t seed = args.seed ? *args.seed : clock_seed();
    {
        Detached detached;
        random_extras(p.img, p.target, match_of(call), p.space, p.strength, seed, extras.extras);
    }
    return into_output(std::move(p.img), call.origin);
}

// Leading arguments of a call, converted one by one; the rest bound as
// the signature says.
bool leading(const char* function, Py_ssize_t nargs, Py_ssize_t lead) {
    if (nargs < lead) {
        PyErr_Format(PyExc_TypeError, "%s() needs %zd leading arguments", function, lead);
        return false;
    }
    return true;
}

// The kind of a variable-coefficient method: 0 Ostromoukhov, 1 Zhou-Fang.
bool parse_kind(PyObject* obj, VariableKind& out) noexcept {
    const long kind = PyLong_AsLong(obj);
    if (kind == -1 && PyErr_Occurred()) {
        return false;
    }
    if (kind != 0 && kind != 1) {
        PyErr_SetString(PyExc_ValueError, "kind must be 0 or 1");
        return false;
    }
    out = static_cast<VariableKind>(kind);
    return true;
}

// Pattern dither: the palette's candidates at each pixel, picked by the matrix.
PyObject* pattern_op(const Args& args, ExtrasArgs& extras, std::size_t candidates) {
    std::optional<ThresholdMatrix> matrix = matrix_or_default(args.matrix);
    if (!matrix) {
        return nullptr;
    }
    Call call;
    if (!prepare_call(args, extras, call)) {
        return nullptr;
    }
    Prepared& p = *call.prepared;
    const Palette* palette = std::get_if<Palette>(&p.target);
    if (palette == nullptr || !call.match) {
        PyErr_SetString(PyExc_ValueError, "pattern dither needs a palette");
        return nullptr;
    }
    if (p.img.channels < 3) {
        PyErr_SetString(PyExc_ValueError, "pattern dither needs an RGB or RGBA image");
        return nullptr;
    }
    auto scratch =
        Buffer<std::uint8_t>::allocate(pattern_scratch_bytes(candidates), interpreter_allocator);
    if (scratch.empty()) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the candidate cache");
        return nullptr;
    }
    {
        Detached detached;
        pattern_dither(p.img, *palette, *call.match, p.space, p.strength, *matrix, candidates,
                       scratch.data());
    }
    return into_output(std::move(p.img), call.origin);
}

// Leading arguments: candidates (an int in range), distance; then
// ordered dither's arguments.
PyObject* pattern_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!leading("pattern", nargs, 2)) {
                return nullptr;
            }
            const long n = PyLong_AsLong(args[0]);
            if (n == -1 && PyErr_Occurred()) {
                return nullptr;
            }
            if (n < static_cast<long>(min_pattern_candidates) ||
                n > static_cast<long>(max_pattern_candidates)) {
                PyErr_Format(PyExc_ValueError, "candidates must be in %zu..=%zu, got %ld",
                             min_pattern_candidates, max_pattern_candidates, n);
                return nullptr;
            }
            ExtrasArgs extras;
            if (!parse_distance(args[1], extras.extras.distance)) {
                return nullptr;
            }
            Args converted;
            if (!bind_args(pattern_sig, args + 2, nargs - 2, kwnames, converted)) {
                return nullptr;
            }
            return pattern_op(converted, extras, static_cast<std::size_t>(n));
        },
        nullptr);
}

// Variable-coefficient diffusion: kind (0 Ostromoukhov, 1 Zhou-Fang),
// then the image and its levels.
PyObject* variable_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!leading("variable", nargs, 1)) {
                return nullptr;
            }
            VariableKind kind = VariableKind::ostromoukhov;
            if (!parse_kind(args[0], kind)) {
                return nullptr;
            }
            Args converted;
            if (!bind_args(variable_sig, args + 1, nargs - 1, kwnames, converted)) {
                return nullptr;
            }
            Origin origin;
            std::optional<Prepared> prepared =
                prepare(converted.image, converted.levels, nullptr, converted.linear,
                        converted.preserve_alpha, converted.strength, origin);
            if (!prepared) {
                return nullptr;
            }
            Prepared& p = *prepared;
            auto scratch =
                Buffer<float>::allocate(variable_scratch_floats(p.img), interpreter_allocator);
            if (scratch.empty()) {
                PyErr_SetString(PyExc_MemoryError, "cannot allocate the error rows");
                return nullptr;
            }
            const std::uint64_t seed = converted.seed ? *converted.seed : 0;
            {
                Detached detached;
                variable_diffuse(p.img, std::get<Levels>(p.target), p.space, p.strength, kind, seed,
                                 scratch.data());
            }
            return into_output(std::move(p.img), origin);
        },
        nullptr);
}

// Riemersma dither: history (an int in range), ratio (a float in (0, 1]),
// distance; then the image and its levels or palette.
PyObject* riemersma_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!leading("riemersma", nargs, 3)) {
                return nullptr;
            }
            const long history = PyLong_AsLong(args[0]);
            if (history == -1 && PyErr_Occurred()) {
                return nullptr;
            }
            if (history < 1 || history > static_cast<long>(max_riemersma_history)) {
                PyErr_Format(PyExc_ValueError, "history must be in 1..=%zu, got %ld",
                             max_riemersma_history, history);
                return nullptr;
            }
            const double ratio = PyFloat_AsDouble(args[1]);
            if (ratio == -1.0 && PyErr_Occurred()) {
                return nullptr;
            }
            if (!(ratio > 0.0 && ratio <= 1.0)) {
                PyErr_SetString(PyExc_ValueError, "ratio must be in (0, 1]");
                return nullptr;
            }
            ExtrasArgs extras;
            if (!parse_distance(args[2], extras.extras.distance)) {
                return nullptr;
            }
            Args converted;
            if (!bind_args(riemersma_sig, args + 3, nargs - 3, kwnames, converted)) {
                return nullptr;
            }
            Call call;
            if (!prepare_call(converted, extras, call)) {
                return nullptr;
            }
            Prepared& p = *call.prepared;
            if (p.img.pixel_count() > 0xffffffffu) {
                PyErr_SetString(PyExc_ValueError, "image too large for riemersma dither");
                return nullptr;
            }
            const auto q = static_cast<std::size_t>(history);
            auto path = Buffer<std::uint32_t>::allocate(riemersma_path_entries(p.img),
                                                        interpreter_allocator);
            auto ring = Buffer<float>::allocate(riemersma_history_floats(q), interpreter_allocator);
            if (path.empty() || ring.empty()) {
                PyErr_SetString(PyExc_MemoryError, "cannot allocate the curve");
                return nullptr;
            }
            {
                Detached detached;
                riemersma_dither(p.img, p.target, match_of(call), p.space, p.strength, q,
                                 static_cast<float>(ratio), path.data(), ring.data());
            }
            return into_output(std::move(p.img), call.origin);
        },
        nullptr);
}

// The taps of a direct-binary-search filter: a C-contiguous float32 array
// of (2r + 1) x (2r + 1) finite values, r in 1..=max_dbs_radius, not all
// zero, copied out so that the engine reads none of the caller's memory.
bool parse_taps(PyObject* obj, std::array<float, 289>& taps, std::size_t& radius) noexcept {
    static_assert((2 * max_dbs_radius + 1) * (2 * max_dbs_radius + 1) == 289);
    if (!PyArray_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "taps must be a float32 numpy array");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(array) != NPY_FLOAT32 || PyArray_NDIM(array) != 2 ||
        !PyArray_IS_C_CONTIGUOUS(array)) {
        PyErr_SetString(PyExc_TypeError, "taps must be a C-contiguous 2-D float32 array");
        return false;
    }
    const npy_intp* dims = PyArray_DIMS(array);
    const npy_intp side = dims[0];
    if (side != dims[1] || side % 2 == 0 || side < 3 ||
        side > static_cast<npy_intp>(2 * max_dbs_radius + 1)) {
        PyErr_Format(PyExc_ValueError, "taps must be square with an odd side in 3..=%zu",
                     2 * max_dbs_radius + 1);
        return false;
    }
    const auto n = static_cast<std::size_t>(side);
    std::memcpy(taps.data(), PyArray_DATA(array), n * n * sizeof(float));
    bool finite = true;
    bool any = false;
    for (std::size_t i = 0; i < n * n; ++i) {
        finite &= std::isfinite(taps[i]);
        any |= taps[i] != 0.0f;
    }
    if (!finite || !any) {
        PyErr_SetString(PyExc_ValueError, "taps must be finite and not all zero");
        return false;
    }
    radius = n / 2;
    return true;
}

// The filters of a search: one taps array, or, for a palette searched as
// the eye splits colour, (taps, near taps or None, near weight, chroma
// taps, chroma weight), every array of one side.
struct Filters {
    std::array<float, 289> taps{}, near{}, chroma{};
    std::size_t radius = 0;
    bool opponent = false;
    bool has_near = false;
    float near_weight = 0.0f;
    float chroma_weight = 1.0f;
};

bool parse_weight(PyObject* obj, const char* what, bool zero_allowed, float& out) noexcept {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (!std::isfinite(value) || value < 0.0 || (!zero_allowed && value == 0.0) ||
        !std::isfinite(static_cast<float>(value))) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number %s 0", what,
                     zero_allowed ? ">=" : ">");
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool parse_filters(PyObject* obj, Filters& f) noexcept {
    if (!PyTuple_Check(obj)) {
        return parse_taps(obj, f.taps, f.radius);
    }
    if (PyTuple_GET_SIZE(obj) != 5) {
        PyErr_SetString(PyExc_TypeError,
                        "filters must be taps or (taps, near taps or None, near weight, chroma "
                        "taps, chroma weight)");
        return false;
    }
    std::size_t radius = 0;
    if (!parse_taps(PyTuple_GET_ITEM(obj, 0), f.taps, f.radius) ||
        !parse_weight(PyTuple_GET_ITEM(obj, 2), "near weight", true, f.near_weight) ||
        !parse_taps(PyTuple_GET_ITEM(obj, 3), f.chroma, radius) ||
        !parse_weight(PyTuple_GET_ITEM(obj, 4), "chroma weight", false, f.chroma_weight)) {
        return false;
    }
    bool same = radius == f.radius;
    if (PyTuple_GET_ITEM(obj, 1) != Py_None) {
        if (!parse_taps(PyTuple_GET_ITEM(obj, 1), f.near, radius)) {
            return false;
        }
        same &= radius == f.radius;
        f.has_near = true;
    }
    if (!same) {
        PyErr_SetString(PyExc_ValueError, "the filters' taps must all have the same side");
        return false;
    }
    f.opponent = true;
    return true;
}

// The start of a search: None, or a C-contiguous uint8 array of the
// image's shape, copied into `copy` (the caller's array may change once the
// interpreter is released).
bool parse_start(PyObject* obj, const Img& img, int ndim, Buffer<std::uint8_t>& copy) noexcept {
    if (obj == Py_None) {
        return true;
    }
    if (!PyArray_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "start must be None or a uint8 numpy array");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp* dims = PyArray_DIMS(array);
    const bool shaped = PyArray_NDIM(array) == ndim &&
                        static_cast<std::size_t>(dims[0]) == img.height &&
                        static_cast<std::size_t>(dims[1]) == img.width &&
                        (ndim == 2 || static_cast<std::size_t>(dims[2]) == img.channels);
    if (PyArray_TYPE(array) != NPY_UINT8 || !PyArray_IS_C_CONTIGUOUS(array) || !shaped) {
        PyErr_SetString(PyExc_ValueError,
                        "start must be a C-contiguous uint8 array of the image's shape");
        return false;
    }
    const std::size_t samples = img.pixel_count() * img.channels;
    copy = Buffer<std::uint8_t>::allocate(samples, interpreter_allocator);
    if (copy.empty() && samples > 0) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate a copy of the start");
        return false;
    }
    std::memcpy(copy.data(), PyArray_DATA(array), samples);
    return true;
}

// Direct binary search: taps, passes (1..=max_dbs_passes), swaps (a bool),
// start (None or a halftone of the image's shape); then the image and its
// levels or palette. Returns the image, the passes made and the toggles
// and swaps taken.
PyObject* dbs_binder(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            if (!leading("dbs", nargs, 4)) {
                return nullptr;
            }
            DbsSettings settings;
            Filters filters;
            if (!parse_filters(args[0], filters)) {
                return nullptr;
            }
            settings.taps = filters.taps.data();
            settings.radius = filters.radius;
            if (filters.opponent) {
                settings.chroma_taps = filters.chroma.data();
                settings.chroma_weight = filters.chroma_weight;
                settings.near_taps = filters.has_near ? filters.near.data() : nullptr;
                settings.near_weight = filters.near_weight;
            }
            const long passes = PyLong_AsLong(args[1]);
            if (passes == -1 && PyErr_Occurred()) {
                return nullptr;
            }
            if (passes < 1 || passes > static_cast<long>(max_dbs_passes)) {
                PyErr_Format(PyExc_ValueError, "passes must be in 1..=%zu, got %ld", max_dbs_passes,
                             passes);
                return nullptr;
            }
            settings.passes = static_cast<std::size_t>(passes);
            const int swaps = PyObject_IsTrue(args[2]);
            if (swaps < 0) {
                return nullptr;
            }
            settings.swaps = swaps != 0;
            Args converted;
            if (!bind_args(dbs_sig, args + 4, nargs - 4, kwnames, converted)) {
                return nullptr;
            }
            Origin origin;
            std::optional<Prepared> prepared =
                prepare(converted.image, converted.levels, converted.palette, converted.linear,
                        converted.preserve_alpha, 1.0f, origin);
            if (!prepared) {
                return nullptr;
            }
            Prepared& p = *prepared;
            const Palette* palette = std::get_if<Palette>(&p.target);
            if (palette != nullptr && p.img.channels < 3) {
                PyErr_SetString(PyExc_ValueError, "dbs with a palette needs an RGB or RGBA image");
                return nullptr;
            }
            if (filters.opponent &&
                (palette == nullptr || palette->colors.size() > max_dbs_opponent_colours)) {
                PyErr_Format(PyExc_ValueError,
                             "the filters for colour take a palette of at most %zu colours",
                             max_dbs_opponent_colours);
                return nullptr;
            }
            Buffer<std::uint8_t> start;
            if (!parse_start(args[3], p.img, origin.ndim, start)) {
                return nullptr;
            }
            settings.start = args[3] == Py_None ? nullptr : start.data();
            auto scratch = Buffer<std::uint8_t>::allocate(
                dbs_scratch_bytes(p.img, p.target, settings.radius), interpreter_allocator);
            if (scratch.empty()) {
                PyErr_SetString(PyExc_MemoryError, "cannot allocate the search planes");
                return nullptr;
            }
            DbsReport report;
            {
                Detached detached;
                report = dbs_dither(p.img, p.target, p.space, settings, scratch.data());
            }
            Ref image = Ref::steal(into_output(std::move(p.img), origin));
            if (!image) {
                return nullptr;
            }
            return Py_BuildValue("(Onnn)", image.get(), static_cast<Py_ssize_t>(report.passes),
                                 static_cast<Py_ssize_t>(report.toggles),
                                 static_cast<Py_ssize_t>(report.swaps));
        },
        nullptr);
}

// The weight table of a variable-coefficient method: 256 triples (next,
// below-behind, below) as the engine uses them.
PyObject* weights_fn(PyObject*, PyObject* arg) noexcept {
    return guarded(
        [&]() -> PyObject* {
            VariableKind kind = VariableKind::ostromoukhov;
            if (!parse_kind(arg, kind)) {
                return nullptr;
            }
            const WeightRows rows = weight_rows(kind);
            Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(rows.size())));
            if (!out) {
                return nullptr;
            }
            for (std::size_t i = 0; i < rows.size(); ++i) {
                PyObject* row =
                    Py_BuildValue("(ddd)", static_cast<double>(rows[i][0]),
                                  static_cast<double>(rows[i][1]), static_cast<double>(rows[i][2]));
                if (row == nullptr) {
                    return nullptr;
                }
                PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), row);
            }
            return out.release();
        },
        nullptr);
}

// Leading arguments: limit (diffuse only), mask, distance; then the
// tonalis function's arguments.
template <const Signature& sig, PyObject* (*op)(const Args&, ExtrasArgs&), bool with_limit>
PyObject* binder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            constexpr Py_ssize_t lead = with_limit ? 3 : 2;
            if (!leading(sig.function, nargs, lead)) {
                return nullptr;
            }
            ExtrasArgs extras;
            if (with_limit && !parse_limit(args[0], extras.extras.limit)) {
                return nullptr;
            }
            if (!parse_mask(args[lead - 2], extras) ||
                !parse_distance(args[lead - 1], extras.extras.distance)) {
                return nullptr;
            }
            Args converted;
            if (!bind_args(sig, args + lead, nargs - lead, kwnames, converted)) {
                return nullptr;
            }
            return op(converted, extras);
        },
        nullptr);
}

template <const Signature& sig, PyObject* (*op)(const Args&, ExtrasArgs&), bool with_limit>
constexpr PyMethodDef def(const char* doc) {
    return {
        sig.function,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&binder<sig, op, with_limit>)),
        METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef functions[] = {
    def<diffuse_sig, diffuse_op, true>(
        "diffuse(limit, mask, distance, image, method, *, levels, palette, serpentine, "
        "strength, linear, preserve_alpha)\n--\n\nError diffusion with the refinements; "
        "see tonalis_tools.diffuse."),
    def<ordered_sig, ordered_op, false>(
        "ordered(mask, distance, image, matrix, *, levels, palette, strength, linear, "
        "preserve_alpha)\n--\n\nOrdered dither with the refinements; see "
        "tonalis_tools.ordered."),
    def<random_sig, random_op, false>(
        "random(mask, distance, image, *, levels, palette, seed, strength, linear, "
        "preserve_alpha)\n--\n\nRandom dither with the refinements; see "
        "tonalis_tools.random."),
    {"pattern", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&pattern_binder)),
     METH_FASTCALL | METH_KEYWORDS,
     "pattern(candidates, distance, image, matrix, *, levels, palette, strength, linear, "
     "preserve_alpha)\n--\n\nPattern dither for any palette; see "
     "tonalis_tools.pattern_dither."},
    {"variable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&variable_binder)),
     METH_FASTCALL | METH_KEYWORDS,
     "variable(kind, image, *, levels, seed, strength, linear, preserve_alpha)\n--\n\n"
     "Variable-coefficient error diffusion; see tonalis_tools.variable_diffuse."},
    {"riemersma", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&riemersma_binder)),
     METH_FASTCALL | METH_KEYWORDS,
     "riemersma(history, ratio, distance, image, *, levels, palette, strength, linear, "
     "preserve_alpha)\n--\n\nRiemersma dither; see tonalis_tools.riemersma."},
    {"dbs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dbs_binder)),
     METH_FASTCALL | METH_KEYWORDS,
     "dbs(filters, passes, swaps, start, image, *, levels, palette, linear, preserve_alpha)\n--\n\n"
     "Direct binary search from the start given or Floyd-Steinberg's; filters are taps, or "
     "(taps, near taps or None, near weight, chroma taps, chroma weight) for a palette searched "
     "in lightness and colour differences; returns (image, passes, toggles, swaps). See "
     "tonalis_tools.dbs."},
    {"weights", &weights_fn, METH_O,
     "weights(kind)\n--\n\nThe 256 weight triples of a variable-coefficient method."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    // numpy and the switches, as the tonalis module loads them: this module
    // has its own copy of the engines' machinery.
    if (!load_numpy() || guarded(apply_switches, -1) < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, functions);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tonalis_tools._engines",
    "The refined dither engines behind tonalis_tools.diffuse, ordered and random.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tonalis::py

PyMODINIT_FUNC PyInit__engines(void) {
    return PyModuleDef_Init(&tonalis::py::module_def);
}
