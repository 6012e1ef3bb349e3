"""Image files in and out: every Pillow mode read as L, LA, RGB or RGBA,
every frame of an animation, and results written losslessly in their
smallest form, through a temporary file so no reader ever sees half of one."""

from __future__ import annotations

import dataclasses
import errno
import os
import secrets
import threading
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .encoding import index_colours, smallest_image
from .pixelart import DEFAULT_ALPHA_THRESHOLD

if TYPE_CHECKING:
    from PIL import Image

__all__ = [
    "ANIMATED_FORMATS",
    "Frames",
    "is_lossy",
    "load_frames",
    "load_image",
    "make_folder",
    "output_format",
    "save_bytes",
    "save_frames",
    "save_image",
    "WriteAbandoned",
    "WriteGuard",
]

Source = str | os.PathLike[str] | IO[bytes]
Destination = str | os.PathLike[str] | IO[bytes]

# Modes the engines take as they are; anything else is converted on reading.
_KEPT_MODES = ("L", "LA", "RGB", "RGBA")
_SIXTEEN_BIT = ("I;16", "I;16L", "I;16B", "I;16N")
_ORIENTATION = 0x0112  # the EXIF tag
# Formats that cannot store an alpha channel: it is dropped on writing.
_NO_ALPHA = ("JPEG", "MPO", "MPEG", "PCX", "EPS", "PDF")
# Formats whose palette images we make ourselves (PNG may carry alpha in its palette).
_PALETTE_FORMATS = ("PNG", "GIF", "TIFF", "BMP")

#: zlib's level for PNG. Dithered images are mostly noise to zlib: level 1
#: writes a 6000 x 4000 result of 4 to 16 colours 3 to 6 times as fast as
#: Pillow's default (6), in files at most a tenth larger, often no larger.
PNG_COMPRESS_LEVEL = 1

#: Formats that hold an animation, with per-frame durations and a loop count.
ANIMATED_FORMATS = ("GIF", "PNG", "WEBP")


@dataclasses.dataclass
class Frames:
    """The frames of an image file, each a full canvas in one mode.

    `disposals` use GIF's numbering (0 unspecified, 1 leave in place,
    2 restore to background, 3 restore to previous); `durations` are in
    milliseconds; `loop` is how often to play (0 forever), None for once.

    Args:
        images: the PIL images, one per frame, of one size and mode.
        durations: milliseconds each frame shows.
        disposals: what happens to each frame before the next.
        loop: the loop count, None for once.
        source_format: Pillow's name of the format read, None when made here.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> pictures = [Image.fromarray(np.full((4, 6), v, np.uint8)) for v in (0, 255)]
        >>> save_frames(Frames(pictures, [100, 100], [1, 1], loop=0), "blink.gif")
        >>> frames = load_frames("blink.gif")
        >>> frames.animated, frames.durations, frames.loop, frames.source_format
        (True, [100.0, 100.0], 0, 'GIF')
    """

    images: list[Image.Image]
    durations: list[float] = dataclasses.field(default_factory=list)
    disposals: list[int] = dataclasses.field(default_factory=list)
    loop: int | None = None
    source_format: str | None = None

    @property
    def animated(self) -> bool:
        """Whether there is more than one frame."""
        return len(self.images) > 1

    def replace_images(self, images: Sequence[Image.Image]) -> Frames:
        """The same timing with other pictures, one per frame.

        Raises:
            ValueError: not one picture per frame.
        """
        if len(images) != len(self.images):
            raise ValueError(f"{len(images)} images for {len(self.images)} frames")
        return dataclasses.replace(self, images=list(images))


def _to_engine_mode(image: Image.Image) -> Image.Image:
    """`image` as L, LA, RGB or RGBA; 16-bit and float values scaled to 8 bits."""
    from PIL import Image

    mode = image.mode
    if mode in _KEPT_MODES:
        return image
    if mode == "1":
        return image.convert("L")
    if mode in ("P", "PA"):
        has_alpha = mode == "PA" or "transparency" in image.info
        colour = image.convert("RGBA" if has_alpha else "RGB")
        if _gray_palette(image):
            return colour.convert("LA" if has_alpha else "L")
        return colour
    if mode in _SIXTEEN_BIT or mode in ("I", "F"):
        array = np.asarray(image.convert("F") if mode != "F" else image, dtype=np.float64)
        top = 65535.0 if mode in _SIXTEEN_BIT or array.max(initial=0) > 255 else 255.0
        scaled = np.clip(np.floor(array * (255.0 / top) + 0.5), 0, 255).astype(np.uint8)
        return Image.fromarray(scaled)
    if mode in ("La", "RGBa"):
        return image.convert("LA" if mode == "La" else "RGBA")
    return image.convert("RGB")


