// Process-wide objects created on first use: interned names and numpy's C API table.
#pragma once

#include "pyref.hpp"

namespace tonalis::py {

// Names the face looks up often. Keyword arguments are matched against the
// parameter names here by pointer before they are compared by value.
enum class Name : int {
    image, method, matrix, levels, palette, serpentine, seed, strength, linear, preserve_alpha,
    add_note, dunder_all, dunder_name, dunder_module,
    mode, convert, fromarray, asarray, dtype, kind, shape, astype, flatten, tolist, image_class,
    count_
};

// A borrowed reference to the interned string, kept for the life of the
// process; nullptr with an exception set if it could not be created.
PyObject* interned(Name name) noexcept;

// obj.<name>, and obj.<name>(arg); an empty Ref with an exception set on failure.
inline Ref get_attr(PyObject* obj, Name name) noexcept {
    PyObject* key = interned(name);
    return key != nullptr ? Ref::steal(PyObject_GetAttr(obj, key)) : Ref();
}
inline Ref call_method(PyObject* obj, Name name, PyObject* arg) noexcept {
    PyObject* key = interned(name);
    return key != nullptr ? Ref::steal(PyObject_CallMethodOneArg(obj, key, arg)) : Ref();
}

// Loads numpy's C API table on first use; false with an exception set when
// numpy cannot be imported or is incompatible.
bool ensure_numpy() noexcept;

}  // namespace tonalis::py
