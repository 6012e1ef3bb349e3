// Binding of fast-call arguments to parameters, and their conversion to native values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "caches.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// A dither function's parameters: a subset of the parameter names that
// open Name (caches.hpp), in the function's own order.
struct Signature {
    const char* function;          // as shown in messages: "dither"
    std::span<const Name> params;  // positional-or-keyword first, then keyword-only
    std::size_t positional;        // how many of `params` may be given by position
};

// The converted arguments of a call. Omitted parameters keep these defaults.
struct Args {
    PyObject* image = nullptr;  // borrowed from the call
    std::string method = "floyd_steinberg";
    PyObject* matrix = nullptr;  // borrowed; nullptr when absent or None
    std::uint32_t levels = 2;
    PyObject* palette = nullptr;  // borrowed; nullptr when absent or None
    bool serpentine = false;
    // The low 64 bits (two's complement) of an int of up to 128 bits: all
    // that the engines take.
    std::optional<std::uint64_t> seed;
    float strength = 1.0f;
    bool linear = false;
    bool preserve_alpha = true;
};

// Binds positional and keyword arguments to the signature's parameters and
// converts each given one in parameter order. False with an exception set
// at the first failure; conversion failures carry a note naming the
// parameter. May throw std::bad_alloc.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Args& out);

}  // namespace tonalis::py
