"""The `tonalis calibrate` command: a chart to show on a panel, and the
measurement of a photograph of it as a palette file."""

from __future__ import annotations

import argparse
import importlib.util
import sys
from pathlib import Path
from typing import Any

from ..calibrate import DEFAULT_SIZE, CalibrationError, chart, measure, parse_size
from ..calibrate.measurement import MAX_SPREAD, write_measurement
from ..io.imagefile import load_image
from ..names import find_name
from ..palettes.palette_files import PALETTE_EXTENSIONS, palette_holds_comments
from ..palettes.presets import preset
from ..palettes.recolor import PANELS, panel_palette
from .options import _named, _palette_argument, _reason
from .parser import EXIT_OK, UsageError

CHART_EXAMPLES = """\
examples:
  tonalis calibrate chart --panel spectra6 -o chart.png
  tonalis calibrate chart --panel acep7 --size 600x448 -o chart.png
  tonalis calibrate chart --palette mine.gpl -o chart.png

Show the chart on the panel as it is (it holds only the panel's own colours,
as an indexed PNG), photograph it, then run 'tonalis calibrate measure' with
the same colours and --size.
"""

MEASURE_EXAMPLES = """\
examples:
  tonalis calibrate measure photo.jpg --panel spectra6 -o spectra6.gpl
  tonalis photo.jpg -o out.png --palette spectra6.gpl
                                  dither against the measured colours
  tonalis photo.jpg -o out.png --palette spectra6.gpl \\
          --display-palette "#000,#fff,#ff0,#f00,#00f,#0f0"
                                  ... and write the driver's colours in their place

Take the photo in even, diffuse light, square on or at a slight angle to
keep reflections off, with the whole panel in the frame. Perspective, a
tilt, a quarter turn, blur, noise, a colour cast and the background do not
matter; glare, shadows and an over-exposed white are refused.
"""


