// The `matrix` argument: a Bayer name, a Bayer size, or a custom array of indices or thresholds.
#include "matrix_arg.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "intake.hpp"
#include "names.hpp"
#include "numpy.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

void raise_shape_error(const std::vector<std::size_t>& shape) {
    PyErr_SetString(PyExc_ValueError,
                    ("custom dither matrix must be a non-empty 2-D array, got shape " +
                     format_list(std::span<const std::size_t>(shape)) +
                     "; pass 'bayerNxN', the size as an int (2, 4, 8, 16), or a 2-D numpy array")
                        .c_str());
}

// The array's values as `type` (NPY_FLOAT64 or NPY_INT64), converted like
// astype: unsafely, so unsigned values above 2^63 wrap to negative.
template <class T>
std::optional<std::vector<T>> values_as(PyArrayObject* array, int type) {
    // CastToType takes the descriptor's reference and gives a C-ordered copy.
    PyArray_Descr* descr = PyArray_DescrFromType(type);
    if (descr == nullptr) {
        return std::nullopt;
    }
    Ref converted = Ref::steal(PyArray_CastToType(array, descr, 0));
    if (!converted) {
        return std::nullopt;
    }
    auto* data =
        static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(converted.get())));
    return std::vector<T>(data, data + PyArray_SIZE(array));
}

std::optional<ThresholdMatrix> from_result(std::variant<ThresholdMatrix, std::string> result) {
    if (auto* message = std::get_if<std::string>(&result)) {
        PyErr_SetString(PyExc_ValueError, message->c_str());
        return std::nullopt;
    }
    return std::move(std::get<ThresholdMatrix>(result));
}

std::optional<ThresholdMatrix> parse_array_matrix(PyObject* matrix) {
    Ref array_ref = as_array(matrix);
    if (!array_ref) {
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
    const npy_intp* dims = PyArray_DIMS(array);
    const std::vector<std::size_t> shape(dims, dims + PyArray_NDIM(array));
    if (shape.size() != 2 || shape[0] == 0 || shape[1] == 0) {
        raise_shape_error(shape);
        return std::nullopt;
    }
    const char kind = PyArray_DESCR(array)->kind;
    if (kind == 'f') {
        auto values = values_as<double>(array, NPY_FLOAT64);
        if (!values) {
            return std::nullopt;
        }
        return from_result(ThresholdMatrix::from_thresholds(shape[0], shape[1], *values));
    }
    if (kind == 'i' || kind == 'u') {
        auto values = values_as<std::int64_t>(array, NPY_INT64);
        if (!values) {
            return std::nullopt;
        }
        return from_result(ThresholdMatrix::from_indices(shape[0], shape[1], *values));
    }
    const char32_t kind_text[] = {static_cast<unsigned char>(kind), U'\0'};
    PyErr_SetString(PyExc_TypeError,
                    ("custom dither matrix must have an integer dtype (Bayer-style indices) or "
                     "float dtype (thresholds in [0, 1]), got kind " +
                     quoted_literal(kind_text))
                        .c_str());
    return std::nullopt;
}

// The integer form: anything the index protocol turns into an unsigned
// 64-bit value. Anything else moves on to the next form.
std::optional<std::uint64_t> as_size(PyObject* matrix) noexcept {
    if (!PyIndex_Check(matrix)) {
        return std::nullopt;
    }
    Ref index = Ref::steal(PyNumber_Index(matrix));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

// Raises the ValueError for an unrecognised matrix name or size.
void raise_invalid_matrix(std::u32string_view text) {
    PyErr_SetString(
        PyExc_ValueError,
        ("unknown dither matrix " + quoted_literal(text) + "; valid values: " + bayer_names() +
         ", the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix")
            .c_str());
}

}  // namespace

std::optional<ThresholdMatrix> parse_matrix(PyObject* matrix) {
    if (std::optional<std::uint64_t> n = as_size(matrix)) {
        if (is_bayer_size(*n)) {
            return ThresholdMatrix::bayer(*n);
        }
        const std::string digits = std::to_string(*n);
        raise_invalid_matrix(decode_utf8(digits));
        return std::nullopt;
    }
    if (PyUnicode_Check(matrix)) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(matrix, &len);
        if (utf8 == nullptr) {
            PyErr_Clear();  // lone surrogates: no valid name
        } else if (auto n = bayer_size_from_name({utf8, static_cast<std::size_t>(len)})) {
            return ThresholdMatrix::bayer(*n);
        }
        raise_invalid_matrix(code_points(matrix));
        return std::nullopt;
    }
    return parse_array_matrix(matrix);
}

std::optional<ThresholdMatrix> matrix_or_default(PyObject* matrix) {
    return matrix == nullptr ? ThresholdMatrix::bayer(8) : parse_matrix(matrix);
}

}  // namespace tonalis::py
