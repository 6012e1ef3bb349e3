"""Command-line options turned into dithering settings, through `tonalis_tools.dither`'s."""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import re
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ..devices.channels import device_levels
from ..devices.fit import FIT_MODES, panel_size
from ..devices.pack import ESCPOS_MAX_ROWS, MAX_ALIGN, FormatTarget, dither_target
from ..devices.printer import flatten
from ..front import check_method, default_profile, matrix_names
from ..front import settings as front_settings
from ..io.imagefile import (
    load_image,
)
from ..matrices.halftone import halftone_matrix, screen
from ..names import normalize_name
from ..palettes.palette_files import PALETTE_EXTENSIONS, load_palette_file
from ..palettes.presets import parse_palette, preset
from ..palettes.profiles import Profile
from ..palettes.recolor import panel_palette
from ..pipeline import DitherSettings, blue_noise_size, load_matrix
from ..tone import ToneSettings
from .parser import DEFAULT_COMPARE, DEFAULT_METHOD, T, UsageError

#: The widest --width: beyond any printer's or panel's line, and a bound on
#: what a fit may allocate.
MAX_WIDTH = 65536


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    text = (str(exc) or type(exc).__name__).splitlines()[0]
    # Pillow names an in-memory source by its repr ("<_io.BytesIO object at
    # 0x...>"), which tells the reader nothing.
    return re.sub(r" ?<[\w.]+ object at 0x[0-9a-fA-F]+>", "", text)


def _looks_like_file(text: str) -> bool:
    return os.sep in text or "/" in text or Path(text).suffix.lower() in PALETTE_EXTENSIONS


def _palette_argument(text: str, option: str = "--palette") -> list[str]:
    candidate = Path(text)
    try:
        if candidate.is_file():
            return load_palette_file(candidate)
        if _looks_like_file(text) and "," not in text and " " not in text:
            raise UsageError(f"palette file {text!r} does not exist")
        return parse_palette(text)
    except OSError as exc:
        raise UsageError(f"cannot read palette file {text!r}: {_reason(exc)}") from None
    except ValueError as exc:
        raise UsageError(f"{option}: {exc}") from None


def _matrix_argument(text: str) -> str | int | np.ndarray:
    if blue_noise_size(text) is not None or screen(text) is not None:
        return text
    key = normalize_name(text)
    if key.startswith("bayer") or key.isdigit():
        return int(key) if key.isdigit() else text
    if not os.path.exists(text):
        names = ", ".join(matrix_names())
        raise UsageError(f"--matrix {text!r} is neither a matrix name ({names}) nor a file")
    try:
        return load_matrix(text)
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read matrix file {text!r}: {_reason(exc)}") from None