def _gray_palette(image: Image.Image) -> bool:
    """Whether every palette entry is a gray (r = g = b), as in a stored gray result."""
    entries = np.asarray(image.getpalette() or [0, 0, 1], dtype=np.uint8).reshape(-1, 3)
    return bool(np.all(entries[:, :1] == entries[:, 1:]))


def _common_mode(images: Sequence[Image.Image]) -> str:
    alpha = any(im.mode in ("LA", "RGBA") for im in images)
    colour = any(im.mode in ("RGB", "RGBA") for im in images)
    return ("RGB" if colour else "L") + ("A" if alpha else "")


def _disposal(frame: Image.Image, fmt: str | None) -> int:
    if fmt == "GIF":
        return int(getattr(frame, "disposal_method", 0))
    if fmt == "PNG":
        return int(frame.info.get("disposal", 0)) + 1
    return 1


def _upright(image: Image.Image) -> Image.Image:
    """The loaded current frame turned per its EXIF orientation (a copy only when it turns)."""
    from PIL import ImageOps

    if image.getexif().get(_ORIENTATION, 1) == 1:
        return image
    return ImageOps.exif_transpose(image) or image


def _check_source(source: object) -> None:
    if isinstance(source, (str, bytes, os.PathLike)) or callable(getattr(source, "read", None)):
        return
    raise TypeError(
        f"path must be a file name, a path or a binary file object, got {type(source).__name__}"
    )


def load_frames(source: Source) -> Frames:
    """Every frame of an image file, as full canvases in one engine mode
    (L, LA, RGB or RGBA), upright per the EXIF orientation, with the
    frames' durations, disposals and loop count.

    Args:
        source: a file name, a path or a binary file object.

    Returns:
        The `Frames`; one frame for a still image.

    Raises:
        TypeError: `source` is neither a file name, a path nor a file object.
        OSError: the file cannot be read (UnidentifiedImageError when it
            is not an image).

    Examples:
        >>> from PIL import Image
        >>> Image.new("RGB", (8, 4), "teal").save("still.png")
        >>> frames = load_frames("still.png")
        >>> len(frames.images), frames.images[0].size, frames.animated
        (1, (8, 4), False)
    """
    from PIL import Image

    _check_source(source)
    with Image.open(source) as opened:
        fmt = opened.format
        count = int(getattr(opened, "n_frames", 1))
        images, durations, disposals = [], [], []
        for index in range(count):
            opened.seek(index)
            opened.load()
            upright = _upright(opened) if count == 1 else _upright(opened.copy())
            images.append(_to_engine_mode(upright))
            durations.append(float(opened.info.get("duration", 0) or 0))
            disposals.append(_disposal(opened, fmt))
        loop = opened.info.get("loop")
    mode = _common_mode(images)
    images = [im if im.mode == mode else im.convert(mode) for im in images]
    return Frames(images, durations, disposals, None if loop is None else int(loop), fmt)


def load_image(path: Source) -> Image.Image:
    """Open an image file as L, LA, RGB or RGBA, upright per its EXIF orientation.

    Palette images become RGB, or RGBA when they have transparency; 1-bit
    images become L; 16-bit and float images are scaled to 8 bits; other
    modes (CMYK, YCbCr, ...) become RGB. Multi-frame files give their first
    frame; `load_frames` gives them all.

    Args:
        path: a file name, a path or a binary file object.

    Returns:
        A loaded PIL image in one of the four modes.

    Raises:
        TypeError: `path` is neither a file name, a path nor a file object.
        OSError: the file cannot be read (UnidentifiedImageError when it
            is not an image).

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> ramp = np.linspace(0, 65535, 8).astype(np.uint16).reshape(2, 4)
        >>> Image.fromarray(ramp).save("scan16.png")
        >>> image = load_image("scan16.png")
        >>> image.mode, np.asarray(image)[0].tolist()
        ('L', [0, 36, 73, 109])
    """
    from PIL import Image

    _check_source(path)
    with Image.open(path) as opened:
        opened.load()
        return _to_engine_mode(_upright(opened))


