// The dither operations behind the module functions: resolve, prepare, run detached, output.
#pragma once

#include "binding.hpp"

namespace tonalis::py {

// Each returns a new reference (the result array or PIL image) or nullptr
// with an exception set. May throw std::bad_alloc.
PyObject* error_diffusion_op(const Args& args);
PyObject* ordered_dither_op(const Args& args);
PyObject* random_dither_op(const Args& args);
PyObject* dither_op(const Args& args);

PyObject* available_methods_op();
PyObject* available_matrices_op();

}  // namespace tonalis::py
