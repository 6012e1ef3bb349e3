// numpy's C API table, loaded once by the exec step.
#define TONALIS_DEFINE_NUMPY_API
#include "numpy.hpp"

#include <numpy/npy_2_compat.h>

namespace tonalis::py {

bool load_numpy() noexcept {
    return PyArray_ImportNumPyAPI() == 0;
}

}  // namespace tonalis::py
