"""Companions to the tonalis dithering module: palette presets, blue-noise
matrices, file pipelines, the `tonalis` command and its gallery.

tonalis itself is the C++ extension. This package is Python around it and
around a second compiled module of its own, `tonalis_tools._engines`, which
holds the refined engines and the added algorithms. `dither` is the one call
for every method and option; the functions it chooses between stay
available for finer control.
"""

from __future__ import annotations

import tonalis

from .algorithms import pattern_dither, riemersma, variable_diffuse
from .animation import dither_frames
from .bluenoise import blue_noise_matrix, blue_noise_ranks
from .channels import DEVICE_LEVELS, device_levels, dither_channels
from .extras import DISTANCES, diffuse, ordered, random, random_dither
from .front import dither, method_names
from .halftone import SCREENS, halftone_matrix, screen, screen_names
from .pack import FORMATS, FormatTarget, c_header, dither_target, pack, parse_c_header, unpack
from .palette_files import (
    PALETTE_EXTENSIONS,
    format_palette,
    load_palette_file,
    parse_palette_data,
    read_palette,
    write_palette,
)
from .pipeline import DitherSettings, apply, dither_file, load_image, load_matrix, save_image
from .presets import PRESETS, adaptive_palette, parse_palette, preset, preset_names
from .recolor import PANELS, panel_names, panel_palette, recolor
from .tone import ToneSettings, tone, tone_curve

__version__: str = tonalis.__version__

__all__ = [
    "__version__",
    "dither",
    "method_names",
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
    "DEVICE_LEVELS",
    "FORMATS",
    "SCREENS",
    "FormatTarget",
    "ToneSettings",
    "c_header",
    "device_levels",
    "dither_target",
    "dither_channels",
    "halftone_matrix",
    "pack",
    "parse_c_header",
    "screen",
    "screen_names",
    "tone",
    "tone_curve",
    "unpack",
    "PALETTE_EXTENSIONS",
    "PANELS",
    "format_palette",
    "load_palette_file",
    "panel_names",
    "panel_palette",
    "parse_palette_data",
    "read_palette",
    "recolor",
    "write_palette",
    "DISTANCES",
    "diffuse",
    "ordered",
    "random",
    "random_dither",
    "dither_frames",
    "pattern_dither",
    "riemersma",
    "variable_diffuse",
]
