"""Calls the stubs must reject; each line marked `# E: code` must give that
mypy error, and no other line any (tools/typecheck.py)."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
from PIL import Image

import tonalis

gray = np.zeros((4, 4), dtype=np.uint8)

tonalis.dither(gray, "fs", 4)  # E: call-overload
tonalis.dither(gray, levels="4")  # E: call-overload
tonalis.dither(gray, colours=4)  # E: call-overload
tonalis.random_dither(gray, "random")  # E: call-overload
tonalis.error_diffusion(gray, seed=1)  # E: call-overload
tonalis.ordered_dither(gray, serpentine=True)  # E: call-overload
tonalis.dither(gray, serpentine=1)  # E: call-overload
as_image: Image.Image = tonalis.dither(gray)  # E: assignment
as_array: npt.NDArray[np.uint8] = tonalis.dither(Image.new("L", (4, 4)))  # E: assignment
methods: list[int] = tonalis.available_methods()  # E: assignment
tonalis.__version__ = "1.0"  # E: misc