def output_format(path: str | os.PathLike[str]) -> str:
    """Pillow's format name for a file name ('PNG' for x.png); ValueError if unknown.

    Args:
        path: a file name; only its suffix counts, in any case.

    Returns:
        The format name Pillow writes it with.

    Raises:
        ValueError: Pillow has no writer for the suffix.

    Examples:
        >>> output_format("out.png"), output_format("photo.JPG")
        ('PNG', 'JPEG')
        >>> output_format("out.abc")
        Traceback (most recent call last):
        ...
        ValueError: cannot write images as '.abc': Pillow has no writer for it
    """
    from PIL import Image

    suffix = Path(path).suffix.lower()
    Image.preinit()  # the common formats, without importing every plugin
    fmt = Image.EXTENSION.get(suffix)
    if fmt is None or fmt not in Image.SAVE:
        fmt = Image.registered_extensions().get(suffix)
    if fmt is None or fmt not in Image.SAVE:
        raise ValueError(
            f"cannot write images as {suffix or 'files without a suffix'!r}: "
            f"Pillow has no writer for it"
        )
    return fmt


def is_lossy(fmt: str) -> bool:
    """Whether Pillow writes this format with lossy compression (which smears a dither).

    Args:
        fmt: a Pillow format name, as `output_format` gives.

    Returns:
        True for JPEG and MPO.

    Examples:
        >>> is_lossy("JPEG"), is_lossy("PNG")
        (True, False)
    """
    return fmt in ("JPEG", "MPO")


def _drop_alpha(image: Image.Image) -> Image.Image:
    if image.mode in ("LA", "RGBA"):
        return image.convert("L" if image.mode == "LA" else "RGB")
    return image


def _stack(images: Sequence[Image.Image]) -> npt.NDArray[np.uint8]:
    return np.concatenate([np.asarray(im) for im in images], axis=0)


def _split(whole: Image.Image, count: int) -> list[Image.Image]:
    if count == 1:
        return [whole]
    height = whole.height // count
    parts = [whole.crop((0, i * height, whole.width, (i + 1) * height)) for i in range(count)]
    for part in parts:
        part.info.update(whole.info)
    return parts


def _gif_frames(
    images: Sequence[Image.Image], palette: npt.ArrayLike | None = None
) -> tuple[list[Image.Image], int | None]:
    """Palette frames sharing one palette, and the transparent index if any."""
    from PIL import Image

    array = _stack(images)
    mode = images[0].mode
    if mode in ("LA", "RGBA"):
        # GIF holds only transparent or opaque pixels: softer alpha is cut at half.
        cut = array[..., -1] < DEFAULT_ALPHA_THRESHOLD
        array = array.copy()
        array[..., -1] = 255
        array[cut] = 0  # every transparent pixel becomes the one transparent entry
    indexed = index_colours(array, order=palette)
    if indexed is None:
        raise ValueError(
            "GIF holds at most 256 colours and this result has more: "
            "write PNG, or dither to fewer levels or colours"
        )
    colours = indexed.colours
    transparent: int | None = None
    if mode in ("LA", "RGBA"):
        clear = np.flatnonzero(colours[:, -1] == 0)
        transparent = int(clear[0]) if len(clear) else None
        colours = colours[:, :-1]
    if colours.shape[1] == 1:
        colours = np.repeat(colours, 3, axis=1)
    whole = Image.fromarray(indexed.indices, "P")
    whole.putpalette(colours.tobytes(), "RGB")
    return _split(whole, len(images)), transparent


def _encode(
    frames: Frames, fmt: str, *, compact: bool, indexed: bool, palette: npt.ArrayLike | None
) -> tuple[list[Image.Image], dict[str, Any]]:
    """The images to hand to Pillow and the options to save them with."""
    images = frames.images
    options: dict[str, Any] = {}
    if fmt in _NO_ALPHA:
        images = [_drop_alpha(im) for im in images]
    if fmt == "GIF":
        images, transparent = _gif_frames(images, palette)
        if transparent is not None:
            options["transparency"] = transparent
    elif (compact or indexed) and fmt in _PALETTE_FORMATS:
        whole = _whole(images)
        small = smallest_image(whole, alpha_in_palette=fmt == "PNG", palette=palette)
        if small is not whole:
            images = _split(small, len(images))
    if indexed and images[0].mode not in ("P", "1"):
        if _soft_alpha(frames.images):
            raise ValueError(
                "an indexed image holds at most 256 colour and alpha pairs, and this "
                "result's partial transparency makes more: cut alpha to on or off "
                f"with an alpha threshold (--alpha-threshold {DEFAULT_ALPHA_THRESHOLD})"
                + ("" if fmt == "PNG" else f", or write PNG ({fmt} holds no alpha in a palette)")
            )
        raise ValueError(
            "an indexed image holds at most 256 colours (and, except in PNG, no "
            "transparency); this result has more"
        )
    if fmt == "WEBP":
        options["lossless"] = True
    if fmt == "PNG":
        options["compress_level"] = PNG_COMPRESS_LEVEL
    if "transparency" in images[0].info and fmt == "PNG":
        options["transparency"] = images[0].info["transparency"]
    return images, options


