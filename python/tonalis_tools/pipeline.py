"""Dithering settings and what applies them to images, animations and files:
the work shared by the command line, the gallery and the Dask batch helper.

`DitherSettings`, `apply`, `check` and `resolve` live in
`tonalis_tools.dithering` and are the same objects here.
"""

from __future__ import annotations

import dataclasses
import numbers
import os
import secrets
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt

from .dithering import DitherSettings, apply, check, resolve
from .front import settings as front_settings
from .io.encoding import to_indexed
from .io.imagefile import (
    Frames,
    load_frames,
    load_image,
    make_folder,
    output_format,
    save_frames,
    save_image,
)
from .io.pixelart import binary_alpha, check_scale, upscale
from .matrices.bluenoise import blue_noise_size
from .names import normalize_name
from .steady import is_threshold_method, look_alike_margin, stable_tolerance, steady_frames

if TYPE_CHECKING:
    from PIL import Image

__all__ = [
    "DitherSettings",
    "apply",
    "binary_alpha",
    "blue_noise_size",
    "check",
    "dither_file",
    "dither_frames",
    "load_frames",
    "load_image",
    "load_matrix",
    "output_format",
    "resolve",
    "save_frames",
    "save_image",
    "to_indexed",
    "upscale",
]


def load_matrix(path: str | os.PathLike[str]) -> npt.NDArray[Any]:
    """A custom ordered-dither matrix from a .npy file or a text file.

    A text file holds one row per line, numbers separated by spaces or commas,
    '#' comments allowed. Whole numbers make an index matrix (like Bayer's:
    0 .. n-1, any order); numbers with a point or exponent make a threshold
    matrix (values in [0, 1]).

    Args:
        path: a .npy file, or a text file of any other name.

    Returns:
        An int64 index matrix or a float64 threshold matrix, as
        `tonalis.ordered_dither` takes it (a .npy file's array as stored).

    Raises:
        OSError: the file cannot be read.
        ValueError: no numbers, rows of different lengths, or something
            that is not a number.

    Examples:
        >>> _ = open("index.txt", "w").write("0 2" + chr(10) + "3 1" + chr(10))
        >>> load_matrix("index.txt")
        array([[0, 2],
               [3, 1]])
        >>> _ = open("thresholds.txt", "w").write("0.25, 0.75  # one row")
        >>> load_matrix("thresholds.txt")
        array([[0.25, 0.75]])
    """
    path = Path(path)
    if path.suffix.lower() == ".npy":
        return np.asarray(np.load(path, allow_pickle=False))
    text = path.read_text(encoding="utf-8")
    rows = []
    for line in text.splitlines():
        line = line.split("#", 1)[0].replace(",", " ").strip()
        if line:
            rows.append(line.split())
    if not rows:
        raise ValueError(f"no numbers in matrix file {str(path)!r}")
    if any(len(row) != len(rows[0]) for row in rows):
        raise ValueError(f"rows of matrix file {str(path)!r} differ in length")
    integral = all(ch not in word for row in rows for word in row for ch in ".eE")
    try:
        return np.array(rows, dtype=np.int64 if integral else np.float64)
    except ValueError:
        raise ValueError(
            f"matrix file {str(path)!r} holds something that is not a number"
        ) from None


@overload
def dither_frames(
    frames: Frames,
    method: str | None = ...,
    *,
    stable: bool | None = ...,
    tolerance: float | None = ...,
    scale: int = ...,
    settings: DitherSettings | None = ...,
    **options: Any,
) -> Frames: ...
@overload
def dither_frames(
    frames: Iterable[npt.ArrayLike | Image.Image],
    method: str | None = ...,
    *,
    stable: bool | None = ...,
    tolerance: float | None = ...,
    scale: int = ...,
    settings: DitherSettings | None = ...,
    **options: Any,
) -> list[npt.NDArray[np.uint8]]: ...
@overload
def dither_frames(
    frames: DitherSettings,
    method: Frames,
    *,
    stable: bool | None = ...,
    tolerance: float | None = ...,
    scale: int = ...,
) -> Frames: ...
@overload
def dither_frames(
    frames: DitherSettings,
    method: Iterable[npt.ArrayLike | Image.Image],
    *,
    stable: bool | None = ...,
    tolerance: float | None = ...,
    scale: int = ...,
) -> list[npt.NDArray[np.uint8]]: ...


