"""Reading, dithering and writing image files: the work shared by the command
line, the gallery and the Dask batch helper."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tonalis

from .bluenoise import SIZES as BLUE_NOISE_SIZES
from .bluenoise import blue_noise_matrix
from .presets import _key

if TYPE_CHECKING:
    from PIL import Image

__all__ = [
    "DitherSettings",
    "apply",
    "blue_noise_size",
    "check",
    "dither_file",
    "load_image",
    "load_matrix",
    "output_format",
    "resolve",
    "save_image",
    "to_indexed",
]

# Modes the engines take as they are; anything else is converted on reading.
_KEPT_MODES = ("L", "LA", "RGB", "RGBA")


def blue_noise_size(name: str) -> int | None:
    """64 for 'bluenoise64' (loosely spelt: 'blue-noise 64', 'BlueNoise'), else None."""
    key = _key(name)
    if not key.startswith("bluenoise"):
        return None
    rest = key[len("bluenoise") :]
    if rest == "":
        return 64
    if rest.isdigit() and int(rest) in BLUE_NOISE_SIZES:
        return int(rest)
    return None


@dataclasses.dataclass(frozen=True)
class DitherSettings:
    """Everything that says how to dither, independent of any one image.

    `method` is any name `tonalis.dither` takes, or 'bluenoise16', 'bluenoise32',
    'bluenoise64'. `matrix`, when set, makes it ordered dither with that matrix
    (a name, a size or an array) whatever `method` says. `levels` None means
    the default (2) and is required to be None with a palette.
    """

    method: str = "floyd_steinberg"
    levels: int | None = None
    palette: Sequence[str] | None = None
    serpentine: bool = False
    seed: int | None = None
    strength: float = 1.0
    linear: bool = False
    preserve_alpha: bool = True
    matrix: Any = None

    def describe(self) -> str:
        """A short human label such as 'atkinson, levels=4, serpentine'."""
        parts = [self.method if self.matrix is None else "ordered (custom matrix)"]
        if self.levels is not None:
            parts.append(f"levels={self.levels}")
        if self.palette is not None:
            parts.append(f"{len(self.palette)} colours")
        if self.serpentine:
            parts.append("serpentine")
        if self.strength != 1.0:
            parts.append(f"strength={self.strength:g}")
        if self.linear:
            parts.append("linear")
        return ", ".join(parts)


def _common(settings: DitherSettings) -> dict[str, Any]:
    kwargs: dict[str, Any] = {
        "strength": settings.strength,
        "linear": settings.linear,
        "preserve_alpha": settings.preserve_alpha,
    }
    if settings.levels is not None:
        kwargs["levels"] = settings.levels
    if settings.palette is not None:
        kwargs["palette"] = list(settings.palette)
    return kwargs


def _needs_colour(image: Any) -> bool:
    mode = getattr(image, "mode", None)
    if mode is not None:
        return mode in ("L", "LA")
    array = np.asarray(image)
    return array.ndim == 2 or (array.ndim == 3 and array.shape[2] in (1, 2))


def _to_colour(image: Any) -> Any:
    mode = getattr(image, "mode", None)
    if mode is not None:
        return image.convert("RGBA" if mode == "LA" else "RGB")
    array = np.asarray(image)
    if array.ndim == 2:
        array = array[:, :, None]
    if array.shape[2] == 2:
        return np.dstack([array[:, :, :1]] * 3 + [array[:, :, 1:]])
    return np.dstack([array] * 3)


def resolve(settings: DitherSettings) -> DitherSettings:
    """The same settings with a blue-noise name turned into its matrix.

    `apply` makes the matrix on every call; resolve once before dithering
    many images with the same settings.
    """
    name = settings.matrix if isinstance(settings.matrix, str) else None
    if settings.matrix is None:
        name = settings.method
    size = blue_noise_size(name) if name is not None else None
    if size is None:
        return settings
    return dataclasses.replace(settings, matrix=blue_noise_matrix(size))


def apply(settings: DitherSettings, image: Any) -> Any:
    """Dither a PIL image or array with `settings`; PIL in gives PIL out.

    A grayscale image given a palette is first turned into RGB (LA into RGBA).
    """
    settings = resolve(settings)
    kwargs = _common(settings)
    if settings.palette is not None and _needs_colour(image):
        image = _to_colour(image)
    if settings.matrix is not None:
        return tonalis.ordered_dither(image, settings.matrix, **kwargs)
    return tonalis.dither(
        image, settings.method, serpentine=settings.serpentine, seed=settings.seed, **kwargs
    )


def check(settings: DitherSettings) -> None:
    """Raise the error tonalis would raise for these settings, on a tiny image."""
    apply(settings, np.zeros((2, 2, 3), dtype=np.uint8))


def load_matrix(path: str | os.PathLike[str]) -> npt.NDArray[Any]:
    """A custom ordered-dither matrix from a .npy file or a text file.

    A text file holds one row per line, numbers separated by spaces or commas,
    '#' comments allowed. Whole numbers make an index matrix (like Bayer's:
    0 .. n-1, any order); numbers with a point or exponent make a threshold
    matrix (values in [0, 1]).
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
        raise ValueError(f"matrix file {str(path)!r} holds something that is not a number") from None


