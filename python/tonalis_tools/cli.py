"""The `tonalis` command: dither image files, compare methods, write the gallery."""

from __future__ import annotations

import argparse
import dataclasses
import glob
import importlib.util
import os
import sys
import threading
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path
from typing import IO, Any, NoReturn

import tonalis

from .bluenoise import SIZES as BLUE_NOISE_SIZES

EXIT_OK = 0
EXIT_FAILED = 2

DEFAULT_COMPARE = "floyd_steinberg,atkinson,jarvis_judice_ninke,bayer8x8,bluenoise64,random"

EXAMPLES = """\
examples:
  tonalis photo.jpg -o photo-bw.png                  Floyd-Steinberg, black and white
  tonalis photo.jpg -o out.png -m atkinson --levels 4
  tonalis photo.jpg -o out.png --preset pico8 --serpentine
  tonalis photo.jpg -o out.png --palette "#000,#fff,#f00" -m bayer8x8
  tonalis photo.jpg -o out.png --colors 8            adaptive palette of 8 colours
  tonalis photo.jpg -o out.png --matrix bluenoise64  ordered dither, blue noise
  tonalis photo.jpg -o out.png --matrix mine.npy     your own threshold matrix
  tonalis shots/ 'more/*.tif' -o dithered/ --format png -j 2
  tonalis photo.jpg --compare -m fs,atkinson,bayer8x8,bluenoise64 -o sheet.png
  tonalis demo gallery                               write the gallery of every family
  tonalis --list                                     methods, matrices and presets

Method names are loose: case does not matter and '-', '_' and spaces may be
used or left out ('Floyd-Steinberg', 'fs', 'sierra 2'). Exit status: 0 on
success, 2 when an option, a preset or an input is bad, or a file could not
be read or written (every other file of a batch is still done).
"""

DEMO_HELP = """\
usage: tonalis demo OUTDIR

Dither the built-in photograph and gradients with every family and option,
and write the gallery (PNG contact sheets and an index.html) into OUTDIR.
"""


