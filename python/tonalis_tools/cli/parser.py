"""The parser of the `tonalis` command: its options, exit codes and errors."""

from __future__ import annotations

import argparse
import math
import signal
from collections.abc import Sequence
from typing import NoReturn, TypeVar

import tonalis

from ..devices.channels import DEVICE_LEVELS
from ..devices.fit import FIT_MODES, PANEL_SIZES
from ..devices.pack import ESCPOS_MAX_ROWS
from ..devices.printer import FITS
from ..extras import DISTANCES
from ..matrices.halftone import SHAPES
from ..palettes.palette_files import PALETTE_EXTENSIONS
from ..quality import METRICS
from .calibrate_parser import add_parser as add_calibrate

T = TypeVar("T")
U = TypeVar("U")

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
  tonalis photo.jpg -o out.png --preset pico8        the palette's best settings
  tonalis photo.jpg -o out.png --preset pico8 --exact
                                                     tonalis's own settings
  tonalis photo.jpg -o out.png --palette "black,white,#f00" -m bayer8x8
  tonalis photo.jpg -o out.png --colors 8            adaptive palette of 8 colours
  tonalis photo.jpg -o out.png --matrix bluenoise64  ordered dither, blue noise
  tonalis photo.jpg -o out.png --gray --screen round:6:45 --gamma 1.25
                                                     clustered-dot halftone for a laser printer
  tonalis photo.jpg -o out.png --levels rgb565       per-channel levels of a TFT panel
  tonalis photo.jpg -o out.bin --panel spectra6 --pack index4
  tonalis photo.jpg -o out.bin --panel spectra6 --size spectra6-13.3 --pack index4
  tonalis photo.jpg -o out.bin --panel gray4 --size 800x480 --fit contain --pack gray2
                                                     measured colours, controller codes
  tonalis label.png -o label.h --pack mono --invert  1-bit rows as a C array
  tonalis logo.png -o logo.bin --pack escpos --width 384
                                                     a receipt printer's raster image
  tonalis anim.gif -o out.gif --matrix bluenoise64   every frame, timing kept
  tonalis sprite.png -o big.gif --preset pico8 --alpha-threshold 128 --scale 4
                                                     pixel art: on-or-off alpha, 4x crisp
  tonalis shots/ 'more/*.tif' -o dithered/ --format png -j 2
  tonalis - -o - --gray < in.png > out.png           standard input and output
  tonalis photo.jpg --compare -m fs,atkinson,bayer8x8,bluenoise64 -o sheet.png
  tonalis photo.jpg --compare --preset cga --sort scielab -o sheet.png
                                                     columns best first, with figures
  tonalis demo gallery                               write the gallery of every family
  tonalis calibrate chart --panel spectra6 -o chart.png
                                                     a chart to show on the panel and photograph
  tonalis calibrate measure photo.jpg --panel spectra6 -o spectra6.gpl
                                                     the panel's colours, measured from the photo
  tonalis --list                                     methods, matrices and presets

