"""The options of `tonalis calibrate`: its steps `chart` and `measure`."""

from __future__ import annotations

import argparse
from typing import Any

from ..calibrate.measurement import MAX_SPREAD
from ..calibrate.patches import DEFAULT_SIZE
from ..palettes.palette_files import PALETTE_EXTENSIONS

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