def _soft_alpha(images: Sequence[Image.Image]) -> bool:
    """Whether any frame has alpha other than 0 and 255."""
    if images[0].mode not in ("LA", "RGBA"):
        return False
    alpha = _stack(images)[..., -1]
    return bool(np.any((alpha != 0) & (alpha != 255)))


def _whole(images: Sequence[Image.Image]) -> Image.Image:
    """The frames one above the other, so they are encoded with one palette."""
    from PIL import Image

    return images[0] if len(images) == 1 else Image.fromarray(_stack(images), images[0].mode)


def _same_picture(a: Image.Image, b: Image.Image) -> bool:
    return a.mode == b.mode and a.size == b.size and a.tobytes() == b.tobytes()


def _animation_options(
    frames: Frames, fmt: str, images: Sequence[Image.Image], transparent: int | None
) -> dict[str, Any]:
    if fmt not in ANIMATED_FORMATS:
        raise ValueError(
            f"{fmt} cannot hold the {len(images)} frames of an animation: "
            "write GIF, PNG (APNG) or WebP"
        )
    options: dict[str, Any] = {"save_all": True, "append_images": list(images[1:])}
    durations = frames.durations or [100.0] * len(images)
    disposals = frames.disposals or [1] * len(images)
    if fmt == "GIF":
        options["duration"] = [round(d) for d in durations]
        if frames.loop is not None:
            options["loop"] = frames.loop
        kept = _gif_disposals(images, disposals, transparent)
        if all(_same_picture(images[0], image) for image in images[1:]):
            # Pillow merges identical frames into one (adding up their
            # durations) and then fails on a per-frame disposal list.
            options["disposal"] = kept[0]
        else:
            options["disposal"] = kept
    elif fmt == "PNG":
        options["duration"] = durations
        options["loop"] = 1 if frames.loop is None else frames.loop
        # Each frame is a whole canvas and replaces the last outright (blend
        # "source"), so every disposal shows the same picture. Pillow clears
        # to background only for RGBA frames; other frames are left in place,
        # which looks the same.
        kept = [max(d - 1, 0) for d in disposals]
        if images[0].mode != "RGBA":
            kept = [0 if d == 1 else d for d in kept]
        options["disposal"] = kept
        options["blend"] = [0] * len(images)
    else:
        options["duration"] = [round(d) for d in durations]
        options["loop"] = 1 if frames.loop is None else frames.loop
    return options


def _gif_disposals(
    images: Sequence[Image.Image], disposals: Sequence[int], transparent: int | None
) -> list[int]:
    """The disposals to write, kept except where they would show the wrong picture.

    Each frame is a whole canvas, drawn over what the frame before left
    behind; through its transparent pixels that shows. Leaving a frame in
    place (0, 1) is right when every pixel transparent in the next frame is
    transparent in this one too; otherwise the frame is cleared to the
    background (2), which always shows the next canvas as it is. Restoring
    the previous picture (3) does not survive Pillow's writer, which stores
    a frame as its change from the one before: it becomes 2 as well.
    """
    kept = [2 if d == 3 else int(d) for d in disposals]
    if transparent is None:
        return kept
    clear = [np.asarray(image) == transparent for image in images]
    for index in range(len(images) - 1):
        if kept[index] in (0, 1) and np.any(clear[index + 1] & ~clear[index]):
            kept[index] = 2
    return kept