class UsageError(Exception):
    """A bad option or input: reported as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see tonalis --help)")


def _build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tonalis",
        usage="tonalis INPUT... -o OUTPUT [options]\n       tonalis demo OUTDIR",
        description="Dither 8-bit images: error diffusion, ordered and random dither,\n"
        "to gray levels or to a palette. Reads and writes every format Pillow handles.\n"
        "Batches run on a thread pool.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("inputs", nargs="*", metavar="INPUT",
                        help="image files, directories of images, or glob patterns")
    parser.add_argument("-o", "--output", metavar="OUTPUT",
                        help="output file for one input; a directory for several "
                        "(created, file names kept); the sheet file with --compare")
    parser.add_argument("--version", action="version", version=f"tonalis {tonalis.__version__}")
    parser.add_argument("--list", action="store_true",
                        help="list the methods, matrices and palette presets, and exit")

    how = parser.add_argument_group("dithering")
    how.add_argument("-m", "--method", default=None, metavar="NAME",
                     help="error-diffusion kernel, 'bayerNxN', 'bluenoise16/32/64' or 'random' "
                     "(default floyd_steinberg); with --compare a comma-separated list")
    how.add_argument("--matrix", metavar="NAME|FILE",
                     help="ordered dither with this matrix: 'bayer2x2'..'bayer16x16', "
                     "'bluenoise16/32/64', or a .npy or text file (whole numbers = indices, "
                     "decimals = thresholds in [0, 1])")
    how.add_argument("--serpentine", action="store_true",
                     help="error diffusion: alternate the scan direction every row")
    how.add_argument("--strength", type=float, default=1.0, metavar="S",
                     help="dithering strength in [0, 1]; 0 = plain quantization (default 1)")
    how.add_argument("--linear", action="store_true", help="work in linear light")
    how.add_argument("--seed", type=int, default=None, metavar="N",
                     help="random dither: seed for reproducible output")
    how.add_argument("--no-preserve-alpha", dest="preserve_alpha", action="store_false",
                     help="dither the alpha channel of LA/RGBA images too")

    colours = parser.add_argument_group("levels and palettes (pick one)")
    pick = colours.add_mutually_exclusive_group()
    pick.add_argument("--levels", type=int, default=None, metavar="N",
                      help="gray levels per channel, 2..256 (default 2)")
    pick.add_argument("--palette", metavar="COLOURS|FILE",
                      help="hex colours separated by commas or spaces ('#000,#fff,#f00'), "
                      "or a file of them (a GIMP .gpl palette works too)")
    pick.add_argument("--preset", metavar="NAME", help="a named palette, see --list")
    pick.add_argument("--colors", "--colours", type=int, default=None, metavar="N",
                      help="an adaptive palette of N colours fitted to each image (median cut)")

    files = parser.add_argument_group("files")
    files.add_argument("--format", metavar="EXT",
                       help="output format for a directory output, by suffix (png, gif, tif, ...)")
    files.add_argument("-r", "--recursive", action="store_true",
                       help="descend into subdirectories of directory inputs, mirroring them")
    files.add_argument("--overwrite", action="store_true",
                       help="allow an output to replace an input file")
    files.add_argument("--indexed", action="store_true",
                       help="store results of at most 256 colours as palette images (smaller files)")
    files.add_argument("-j", "--jobs", type=int, default=None, metavar="N",
                       help="files dithered at once (default: the number of CPUs)")
    files.add_argument("--progress", action="store_true",
                       help="always show the progress bar (default: batches of more than "
                       "3 files on a terminal)")
    files.add_argument("-q", "--quiet", action="store_true", help="no progress bar")

    sheet = parser.add_argument_group("comparing")
    sheet.add_argument("--compare", action="store_true",
                       help="write one contact sheet: a row per input, a column per method "
                       f"of --method (default {DEFAULT_COMPARE})")
    sheet.add_argument("--cell-width", type=int, default=320, metavar="PX",
                       help="--compare: shrink wider inputs to this width before dithering, "
                       "0 keeps their size (default 320)")
    return parser


# --- settings -----------------------------------------------------------------

def _palette_argument(text: str) -> list[str]:
    from .presets import parse_palette

    candidate = Path(text)
    if candidate.is_file():
        try:
            content = candidate.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            raise UsageError(f"cannot read palette file {text!r}: {_reason(exc)}") from None
        where = f"palette file {text!r}"
    else:
        content = text
        where = "--palette"
    try:
        return parse_palette(content)
    except ValueError as exc:
        raise UsageError(f"{where}: {exc}") from None


def _matrix_names() -> list[str]:
    return tonalis.available_matrices() + [f"bluenoise{n}" for n in BLUE_NOISE_SIZES]


def _matrix_argument(text: str) -> Any:
    from .pipeline import blue_noise_size, load_matrix
    from .presets import _key

    if blue_noise_size(text) is not None:
        return text
    key = _key(text)
    if key.startswith("bayer") or key.isdigit():
        return int(key) if key.isdigit() else text
    if not os.path.exists(text):
        names = ", ".join(_matrix_names())
        raise UsageError(f"--matrix {text!r} is neither a matrix name ({names}) nor a file")
    try:
        return load_matrix(text)
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read matrix file {text!r}: {_reason(exc)}") from None


def _settings(args: argparse.Namespace, method: str, palette: list[str] | None, matrix: Any) -> Any:
    from .pipeline import DitherSettings

    return DitherSettings(
        method=method,
        levels=args.levels,
        palette=palette,
        serpentine=args.serpentine,
        seed=args.seed,
        strength=args.strength,
        linear=args.linear,
        preserve_alpha=args.preserve_alpha,
        matrix=matrix,
    )


def _check_settings(settings: Any) -> None:
    from .pipeline import check

    try:
        check(settings)
    except (TypeError, ValueError, OverflowError) as exc:
        message = str(exc)
        if message.startswith("unknown dither method"):
            message += ", " + ", ".join(f"'bluenoise{n}'" for n in BLUE_NOISE_SIZES)
        raise UsageError(message) from None


# --- inputs and outputs -----------------------------------------------------------

def _image_suffixes() -> set[str]:
    from PIL import Image

    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def _collect(inputs: Sequence[str], recursive: bool) -> tuple[list[tuple[Path, Path]], bool]:
    """(file, path relative to its output root) pairs, and whether any input was many."""
    found: list[tuple[Path, Path]] = []
    many = len(inputs) > 1
    suffixes: set[str] | None = None
    for text in inputs:
        path = Path(text)
        if path.is_dir():
            many = True
            suffixes = suffixes or _image_suffixes()
            walker = path.rglob("*") if recursive else path.glob("*")
            files = sorted(p for p in walker if p.is_file() and p.suffix.lower() in suffixes)
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


def _plan(
    args: argparse.Namespace, found: list[tuple[Path, Path]], many: bool
) -> list[tuple[Path, Path]]:
    from .pipeline import output_format

    output = Path(args.output)
    to_directory = many or output.is_dir() or args.output.endswith(("/", os.sep))
    pairs: list[tuple[Path, Path]] = []
    for source, relative in found:
        if to_directory:
            destination = output / relative
            if args.format:
                destination = destination.with_suffix("." + args.format.lstrip(".").lower())
        else:
            destination = output
        pairs.append((source, destination))
    checked: set[str] = set()
    for _, destination in pairs:
        suffix = destination.suffix.lower()
        if suffix not in checked:
            try:
                output_format(destination)
            except ValueError as exc:
                hint = "; pick one with --format" if to_directory else ""
                raise UsageError(f"{exc}{hint}") from None
            checked.add(suffix)
    inputs = {_identity(source): source for source, _ in pairs}
    seen: dict[str, Path] = {}
    for source, destination in pairs:
        ident = _identity(destination)
        if ident in seen:
            raise UsageError(f"{str(seen[ident])!r} and {str(source)!r} would both be written "
                             f"to {str(destination)!r}")
        seen[ident] = source
        if ident in inputs and not args.overwrite:
            raise UsageError(f"refusing to overwrite input {str(inputs[ident])!r} "
                             f"(pass --overwrite to allow it)")
    return pairs


def _identity(path: Path) -> str:
    return os.path.normcase(os.path.realpath(path))


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[0].lower() + exc.strerror[1:]
    text = str(exc) or type(exc).__name__
    return text.splitlines()[0]


# --- progress -----------------------------------------------------------------------

class Progress:
    """A one-line progress bar on a text stream: `[#####-----]  5/10 files`."""

    def __init__(self, total: int, stream: IO[str], enabled: bool, width: int = 30) -> None:
        self.total, self.stream, self.enabled, self.width = total, stream, enabled, width
        self.done = 0
        self._lock = threading.Lock()
        self._shown = False
        if enabled:
            self._draw()

    def _draw(self) -> None:
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "-" * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.done:>{len(str(self.total))}}/{self.total} files")
        self.stream.flush()
        self._shown = True

    def step(self) -> None:
        with self._lock:
            self.done += 1
            if self.enabled:
                self._draw()

    def message(self, text: str) -> None:
        """Print a line without breaking the bar."""
        with self._lock:
            if self._shown:
                self.stream.write("\r" + " " * (self.width + 20 + 2 * len(str(self.total))) + "\r")
            self.stream.write(text + "\n")
            if self.enabled:
                self._draw()
            self.stream.flush()

    def close(self) -> None:
        with self._lock:
            if self._shown:
                self.stream.write("\n")
                self.stream.flush()
                self._shown = False


# --- commands ----------------------------------------------------------------------

def _error(text: str) -> None:
    sys.stderr.write(f"tonalis: error: {text}\n")


def _list() -> None:
    from .presets import PRESETS

    print("error-diffusion methods:", ", ".join(tonalis.available_methods()))
    print("ordered matrices:", ", ".join(_matrix_names()))
    print("other: random")
    print("palette presets:")
    width = max(len(name) for name in PRESETS)
    for name, (description, colours) in PRESETS.items():
        print(f"  {name:<{width}}  {len(colours):>3} colours  {description}")


def _demo(argv: Sequence[str]) -> int:
    if argv and argv[0] in ("-h", "--help"):
        sys.stdout.write(DEMO_HELP)
        return EXIT_OK
    if len(argv) != 1:
        raise UsageError("usage: tonalis demo OUTDIR")
    from .gallery import build_gallery

    written = build_gallery(argv[0], log=print)
    print(f"{len(written)} files in {argv[0]}")
    return EXIT_OK


def _resolve_palette(args: argparse.Namespace) -> list[str] | None:
    if args.palette is not None:
        return _palette_argument(args.palette)
    if args.preset is not None:
        from .presets import preset

        try:
            return preset(args.preset)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
    return None


def _methods(args: argparse.Namespace) -> list[str]:
    if args.compare:
        text = args.method or DEFAULT_COMPARE
        methods = [m.strip() for m in text.split(",") if m.strip()]
        if not methods:
            raise UsageError("--method lists no method")
        return methods
    if args.method is not None and "," in args.method:
        raise UsageError("several methods need --compare")
    return [args.method or "floyd_steinberg"]


def _run(argv: Sequence[str]) -> int:
    if argv and argv[0] == "demo":
        return _demo(argv[1:])
    args = _build_parser().parse_args(argv)
    if args.list:
        _list()
        return EXIT_OK
    if not args.inputs:
        raise UsageError("no input given (see tonalis --help)")
    if args.output is None:
        raise UsageError("no output given: pass -o OUTPUT")
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    if args.colors is not None and not 2 <= args.colors <= 256:
        raise UsageError(f"--colors must be between 2 and 256, got {args.colors}")
    if args.matrix is not None and args.method is not None and not args.compare:
        raise UsageError("--matrix picks ordered dither; leave out --method (or add --compare)")
    if importlib.util.find_spec("PIL") is None:
        raise UsageError("the tonalis command needs Pillow: pip install 'tonalis[pil]'")

    matrix = _matrix_argument(args.matrix) if args.matrix is not None else None
    palette = _resolve_palette(args)
    methods = _methods(args)
    if args.compare:
        # One column per method, and one more for a custom matrix.
        labels = list(methods)
        settings = [_settings(args, m, palette, None) for m in methods]
        if matrix is not None:
            labels.append(f"matrix {args.matrix}")
            settings.append(_settings(args, "ordered", palette, matrix))
    else:
        labels = methods
        settings = [_settings(args, methods[0], palette, matrix)]
    for s in settings:
        _check_settings(s)
    from .pipeline import resolve

    settings = [resolve(s) for s in settings]
    if args.colors is not None:
        _check_settings(dataclasses.replace(settings[0], palette=["#000", "#fff"]))

    found, many = _collect(args.inputs, args.recursive)
    if not found:
        raise UsageError("no image files found in the inputs")
    if args.compare:
        return _compare(args, found, labels, settings)
    pairs = _plan(args, found, many)
    return _batch(args, pairs, settings[0])


def _load(source: Path) -> Any:
    from .pipeline import load_image

    try:
        return load_image(source)
    except (OSError, ValueError, SyntaxError) as exc:
        raise _FileError(f"cannot read {str(source)!r}: {_reason(exc)}") from None


def _dither(args: argparse.Namespace, source: Path, image: Any, settings: Sequence[Any]) -> list[Any]:
    """`image` dithered with each of `settings`; with --colors, all with the image's own palette."""
    from .pipeline import apply
    from .presets import adaptive_palette

    try:
        if args.colors is not None:
            palette = adaptive_palette(image, args.colors)
            settings = [dataclasses.replace(s, palette=palette) for s in settings]
        return [apply(s, image) for s in settings]
    except (TypeError, ValueError, OverflowError) as exc:
        raise _FileError(f"{str(source)!r}: {exc}") from None