def load_image(path: str | os.PathLike[str]) -> Image.Image:
    """Open an image file as L, LA, RGB or RGBA, upright per its EXIF orientation.

    Palette images become RGB, or RGBA when they have transparency; 1-bit
    images become L; 16-bit and float images are scaled to 8 bits; other
    modes (CMYK, YCbCr, ...) become RGB. Multi-frame files give their first frame.
    """
    from PIL import Image, ImageOps

    with Image.open(path) as opened:
        opened.load()
        image = ImageOps.exif_transpose(opened) or opened
        mode = image.mode
        if mode in _KEPT_MODES:
            return image.copy() if image is opened else image
        if mode == "1":
            return image.convert("L")
        if mode in ("P", "PA"):
            has_alpha = mode == "PA" or "transparency" in image.info
            return image.convert("RGBA" if has_alpha else "RGB")
        if mode in ("I;16", "I;16B", "I;16L", "I", "F"):
            array = np.asarray(image.convert("F") if mode != "F" else image, dtype=np.float64)
            top = 65535.0 if mode.startswith("I;16") or array.max(initial=0) > 255 else 255.0
            scaled = np.clip(array * (255.0 / top) + 0.5, 0, 255).astype(np.uint8)
            return Image.fromarray(scaled)
        if mode in ("La", "RGBa"):
            return image.convert("LA" if mode == "La" else "RGBA")
        return image.convert("RGB")


def to_indexed(image: Image.Image) -> Image.Image:
    """The same pixels as a palette ('P') image when there are at most 256
    colours and no alpha; otherwise the image unchanged. Lossless."""
    from PIL import Image

    if image.mode not in ("L", "RGB") or image.getcolors(256) is None:
        return image
    array = np.asarray(image)
    if array.ndim == 2:
        keys = array.astype(np.uint32)
    else:
        keys = (array[..., 0].astype(np.uint32) << 16) | (array[..., 1].astype(np.uint32) << 8) | array[..., 2]
    colours, inverse = np.unique(keys.ravel(), return_inverse=True)
    if array.ndim == 2:
        rgb = np.repeat(colours[:, None], 3, axis=1)
    else:
        rgb = np.stack([colours >> 16, (colours >> 8) & 255, colours & 255], axis=1)
    indexed = Image.fromarray(inverse.reshape(array.shape[:2]).astype(np.uint8), "P")
    indexed.putpalette(rgb.astype(np.uint8).ravel().tolist())
    return indexed


def output_format(path: str | os.PathLike[str]) -> str:
    """Pillow's format name for a file name ('PNG' for x.png); ValueError if unknown."""
    from PIL import Image

    suffix = Path(path).suffix.lower()
    fmt = Image.registered_extensions().get(suffix)
    if fmt is None or fmt not in Image.SAVE:
        raise ValueError(f"cannot write images as {suffix or 'files without a suffix'!r}: "
                         f"Pillow has no writer for it")
    return fmt


def save_image(image: Image.Image, path: str | os.PathLike[str], *, indexed: bool = False) -> None:
    """Write an image, in the format its suffix names.

    Alpha is dropped for formats without it (JPEG, BMP, ...), and images of at
    most 256 colours are stored as palette images when `indexed` is true.
    """
    fmt = output_format(path)
    if fmt in ("JPEG", "MPEG", "PCX", "EPS", "PDF") and image.mode in ("LA", "RGBA"):
        image = image.convert("L" if image.mode == "LA" else "RGB")
    # GIF always gets a palette image when one fits; to_indexed leaves the rest as they are.
    if fmt == "GIF" or (indexed and fmt in ("PNG", "BMP", "TIFF", "WEBP", "TGA", "PCX")):
        image = to_indexed(image)
    image.save(path, format=fmt)


def dither_file(
    source: str | os.PathLike[str],
    destination: str | os.PathLike[str],
    settings: DitherSettings,
    *,
    indexed: bool = False,
) -> Path:
    """Read `source`, dither it with `settings`, write `destination`; returns it.

    Parent folders of `destination` are created. Raises OSError (or Pillow's
    UnidentifiedImageError, a subclass) when the source can't be read or the
    destination can't be written, and ValueError for settings tonalis rejects.
    """
    image = load_image(source)
    result = apply(settings, image)
    destination = Path(destination)
    destination.parent.mkdir(parents=True, exist_ok=True)
    save_image(result, destination, indexed=indexed)
    return destination