class WriteGuard:
    """The temporary files of the writes a group of threads has under way,
    so that whoever stops them can remove what they leave half-written.

    A thread joins with `guard.attach()`; after `guard.abandon()` its writes
    in progress are gone, and any it starts fail with `WriteAbandoned`.

    Examples:
        >>> import threading
        >>> guard = WriteGuard()
        >>> def work():
        ...     guard.attach()
        ...     guard.abandon()      # as a Ctrl-C handler would, from another thread
        ...     try:
        ...         save_bytes(b"late", "late.bin")
        ...     except WriteAbandoned:
        ...         print("refused")
        >>> worker = threading.Thread(target=work)
        >>> worker.start(); worker.join()
        refused
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._pending: set[Path] = set()
        self._abandoned = False

    def attach(self) -> None:
        """Guard the writes of the calling thread."""
        _local.guard = self

    def abandon(self) -> None:
        """Remove the temporary files of the writes under way and refuse new ones."""
        with self._lock:
            self._abandoned = True
            pending, self._pending = self._pending, set()
        for temporary in pending:
            try:
                os.unlink(temporary)
            except OSError:
                pass

    def _open(self, temporary: Path) -> int:
        with self._lock:
            if self._abandoned:
                raise WriteAbandoned(f"not writing {str(temporary)!r}: the work was stopped")
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            self._pending.add(temporary)
            return descriptor

    def _done(self, temporary: Path) -> None:
        with self._lock:
            self._pending.discard(temporary)


class WriteAbandoned(Exception):
    """A write was asked for after its `WriteGuard` was abandoned.

    See `WriteGuard` for where it is raised.

    Examples:
        >>> issubclass(WriteAbandoned, Exception)
        True
    """


_local = threading.local()


def _write_atomically(path: Path, write: Callable[[IO[bytes]], None]) -> None:
    """Write through a hidden temporary file beside `path`, then rename it into place."""
    guard: WriteGuard | None = getattr(_local, "guard", None)
    while True:
        temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}.part")
        try:
            if guard is None:
                descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            else:
                descriptor = guard._open(temporary)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(descriptor, "wb") as stream:
            write(stream)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    finally:
        if guard is not None:
            guard._done(temporary)


def make_folder(folder: str | os.PathLike[str]) -> None:
    """Create `folder` and its parents; NotADirectoryError naming the culprit
    when one of them is a file (mkdir would say "file exists" or name the
    folder it could not make).

    Args:
        folder: the folder; nothing happens when it exists.

    Raises:
        NotADirectoryError: a part of the path is a file.
        OSError: the folder cannot be made for another reason.

    Examples:
        >>> make_folder("out/large")
        >>> import os
        >>> os.path.isdir("out/large")
        True
        >>> _ = open("note", "w").write("a file")
        >>> make_folder("note/deeper")
        Traceback (most recent call last):
        ...
        NotADirectoryError: [Errno 20] 'note' is a file, not a folder: 'note/deeper'
    """
    folder = Path(folder)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except (FileExistsError, NotADirectoryError):
        culprit = folder
        while culprit != culprit.parent and not culprit.exists():
            culprit = culprit.parent
        raise NotADirectoryError(
            errno.ENOTDIR, f"{str(culprit)!r} is a file, not a folder", str(folder)
        ) from None


def save_bytes(data: bytes, destination: Destination) -> None:
    """Write `data` to a stream, or to a file that appears only once complete.

    Args:
        data: the bytes.
        destination: a file name or path (written through a temporary file
            beside it, then renamed), or a binary stream.

    Raises:
        OSError: the file cannot be written; nothing is left under its name.
        WriteAbandoned: the thread's `WriteGuard` was abandoned.

    Examples:
        >>> save_bytes(b"0123", "frame.bin")
        >>> open("frame.bin", "rb").read()
        b'0123'
    """

    def write(stream: IO[bytes]) -> None:
        stream.write(data)

    if isinstance(destination, (str, os.PathLike)):
        _write_atomically(Path(destination), write)
    else:
        write(destination)


def save_frames(
    frames: Frames,
    destination: Destination,
    *,
    format: str | None = None,
    compact: bool = True,
    indexed: bool = False,
    lossy: bool = False,
    palette: npt.ArrayLike | None = None,
) -> None:
    """Write `frames` (an animation when there are several) to a file or stream.

    The format is `format` (a Pillow name such as 'PNG') or the one the
    file's suffix names. With `compact`, results of few colours are stored in
    the smallest lossless form (1-bit, or a palette of 2 to 256 entries);
    `indexed` requires a palette image. The palette of a palette image is
    sorted, or with `palette` (the colours the frames were dithered to) the
    whole of it in its order, so an index is a palette position. Lossy formats (JPEG) are refused
    unless `lossy`, and WebP is written losslessly unless `lossy`. GIF holds
    only transparent or opaque pixels: alpha below `DEFAULT_ALPHA_THRESHOLD`
    (128) becomes transparent there, the rest opaque (`binary_alpha` cuts
    it elsewhere).

    Args:
        frames: the frames and their timing.
        destination: a file name or path (the file appears only once
            complete), or a binary stream (then `format` is needed).
        format: a Pillow format name; default the one of the suffix.
        compact: store few colours in the smallest lossless form.
        indexed: require a palette image (an error when there are more
            than 256 colours).
        lossy: allow JPEG, and lossy WebP.
        palette: the colours the frames were dithered to, for the order of
            a palette.

    Raises:
        ValueError: the format is unknown, lossy, or cannot hold the result
            (more than 256 colours in GIF, an animation in TIFF, ...).
        OSError: the file could not be written.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> pictures = [Image.new("RGB", (4, 4), c) for c in ("black", "red")]
        >>> save_frames(Frames(pictures, [50, 50], [1, 1], loop=0), "flash.png")
        >>> Image.open("flash.png").n_frames
        2
    """
    if format is None:
        if not isinstance(destination, (str, os.PathLike)):
            raise ValueError("writing to a stream needs a format")
        fmt = output_format(destination)
    else:
        fmt = format.upper()
    if is_lossy(fmt) and not lossy:
        raise ValueError(
            f"{fmt} is lossy and would blur the dither into many more colours: "
            "write PNG, GIF or WebP"
        )
    images, options = _encode(frames, fmt, compact=compact, indexed=indexed, palette=palette)
    if fmt == "WEBP" and lossy:
        options.pop("lossless")
    if len(images) > 1:
        options.update(_animation_options(frames, fmt, images, options.get("transparency")))

    def write(stream: IO[bytes]) -> None:
        images[0].save(stream, format=fmt, **options)

    if isinstance(destination, (str, os.PathLike)):
        _write_atomically(Path(destination), write)
    else:
        write(destination)


def save_image(
    image: Image.Image | npt.NDArray[np.uint8],
    path: Destination,
    *,
    indexed: bool = False,
    compact: bool = True,
    lossy: bool = False,
    format: str | None = None,
    palette: npt.ArrayLike | None = None,
) -> None:
    """Write one image (a PIL image, or a uint8 array: H x W gray, H x W x 2
    gray and alpha, H x W x 3 RGB or H x W x 4 RGBA, as tonalis returns),
    in the format its suffix names (or `format`).

    Alpha is dropped for formats without it (JPEG, BMP, ...). By default a
    result of few colours is stored in its smallest lossless form: 1-bit for
    black and white, else a palette of 2 to 256 entries in PNG, GIF, TIFF
    and BMP. See `save_frames` for the rest.

    Args:
        image: the image.
        path: a file name or path (the file appears only once complete),
            or a binary stream with `format`.
        indexed, compact, lossy, format, palette: as for `save_frames`.

    Raises:
        ValueError: the format is unknown, lossy, or cannot hold the image.
        OSError: the file could not be written.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> save_image(np.array([[0, 255]], dtype=np.uint8), "bw.png")
        >>> Image.open("bw.png").mode       # black and white: stored as 1 bit
        '1'
        >>> save_image(np.zeros((2, 2, 3), dtype=np.uint8), "photo.jpg")
        Traceback (most recent call last):
        ...
        ValueError: JPEG is lossy and would blur the dither into many more colours: ...
    """
    save_frames(
        Frames([_as_image(image)]),
        path,
        format=format,
        compact=compact,
        indexed=indexed,
        lossy=lossy,
        palette=palette,
    )


def _as_image(image: object) -> Image.Image:
    from PIL import Image

    if isinstance(image, Image.Image):
        return image
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a PIL image or a numpy array, got {type(image).__name__}")
    if image.dtype != np.uint8:
        raise TypeError(f"image array must be uint8, got {image.dtype}")
    if image.ndim == 3 and image.shape[2] == 1:
        image = image[:, :, 0]
    if not (image.ndim == 2 or (image.ndim == 3 and image.shape[2] in (2, 3, 4))) or (
        0 in image.shape
    ):
        raise ValueError(
            "image array must be H x W, H x W x 2, H x W x 3 or H x W x 4 with pixels, "
            f"got shape {image.shape}"
        )
    return Image.fromarray(np.ascontiguousarray(image))
