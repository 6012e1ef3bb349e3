// The `matrix` argument: a Bayer name, a Bayer size, or a custom array of indices or thresholds.
#include "matrix_arg.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "caches.hpp"
#include "intake.hpp"
#include "names.hpp"
#include "text.hpp"

namespace tonalis::py {

namespace {

bool is_bayer_size(std::size_t n) noexcept {
    return std::find(bayer_sizes.begin(), bayer_sizes.end(), n) != bayer_sizes.end();
}

// An optional single plus sign, then one or more digits, below 2^64.
std::optional<std::uint64_t> parse_decimal(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void raise_shape_error(const std::vector<std::size_t>& shape) {
    PyErr_SetString(PyExc_ValueError,
                    ("custom dither matrix must be a non-empty 2-D array, got shape " +
                     format_list(std::span<const std::size_t>(shape)) +
                     "; pass 'bayerNxN', the size as an int (2, 4, 8, 16), or a 2-D numpy array")
                        .c_str());
}

// array.astype(dtype).flatten().tolist()
Ref flattened_list(PyObject* array, const char* dtype) {
    Ref name = Ref::steal(PyUnicode_FromString(dtype));
    if (!name) {
        return Ref();
    }
    Ref converted = call_method(array, Name::astype, name.get());
    if (!converted) {
        return Ref();
    }
    PyObject* flatten = interned(Name::flatten);
    PyObject* tolist = interned(Name::tolist);
    if (flatten == nullptr || tolist == nullptr) {
        return Ref();
    }
    Ref flat = Ref::steal(PyObject_CallMethodNoArgs(converted.get(), flatten));
    if (!flat) {
        return Ref();
    }
    Ref list = Ref::steal(PyObject_CallMethodNoArgs(flat.get(), tolist));
    if (list && !PyList_Check(list.get())) {
        PyErr_SetString(PyExc_TypeError, "tolist() did not return a list");
        return Ref();
    }
    return list;
}

std::optional<ThresholdMatrix> from_result(
    std::variant<ThresholdMatrix, std::string> result) {
    if (auto* message = std::get_if<std::string>(&result)) {
        PyErr_SetString(PyExc_ValueError, message->c_str());
        return std::nullopt;
    }
    return std::move(std::get<ThresholdMatrix>(result));
}

std::optional<ThresholdMatrix> parse_array_matrix(PyObject* matrix) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return std::nullopt;
    }
    Ref array = call_method(numpy.get(), Name::asarray, matrix);
    if (!array) {
        return std::nullopt;
    }
    Ref dtype = get_attr(array.get(), Name::dtype);
    Ref kind = dtype ? get_attr(dtype.get(), Name::kind) : Ref();
    if (!kind) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(kind.get())) {
        PyErr_SetString(PyExc_TypeError, "dtype.kind is not a str");
        return std::nullopt;
    }
    Ref shape_obj = get_attr(array.get(), Name::shape);
    if (!shape_obj) {
        return std::nullopt;
    }
    Ref shape_seq = Ref::steal(PySequence_Fast(shape_obj.get(), "array shape is not a sequence"));
    if (!shape_seq) {
        return std::nullopt;
    }
    std::vector<std::size_t> shape;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(shape_seq.get()); ++i) {
        std::size_t d = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(shape_seq.get(), i));
        if (d == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            return std::nullopt;
        }
        shape.push_back(d);
    }
    if (shape.size() != 2 || shape[0] == 0 || shape[1] == 0) {
        raise_shape_error(shape);
        return std::nullopt;
    }
    const std::u32string kind_text = code_points(kind.get());
    if (kind_text == U"f") {
        Ref list = flattened_list(array.get(), "float64");
        if (!list) {
            return std::nullopt;
        }
        std::vector<double> values;
        values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            double v = PyFloat_AsDouble(PyList_GET_ITEM(list.get(), i));
            if (v == -1.0 && PyErr_Occurred()) {
                return std::nullopt;
            }
            values.push_back(v);
        }
        if (values.size() != shape[0] * shape[1]) {
            PyErr_SetString(PyExc_ValueError, "custom dither matrix changed size while read");
            return std::nullopt;
        }
        return from_result(ThresholdMatrix::from_thresholds(shape[0], shape[1], values));
    }
    if (kind_text == U"i" || kind_text == U"u") {
        Ref list = flattened_list(array.get(), "int64");
        if (!list) {
            return std::nullopt;
        }
        std::vector<std::int64_t> values;
        values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            long long v = PyLong_AsLongLong(PyList_GET_ITEM(list.get(), i));
            if (v == -1 && PyErr_Occurred()) {
                return std::nullopt;
            }
            values.push_back(v);
        }
        if (values.size() != shape[0] * shape[1]) {
            PyErr_SetString(PyExc_ValueError, "custom dither matrix changed size while read");
            return std::nullopt;
        }
        return from_result(ThresholdMatrix::from_indices(shape[0], shape[1], values));
    }
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

}  // namespace

std::optional<std::size_t> bayer_size_from_name(std::string_view utf8) {
    std::string t = normalize(utf8);
    std::string_view rest = t;
    if (rest.size() >= 5 && rest.substr(0, 5) == "bayer") {
        rest.remove_prefix(5);
    }
    std::optional<std::uint64_t> n = parse_decimal(rest.substr(0, rest.find('x')));
    if (!n) {
        return std::nullopt;
    }
    const std::string digits = std::to_string(*n);
    if (rest != digits && rest != digits + "x" + digits) {
        return std::nullopt;
    }
    if (!is_bayer_size(*n)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*n);
}

std::string quoted_bayer_names() {
    std::string names;
    for (std::size_t n : bayer_sizes) {
        if (!names.empty()) {
            names += ", ";
        }
        names += "'bayer" + std::to_string(n) + "x" + std::to_string(n) + "'";
    }
    return names;
}

void raise_invalid_matrix(std::u32string_view text) {
    PyErr_SetString(PyExc_ValueError,
                    ("unknown dither matrix " + quoted_literal(text) +
                     "; valid values: " + quoted_bayer_names() +
                     ", the size as an int (2, 4, 8, 16), or a custom 2-D numpy matrix")
                        .c_str());
}

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

}  // namespace tonalis::py