def dither_frames(
    frames: Any,
    method: Any = None,
    *,
    stable: bool | None = None,
    tolerance: float | None = None,
    scale: int = 1,
    settings: DitherSettings | None = None,
    **options: Any,
) -> Any:
    """Dither the frames of an animation alike, optionally without flicker.

    The dither is given either as a method name with the options of
    `tonalis_tools.dither`, or as `DitherSettings` (``settings=``, or first,
    before the frames: ``dither_frames(settings, frames)``).

    Error diffusion carries every change across the rest of its frame, so
    whole areas of the pattern change from frame to frame even where the
    picture barely moves. With `stable`, a pixel keeps its previous output
    while its input stays within `tolerance` of the input that output was
    made for (the input at the frame where the pixel last changed, so slow
    drifts still refresh it) and the kept pixels around it, blurred as the
    eye blurs a dither, still look like the frame's own dither (so a pan or
    a zoom leaves no texture of earlier frames behind); other pixels take
    the frame's own dither. A frame equal to the one before gives exactly
    the output before.
    Threshold dithers (ordered, blue noise, screens, pattern, seeded random)
    stand still anyway and are applied frame by frame.

    Args:
        frames: the frames, of one size: `Frames` (as `load_frames` reads
            them), or any iterable of arrays or PIL images.
        method: a method name `tonalis_tools.dither` takes; default
            'floyd_steinberg'. Not with `settings`.
        stable: keep error-diffused pixels still where their input barely
            changed. Default: True with a method name, False with
            `DitherSettings` (as the command line's --stable).
        tolerance: how far, in code units per channel, an input may move
            before its pixel is dithered anew; default `stable_tolerance`
            (a quarter of the step between output levels, 16 with a palette).
        scale: enlarge every result this many times by repeating its
            pixels (`upscale`), after dithering, so the dither stays crisp.
        settings: the dither as `DitherSettings`, instead of `method` and
            `options`.
        options: the options of `tonalis_tools.dither` (levels, palette,
            preset, serpentine, strength, linear, ...).

    Returns:
        For `Frames`, `Frames` with the same timing and the dithered
        pictures; otherwise a list of uint8 arrays, one per frame.
        Random dither without a seed dithers every frame with one seed: 0
        with a method name (the same output each run), one drawn for the
        animation with `DitherSettings` (as the command line draws one per
        image).

    Raises:
        TypeError: `stable` is not a bool, `tolerance` not a number,
            `scale` not an int, or the dither is given twice (settings and
            a method or options).
        ValueError: a bad option (before any frame is dithered), a negative
            tolerance, a scale outside 1 to 64, or frames of different sizes.

    Examples:
        >>> import numpy as np
        >>> frames = [np.full((4, 6), 120 + i, dtype=np.uint8) for i in range(3)]
        >>> out = dither_frames(frames, "atkinson")
        >>> len(out), out[0].shape, out[0].dtype
        (3, (4, 6), dtype('uint8'))
        >>> all(np.array_equal(out[0], o) for o in out)   # the input moved by 1 or 2
        True
        >>> same = dither_frames(DitherSettings("atkinson"), frames, stable=True)
        >>> all(np.array_equal(a, b) for a, b in zip(out, same))
        True
    """
    if isinstance(frames, DitherSettings):
        # The settings first, as the command line and dither_file pass them.
        if settings is not None:
            raise TypeError("dither_frames() got DitherSettings twice")
        frames, settings, method = method, frames, None
    if settings is not None:
        if not isinstance(settings, DitherSettings):
            raise TypeError(f"settings must be DitherSettings, got {type(settings).__name__}")
        if method is not None or options:
            given = ", ".join(["method"] * (method is not None) + sorted(options))
            raise TypeError(
                f"dither_frames() takes settings or a method and options, not both ({given})"
            )
    if stable is not None and not isinstance(stable, bool):
        raise TypeError(f"stable must be a bool or None, got {type(stable).__name__}")
    if tolerance is not None:
        if isinstance(tolerance, bool) or not isinstance(tolerance, numbers.Real):
            raise TypeError(f"tolerance must be a number or None, got {type(tolerance).__name__}")
        if not float(tolerance) >= 0.0:
            raise ValueError(f"tolerance must be a number >= 0, got {tolerance!r}")
    if frames is None:
        raise TypeError("dither_frames() needs the frames")
    scale = check_scale(scale)
    animation = frames if isinstance(frames, Frames) else None
    # Bad levels, palettes and the like are reported before any frame is read.
    if settings is None:
        name = "floyd_steinberg" if method is None else method
        chosen = front_settings(name, **options)
        if chosen.seed is None and chosen.matrix is None and normalize_name(name) == "random":
            chosen = dataclasses.replace(chosen, seed=0)
        keep_still = True if stable is None else stable
    else:
        chosen = resolve(settings)
        if (
            chosen.seed is None
            and chosen.matrix is None
            and normalize_name(chosen.method) == "random"
            and (animation is None or animation.animated)
        ):
            chosen = dataclasses.replace(chosen, seed=secrets.randbits(64))
        keep_still = False if stable is None else stable
    limit = (
        stable_tolerance(chosen.levels, chosen.palette) if tolerance is None else float(tolerance)
    )
    if animation is None:
        arrays = (np.asarray(frame) for frame in frames)
        if not keep_still:
            results = [np.asarray(apply(chosen, array)) for array in arrays]
        else:
            results = stabilised(chosen, arrays, limit)
        return [upscale(result, scale) for result in results]
    if keep_still and animation.animated:
        from PIL import Image

        still = stabilised(chosen, (np.asarray(image) for image in animation.images), limit)
        pictures = [Image.fromarray(array) for array in still]
    else:
        pictures = [apply(chosen, image) for image in animation.images]
    return animation.replace_images([upscale(picture, scale) for picture in pictures])


