"""Running `tonalis calibrate`: a chart to show on a panel, and the
measurement of a photograph of it as a palette file."""

from __future__ import annotations

import argparse
import importlib.util
import sys
from pathlib import Path
from typing import Any

from ..calibrate import CalibrationError, chart, measure, parse_size
from ..calibrate.measurement import write_measurement
from ..io.imagefile import load_image
from ..names import find_name
from ..palettes.palette_files import PALETTE_EXTENSIONS, palette_holds_comments
from ..palettes.presets import preset
from ..palettes.recolor import PANELS, panel_palette
from .options import _named, _palette_argument, _reason
from .parser import EXIT_OK, UsageError


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
