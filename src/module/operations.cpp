// The dither operations behind the module functions: resolve, prepare, run detached, output.
#include "operations.hpp"

#include <string>
#include <variant>

#include "diffusion/diffusion.hpp"
#include "intake.hpp"
#include "machine.hpp"
#include "matrix_arg.hpp"
#include "names.hpp"
#include "threshold/ordered.hpp"
#include "output.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

void raise_unknown(const char* what, const std::string& method, const std::string& valid) {
    PyErr_SetString(PyExc_ValueError,
                    ("unknown " + std::string(what) + " " + quoted_literal(decode_utf8(method)) +
                     "; valid values: " + valid)
                        .c_str());
}

// The threshold engines run their bands on worker_count() threads, which
// copy the image in too; error diffusion copies it on one, as it pipelines
// its rows only when the machine has cores to spare.
std::optional<Prepared> prepare_from(const Args& args, Origin& origin,
                                     std::size_t copy_threads = 1) {
    return prepare(args.image, args.levels, args.palette, args.linear, args.preserve_alpha,
                   args.strength, origin, copy_threads);
}

PyObject* error_diffusion_with(const Args& args, const DiffusionKernel& kernel) {
    Origin origin;
    std::optional<Prepared> prepared = prepare_from(args, origin);
    if (!prepared) {
        return nullptr;
    }
    // Every buffer the engine touches exists before the interpreter is released.
    const search::Plan plan = diffusion_search_plan(prepared->img, prepared->target);
    PipelineSettings pipe;
    pipe.threads = diffusion_threads(prepared->img, prepared->target, args.serpentine, plan);
    auto scratch = Buffer<float>::allocate(
        diffusion_scratch_floats(prepared->img, prepared->target, pipe.threads),
        interpreter_allocator);
    if (scratch.empty()) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the error rows");
        return nullptr;
    }
    {
        Detached detached;
        if (Palette* palette = std::get_if<Palette>(&prepared->target)) {
            prepare_palette_search(plan, *palette);
        }
        error_diffuse(prepared->img, prepared->target, prepared->space, prepared->strength, kernel,
                      args.serpentine, scratch.data(), plan, pipe);
    }
    scratch.reset();
    return into_output(std::move(prepared->img), origin);
}

PyObject* ordered_dither_with(const Args& args, const ThresholdMatrix& matrix) {
    Origin origin;
    std::optional<Prepared> prepared = prepare_from(args, origin, worker_count());
    if (!prepared) {
        return nullptr;
    }
    {
        Detached detached;
        ordered_dither_pass(prepared->img, prepared->target, prepared->space, prepared->strength,
                            matrix);
    }
    return into_output(std::move(prepared->img), origin);
}

// A new list of `count` str, item i from the text text(i).
template <class Text>
PyObject* str_list(std::size_t count, Text text) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto item = text(i);
        PyObject* name =
            PyUnicode_FromStringAndSize(item.data(), static_cast<Py_ssize_t>(item.size()));
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

}  // namespace

PyObject* error_diffusion_op(const Args& args) {
    const DiffusionKernel* kernel = parse_method(args.method);
    if (kernel == nullptr) {
        raise_unknown("error-diffusion method", args.method, method_names());
        return nullptr;
    }
    return error_diffusion_with(args, *kernel);
}

PyObject* ordered_dither_op(const Args& args) {
    std::optional<ThresholdMatrix> matrix = matrix_or_default(args.matrix);
    if (!matrix) {
        return nullptr;
    }
    return ordered_dither_with(args, *matrix);
}

PyObject* random_dither_op(const Args& args) {
    Origin origin;
    std::optional<Prepared> prepared = prepare_from(args, origin, worker_count());
    if (!prepared) {
        return nullptr;
    }
    // Only the low 64 bits of the seed matter: -1 and 2**64 - 1 agree.
    const std::uint64_t seed = args.seed ? *args.seed : clock_seed();
    {
        Detached detached;
        random_dither_pass(prepared->img, prepared->target, prepared->space, prepared->strength,
                           seed);
    }
    return into_output(std::move(prepared->img), origin);
}

PyObject* dither_op(const Args& args) {
    const std::optional<DitherMethod> method = parse_dither_method(args.method);
    if (!method) {
        raise_unknown("dither method", args.method, dither_method_names());
        return nullptr;
    }
    switch (method->family) {
        case DitherMethod::Family::diffusion: return error_diffusion_with(args, *method->kernel);
        case DitherMethod::Family::random: return random_dither_op(args);
        case DitherMethod::Family::ordered:
            return ordered_dither_with(args, ThresholdMatrix::bayer(method->bayer_size));
    }
    PyErr_SetString(PyExc_SystemError, "tonalis: unknown dither family");
    return nullptr;
}

PyObject* available_methods_op() {
    const auto kernels = diffusion_kernels();
    return str_list(kernels.size(), [&](std::size_t i) { return kernels[i].name; });
}

PyObject* available_matrices_op() {
    return str_list(bayer_sizes.size(), [](std::size_t i) { return bayer_name(bayer_sizes[i]); });
}

}  // namespace tonalis::py
