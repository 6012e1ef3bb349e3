// The fence at every entry point: nothing thrown below may unwind into the interpreter.
#pragma once

#include <new>
#include <stdexcept>

#include "pyref.hpp"

namespace tonalis::py {

// Runs body and returns its result; anything it throws becomes a Python
// exception and the failure value.
template <class F>
auto guarded(F&& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "tonalis: out of memory");
    } catch (const std::length_error&) {
        // A container asked for more than the address space holds: on 32-bit
        // processors a large enough matrix or image gets here before any
        // allocation fails.
        PyErr_SetString(PyExc_MemoryError, "tonalis: out of memory");
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tonalis: unexpected internal error");
    }
    return failure;
}

}  // namespace tonalis::py
