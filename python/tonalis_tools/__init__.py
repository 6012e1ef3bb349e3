"""Companions to the tonalis dithering module: palette presets, blue-noise
matrices, file pipelines, the `tonalis` command and its gallery.

Laid out by concern: `palettes` (presets, palette files, colour names,
panels), `matrices` (blue noise, halftone screens), `devices` (per-channel
levels, device formats), `io` (image files, encoding, animations),
`calibrate` (a panel's colours measured from a photograph of a chart) and
`batch` (output planning, Dask). The modules keep their former names too
(`tonalis_tools.presets` is `tonalis_tools.palettes.presets`).

tonalis itself is the C++ extension. This package is Python around it and
around a second compiled module of its own, `tonalis_tools._engines`, which
holds the refined engines and the added algorithms. `dither` is the one call
for every method and option; the functions it chooses between stay
available for finer control.
"""

from __future__ import annotations

import tonalis

# The moved modules under their former names. `pack` and `recolor` stay the
# functions; their modules are loaded before the functions are bound, so that
# importing them later does not put the modules in the functions' place.
from . import animation as animation
from . import bluenoise as bluenoise
from . import calibrate as calibrate
from . import channels as channels
from . import colour_names as colour_names
from . import encoding as encoding
from . import halftone as halftone
from . import imagefile as imagefile
from . import pack as _pack_module  # noqa: F401
from . import palette_files as palette_files
from . import planner as planner
from . import presets as presets
from . import recolor as _recolor_module  # noqa: F401
from .algorithms import pattern_dither, riemersma, variable_diffuse
from .dbs import dbs
from .devices.channels import DEVICE_LEVELS, device_levels, dither_channels
from .devices.fit import FIT_MODES, PANEL_SIZES, fit_image, panel_size
from .devices.pack import (
    FORMATS,
    FormatTarget,
    c_header,
    dither_target,
    pack,
    parse_c_header,
    unpack,
)
from .extras import DISTANCES, diffuse, ordered, random, random_dither
from .front import dither, method_names
from .io.pixelart import binary_alpha, upscale
from .matrices.bluenoise import blue_noise_matrix, blue_noise_ranks
from .matrices.halftone import SCREENS, halftone_matrix, screen, screen_names
from .palettes.gamut import prepare as prepare_for_palette
from .palettes.neutral import is_gray_photo, neutral_indices
from .palettes.palette_files import (
    PALETTE_EXTENSIONS,
    format_palette,
    load_palette_file,
    palette_holds_comments,
    parse_palette_data,
    read_palette,
    write_palette,
)
from .palettes.presets import PRESETS, adaptive_palette, parse_palette, preset, preset_names
from .palettes.recolor import PANELS, panel_names, panel_palette, recolor
from .pipeline import (
    DitherSettings,
    apply,
    dither_file,
    dither_frames,
    load_image,
    load_matrix,
    save_image,
)
from .tone import LuminanceRamp, ToneSettings, is_one_hue, palette_luma, tone, tone_curve

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
    "palette_holds_comments",
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
    "LuminanceRamp",
    "binary_alpha",
    "is_one_hue",
    "palette_luma",
    "upscale",
    "dbs",
    "FIT_MODES",
    "PANEL_SIZES",
    "fit_image",
    "panel_size",
    "prepare_for_palette",
    "is_gray_photo",
    "neutral_indices",
]
