// Interned names, created once on first use and kept for the life of the process.
#pragma once

#include "pyref.hpp"

namespace tonalis::py {

// Names the face looks up often. The parameters of the dither functions
// come first: a parameter is its Name, and keyword arguments are matched
// against these interned strings by pointer before they are compared by
// value.
enum class Name : int {
    image,
    method,
    matrix,
    levels,
    palette,
    serpentine,
    seed,
    strength,
    linear,
    preserve_alpha,
    add_note,
    dunder_all,
    mode,
    convert,
    fromarray,
    image_class,
    count_
};

// The text of a name ("preserve_alpha", "__all__").
const char* name_text(Name name) noexcept;

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

}  // namespace tonalis::py
