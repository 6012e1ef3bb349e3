"""The `tonalis` command: dither image files, compare methods, write the gallery."""

from __future__ import annotations

import argparse
import dataclasses
import glob
import importlib.util
import io
import os
import queue
import re
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future
from contextlib import contextmanager
from pathlib import Path
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, NoReturn, TypeVar

import numpy as np
import numpy.typing as npt

import tonalis

from .algorithms import ALGORITHMS
from .channels import DEVICE_LEVELS, device_levels
from .extras import DISTANCES
from .front import check_method, matrix_names
from .front import settings as front_settings
from .gallery import build_gallery
from .halftone import SCREENS, SHAPES, halftone_matrix, screen
from .imagefile import (
    Frames,
    WriteGuard,
    is_lossy,
    load_frames,
    load_image,
    make_folder,
    output_format,
    save_bytes,
    save_frames,
)
from .names import normalize_name
from .pack import FORMATS, MAX_ALIGN, FormatTarget, c_header, dither_target, pack
from .palette_files import PALETTE_EXTENSIONS, load_palette_file
from .pipeline import DitherSettings, blue_noise_size, dither_frames, load_matrix
from .planner import OutputClash, file_identity, plan_outputs
from .presets import PRESETS, adaptive_palette, parse_palette, preset
from .recolor import PANELS, panel_palette
from .sheet import contact_sheet, shrink_to_width
from .tone import ToneSettings

if TYPE_CHECKING:
    from PIL import Image

EXIT_OK = 0
EXIT_FAILED = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_TERMINATED = 128 + signal.SIGTERM

STDIO = "-"
DEFAULT_METHOD = "floyd_steinberg"
DEFAULT_COMPARE = "floyd_steinberg,atkinson,jarvis_judice_ninke,bayer8x8,bluenoise64,random"

EXAMPLES = """\
examples:
  tonalis photo.jpg -o photo-bw.png --gray           black and white
  tonalis photo.jpg -o photo-8.png                   each channel black or full: 8 colours
  tonalis photo.jpg -o out.png -m atkinson --levels 4
  tonalis photo.jpg -o out.png --preset pico8 --serpentine
  tonalis photo.jpg -o out.png --palette "black,white,#f00" -m bayer8x8
  tonalis photo.jpg -o out.png --colors 8            adaptive palette of 8 colours
  tonalis photo.jpg -o out.png --matrix bluenoise64  ordered dither, blue noise
  tonalis photo.jpg -o out.png --gray --screen round:6:45 --gamma 1.25
                                                     clustered-dot halftone for a laser printer
  tonalis photo.jpg -o out.png --levels rgb565       per-channel levels of a TFT panel
  tonalis photo.jpg -o out.bin --panel spectra6 --pack index4
                                                     measured colours, driver indices
  tonalis label.png -o label.h --pack mono --invert  1-bit rows as a C array
  tonalis anim.gif -o out.gif --matrix bluenoise64   every frame, timing kept
  tonalis shots/ 'more/*.tif' -o dithered/ --format png -j 2
  tonalis - -o - --gray < in.png > out.png           standard input and output
  tonalis photo.jpg --compare -m fs,atkinson,bayer8x8,bluenoise64 -o sheet.png
  tonalis demo gallery                               write the gallery of every family
  tonalis --list                                     methods, matrices and presets

Method names are loose: case does not matter and '-', '_' and spaces may be
used or left out ('Floyd-Steinberg', 'fs', 'sierra 2'). Results are written
losslessly in their smallest form (1-bit, or a palette of 2 to 256 colours).
Exit status: 0 on success; 2 when an option, a preset or an input is bad, or
a file could not be read or written (every other file of a batch is still
done); 130 on Ctrl-C and 143 on SIGTERM (finished files are kept, nothing is
left half-written).
"""

COMMANDS = ("dither", "demo")
TOP_LEVEL = ("--version", "--list")


class UsageError(Exception):
    """A bad option or input: reported as one line, exit status 2."""


class FileError(Exception):
    """One file of a batch could not be read, dithered or written."""


class Terminated(Exception):
    """SIGTERM arrived: stop like Ctrl-C does."""