Method names are loose: case does not matter and '-', '_' and spaces may be
used or left out ('Floyd-Steinberg', 'fs', 'sierra 2'). Results are written
losslessly in their smallest form (1-bit, or a palette of 2 to 256 colours).
Exit status: 0 on success; 2 when an option, a preset or an input is bad, or
a file could not be read or written (every other file of a batch is still
done); 130 on Ctrl-C and 143 on SIGTERM (finished files are kept, nothing is
left half-written).
"""

COMMANDS = ("dither", "demo", "calibrate")


def _limit(text: str) -> float:
    """--error-limit: a number, or 'none' for no limit."""
    if text.strip().lower() in ("none", "off", "inf"):
        return math.inf
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or 'none', got {text!r}") from None


TOP_LEVEL = ("--version", "--list")


class UsageError(Exception):
    """A bad option or input: reported as one line, exit status 2.

    Args:
        args: the message, as for any exception.

    Examples:
        >>> from tonalis_tools.cli import main
        >>> main(["in.png", "-o", "out.png", "--levels", "1"])   # raised and reported inside
        2
    """


class FileError(Exception):
    """One file of a batch could not be read, dithered or written.

    Args:
        args: the message, naming the file.

    Examples:
        >>> from tonalis_tools.cli import main
        >>> main(["missing.png", "-o", "out.png"])
        2
    """


class Terminated(Exception):
    """SIGTERM arrived: stop like Ctrl-C does.

    Args:
        args: the message, as for any exception.

    Examples:
        >>> issubclass(Terminated, Exception) and not issubclass(Terminated, KeyboardInterrupt)
        True
    """


class Cancelled(Exception):
    """The batch is stopping; this file was not started or not finished.

    Args:
        args: the message, naming the file.

    Examples:
        >>> str(Cancelled("photo.png"))
        'photo.png'
    """


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
        "       tonalis calibrate chart|measure ... (see tonalis calibrate --help)\n"
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
        action=argparse.BooleanOptionalAction,
        default=None,
        help="error diffusion: alternate the scan direction every row (default: "
        "the palette's profile, on with a palette, off with levels; see --exact)",
    )
    how.add_argument(
        "--strength",
        type=float,
        default=1.0,
        metavar="S",
        help="dithering strength in [0, 1]; 0 = plain quantization (default 1)",
    )
    how.add_argument(
        "--linear",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="work in linear light (default: error diffusion to a palette does, "
        "other dithers and levels do not)",
    )
    how.add_argument(
        "--seed",
        type=int,
        default=None,
        metavar="N",
        help="random dither: seed for reproducible output",
    )
    search = parser.add_argument_group(
        "direct binary search (-m dbs)",
        "The eye the search models, a Gaussian (default sigma 1.2 pixels) or "
        "Näsänen's at a viewing distance, and how long it searches.",
    )
    eyes = search.add_mutually_exclusive_group()
    eyes.add_argument(
        "--sigma",
        type=float,
        default=None,
        metavar="PIXELS",
        help="the Gaussian eye's width in pixels, up to 8/3 (default 1.2; 1.6 for the "
        "lightness of a coloured palette)",
    )
    eyes.add_argument(
        "--viewing",
        default=None,
        metavar="INCHES,DPI",
        help="Näsänen's eye for a viewer INCHES away from a picture of DPI pixels per inch",
    )
    search.add_argument(
        "--passes",
        type=int,
        default=None,
        metavar="N",
        help="stop after N passes (1 to 1000; default: when a pass changes nothing)",
    )
    search.add_argument(
        "--no-swaps",
        dest="swaps",
        action="store_false",
        help="toggles only: do not try exchanging a pixel with its neighbours",
    )
    search.add_argument(
        "--no-opponent",
        dest="opponent",
        action="store_false",
        help="weigh a coloured palette's error in every RGB channel alike, not in "
        "lightness and colour differences",
    )
    how.add_argument(
        "--no-preserve-alpha",
        dest="preserve_alpha",
        action="store_false",
        help="dither the alpha channel of LA/RGBA images too (to --levels; a "
        "palette keeps alpha as it is)",
    )
    how.add_argument(
        "--alpha-threshold",
        type=int,
        default=None,
        metavar="N",
        help="cut alpha to on or off before dithering: below N transparent, "
        "else opaque (e.g. 128; soft-edged sprites then fit --indexed and GIF, "
        "which cuts at 128 when not told)",
    )
    how.add_argument(
        "--gray",
        "--grey",
        action="store_true",
        help="turn colour images gray first: with 2 levels, black and white; "
        "with a palette, the gray is dithered onto the palette's light-to-dark ramp",
    )
    how.add_argument(
        "--error-limit",
        type=_limit,
        default=None,
        metavar="L|none",
        help="error diffusion: clamp each working value to [-L, 255 + L] so "
        "colours a small palette cannot reach do not bleed (e.g. 16); 'none' for "
        "no limit (default: the palette's profile, a limit for a panel's measured "
        "colours, else none)",
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
        default=None,
        choices=DISTANCES,
        help="how palette colours are matched: rgb, luma (linear light "
        "weighted by luminance) or oklab (default: the palette's profile, rgb "
        "but for some panels and the one-hue presets)",
    )
    how.add_argument(
        "--prepare",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="map the image's lightness and colours into the panel's before dithering "
        "(default: the palette's profile; on for the measured panels, spectra6 "
        "lightness 0.75 and acep7 lightness 0.5; --no-prepare for none)",
    )
    how.add_argument(
        "--lightness-map",
        type=float,
        default=None,
        metavar="SHARE",
        help="the share, 0 to 1, of the lightness map: the image's range of Oklab "
        "lightness onto the palette's black-to-white, midtones kept, shadows and "
        "highlights rolled off (default: the palette's profile)",
    )
    how.add_argument(
        "--chroma-map",
        type=float,
        default=None,
        metavar="SHARE",
        help="the share, 0 to 1, of the gamut map: grays onto the palette's grays, "
        "chroma compressed toward what the palette reaches (default: the palette's "
        "profile, 0 for every palette so far)",
    )
    how.add_argument(
        "--gray-photos",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="dither a gray image (L or LA, or nearly every pixel near-neutral) to "
        "the palette's black, white and grays only, with no colour speckles "
        "(default on where the palette's profile applies; off with --exact)",
    )
    how.add_argument(
        "--exact",
        action="store_true",
        help="tonalis's own settings for whatever is not given: sRGB values, one "
        "scan direction, no error limit, rgb distance, no tone or gamut map and "
        "no gray-photo detection (no palette profile)",
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
        help="an e-paper panel (see --list): dither against the colours it "
        "shows, with its profile, write the colours its driver takes (gray2, "
        "gray4, gray16: the gray panels' even grays)",
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
        "--luminance",
        choices=("auto", "on", "off"),
        default="auto",
        help="dither by luminance onto the palette's range from darkest to "
        "lightest: on, off, or auto (default) for palettes of one hue such "
        "as gameboy, where error diffusion in RGB flattens whole areas into "
        "one colour",
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
        "--invert",
        action="store_true",
        help="with --pack, bit formats: flip every bit (bwr, bwy: after --ink-bits)",
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
        help=f"escpos: at most ROWS rows per raster command (default and most {ESCPOS_MAX_ROWS})",
    )
    device.add_argument(
        "--ink-bits",
        default=None,
        metavar="B,C",
        help="bwr, bwy: the bit that marks ink in the black plane and in the colour "
        "plane (default 0,1: SSD16xx controllers; 0,0 for drivers that set the red "
        "RAM inverted; 1,1 gives the bytes of releases before 0,1 became the default)",
    )
    device.add_argument(
        "--width",
        type=int,
        default=None,
        metavar="DOTS",
        help="the printer's width in dots (384 for 58 mm paper, 576 for "
        "80 mm): wider images are scaled down in linear light before dithering, "
        "keeping their aspect (see --fit)",
    )
    device.add_argument(
        "--size",
        default=None,
        metavar="WxH|MODEL",
        help="the panel's size in pixels ('800x480') or its model "
        f"({', '.join(PANEL_SIZES)}): the image is scaled in linear light to "
        "exactly that size before dithering (see --fit, --no-rotate)",
    )
    device.add_argument(
        "--fit",
        choices=FITS + FIT_MODES,
        default=None,
        help="with --width: shrink wider images (default), fill the width (narrower "
        "ones enlarged too), or refuse wider ones; with --size: cover (default: "
        "fill the panel, the overflow cropped around the centre), contain (all of "
        "the image, letterboxed on --background) or crop (no scaling: cropped or "
        "padded around the centre)",
    )
    device.add_argument(
        "--rotate",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="with --size: turn a portrait image a quarter for a landscape panel, "
        "and the reverse, when that fills the panel better (default on)",
    )
    device.add_argument(
        "--background",
        default=None,
        metavar="COLOUR",
        help="the paper under transparent pixels: images with alpha are laid over it "
        "before dithering (default white with --pack, whose formats have no alpha); "
        "with --size, also the colour around a --fit contain or crop image (default white)",
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
        "--scale",
        type=int,
        default=1,
        metavar="N",
        help="enlarge each result N times (1..64) by repeating its pixels, after "
        "dithering, so the pixels stay crisp (pixel art)",
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
        "--sort",
        choices=METRICS,
        default=None,
        metavar="METRIC",
        help="--compare: score every column against its input and order the "
        f"columns best first: {', '.join(METRICS)} (see docs/quality.md); the "
        "figures are printed",
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

    add_calibrate(commands)
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
