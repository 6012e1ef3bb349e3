"""The command's inputs and outputs: collecting, planning, reading and writing files."""

from __future__ import annotations

import argparse
import dataclasses
import glob
import io
import os
import re
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import IO, Any

import numpy as np

from ..batch.planner import OutputClash, file_identity, plan_outputs
from ..devices.fit import fit_image
from ..devices.pack import c_header, dither_target, pack
from ..devices.printer import fit_width, flatten
from ..io.imagefile import (
    Frames,
    is_lossy,
    load_frames,
    make_folder,
    output_format,
    save_bytes,
    save_frames,
)
from ..palettes.presets import adaptive_palette, parse_palette
from ..pipeline import DitherSettings, dither_frames
from .options import _ink_bits_argument, _reason
from .parser import STDIO, FileError, UsageError


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
    if stdin is not None and source == Path(STDIO) and not stdin:
        raise FileError("cannot read standard input: it is empty")
    try:
        return load_frames(_open_source(source, stdin))
    except Exception as exc:  # any plugin's failure on a broken file
        raise FileError(f"cannot read {_name(source)}: {_reason(exc)}") from None


def _dither(
    args: argparse.Namespace, source: Path, frames: Frames, settings: Sequence[DitherSettings]
) -> list[tuple[DitherSettings, Frames]]:
    """`frames` dithered with each of `settings`, with the settings used: with
    --colors, all with the image's own palette."""
    frames = _for_device(args, source, frames)
    try:
        if args.colors is not None:
            stacked = np.concatenate([np.asarray(image) for image in frames.images], axis=0)
            palette = adaptive_palette(stacked, args.colors)
            settings = [dataclasses.replace(s, palette=palette) for s in settings]
        return [
            (s, dither_frames(s, frames, stable=args.stable, scale=args.scale)) for s in settings
        ]
    except (TypeError, ValueError, OverflowError) as exc:
        raise FileError(f"{_name(source)}: {exc}") from None


#: The dots a line of 80 mm receipt paper (203 dpi), the widest common roll.
ESCPOS_WIDEST = 576


def _for_device(args: argparse.Namespace, source: Path, frames: Frames) -> Frames:
    """`frames` laid over --background (white for --pack, which holds no alpha)
    and fitted to --width or --size, as the printer or panel will show them."""
    background = args.background or ("white" if args.pack is not None else None)
    width = args.width
    size = getattr(args, "size", None)
    widest = ESCPOS_WIDEST
    if width is None and args.pack is not None and not args.quiet:
        if dither_target(args.pack).name == "escpos" and frames.images[0].width > widest:
            sys.stderr.write(
                f"tonalis: note: {_name(source)} is {frames.images[0].width} dots wide, "
                f"more than the {widest} of 80 mm receipt paper; pass --width to fit it\n"
            )
    if background is None and width is None and size is None:
        return frames
    images = frames.images
    if background is not None:
        images = [flatten(image, background) for image in images]
    if size is not None:
        before = images[0].size
        try:
            images = [
                fit_image(
                    image,
                    size,
                    mode=args.fit,
                    rotate=args.rotate is not False,
                    background=background or "white",
                )
                for image in images
            ]
        except ValueError as exc:
            raise FileError(f"{_name(source)}: {exc} (--size)") from None
        if images[0].size != before and not args.quiet:
            sys.stderr.write(
                f"tonalis: {_name(source)} is {before[0]} x {before[1]}: fitted to "
                f"{size[0]} x {size[1]} (--fit {args.fit})\n"
            )
    if width is not None:
        before = images[0].size
        if args.fit == "refuse" and before[0] > width:
            raise FileError(
                f"{_name(source)} is {before[0]} dots wide, more than --width {width} "
                "(--fit shrink scales it down)"
            )
        try:
            images = [fit_width(image, width, fit=args.fit or "shrink") for image in images]
        except ValueError as exc:
            raise FileError(f"{_name(source)}: {exc} (--width {width})") from None
        if images[0].size != before and not args.quiet:
            sys.stderr.write(
                f"tonalis: {_name(source)} is {before[0]} x {before[1]}: scaled to "
                f"{images[0].width} x {images[0].height} for --width {width}\n"
            )
    return frames.replace_images(images)


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
    # A panel's index formats write the codes its controller takes.
    panel = args.panel if target.name.startswith("index") else None
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
            panel=panel,
            ink_bits=None if args.ink_bits is None else _ink_bits_argument(args.ink_bits),
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