class Cancelled(Exception):
    """The batch is stopping; this file was not started or not finished."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see tonalis --help)")


def _build_parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The top-level parser, which knows the commands, and the `dither` parser."""
    root = _Parser(prog="tonalis", add_help=False)
    root.add_argument("--version", action="version", version=f"tonalis {tonalis.__version__}")
    root.add_argument(
        "--list",
        action="store_true",
        help="list the methods, matrices and palette presets, and exit",
    )
    commands = root.add_subparsers(dest="command", metavar="COMMAND")

    parser = commands.add_parser(
        "dither",
        prog="tonalis",
        usage="tonalis [dither] INPUT... -o OUTPUT [options]\n"
        "       tonalis demo OUTDIR\n"
        "       tonalis --list | --version",
        description="Dither 8-bit images: error diffusion, ordered and random dither,\n"
        "to gray levels or to a palette. Reads every format Pillow handles, every frame\n"
        "of an animation, and writes results losslessly. Batches run on a thread pool.",
        help="dither image files (the default command)",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "inputs",
        nargs="*",
        metavar="INPUT",
        help="image files, directories of images, glob patterns, or '-' for standard input",
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUTPUT",
        help="output file for one input ('-' for standard output); a directory "
        "for several (created, file names kept); the sheet file with --compare",
    )

    how = parser.add_argument_group("dithering")
    how.add_argument(
        "-m",
        "--method",
        default=None,
        metavar="NAME",
        help="error-diffusion kernel, 'bayerNxN', 'bluenoise16/32/64', 'random', "
        "'pattern' (with a palette; --matrix picks its matrix), 'riemersma', "
        "'ostromoukhov' or 'zhou_fang' (levels only) "
        f"(default {DEFAULT_METHOD}); with --compare a comma-separated list",
    )
    matrices = how.add_mutually_exclusive_group()
    matrices.add_argument(
        "--matrix",
        metavar="NAME|FILE",
        help="ordered dither with this matrix: 'bayer2x2'..'bayer16x16', "
        "'bluenoise16/32/64', a halftone screen ('halftone45', 'line0', see "
        "--list), or a .npy or text file (whole numbers = indices, decimals = "
        "thresholds in [0, 1])",
    )
    matrices.add_argument(
        "--screen",
        metavar="SHAPE[:CELL[:ANGLE[:GAIN]]]",
        help=f"ordered dither with a clustered-dot halftone screen: shape "
        f"({', '.join(SHAPES)}), cell in pixels (2..32, default 8), angle in "
        "degrees (default 45), dot-gain compensation (0..0.25, default 0); "
        "e.g. 'round:8:45', 'line:6:0'",
    )
    how.add_argument(
        "--serpentine",
        action="store_true",
        help="error diffusion: alternate the scan direction every row",
    )
    how.add_argument(
        "--strength",
        type=float,
        default=1.0,
        metavar="S",
        help="dithering strength in [0, 1]; 0 = plain quantization (default 1)",
    )
    how.add_argument("--linear", action="store_true", help="work in linear light")
    how.add_argument(
        "--seed",
        type=int,
        default=None,
        metavar="N",
        help="random dither: seed for reproducible output",
    )
    how.add_argument(
        "--no-preserve-alpha",
        dest="preserve_alpha",
        action="store_false",
        help="dither the alpha channel of LA/RGBA images too (to --levels; a "
        "palette keeps alpha as it is)",
    )
    how.add_argument(
        "--gray",
        "--grey",
        action="store_true",
        help="turn colour images gray first: with 2 levels, black and white",
    )
    how.add_argument(
        "--error-limit",
        type=float,
        default=None,
        metavar="L",
        help="error diffusion: clamp each working value to [-L, 255 + L] so "
        "colours a small palette cannot reach do not bleed (e.g. 16)",
    )
    how.add_argument(
        "--mask",
        default=None,
        metavar="FILE",
        help="per-pixel strength: a grayscale image of the input's size, white = "
        "full dither, black = none (keeps text and lines sharp)",
    )
    how.add_argument(
        "--stable",
        action="store_true",
        help="animations: keep each error-diffused pixel from the frame before "
        "while its input barely changes (no flicker)",
    )
    how.add_argument(
        "--distance",
        default="rgb",
        choices=DISTANCES,
        help="how palette colours are matched: rgb (default), luma (linear light "
        "weighted by luminance) or oklab",
    )

    colours = parser.add_argument_group("levels and palettes (pick one)")
    pick = colours.add_mutually_exclusive_group()
    pick.add_argument(
        "--levels",
        default=None,
        metavar="N|N,N,N|FORMAT",
        help="levels per channel, 2..256 (default 2: black or full per channel); "
        "one count per channel ('32,64,32'), or a device colour format "
        f"({', '.join(DEVICE_LEVELS)})",
    )
    pick.add_argument(
        "--palette",
        metavar="COLOURS|FILE",
        help="colours separated by commas or spaces, as hex or CSS names "
        "('#000,white,#f00'), or a file: a list of them, or a palette file "
        f"({', '.join(PALETTE_EXTENSIONS)})",
    )
    pick.add_argument("--preset", metavar="NAME", help="a named palette, see --list")
    pick.add_argument(
        "--panel",
        metavar="NAME",
        help="a colour e-paper panel (see --list): dither against the colours it "
        "shows, write the colours its driver takes",
    )
    pick.add_argument(
        "--colors",
        "--colours",
        type=int,
        default=None,
        metavar="N",
        help="an adaptive palette of N colours fitted to each image (median cut)",
    )

    colours.add_argument(
        "--display-palette",
        metavar="COLOURS|FILE",
        help="with --palette or --preset: write these colours instead, by "
        "palette index (the same number of colours)",
    )

    tone = parser.add_argument_group("tone, applied before dithering")
    tone.add_argument(
        "--gamma",
        type=float,
        metavar="G",
        help="gamma, 0.05..20: above 1 lightens the midtones (1.25 for a printer "
        "that prints too dark)",
    )
    tone.add_argument("--brightness", type=float, metavar="B", help="added brightness, -1..1")
    tone.add_argument("--contrast", type=float, metavar="C", help="contrast, -1..1 (0 = as is)")
    tone.add_argument(
        "--auto-levels",
        action="store_true",
        help="stretch the darkest and lightest tones to black and white",
    )
    tone.add_argument(
        "--s-curve", type=float, metavar="S", help="S-curve strength, 0..1: steeper midtones"
    )
    tone.add_argument(
        "--dot-gain",
        type=float,
        metavar="D",
        help="compensate a printer's dot gain, 0..0.25 (0.15: a half-covered "
        "area prints 15%% darker)",
    )

    device = parser.add_argument_group("device bytes")
    device.add_argument(
        "--pack",
        metavar="FORMAT",
        help="write the result as the bytes of a device format (see --list): "
        "a raw file, or a C array when OUTPUT ends in .h or .c; sets the "
        "dithering the format needs unless levels or a palette are given",
    )
    device.add_argument(
        "--bit-order",
        choices=("msb", "lsb"),
        default="msb",
        help="bit formats: leftmost pixel in the high (msb, default) or low bits",
    )
    device.add_argument(
        "--invert", action="store_true", help="with --pack, bit formats: flip every bit"
    )
    device.add_argument(
        "--byte-order",
        choices=("little", "big"),
        default="little",
        help="rgb565: byte order of the 16-bit words (default little)",
    )
    device.add_argument(
        "--align",
        type=int,
        default=1,
        metavar="BYTES",
        help="bit formats: pad every row to a multiple of BYTES (default 1)",
    )
    device.add_argument(
        "--band-height",
        type=int,
        default=None,
        metavar="ROWS",
        help="escpos: at most ROWS rows per raster command",
    )

    files = parser.add_argument_group("files")
    files.add_argument(
        "--format",
        metavar="EXT",
        help="output format by suffix (png, gif, webp, tif, ...) for a directory "
        "output or standard output (default: each input's own, PNG for JPEG "
        "inputs and standard output)",
    )
    files.add_argument(
        "-r",
        "--recursive",
        action="store_true",
        help="descend into subdirectories of directory inputs, mirroring them",
    )
    files.add_argument(
        "--overwrite", action="store_true", help="allow an output to replace an input file"
    )
    files.add_argument(
        "--indexed",
        action="store_true",
        help="require palette images: fail for results of more than 256 colours",
    )
    files.add_argument(
        "--lossy",
        action="store_true",
        help="allow lossy outputs (JPEG, lossy WebP), which blur the dither into many more colours",
    )
    files.add_argument(
        "-j",
        "--jobs",
        type=int,
        default=None,
        metavar="N",
        help="files dithered at once (default: the number of CPUs)",
    )
    files.add_argument(
        "--progress",
        action="store_true",
        help="always show the progress bar (default: batches of more than 3 files on a terminal)",
    )
    files.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary")

    sheet = parser.add_argument_group("comparing")
    sheet.add_argument(
        "--compare",
        action="store_true",
        help="write one contact sheet: a row per input, a column per method "
        f"of --method (default {DEFAULT_COMPARE})",
    )
    sheet.add_argument(
        "--cell-width",
        type=int,
        default=320,
        metavar="PX",
        help="--compare: shrink wider inputs to this width before dithering, "
        "0 keeps their size (default 320)",
    )

    demo = commands.add_parser(
        "demo",
        prog="tonalis demo",
        help="write the gallery of every dither family",
        description="Dither the built-in photograph and gradients with every family and "
        "option, and write the gallery (PNG contact sheets and an index.html) into OUTDIR.",
    )
    demo.add_argument("outdir", metavar="OUTDIR", help="the folder to write (created)")
    return root, parser