def _batch(args: argparse.Namespace, pairs: list[tuple[Path, Path]], settings: Any) -> int:
    from .pipeline import save_image

    def work(source: Path, destination: Path) -> None:
        image = _load(source)
        (result,) = _dither(args, source, image, [settings])
        try:
            destination.parent.mkdir(parents=True, exist_ok=True)
            save_image(result, destination, indexed=args.indexed)
        except (OSError, ValueError) as exc:
            raise _FileError(f"cannot write {str(destination)!r}: {_reason(exc)}") from None

    show = not args.quiet and (args.progress or (len(pairs) > 3 and sys.stderr.isatty()))
    progress = Progress(len(pairs), sys.stderr, show)
    jobs = args.jobs or os.cpu_count() or 1
    failures = 0
    try:
        with ThreadPoolExecutor(max_workers=min(jobs, len(pairs))) as pool:
            futures = [pool.submit(work, s, d) for s, d in pairs]
            for future in as_completed(futures):
                try:
                    future.result()
                except _FileError as exc:
                    failures += 1
                    progress.message(f"tonalis: error: {exc}")
                progress.step()
    finally:
        progress.close()
    if failures and len(pairs) > 1:
        _error(f"{failures} of {len(pairs)} files failed")
    return EXIT_FAILED if failures else EXIT_OK


