// The refined engines' own arguments: error limit, mask and distance.
#include "extras_args.hpp"

#include <cmath>

#include "intake.hpp"
#include "numpy.hpp"

namespace tonalis::py {

bool parse_limit(PyObject* obj, float& out) noexcept {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (std::isnan(value) || value < 0.0) {
        PyErr_SetString(PyExc_ValueError, "error_limit must be a number >= 0");
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool parse_mask(PyObject* obj, ExtrasArgs& out) noexcept {
    if (obj == Py_None) {
        out.mask_array = nullptr;
        return true;
    }
    if (!PyArray_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "mask must be a float32 numpy array");
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(array) != NPY_FLOAT32 || PyArray_NDIM(array) != 2 ||
        !PyArray_IS_C_CONTIGUOUS(array)) {
        PyErr_SetString(PyExc_TypeError, "mask must be a C-contiguous 2-D float32 array");
        return false;
    }
    out.mask_array = obj;
    return true;
}

bool parse_distance(PyObject* obj, Distance& out) noexcept {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (value < 0 || value >= distance_count) {
        PyErr_SetString(PyExc_ValueError, "distance must be 0 (rgb), 1 (luma) or 2 (oklab)");
        return false;
    }
    out = static_cast<Distance>(value);
    return true;
}

bool check_mask(ExtrasArgs& out, std::size_t height, std::size_t width) noexcept {
    out.extras.mask = nullptr;
    if (out.mask_array == nullptr) {
        return true;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(out.mask_array);
    const npy_intp* dims = PyArray_DIMS(array);
    // The shape is read again here, with the image's: the caller's checks
    // may be out of date.
    if (PyArray_NDIM(array) != 2 || static_cast<std::size_t>(dims[0]) != height ||
        static_cast<std::size_t>(dims[1]) != width) {
        PyErr_Format(PyExc_ValueError, "mask must have the image's shape (%zu, %zu)", height,
                     width);
        return false;
    }
    const auto* values = static_cast<const float*>(PyArray_DATA(array));
    // Four at a time, without an early exit; NaN fails both comparisons.
    const std::size_t n = height * width;
    QuadI outside{};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        Quad v;
        __builtin_memcpy(&v, values + i, sizeof v);
        outside |= ~((v >= 0.0f) & (v <= 1.0f));
    }
    bool inside = (outside[0] | outside[1] | outside[2] | outside[3]) == 0;
    for (; i < n; ++i) {
        inside &= values[i] >= 0.0f && values[i] <= 1.0f;
    }
    if (!inside) {
        PyErr_SetString(PyExc_ValueError, "mask values must lie in [0, 1]");
        return false;
    }
    out.extras.mask = values;
    return true;
}

}  // namespace tonalis::py
