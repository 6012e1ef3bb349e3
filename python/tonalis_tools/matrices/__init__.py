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
    """The ordered-dither matrix names: Bayer, blue noise and halftone screens.

    Returns:
        A new list: tonalis's Bayer names, 'bluenoise16' to 'bluenoise64',
        then the screens of `SCREENS`.

    Examples:
        >>> matrix_names()[:5]
        ['bayer2x2', 'bayer4x4', 'bayer8x8', 'bayer16x16', 'bluenoise16']
    """
    return (
        tonalis.available_matrices() + [f"bluenoise{n}" for n in BLUE_NOISE_SIZES] + list(SCREENS)
    )


def named_matrix(matrix: Any) -> Any:
    """A blue-noise or halftone screen name turned into its matrix; other
    values (Bayer names and sizes, arrays, None) as given.

    Args:
        matrix: a matrix name, a Bayer size, an array or None.

    Returns:
        A float64 threshold matrix for a blue-noise or screen name, else
        `matrix` itself (tonalis takes those).

    Examples:
        >>> named_matrix("bluenoise16").shape
        (16, 16)
        >>> named_matrix("bayer4x4")
        'bayer4x4'
    """
    if not isinstance(matrix, str):
        return matrix
    size = blue_noise_size(matrix)
    if size is not None:
        return blue_noise_matrix(size)
    found = screen(matrix)
    return found if found is not None else matrix