def _command_line(argv: Sequence[str]) -> list[str]:
    """`argv` with the default command named.

    `tonalis photo.jpg ...` is `tonalis dither photo.jpg ...`.
    """
    if argv and (argv[0] in COMMANDS or argv[0] in TOP_LEVEL):
        return list(argv)
    if argv and argv[0] in ("-h", "--help"):
        return ["dither", "--help"]
    return ["dither", *argv]


# --- settings -----------------------------------------------------------------


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    text = str(exc) or type(exc).__name__
    return text.splitlines()[0]


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


def _pack_target(args: argparse.Namespace) -> FormatTarget | None:
    if args.pack is None:
        return None
    target = _named(dither_target, args.pack)
    if args.compare:
        raise UsageError("--pack writes one file per input; it does not go with --compare")
    if not 1 <= args.align <= MAX_ALIGN:
        raise UsageError(f"--align must be from 1 to {MAX_ALIGN} bytes, got {args.align}")
    if args.band_height is not None and not 1 <= args.band_height <= 65535:
        raise UsageError(f"--band-height must be between 1 and 65535 rows, got {args.band_height}")
    if args.invert and isinstance(target.levels, tuple):
        raise UsageError(f"--invert flips bits of the bit formats, not of {target.name!r}")
    return target


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

    def make(method: str, matrix: str | int | np.ndarray | None) -> DitherSettings:
        # With --colors each image brings its own palette; check with a stand-in.
        try:
            made = front_settings(
                method,
                levels=levels,
                palette=palette if args.colors is None else ["#000", "#fff"],
                serpentine=args.serpentine,
                seed=args.seed,
                strength=args.strength,
                linear=args.linear,
                preserve_alpha=args.preserve_alpha,
                matrix=matrix,
                gray=gray,
                tone=tone,
                display_palette=display,
                error_limit=error_limit,
                mask=mask,
                distance=args.distance,
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


# --- inputs and outputs -----------------------------------------------------------


def _image_suffixes() -> set[str]:
    from PIL import Image

    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def _inside(path: Path, folder: str | None) -> bool:
    if folder is None:
        return False
    key = file_identity(path)
    return key == folder or key.startswith(folder.rstrip(os.sep) + os.sep)


def _collect(
    inputs: Sequence[str], recursive: bool, skip: str | None
) -> tuple[list[tuple[Path, Path]], bool]:
    """(file, path relative to its output root) pairs, and whether any input was many.

    Files inside `skip` (the output folder) are left out of folder inputs, so
    a second run does not dither the first run's results.
    """
    found: list[tuple[Path, Path]] = []
    many = len(inputs) > 1
    suffixes: set[str] | None = None
    for text in inputs:
        path = Path(text)
        if text == STDIO:
            if len(inputs) > 1:
                raise UsageError("'-' (standard input) must be the only input")
            found.append((path, Path("stdin")))
        elif path.is_dir():
            many = True
            suffixes = suffixes or _image_suffixes()
            walker = path.rglob("*") if recursive else path.glob("*")
            files = sorted(
                p
                for p in walker
                if p.is_file() and p.suffix.lower() in suffixes and not _inside(p, skip)
            )
            found.extend((p, p.relative_to(path)) for p in files)
        elif path.exists():
            found.append((path, Path(path.name)))
        elif glob.has_magic(text):
            many = True
            matches = sorted(Path(m) for m in glob.glob(text, recursive=True))
            matches = [m for m in matches if m.is_file()]
            if not matches:
                raise UsageError(f"no file matches {text!r}")
            found.extend((m, Path(m.name)) for m in matches)
        else:
            raise UsageError(f"cannot read {text!r}: no such file or directory")
    return found, many


def _writable_name(text: str) -> bool:
    try:
        output_format(text)
    except ValueError:
        return False
    return True


def _into_folder(args: argparse.Namespace, many: bool) -> bool:
    output: str = args.output
    if output == STDIO:
        return False
    if Path(output).is_dir() or output.endswith(("/", os.sep)):
        return True
    return many and not _writable_name(output)


def _check_format(destination: Path, args: argparse.Namespace, into_folder: bool) -> str:
    try:
        fmt = output_format(destination)
    except ValueError as exc:
        hint = "; pick one with --format" if into_folder else ""
        raise UsageError(f"{exc}{hint}") from None
    if is_lossy(fmt) and not args.lossy:
        raise UsageError(
            f"{str(destination)!r}: {fmt} is lossy and would blur the dither into "
            "many more colours; write PNG, GIF or WebP (or pass --lossy)"
        )
    return fmt


def _stdout_format(args: argparse.Namespace) -> str:
    if args.pack is not None:
        _check_pack_destination(
            Path("stdout." + (args.format or "bin").lstrip(".")), f"--format {args.format}"
        )
        if sys.stdout.isatty() and not _c_source(Path("stdout." + (args.format or "bin"))):
            raise UsageError(
                "refusing to write device bytes to a terminal: redirect standard "
                "output, pass -o FILE, or --format h for a C array"
            )
        return "bytes"
    fmt = _check_format(Path("stdout." + (args.format or "png").lstrip(".")), args, False)
    if sys.stdout.isatty():
        raise UsageError(
            "refusing to write image data to a terminal: redirect standard output or pass -o FILE"
        )
    return fmt


def _plan(
    args: argparse.Namespace, found: list[tuple[Path, Path]], many: bool
) -> list[tuple[Path, Path]]:
    into_folder = _into_folder(args, many)
    if not into_folder and len(found) > 1:
        raise UsageError(
            f"{len(found)} inputs need a folder for -o, and {args.output!r} names "
            "a file: end it with '/' or drop its image suffix"
        )
    if args.output == STDIO:
        _stdout_format(args)
        return [(found[0][0], Path(STDIO))]
    if found[0][0] == Path(STDIO) and not into_folder:
        pairs = [(found[0][0], Path(args.output))]
    else:
        suffix = args.format or ("bin" if args.pack is not None else None)
        try:
            pairs = plan_outputs(
                found, args.output, into_folder=into_folder, suffix=suffix, overwrite=args.overwrite
            )
        except OutputClash as exc:
            hint = " (pass --overwrite to allow it)" if exc.replaces_input else ""
            raise UsageError(f"{exc}{hint}") from None
    for suffix in sorted({d.suffix.lower() for _, d in pairs}):
        example = next(d for _, d in pairs if d.suffix.lower() == suffix)
        if args.pack is not None:
            _check_pack_destination(example)
        else:
            _check_format(example, args, into_folder)
    _check_folders({d.parent for _, d in pairs})
    return pairs


def _check_pack_destination(destination: Path, named: str | None = None) -> None:
    """Device bytes go into a raw file or a C source, never under an image's name."""
    if _c_source(destination) or not _writable_name(str(destination)):
        return
    named = named or repr(str(destination))
    raise UsageError(
        f"--pack writes device bytes, not an image, and {named} names a "
        f"{output_format(destination)} file: name it .bin (or .h or .c for a C array)"
    )


def _check_folders(folders: set[Path]) -> None:
    """Whether every output folder can be made and written into: said once,
    before anything is dithered, rather than once per file after."""
    probed: set[Path] = set()
    for folder in sorted(folders):
        existing = folder
        while not existing.exists() and existing != existing.parent:
            existing = existing.parent
        if not existing.is_dir():
            raise UsageError(
                f"cannot write into {str(folder)!r}: {str(existing)!r} is a file, not a folder"
            )
        if existing in probed:
            continue
        probed.add(existing)
        try:
            descriptor, probe = tempfile.mkstemp(prefix=".tonalis-", suffix=".probe", dir=existing)
        except OSError as exc:
            where = repr(str(existing)) + ("" if existing == folder else f" (for {str(folder)!r})")
            raise UsageError(f"cannot write into {where}: {_reason(exc)}") from None
        os.close(descriptor)
        os.unlink(probe)


def _open_source(source: Path, stdin: bytes | None) -> str | Path | IO[bytes]:
    return io.BytesIO(stdin) if stdin is not None and source == Path(STDIO) else source


def _name(source: Path) -> str:
    return "standard input" if source == Path(STDIO) else repr(str(source))


def _load(source: Path, stdin: bytes | None) -> Frames:
    try:
        return load_frames(_open_source(source, stdin))
    except Exception as exc:  # any plugin's failure on a broken file
        raise FileError(f"cannot read {_name(source)}: {_reason(exc)}") from None


def _dither(
    args: argparse.Namespace, source: Path, frames: Frames, settings: Sequence[DitherSettings]
) -> list[tuple[DitherSettings, Frames]]:
    """`frames` dithered with each of `settings`, with the settings used: with
    --colors, all with the image's own palette."""
    try:
        if args.colors is not None:
            stacked = np.concatenate([np.asarray(image) for image in frames.images], axis=0)
            palette = adaptive_palette(stacked, args.colors)
            settings = [dataclasses.replace(s, palette=palette) for s in settings]
        return [(s, dither_frames(s, frames, stable=args.stable)) for s in settings]
    except (TypeError, ValueError, OverflowError) as exc:
        raise FileError(f"{_name(source)}: {exc}") from None


def _write(
    frames: Frames,
    destination: Path,
    args: argparse.Namespace,
    palette: Sequence[str] | None = None,
) -> None:
    options: dict[str, Any] = {"indexed": args.indexed, "lossy": args.lossy, "palette": palette}
    try:
        if destination == Path(STDIO):
            fmt = output_format("stdout." + (args.format or "png").lstrip("."))
            stream = sys.stdout.buffer
            save_frames(frames, stream, format=fmt, **options)
            stream.flush()
        else:
            make_folder(destination.parent)
            save_frames(frames, destination, **options)
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:
        where = "standard output" if destination == Path(STDIO) else repr(str(destination))
        raise FileError(f"cannot write {where}: {_reason(exc)}") from None


def _c_source(destination: Path) -> bool:
    return destination.suffix.lower() in (".h", ".c")


def _c_identifier(text: str) -> str:
    name = re.sub(r"\W", "_", text, flags=re.ASCII).strip("_") or "image"
    return "_" + name if name[0].isdigit() else name


def _plane_order(colours: Sequence[str]) -> list[str]:
    """Black, white and ink colours of a 3-colour panel, whatever order they were given in:
    the darkest, the lightest and the one between."""

    def lightness(colour: str) -> int:
        r, g, b = (int(colour[i : i + 2], 16) for i in (1, 3, 5))
        return 299 * r + 587 * g + 114 * b

    ordered = sorted(colours, key=lightness)
    return [ordered[0], ordered[-1], *ordered[1:-1]]


def _write_packed(
    frames: Frames,
    source: Path,
    destination: Path,
    args: argparse.Namespace,
    settings: DitherSettings,
) -> None:
    """The result as the bytes of `--pack`'s format, raw or as a C array."""
    if len(frames.images) > 1:
        raise FileError(
            f"{_name(source)}: --pack writes one image, and this input has "
            f"{len(frames.images)} frames"
        )
    image = frames.images[0]
    target = dither_target(args.pack)
    colours = settings.display_palette or settings.palette
    # The two-plane formats (black/white/ink) are the ones with a 3-colour default.
    two_planes = target.palette is not None and len(target.palette) == 3
    if colours is not None and two_planes:
        colours = _plane_order(parse_palette(",".join(colours)))
    try:
        data = pack(
            image,
            target.name,
            bit_order=args.bit_order,
            invert=args.invert,
            byteorder=args.byte_order,
            align=args.align,
            palette=colours,
            band_height=args.band_height,
        )
    except ValueError as exc:
        raise FileError(f"{_name(source)}: {exc}") from None
    as_c = _c_source(
        destination if destination != Path(STDIO) else Path("stdout." + (args.format or "bin"))
    )
    if as_c:
        stem = source.stem if destination == Path(STDIO) else destination.stem
        data = c_header(
            data, _c_identifier(stem), image.width, image.height, format=target.name
        ).encode("ascii")
    try:
        if destination == Path(STDIO):
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        else:
            make_folder(destination.parent)
            save_bytes(data, destination)
    except BrokenPipeError:
        raise
    except OSError as exc:
        where = "standard output" if destination == Path(STDIO) else repr(str(destination))
        raise FileError(f"cannot write {where}: {_reason(exc)}") from None


# --- progress -----------------------------------------------------------------------


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{seconds:02}" if hours else f"{minutes}:{seconds:02}"


class Progress:
    """A one-line progress bar on a text stream: `[#####-----]  5/10 files, 0:07 left`."""

    def __init__(self, total: int, stream: IO[str], enabled: bool, width: int = 30) -> None:
        self.total, self.stream, self.enabled, self.width = total, stream, enabled, width
        self.done = 0
        self.started = time.monotonic()
        self._line = 0
        if enabled:
            self._draw()

    def _draw(self) -> None:
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "-" * (self.width - filled)
        text = f"[{bar}] {self.done:>{len(str(self.total))}}/{self.total} files"
        if 0 < self.done < self.total:
            elapsed = time.monotonic() - self.started
            text += f", {_clock(elapsed / self.done * (self.total - self.done))} left"
        self.stream.write("\r" + text.ljust(self._line))
        self.stream.flush()
        self._line = len(text)

    def step(self) -> None:
        self.done += 1
        if self.enabled:
            self._draw()

    def message(self, text: str) -> None:
        """Print a line without breaking the bar."""
        if self._line:
            self.stream.write("\r" + " " * self._line + "\r")
            self._line = 0
        self.stream.write(text + "\n")
        if self.enabled:
            self._draw()
        self.stream.flush()

    def close(self) -> None:
        if self._line:
            self.stream.write("\n")
            self.stream.flush()
            self._line = 0


# --- running work -------------------------------------------------------------------

T = TypeVar("T")
U = TypeVar("U")


_WORKER = "tonalis-worker-"


def _run_all(
    work: Callable[[T, threading.Event], U],
    items: Sequence[T],
    jobs: int,
    done: Callable[[Future[U]], None],
) -> list[Future[U]]:
    """Run `work(item, stop)` for every item on `jobs` threads, calling `done`
    in this thread as each finishes.

    On Ctrl-C or SIGTERM, items not started are cancelled, `stop` tells
    running ones to give up at their next step, their unfinished files are
    removed, and the exception is raised at once: the threads are daemons,
    so a long dither still running does not hold up the exit, and what it
    would write later is refused (finished files are kept).
    """
    stop = threading.Event()
    guard = WriteGuard()
    futures: list[Future[U]] = [Future() for _ in items]
    waiting = list(zip(futures, items))[::-1]
    lock = threading.Lock()
    finished: queue.SimpleQueue[Future[U]] = queue.SimpleQueue()

    def worker() -> None:
        guard.attach()
        while not stop.is_set():
            with lock:
                if not waiting:
                    return
                future, item = waiting.pop()
            if not future.set_running_or_notify_cancel():
                continue
            try:
                future.set_result(work(item, stop))
            except BaseException as exc:  # handed to the main thread
                future.set_exception(exc)
            finished.put(future)

    threads = [
        threading.Thread(target=worker, name=f"{_WORKER}{n}", daemon=True)
        for n in range(max(1, min(jobs, len(items))))
    ]
    try:
        for thread in threads:
            thread.start()
        for _ in futures:
            done(_wait(finished))
        for thread in threads:
            thread.join()
        return futures
    except BaseException:
        stop.set()
        with lock:
            for future, _ in waiting:
                future.cancel()
            waiting.clear()
        guard.abandon()
        raise


def _wait(finished: queue.SimpleQueue[Future[U]]) -> Future[U]:
    """The next finished future; Ctrl-C still gets through while waiting."""
    while True:
        try:
            return finished.get(timeout=0.1)
        except queue.Empty:
            continue


def _checkpoint(stop: threading.Event) -> None:
    if stop.is_set():
        raise Cancelled


@contextmanager
def _sigterm_stops() -> Iterator[None]:
    """SIGTERM raises Terminated in the main thread, so it stops a batch like Ctrl-C."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        raise Terminated

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


# --- commands ----------------------------------------------------------------------


def _error(text: str) -> None:
    sys.stderr.write(f"tonalis: error: {text}\n")


def _list() -> None:
    print("error-diffusion methods:", ", ".join(tonalis.available_methods()))
    print("ordered matrices:", ", ".join(matrix_names()))
    print("other: random, " + ", ".join(ALGORITHMS))
    _table(
        "palette presets",
        {
            name: (f"{len(colours):>3} colours", description)
            for name, (description, colours) in PRESETS.items()
        },
    )
    _table("halftone screens (--matrix)", {name: ("", entry[0]) for name, entry in SCREENS.items()})
    _table(
        "device colour formats (--levels)",
        {
            name: ("", "levels " + ",".join(map(str, counts)))
            for name, counts in DEVICE_LEVELS.items()
        },
    )
    _table(
        "e-paper panels (--panel)",
        {
            name: ("", entry[0] + (", measured colours" if entry[2] else ""))
            for name, entry in PANELS.items()
        },
    )
    _table("device byte formats (--pack)", {name: ("", text) for name, text in FORMATS.items()})


def _table(title: str, rows: dict[str, tuple[str, str]]) -> None:
    print(f"{title}:")
    width = max(len(name) for name in rows)
    for name, (count, description) in rows.items():
        print(f"  {name:<{width}}  {count + '  ' if count else ''}{description}")


def _need_pillow() -> None:
    if importlib.util.find_spec("PIL") is None:
        raise UsageError("the tonalis command needs Pillow: pip install 'tonalis[pil]'")


def _demo(outdir: str) -> int:
    _need_pillow()
    if Path(outdir).exists() and not Path(outdir).is_dir():
        raise UsageError(f"cannot write the gallery into {outdir!r}: it is a file")
    try:
        written = build_gallery(outdir, log=print)
    except OSError as exc:
        raise UsageError(f"cannot write the gallery into {outdir!r}: {_reason(exc)}") from None
    print(f"{len(written)} files in {outdir}")
    return EXIT_OK


def _run(argv: Sequence[str]) -> int:
    root, _ = _build_parser()
    args = root.parse_args(_command_line(argv))
    if args.list:
        _list()
        return EXIT_OK
    if args.command == "demo":
        return _demo(args.outdir)
    if not args.inputs:
        raise UsageError("no input given (see tonalis --help)")
    if args.output is None:
        raise UsageError("no output given: pass -o OUTPUT ('-' for standard output)")
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    if args.colors is not None and not 2 <= args.colors <= 256:
        raise UsageError(f"--colors must be between 2 and 256, got {args.colors}")
    if args.colors is not None and args.gray:
        raise UsageError("--gray takes --levels, not --colors")
    if (
        (args.matrix or args.screen) is not None
        and args.method is not None
        and not args.compare
        and normalize_name(args.method) != "pattern"
    ):
        option = "--matrix" if args.matrix is not None else "--screen"
        raise UsageError(
            f"{option} picks ordered dither (or the matrix of -m pattern); "
            "leave out --method (or add --compare)"
        )
    if args.invert and args.pack is None:
        raise UsageError("--invert flips the bits of a --pack bit format; it needs --pack")
    _need_pillow()

    labels, settings = _settings(args)
    skip = file_identity(args.output) if args.output != STDIO else None
    found, many = _collect(args.inputs, args.recursive, skip)
    if not found:
        raise UsageError("no image files found in the inputs")
    stdin = sys.stdin.buffer.read() if found[0][0] == Path(STDIO) else None
    if args.compare:
        return _compare(args, found, labels, settings, stdin)
    return _batch(args, _plan(args, found, many), settings[0], stdin)


def _batch(
    args: argparse.Namespace,
    pairs: list[tuple[Path, Path]],
    settings: DitherSettings,
    stdin: bytes | None,
) -> int:
    def work(pair: tuple[Path, Path], stop: threading.Event) -> None:
        source, destination = pair
        _checkpoint(stop)
        frames = _load(source, stdin)
        _checkpoint(stop)
        ((used, result),) = _dither(args, source, frames, [settings])
        _checkpoint(stop)
        if args.pack is not None:
            _write_packed(result, source, destination, args, used)
        else:
            _write(result, destination, args, used.display_palette or used.palette)

    show = not args.quiet and (args.progress or (len(pairs) > 3 and sys.stderr.isatty()))
    progress = Progress(len(pairs), sys.stderr, show)
    failures = 0

    def done(future: Future[None]) -> None:
        nonlocal failures
        try:
            future.result()
        except FileError as exc:
            failures += 1
            progress.message(f"tonalis: error: {exc}")
        progress.step()

    started = time.monotonic()
    try:
        _run_all(work, pairs, args.jobs or os.cpu_count() or 1, done)
    finally:
        progress.close()
    if failures and len(pairs) > 1:
        _error(f"{failures} of {len(pairs)} files failed")
    elif len(pairs) > 1 and not args.quiet:
        sys.stderr.write(
            f"tonalis: {len(pairs)} files written to {args.output!r} "
            f"in {time.monotonic() - started:.1f} s\n"
        )
    return EXIT_FAILED if failures else EXIT_OK


def _compare(
    args: argparse.Namespace,
    found: list[tuple[Path, Path]],
    labels: list[str],
    settings: list[DitherSettings],
    stdin: bytes | None,
) -> int:
    output = Path(args.output)
    if args.output != STDIO:
        _check_format(output, args, False)
        if any(file_identity(output) == file_identity(s) for s, _ in found) and not args.overwrite:
            raise UsageError(
                f"refusing to overwrite input {args.output!r} (pass --overwrite to allow it)"
            )
    else:
        _stdout_format(args)
    if args.cell_width < 0:
        raise UsageError(f"--cell-width must be 0 or more, got {args.cell_width}")

    def row(item: tuple[Path, Path], stop: threading.Event) -> list[tuple[str, Image.Image]]:
        source = item[0]
        _checkpoint(stop)
        try:
            image = shrink_to_width(load_image(_open_source(source, stdin)), args.cell_width)
        except Exception as exc:  # any plugin's failure on a broken file
            raise FileError(f"cannot read {_name(source)}: {_reason(exc)}") from None
        results = _dither(args, source, Frames([image]), settings)
        label = "stdin" if source == Path(STDIO) else source.name
        return [(label, image)] + [(lab, r.images[0]) for lab, (_, r) in zip(labels, results)]

    futures = _run_all(row, found, args.jobs or os.cpu_count() or 1, lambda future: None)
    rows = []
    for future in futures:
        try:
            rows.append(future.result())
        except FileError as exc:
            raise UsageError(str(exc)) from None
    sheet = contact_sheet([cell for r in rows for cell in r], columns=len(labels) + 1)
    try:
        _write(Frames([sheet]), output, args)
    except FileError as exc:
        raise UsageError(str(exc)) from None
    if not args.quiet:
        sys.stderr.write(f"tonalis: wrote {args.output} ({len(rows)} x {len(labels)} images)\n")
    return EXIT_OK


def _stopped(what: str, status: int, command: bool) -> int:
    """Say that the work stopped, and return `status`.

    Run as the command, exit at once when a dither is still running: it is
    in compiled code that cannot be stopped, and the interpreter's exit
    would wait for it or tear it down. Its unfinished file is already gone
    (see `_run_all`). A second Ctrl-C meanwhile is ignored, so no traceback
    shows from wherever the interpreter is.
    """
    if command and threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.stderr.write(f"tonalis: {what}\n")
    running = any(t.name.startswith(_WORKER) and t.is_alive() for t in threading.enumerate())
    if command and running:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the `tonalis` console script; returns the exit status."""
    try:
        with _sigterm_stops():
            return _run(list(sys.argv[1:] if argv is None else argv))
    except UsageError as exc:
        _error(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        return _stopped("interrupted", EXIT_INTERRUPTED, argv is None)
    except Terminated:
        return _stopped("terminated", EXIT_TERMINATED, argv is None)
    except BrokenPipeError:
        # The reader went away (`tonalis ... -o - | head`): say nothing, and
        # keep the interpreter from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
