"""Companions to the tonalis dithering module: palette presets, blue-noise
matrices, file pipelines, the `tonalis` command and its gallery.

tonalis itself is the C++ extension; this package is pure Python and only
uses its public functions.
"""

from __future__ import annotations

import tonalis

from .bluenoise import blue_noise_matrix, blue_noise_ranks
from .pipeline import DitherSettings, apply, dither_file, load_image, load_matrix, save_image
from .presets import PRESETS, adaptive_palette, parse_palette, preset, preset_names

__version__: str = tonalis.__version__

__all__ = [
    "__version__",
    "DitherSettings",
    "PRESETS",
    "adaptive_palette",
    "apply",
    "blue_noise_matrix",
    "blue_noise_ranks",
    "dither_file",
    "load_image",
    "load_matrix",
    "parse_palette",
    "preset",
    "preset_names",
    "save_image",
]
