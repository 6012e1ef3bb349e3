"""Ordered-dither matrices by name: tonalis's Bayer matrices, the blue-noise
matrices and the halftone screens."""

from __future__ import annotations

from typing import Any

import tonalis

from .bluenoise import SIZES as BLUE_NOISE_SIZES
from .bluenoise import blue_noise_matrix, blue_noise_size
from .halftone import SCREENS, screen

__all__ = ["matrix_names", "named_matrix"]


def matrix_names() -> list[str]:
    """The ordered-dither matrix names: Bayer, blue noise and halftone screens."""
    return (
        tonalis.available_matrices() + [f"bluenoise{n}" for n in BLUE_NOISE_SIZES] + list(SCREENS)
    )


def named_matrix(matrix: Any) -> Any:
    """A blue-noise or halftone screen name turned into its matrix; other
    values (Bayer names and sizes, arrays, None) as given."""
    if not isinstance(matrix, str):
        return matrix
    size = blue_noise_size(matrix)
    if size is not None:
        return blue_noise_matrix(size)
    found = screen(matrix)
    return found if found is not None else matrix
