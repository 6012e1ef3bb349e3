// The environment switches TONALIS_ISA and TONALIS_NUM_THREADS, read once by the exec step.
#pragma once

namespace tonalis::py {

// Reads the switches and sets the engines' ceilings from them:
//
// - TONALIS_ISA: baseline, avx2 or avx512 (any case), the widest
//   instruction set the engines may use; one the processor lacks means the
//   widest it has;
// - TONALIS_NUM_THREADS: a whole number from 1 up, the most threads one
//   call may use (1: none besides the caller's), up to max_workers even
//   beyond the processors.
//
// Neither changes an output byte. Unset or empty means the default; any
// other value is ignored with a RuntimeWarning that names it, given by the
// first of the compiled modules to load (once per interpreter). 0, or -1
// with an exception set when a warning filter turned the warning into an
// error. May throw std::bad_alloc.
int apply_switches();

}  // namespace tonalis::py