def _check_method(name: str) -> None:
    """Reject a method no engine knows, naming the closest one."""
    try:
        check_method(name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _refinements(args: argparse.Namespace) -> tuple[float | None, npt.NDArray[np.uint8] | None]:
    """--error-limit and --mask, checked: the limit, and the mask as uint8 strengths."""
    limit = args.error_limit
    if limit is not None and not limit >= 0:
        raise UsageError(f"--error-limit must be a number >= 0, got {limit:g}")
    if args.mask is None:
        return limit, None
    try:
        mask = np.asarray(load_image(args.mask).convert("L"))
    except (OSError, ValueError) as exc:
        raise UsageError(f"cannot read --mask {args.mask!r}: {_reason(exc)}") from None
    return limit, mask


def _screen_argument(text: str) -> np.ndarray:
    """The matrix of '--screen SHAPE[:CELL[:ANGLE[:GAIN]]]'."""
    fields = text.split(":")
    numbers: list[float] = []
    try:
        numbers = [float(field) for field in fields[1:]]
    except ValueError:
        pass
    if len(fields) > 4 or len(numbers) != len(fields) - 1:
        raise UsageError(
            f"--screen {text!r}: expected SHAPE[:CELL[:ANGLE[:GAIN]]] with numbers "
            "for cell, angle and gain, e.g. 'round:8:45'"
        )
    cell, angle, gain = (numbers + [8.0, 45.0, 0.0][len(numbers) :])[:3]
    shape: Any = fields[0]  # checked by halftone_matrix
    try:
        return halftone_matrix(cell, angle, shape, gain)
    except ValueError as exc:
        raise UsageError(f"--screen {text!r}: {exc}") from None


def _levels_argument(text: str) -> int | tuple[int, ...]:
    """'4' -> 4, '32,64,32' -> (32, 64, 32), 'rgb565' -> (32, 64, 32)."""
    if "," in text:
        try:
            return tuple(int(field) for field in text.split(","))
        except ValueError:
            raise UsageError(
                f"--levels {text!r}: expected whole numbers separated by commas, e.g. '32,64,32'"
            ) from None
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return device_levels(text)
    except ValueError as exc:
        raise UsageError(f"--levels {text!r} is not a number of levels, and {exc}") from None


def _named(lookup: Callable[[str], T], name: str) -> T:
    """`lookup(name)`, its ValueError (an unknown name) reported as a usage error."""
    try:
        return lookup(name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _resolve_palette(args: argparse.Namespace) -> tuple[list[str] | None, list[str] | None]:
    """The palette to dither to, and the one to write instead (or None)."""
    display = None
    if args.display_palette is not None:
        if args.palette is None and args.preset is None:
            raise UsageError(
                "--display-palette replaces the colours of --palette or --preset; give one of them"
            )
        display = _palette_argument(args.display_palette, "--display-palette")
    if args.panel is not None:
        measured = _named(panel_palette, args.panel)
        driver = panel_palette(args.panel, measured=False)
        return measured, (driver if driver != measured else None)
    palette = None
    if args.palette is not None:
        palette = _palette_argument(args.palette)
    elif args.preset is not None:
        palette = _named(preset, args.preset)
    if display is not None and palette is not None and len(display) != len(palette):
        raise UsageError(
            f"--display-palette has {len(display)} colours and the palette "
            f"{len(palette)}; they pair up by index"
        )
    return palette, display


def _tone(args: argparse.Namespace) -> ToneSettings | None:
    given = {
        name: getattr(args, name)
        for name in ("gamma", "brightness", "contrast", "s_curve", "dot_gain")
        if getattr(args, name) is not None
    }
    if args.auto_levels:
        given["auto_levels"] = True
    if not given:
        return None
    for name, value in given.items():
        try:
            ToneSettings(**{name: value}).check()
        except ValueError as exc:
            raise UsageError(f"--{name.replace('_', '-')} {value:g}: {exc}") from None
    return ToneSettings(**given)


def _viewing(text: str | None) -> tuple[float, float] | None:
    """--viewing INCHES,DPI as the pair `settings` takes."""
    if text is None:
        return None
    parts = text.split(",")
    try:
        if len(parts) != 2:
            raise ValueError
        inches, dpi = float(parts[0]), float(parts[1])
    except ValueError:
        raise UsageError(f"--viewing takes INCHES,DPI such as 16,127; got {text!r}") from None
    return inches, dpi


def _ink_bits_argument(text: str) -> tuple[int, int]:
    """'0,1' -> (0, 1): the ink bit of the black plane and of the colour plane."""
    fields = [field.strip() for field in text.split(",")]
    if len(fields) != 2 or any(field not in ("0", "1") for field in fields):
        raise UsageError(
            f"--ink-bits {text!r}: expected two bits, the black plane's and the colour "
            "plane's, e.g. '0,1'"
        )
    return int(fields[0]), int(fields[1])


def _printing(args: argparse.Namespace) -> None:
    """--width, --size, --fit, --rotate and --background, checked; --size parsed
    and --fit given its default for the one of --width and --size given."""
    if args.width is not None and not 1 <= args.width <= MAX_WIDTH:
        raise UsageError(f"--width must be from 1 to {MAX_WIDTH} dots, got {args.width}")
    if args.width is not None and args.size is not None:
        raise UsageError("--width fits a printer's line, --size a panel's pixels; pass one of them")
    if isinstance(args.size, str):
        try:
            args.size = panel_size(args.size)
        except ValueError as exc:
            raise UsageError(f"--size: {exc}") from None
        if args.size[0] > MAX_WIDTH or args.size[1] > MAX_WIDTH:
            raise UsageError(
                f"--size must be at most {MAX_WIDTH} x {MAX_WIDTH}, "
                f"got {args.size[0]} x {args.size[1]}"
            )
    if args.fit is None:
        args.fit = "cover" if args.size is not None else "shrink"
    if args.fit in FIT_MODES and args.size is None:
        raise UsageError(f"--fit {args.fit} says how to meet --size; give --size too")
    if args.fit != "shrink" and args.fit not in FIT_MODES and args.width is None:
        raise UsageError(f"--fit {args.fit} says how to meet --width; give --width too")
    if args.rotate is not None and args.size is None:
        raise UsageError("--rotate turns the image to fit --size; give --size too")
    if args.background is not None:
        try:
            flatten(np.zeros((1, 1, 2), np.uint8), args.background)
        except ValueError as exc:
            raise UsageError(f"--background: {exc}") from None
    if (
        args.width is not None or args.size is not None or args.background is not None
    ) and args.compare:
        raise UsageError("--width, --size and --background prepare one output; not for --compare")


def _pack_target(args: argparse.Namespace) -> FormatTarget | None:
    _printing(args)
    if args.pack is None:
        if args.ink_bits is not None:
            raise UsageError("--ink-bits sets the planes of --pack bwr or bwy; it needs --pack")
        return None
    target = _named(dither_target, args.pack)
    if args.compare:
        raise UsageError("--pack writes one file per input; it does not go with --compare")
    if not 1 <= args.align <= MAX_ALIGN:
        raise UsageError(f"--align must be from 1 to {MAX_ALIGN} bytes, got {args.align}")
    if args.band_height is not None and not 1 <= args.band_height <= ESCPOS_MAX_ROWS:
        raise UsageError(
            f"--band-height must be between 1 and {ESCPOS_MAX_ROWS} rows (the most "
            f"one GS v 0 command holds), got {args.band_height}"
        )
    if args.invert and isinstance(target.levels, tuple):
        raise UsageError(f"--invert flips bits of the bit formats, not of {target.name!r}")
    if args.ink_bits is not None:
        if target.name not in ("bwr", "bwy"):
            raise UsageError(f"--ink-bits sets the planes of bwr and bwy, not of {target.name!r}")
        _ink_bits_argument(args.ink_bits)
    return target


def _maps(args: argparse.Namespace, profile: Profile) -> tuple[float, float]:
    """The shares of the lightness and chroma map: given, off, or the profile's."""
    shares = []
    for name, own in (("lightness_map", profile.lightness), ("chroma_map", profile.chroma)):
        given = getattr(args, name)
        option = "--" + name.replace("_", "-")
        if given is not None:
            if args.prepare is False:
                raise UsageError(f"--no-prepare and {option} exclude each other; pass one")
            if not 0.0 <= given <= 1.0:
                raise UsageError(f"{option} must be a share from 0 to 1, got {given:g}")
            shares.append(float(given))
        elif args.exact or args.prepare is False:
            shares.append(0.0)
        else:
            shares.append(own)
    return shares[0], shares[1]


def _methods(args: argparse.Namespace) -> list[str]:
    if args.compare:
        text = args.method or DEFAULT_COMPARE
        methods = [m.strip() for m in text.split(",") if m.strip()]
        if not methods:
            raise UsageError("--method lists no method")
        return methods
    if args.method is not None and "," in args.method:
        raise UsageError("several methods need --compare")
    return [args.method or DEFAULT_METHOD]


def _settings(args: argparse.Namespace) -> tuple[list[str], list[DitherSettings]]:
    """The column labels and checked, resolved settings: one, or one per --compare column."""
    matrix = _matrix_argument(args.matrix) if args.matrix is not None else None
    if args.screen is not None:
        matrix = _screen_argument(args.screen)
    matrix_label = args.matrix if args.matrix is not None else f"screen {args.screen}"
    levels = _levels_argument(args.levels) if args.levels is not None else None
    palette, display = _resolve_palette(args)
    methods = _methods(args)
    for method in methods:
        _check_method(method)
    gray = args.gray
    target = _pack_target(args)
    if target is not None:
        chosen = palette is not None or levels is not None or args.colors is not None
        if target.gray and palette is None and args.colors is None:
            gray = True
        if not chosen:
            levels, palette = target.levels, target.palette
        if target.levels is None and palette is None and args.colors is None:
            raise UsageError(
                f"--pack {target.name} writes palette indices: give the palette in "
                "index order with --palette, --preset or --panel"
            )

    tone = _tone(args)
    error_limit, mask = _refinements(args)
    if args.alpha_threshold is not None and not 0 <= args.alpha_threshold <= 255:
        raise UsageError(f"--alpha-threshold must be from 0 to 255, got {args.alpha_threshold}")
    # A palette fitted to each image (--colors) spans its tones already, and
    # --exact is tonalis's own dither.
    luminance = {"on": True, "off": False}.get(
        args.luminance, False if args.colors is not None or args.exact else None
    )

    def make(method: str, matrix: str | int | np.ndarray | None) -> DitherSettings:
        # What is not given comes from the palette's profile (the preset's or
        # panel's own), or with --exact from tonalis.
        profile = Profile()
        if not args.exact:
            profile = default_profile(
                method,
                matrix=matrix,
                palette=palette,
                preset=args.preset,
                panel=args.panel,
                levels=levels,
                adaptive=args.colors is not None,
            )
        limit = profile.error_limit if error_limit is None else error_limit
        lightness, chroma = _maps(args, profile)
        # With --colors each image brings its own palette; check with a stand-in.
        try:
            made = front_settings(
                method,
                levels=levels,
                palette=palette if args.colors is None else ["#000", "#fff"],
                serpentine=profile.serpentine if args.serpentine is None else args.serpentine,
                seed=args.seed,
                sigma=args.sigma,
                viewing=_viewing(args.viewing),
                passes=args.passes,
                swaps=args.swaps,
                opponent=args.opponent,
                strength=args.strength,
                linear=profile.linear if args.linear is None else args.linear,
                preserve_alpha=args.preserve_alpha,
                matrix=matrix,
                gray=gray,
                tone=tone,
                display_palette=display,
                error_limit=math.inf if limit is None else limit,
                mask=mask,
                distance=profile.distance if args.distance is None else args.distance,
                luminance=luminance,
                alpha_threshold=args.alpha_threshold,
                lightness_map=lightness,
                chroma_map=chroma,
                gray_photos=False if args.exact else args.gray_photos,
            )
        except (TypeError, ValueError, OverflowError) as exc:
            raise UsageError(str(exc)) from None
        return made if args.colors is None else dataclasses.replace(made, palette=None)

    if not args.preserve_alpha and (palette is not None or args.colors is not None):
        raise UsageError(
            "--no-preserve-alpha dithers alpha to the levels; with a palette alpha "
            "is kept as it is: leave it out, or dither to --levels"
        )
    if args.compare:
        labels = list(methods)
        settings = [make(m, None) for m in methods]
        if matrix is not None:
            labels.append(f"matrix {matrix_label}")
            settings.append(make("ordered", matrix))
    else:
        labels = methods
        settings = [make(methods[0], matrix)]
    return labels, settings
