# Type information for the tonalis extension module.
from collections.abc import Sequence
from typing import Any, Final, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from PIL import Image

__all__ = [
    "__version__",
    "dither",
    "ordered_dither",
    "error_diffusion",
    "random_dither",
    "available_matrices",
    "available_methods",
]

__version__: Final[str]

# A palette colour: '#rgb' / '#rrggbb', or an (r, g, b) triple of 0..255.
_Color: TypeAlias = str | tuple[int, int, int] | Sequence[int]
_Palette: TypeAlias = Sequence[_Color] | npt.NDArray[np.integer[Any]]
# A uint8 image: 2-D grayscale or H x W x C. Arrays come first among the
# overloads, so they keep their type where Pillow is not installed.
_ImageArray: TypeAlias = npt.NDArray[np.uint8]
# A bayer name or size, or a 2-D matrix: integers are indices, floats thresholds.
_Matrix: TypeAlias = str | int | npt.ArrayLike

@overload
def dither(
    image: npt.NDArray[np.uint8],
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def dither(
    image: Image.Image,
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> Image.Image: ...
@overload
def dither(
    image: npt.ArrayLike,
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def error_diffusion(
    image: npt.NDArray[np.uint8],
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def error_diffusion(
    image: Image.Image,
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> Image.Image: ...
@overload
def error_diffusion(
    image: npt.ArrayLike,
    method: str = "floyd_steinberg",
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    serpentine: bool = False,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def ordered_dither(
    image: npt.NDArray[np.uint8],
    matrix: _Matrix | None = None,
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def ordered_dither(
    image: Image.Image,
    matrix: _Matrix | None = None,
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> Image.Image: ...
@overload
def ordered_dither(
    image: npt.ArrayLike,
    matrix: _Matrix | None = None,
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def random_dither(
    image: npt.NDArray[np.uint8],
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
@overload
def random_dither(
    image: Image.Image,
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> Image.Image: ...
@overload
def random_dither(
    image: npt.ArrayLike,
    *,
    levels: int = 2,
    palette: _Palette | None = None,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool = False,
    preserve_alpha: bool = True,
) -> _ImageArray: ...
def available_matrices() -> list[str]: ...
def available_methods() -> list[str]: ...
