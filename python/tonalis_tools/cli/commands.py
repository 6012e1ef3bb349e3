"""The commands: dither, compare, demo and --list, and `main`."""

from __future__ import annotations

import argparse
import importlib.util
import os
import signal
import sys
import threading
import time
from collections.abc import Sequence
from concurrent.futures import Future
from pathlib import Path
from typing import TYPE_CHECKING

import tonalis

from ..algorithms import ALGORITHMS
from ..batch.planner import file_identity
from ..devices.channels import DEVICE_LEVELS
from ..devices.pack import FORMATS
from ..front import matrix_names
from ..gallery import build_gallery
from ..io.imagefile import (
    Frames,
    load_image,
)
from ..io.pixelart import MAX_SCALE, upscale
from ..matrices.halftone import SCREENS
from ..names import normalize_name
from ..palettes.presets import PRESETS, palette_colours
from ..palettes.recolor import PANEL_CODES, PANELS, recolor
from ..pipeline import DitherSettings
from ..quality import oklab_floor, scores
from ..sheet import contact_sheet, shrink_to_width
from .calibrate import run as _calibrate
from .files import (
    _check_format,
    _collect,
    _dither,
    _load,
    _name,
    _open_source,
    _plan,
    _stdout_format,
    _write,
    _write_packed,
)
from .options import _reason, _settings
from .parser import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TERMINATED,
    STDIO,
    FileError,
    Terminated,
    UsageError,
    _build_parser,
    _command_line,
)
from .runner import _WORKER, Progress, _checkpoint, _run_all, _sigterm_stops

if TYPE_CHECKING:
    from PIL import Image


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
            name: (
                "",
                entry[0]
                + (", measured colours" if entry[2] else "")
                + f"; codes {' '.join(map(str, PANEL_CODES[name].codes))}",
            )
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
        raise UsageError("the tonalis command needs Pillow: pip install 'tonalis-dither[pil]'")


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
    if args.command == "calibrate":
        return _calibrate(args)
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
    if not 1 <= args.scale <= MAX_SCALE:
        raise UsageError(f"--scale must be a whole number from 1 to {MAX_SCALE}, got {args.scale}")
    if args.sort is not None and not args.compare:
        raise UsageError("--sort orders the columns of --compare; add --compare")
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

    def row(
        item: tuple[Path, Path], stop: threading.Event
    ) -> tuple[list[tuple[str, Image.Image]], list[float], float | None]:
        source = item[0]
        _checkpoint(stop)
        try:
            image = shrink_to_width(load_image(_open_source(source, stdin)), args.cell_width)
        except Exception as exc:  # any plugin's failure on a broken file
            raise FileError(f"cannot read {_name(source)}: {_reason(exc)}") from None
        results = _dither(args, source, Frames([image]), settings)
        label = "stdin" if source == Path(STDIO) else source.name
        # With --scale the results come enlarged: the original is shown, and
        # scored, at their size.
        original = upscale(image, args.scale)
        cells = [(label, original)] + [(lab, r.images[0]) for lab, (_, r) in zip(labels, results)]
        figures = []
        floor = None
        if args.sort is not None:
            _checkpoint(stop)
            shown = [_as_shown(used, r.images[0]) for used, r in results]
            figures = scores(original, shown, args.sort)
            colours = {
                tuple(palette_colours(used.palette)) if used.palette is not None else ()
                for used, _ in results
            }
            if args.sort == "oklab" and len(colours) == 1 and () not in colours:
                _checkpoint(stop)
                floor = oklab_floor(original, list(colours.pop()))
        return cells, figures, floor

    futures = _run_all(row, found, args.jobs or os.cpu_count() or 1, lambda future: None)
    rows = []
    for future in futures:
        try:
            rows.append(future.result())
        except FileError as exc:
            raise UsageError(str(exc)) from None
    order = list(range(len(labels)))
    if args.sort is not None:
        means = [sum(figures[i] for _, figures, _ in rows) / len(rows) for i in order]
        order.sort(key=lambda i: means[i])
        _print_figures(args, [cells[0][0] for cells, _, _ in rows], labels, rows, order)
    cells = []
    for row_cells, figures, _ in rows:
        cells.append(row_cells[0])
        for i in order:
            label, picture = row_cells[1 + i]
            if figures:
                label = f"{label} ({args.sort} {figures[i]:.2f})"
            cells.append((label, picture))
    sheet = contact_sheet(cells, columns=len(labels) + 1)
    try:
        _write(Frames([sheet]), output, args)
    except FileError as exc:
        raise UsageError(str(exc)) from None
    if not args.quiet:
        sys.stderr.write(f"tonalis: wrote {args.output} ({len(rows)} x {len(labels)} images)\n")
    return EXIT_OK


