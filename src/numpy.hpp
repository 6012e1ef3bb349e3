// numpy's C API for the module face; the table itself is loaded by ensure_numpy().
#pragma once

#include "pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tonalis_ARRAY_API
#ifndef TONALIS_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
