// The finished working image handed back as a new array, or a PIL image for PIL input.
#pragma once

#include "image.hpp"
#include "intake.hpp"
#include "pyref.hpp"

namespace tonalis::py {

// Wraps img's buffer, without copying it, as a C-contiguous writeable uint8
// array of the input's shape (2-D or 3-D as `origin` says) whose base
// object owns the buffer; for PIL input, passes that array to
// PIL.Image.fromarray. Consumes img whatever the outcome. A new reference,
// or nullptr with an exception set.
PyObject* into_output(Img img, const Origin& origin) noexcept;

}  // namespace tonalis::py
