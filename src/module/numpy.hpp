// numpy's C API for the module face; its function table is loaded once, by the exec step.
#pragma once

#include "pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tonalis_ARRAY_API
#ifndef TONALIS_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace tonalis::py {

// Imports numpy and loads its C API table, which every numpy macro of the
// face reads. Called by the exec step, so the table is in place before any
// function of the module can run; false with an exception set when numpy
// cannot be imported or is incompatible.
bool load_numpy() noexcept;

// An array of obj as numpy.asarray(obj) gives it: obj itself when it is an
// ndarray, else a new base-class array; nullptr with an exception set.
inline Ref as_array(PyObject* obj) noexcept {
    return Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
}

}  // namespace tonalis::py