def stabilised(
    settings: DitherSettings, frames: Iterable[npt.NDArray[Any]], tolerance: float
) -> list[npt.NDArray[np.uint8]]:
    """`frames` dithered with resolved `settings`, pixels kept from the
    previous output while their input stays within `tolerance` and the
    picture around them still looks like the frame's own dither (see
    `steady_frames`).

    Args:
        settings: the dither, as `resolve` leaves it.
        frames: arrays of one shape.
        tolerance: code units per channel an input may move and keep its
            pixel's output.

    Returns:
        One uint8 array per frame.

    Raises:
        ValueError: frames of different shapes.

    Examples:
        >>> import numpy as np
        >>> frames = [np.full((2, 3), v, dtype=np.uint8) for v in (120, 122, 200)]
        >>> out = stabilised(DitherSettings("atkinson"), frames, 8)
        >>> np.array_equal(out[0], out[1]), np.array_equal(out[1], out[2])
        (True, False)
    """
    return steady_frames(
        lambda array: np.asarray(apply(settings, array)),
        frames,
        tolerance,
        keep=not is_threshold_method(settings.method, settings.matrix),
        margin=look_alike_margin(settings.levels, settings.palette),
    )


def dither_file(
    source: str | os.PathLike[str],
    destination: str | os.PathLike[str],
    settings: DitherSettings,
    *,
    indexed: bool = False,
    compact: bool = True,
    lossy: bool = False,
    scale: int = 1,
) -> Path:
    """Read `source`, dither every frame with `settings`, write `destination`; returns it.

    Parent folders of `destination` are created, and the result appears under
    its name only once it is complete. Raises OSError (or Pillow's
    UnidentifiedImageError, a subclass) when the source can't be read or the
    destination can't be written, and ValueError for settings tonalis
    rejects or a format that cannot hold the result losslessly.

    Args:
        source: the image file; every frame of an animation is dithered,
            timing kept (without `dither_frames`' stabilising).
        destination: the file to write; its suffix names the format.
        settings: how to dither.
        indexed, compact, lossy: as for `save_frames`.
        scale: enlarge the result this many times, pixels kept crisp
            (`upscale`).

    Returns:
        `destination` as a Path.

    Examples:
        >>> from PIL import Image
        >>> Image.new("RGB", (8, 8), "orange").save("photo.png")
        >>> dither_file("photo.png", "out/photo.png", DitherSettings("bayer4x4")).as_posix()
        'out/photo.png'
        >>> Image.open("out/photo.png").mode          # eight colours: stored as a palette
        'P'
    """
    result = dither_frames(settings, load_frames(source), stable=False, scale=scale)
    destination = Path(destination)
    make_folder(destination.parent)
    save_frames(
        result,
        destination,
        indexed=indexed,
        compact=compact,
        lossy=lossy,
        palette=settings.display_palette or settings.palette,
    )
    return destination