class _FileError(Exception):
    pass


def _compare(args: argparse.Namespace, found: list[tuple[Path, Path]], labels: list[str],
             settings: list[Any]) -> int:
    from PIL import Image

    from .pipeline import output_format, save_image
    from .sheet import contact_sheet

    output = Path(args.output)
    try:
        output_format(output)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if any(_identity(output) == _identity(source) for source, _ in found) and not args.overwrite:
        raise UsageError(f"refusing to overwrite input {args.output!r} (pass --overwrite to allow it)")
    if args.cell_width < 0:
        raise UsageError(f"--cell-width must be 0 or more, got {args.cell_width}")

    def row(source: Path) -> list[tuple[str, Image.Image]]:
        image = _load(source)
        if args.cell_width and image.width > args.cell_width:
            height = max(1, round(image.height * args.cell_width / image.width))
            image = image.resize((args.cell_width, height), Image.Resampling.LANCZOS)
        cells = [(source.name, image)]
        for label, result in zip(labels, _dither(args, source, image, settings)):
            cells.append((label, result if isinstance(result, Image.Image) else Image.fromarray(result)))
        return cells

    jobs = args.jobs or os.cpu_count() or 1
    with ThreadPoolExecutor(max_workers=min(jobs, len(found))) as pool:
        futures = [pool.submit(row, source) for source, _ in found]
        rows = []
        for future in futures:
            try:
                rows.append(future.result())
            except _FileError as exc:
                raise UsageError(str(exc)) from None
    cells = [cell for r in rows for cell in r]
    sheet = contact_sheet(cells, columns=len(labels) + 1)
    try:
        output.parent.mkdir(parents=True, exist_ok=True)
        save_image(sheet, output, indexed=args.indexed)
    except (OSError, ValueError) as exc:
        raise UsageError(f"cannot write {args.output!r}: {_reason(exc)}") from None
    if not args.quiet:
        print(f"wrote {output} ({len(rows)} x {len(labels)} images)")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the `tonalis` console script; returns the exit status."""
    try:
        return _run(list(sys.argv[1:] if argv is None else argv))
    except UsageError as exc:
        _error(str(exc))
        return EXIT_FAILED
    except KeyboardInterrupt:
        sys.stderr.write("tonalis: interrupted\n")
        return 130
    except BrokenPipeError:
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