def add_parser(commands: Any) -> None:
    """Add `calibrate` and its steps to the command's subparsers."""
    calibrate = commands.add_parser(
        "calibrate",
        prog="tonalis calibrate",
        help="measure a panel's colours: a chart to show on it, then its photo measured",
        description="Measure the colours an e-paper panel really shows: 'chart' writes a "
        "patch chart to show on the panel, 'measure' reads a photo of it and writes the "
        "measured colours as a palette file.",
    )
    steps = calibrate.add_subparsers(dest="step", metavar="STEP", required=True)
    chart_step = steps.add_parser(
        "chart",
        prog="tonalis calibrate chart",
        help="write the patch chart to show on the panel",
        description="Write a chart of the panel's driver colours: every colour in several\n"
        "patches spread over the chart, white and black references, and a marker in\n"
        "each corner that the photo is found by. It is an indexed PNG of the panel's\n"
        "own colours, in their order, to show on the panel as it is.",
        epilog=CHART_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    chart_step.add_argument(
        "-o",
        "--output",
        default="chart.png",
        metavar="FILE",
        help="the chart's PNG file (default chart.png)",
    )
    _colour_options(chart_step)
    measure_step = steps.add_parser(
        "measure",
        prog="tonalis calibrate measure",
        help="measure a photo of the chart and write the panel's colours as a palette",
        description="Find the chart in a photo by its corner markers, sample every patch\n"
        "over its middle, even out light falling off across the chart by the white\n"
        "patches, average each colour's patches, and write the colours in the panel's\n"
        "order as a palette file, with where they came from in its comments.\n\n"
        "The colours are white-balanced in linear light: per-channel gains make the\n"
        "white reference neutral at its own luminance as photographed (or at\n"
        "--white-level), every colour scaled by the same gains. The panel's white\n"
        "stays as dull as it is; it is not stretched to #ffffff.",
        epilog=MEASURE_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    measure_step.add_argument(
        "photo", metavar="PHOTO", help="the photo of the panel showing the chart"
    )
    measure_step.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="PALETTE",
        help=f"the palette file to write ({', '.join(PALETTE_EXTENSIONS)}; .gpl and .txt "
        "keep the provenance in comments)",
    )
    _colour_options(measure_step)
    measure_step.add_argument(
        "--white-level",
        type=int,
        default=None,
        metavar="CODE",
        help="make the white reference this gray, 1..255, all colours scaled alike "
        "(default: its own luminance as photographed)",
    )
    measure_step.add_argument(
        "--max-spread",
        type=float,
        default=MAX_SPREAD,
        metavar="D",
        help="refuse the photo when a patch lies further than D (Oklab distance x 100) "
        f"from the others of its colour: glare or a shadow (default {MAX_SPREAD:g})",
    )
    measure_step.add_argument(
        "-q", "--quiet", action="store_true", help="do not print the measured colours"
    )


def _colour_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("the chart's colours (pick one)")
    pick = group.add_mutually_exclusive_group(required=True)
    pick.add_argument(
        "--panel",
        metavar="NAME",
        help="a colour e-paper panel (see tonalis --list): its driver's colours",
    )
    pick.add_argument(
        "--palette",
        metavar="COLOURS|FILE",
        help="the colours the panel's driver takes, in its order: a list or a palette file",
    )
    pick.add_argument("--preset", metavar="NAME", help="a named palette, see tonalis --list")
    group.add_argument(
        "--size",
        default="{}x{}".format(*DEFAULT_SIZE),
        metavar="WxH",
        help="the panel's size in pixels (default %(default)s); the same for chart and measure",
    )


def _colours(args: argparse.Namespace) -> tuple[list[str], str]:
    """The chart's colours and what to call them in the provenance."""
    if args.panel is not None:
        name = _named(lambda text: find_name(text, PANELS, "panel"), args.panel)
        return panel_palette(name, measured=False), f"panel {name}"
    if args.preset is not None:
        return _named(preset, args.preset), f"preset {args.preset}"
    return _palette_argument(args.palette), f"palette {args.palette}"


def run(args: argparse.Namespace) -> int:
    """Run `tonalis calibrate chart` or `tonalis calibrate measure`."""
    if importlib.util.find_spec("PIL") is None:
        raise UsageError("tonalis calibrate needs Pillow: pip install 'tonalis-dither[pil]'")
    colours, source = _colours(args)
    try:
        size = parse_size(args.size)
    except ValueError as exc:
        raise UsageError(f"--size: {exc}") from None
    try:
        made = chart(colours, size=size)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if args.step == "chart":
        try:
            made.save(args.output)
        except OSError as exc:
            raise UsageError(f"cannot write {args.output!r}: {_reason(exc)}") from None
        sys.stderr.write(
            f"tonalis: wrote {args.output} ({size[0]} x {size[1]}, {len(made.patches)} "
            f"patches of {len(colours)} colours)\n"
        )
        return EXIT_OK
    return _measure(args, made, source)


def _measure(args: argparse.Namespace, made: Any, source: str) -> int:
    suffix = Path(args.output).suffix.lower()
    if suffix not in PALETTE_EXTENSIONS:
        raise UsageError(
            f"-o {args.output!r}: a palette file ends in one of {', '.join(PALETTE_EXTENSIONS)}"
        )
    if args.white_level is not None and not 1 <= args.white_level <= 255:
        raise UsageError(f"--white-level must be from 1 to 255, got {args.white_level}")
    if not args.max_spread > 0:
        raise UsageError(f"--max-spread must be above 0, got {args.max_spread:g}")
    try:
        photo = load_image(args.photo)
    except Exception as exc:  # any plugin's failure on a broken file
        raise UsageError(f"cannot read {args.photo!r}: {_reason(exc)}") from None
    try:
        result = measure(photo, made, white_level=args.white_level, max_spread=args.max_spread)
    except CalibrationError as exc:
        raise UsageError(f"{args.photo}: {exc}") from None
    try:
        write_measurement(result, args.output, photo=args.photo, source=source)
    except OSError as exc:
        raise UsageError(f"cannot write {args.output!r}: {_reason(exc)}") from None
    if not palette_holds_comments(suffix):
        sys.stderr.write(
            f"tonalis: note: {suffix} files hold no comments, so where the colours came "
            "from is not in the file (write .gpl to keep it)\n"
        )
    if not args.quiet:
        print("driver   measured  spread")
        for driver, shown, spread in zip(result.chart_colours, result.colours, result.spread):
            print(f"{driver}  {shown}  {spread:6.1f}")
        print(f"normalised: {result.normalisation}")
        print(f"wrote {args.output}; dither against it, writing the driver's colours, with")
        print(
            f"  tonalis INPUT -o OUTPUT --palette {args.output} "
            f"--display-palette '{','.join(result.chart_colours)}'"
        )
    return EXIT_OK
