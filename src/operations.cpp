// The dither operations behind the module functions: resolve, prepare, run detached, output.
#include "operations.hpp"

#include <string>

#include "diffusion.hpp"
#include "intake.hpp"
#include "matrix_arg.hpp"
#include "names.hpp"
#include "ordered.hpp"
#include "output.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

std::string quoted_method_names() {
    std::string names;
    for (const DiffusionKernel& kernel : diffusion_kernels()) {
        if (!names.empty()) {
            names += ", ";
        }
        names += "'";
        names += kernel.name;
        names += "'";
    }
    return names;
}

std::optional<Prepared> prepare_from(const Args& args) {
    return prepare(args.image, args.levels, args.palette, args.linear, args.preserve_alpha,
                   args.strength);
}

}  // namespace

PyObject* error_diffusion_op(const Args& args) {
    const DiffusionKernel* kernel = parse_method(args.method);
    if (kernel == nullptr) {
        PyErr_SetString(PyExc_ValueError,
                        ("unknown error-diffusion method " + quoted_literal(decode_utf8(args.method)) +
                         "; valid values: " + quoted_method_names())
                            .c_str());
        return nullptr;
    }
    std::optional<Prepared> prepared = prepare_from(args);
    if (!prepared) {
        return nullptr;
    }
    // Every buffer the engine touches exists before the interpreter is released.
    auto scratch = Buffer<float>::allocate(
        diffusion_scratch_floats(prepared->img, prepared->target), interpreter_allocator);
    if (scratch.empty()) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the error rows");
        return nullptr;
    }
    {
        Detached detached;
        error_diffuse(prepared->img, prepared->target, prepared->space, prepared->strength,
                      *kernel, args.serpentine, scratch.data());
    }
    scratch.reset();
    return into_output(std::move(prepared->img));
}

PyObject* ordered_dither_op(const Args& args) {
    std::optional<ThresholdMatrix> matrix;
    if (args.matrix != nullptr) {
        matrix = parse_matrix(args.matrix);
        if (!matrix) {
            return nullptr;
        }
    } else {
        matrix = ThresholdMatrix::bayer(8);
    }
    std::optional<Prepared> prepared = prepare_from(args);
    if (!prepared) {
        return nullptr;
    }
    {
        Detached detached;
        ordered_dither_pass(prepared->img, prepared->target, prepared->space, prepared->strength,
                            *matrix);
    }
    return into_output(std::move(prepared->img));
}

PyObject* random_dither_op(const Args& args) {
    std::optional<Prepared> prepared = prepare_from(args);
    if (!prepared) {
        return nullptr;
    }
    // Only the low 64 bits of the seed matter: -1 and 2**64 - 1 agree.
    const std::uint64_t seed =
        args.seed ? static_cast<std::uint64_t>(static_cast<unsigned __int128>(*args.seed))
                  : clock_seed();
    {
        Detached detached;
        random_dither_pass(prepared->img, prepared->target, prepared->space, prepared->strength,
                           seed);
    }
    return into_output(std::move(prepared->img));
}

PyObject* dither_op(const Args& args) {
    if (parse_method(args.method) != nullptr) {
        return error_diffusion_op(args);
    }
    if (normalize(args.method) == "random") {
        return random_dither_op(args);
    }
    if (bayer_size_from_name(args.method)) {
        Ref name = Ref::steal(PyUnicode_FromStringAndSize(
            args.method.data(), static_cast<Py_ssize_t>(args.method.size())));
        if (!name) {
            return nullptr;
        }
        Args ordered = args;
        ordered.matrix = name.get();
        return ordered_dither_op(ordered);
    }
    PyErr_SetString(PyExc_ValueError,
                    ("unknown dither method " + quoted_literal(decode_utf8(args.method)) +
                     "; valid values: " + quoted_method_names() + ", " + quoted_bayer_names() +
                     ", 'random'")
                        .c_str());
    return nullptr;
}

PyObject* available_methods_op() {
    auto kernels = diffusion_kernels();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kernels.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kernels.size(); ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(
            kernels[i].name.data(), static_cast<Py_ssize_t>(kernels[i].name.size()));
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

PyObject* available_matrices_op() {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(bayer_sizes.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < bayer_sizes.size(); ++i) {
        PyObject* name = PyUnicode_FromFormat("bayer%zux%zu", bayer_sizes[i], bayer_sizes[i]);
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

}  // namespace tonalis::py