def _as_shown(used: DitherSettings, result: Image.Image) -> Image.Image:
    """A result in the colours dithered to: a panel's measured ones, not its driver's."""
    if used.display_palette is None or used.palette is None:
        return result
    shown: Image.Image = recolor(result.convert("RGB"), used.display_palette, used.palette)
    return shown


#: The last row of the blurred figure's table, and what it means.
FLOOR_LABEL = "(floor)"
FLOOR_TITLE = "the least any image of the palette's colours can score"

_METRIC_TITLES = {
    "oklab": "blurred Oklab distance x 100",
    "scielab": "S-CIELAB mean Delta E at 35 pixels per degree",
    "speckle": "percent of pixels given a hue over 95 degrees away",
}


def _print_figures(
    args: argparse.Namespace,
    inputs: list[str],
    labels: list[str],
    rows: list[tuple[list[tuple[str, Image.Image]], list[float], float | None]],
    order: list[int],
) -> None:
    """The table of figures, best first: on standard output, or standard error
    when the sheet goes to standard output. With one palette for every column,
    the blurred figure's table ends with the floor no image of its colours
    goes below."""
    stream = sys.stderr if args.output == STDIO else sys.stdout
    columns = inputs + ["mean"] if len(inputs) > 1 else inputs
    floors = [floor for _, _, floor in rows]
    lines = [(labels[i], [figures[i] for _, figures, _ in rows]) for i in order]
    if all(floor is not None for floor in floors):
        lines.append((FLOOR_LABEL, [float(floor or 0.0) for floor in floors]))
    width = max(len(label) for label, _ in lines + [("method", [])])
    heads = [max(len(c), 6) for c in columns]
    stream.write(f"{args.sort}: {_METRIC_TITLES[args.sort]}, lower is better\n")
    stream.write(
        f"{'method':<{width}}  " + "  ".join(f"{c:>{w}}" for c, w in zip(columns, heads)) + "\n"
    )
    for label, values in lines:
        if len(inputs) > 1:
            values.append(sum(values) / len(values))
        stream.write(
            f"{label:<{width}}  " + "  ".join(f"{v:>{w}.2f}" for v, w in zip(values, heads)) + "\n"
        )
    if lines[-1][0] == FLOOR_LABEL:
        stream.write(f"{FLOOR_LABEL}: {FLOOR_TITLE}\n")
    stream.flush()


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
    """Entry point of the `tonalis` console script; returns the exit status.

    Errors are reported on standard error as one line each, never as a
    traceback; progress goes there too when it is a terminal.

    Args:
        argv: the arguments after the command's name; default ``sys.argv[1:]``.

    Returns:
        `EXIT_OK` (0); `EXIT_FAILED` (2) for a usage error or a file that
        failed; `EXIT_INTERRUPTED` (130) after Ctrl-C, `EXIT_TERMINATED`
        (143) after SIGTERM.

    Examples:
        >>> from PIL import Image
        >>> Image.new("RGB", (16, 8), "orange").save("in.png")
        >>> main(["in.png", "-o", "out.png", "--gray"])
        0
        >>> Image.open("out.png").mode
        '1'
    """
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
