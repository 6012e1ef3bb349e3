"""Direct binary search: the halftone whose blur, as the eye sees it, is
closest to the blurred original.

`dbs` starts from Floyd-Steinberg error diffusion and refines it pass after
pass: every pixel tries changing to another level or palette colour
(a toggle) and exchanging its value with each of its 8 neighbours (a swap),
and takes whichever lowers the filtered squared error most. The filter
models the eye: a Gaussian of `sigma` pixels, or Näsänen's contrast
sensitivity at a viewing distance and resolution (`gaussian_filter`,
`nasanen_filter`). The bytes are the same on every machine and for any
number of threads.

The error is measured in linear light by default: the eye averages light,
not codes, so a halftone whose blur matches the original's light looks as
bright as the original from a distance. ``linear=False`` measures it in
codes, as the plain error-diffusion engines do by default.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _engines, _portable_maths
from .algorithms import needs_colour, to_colour
from .extras import Palette, diffuse
from .palettes.presets import palette_colours

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["DbsResult", "dbs", "dbs_run", "filtered_error", "gaussian_filter", "nasanen_filter"]

_Image = TypeVar("_Image", bound="npt.NDArray[np.uint8] | Image.Image")

#: The widest filter radius the engine takes: (2 r + 1)² taps.
MAX_RADIUS = 8
#: The most passes a call makes.
MAX_PASSES = 1000
#: The Gaussian's default width in pixels.
DEFAULT_SIGMA = 1.2

# A coloured palette's search by default (``opponent=True``): the error in
# lightness and two colour differences, lightness seen through a Gaussian of
# OPPONENT_SIGMA plus NEAR_WEIGHT times the finer one of NEAR_SIGMA (the
# picture from two distances), the colour differences through a Gaussian
# CHROMA_SCALE times as wide, CHROMA_WEIGHT times as heavy: the eye resolves
# colour more coarsely than light. Chosen on the project's photograph and
# gradient with the nominal and measured 7-colour panels, by both quality
# figures (bench/dbs_quality.py).
OPPONENT_SIGMA = 1.6
NEAR_SIGMA = 0.7
NEAR_WEIGHT = 0.2
CHROMA_SCALE = 1.25
CHROMA_WEIGHT = 0.3
#: The largest palette searched in lightness and colour differences.
OPPONENT_MOST = 32

# Näsänen's model of the eye's contrast sensitivity, as model-based
# halftoning uses it: exp(-f / (c ln L + d)) at f cycles per degree and
# L cd/m² of average luminance.
_NASANEN_C = 0.525
_NASANEN_D = 3.91
_NASANEN_LUMINANCE = 11.0


def _positive(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(f"{name} must be a finite number > 0, got {value!r}")
    return number


def _normalised(weights: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    """Weights over their sum, summed in a fixed order (math.fsum is exact)."""
    total = math.fsum(weights.ravel().tolist())
    return (weights / total).astype(np.float32)


def gaussian_filter(sigma: float = DEFAULT_SIGMA) -> npt.NDArray[np.float32]:
    """The taps of a Gaussian eye filter, normalised to sum to 1.

    Args:
        sigma: the standard deviation in pixels, in (0, 8/3]; the taps reach
            ceil(3 sigma) pixels out.

    Returns:
        A (2r + 1) x (2r + 1) float32 array, the same bits on every machine.

    Raises:
        TypeError, ValueError: sigma is not a number in range.

    Examples:
        >>> taps = gaussian_filter(1.0)
        >>> taps.shape, round(float(taps.sum()), 6)
        ((7, 7), 1.0)
    """
    sigma = _positive("sigma", sigma)
    radius = math.ceil(3.0 * sigma)
    if radius > MAX_RADIUS:
        raise ValueError(f"sigma must be at most {MAX_RADIUS / 3:.4g}, got {sigma!r}")
    offsets = np.arange(-radius, radius + 1, dtype=np.float64)
    squared = offsets[:, None] ** 2 + offsets[None, :] ** 2
    return _normalised(_portable_maths.exp(-squared / (2.0 * sigma * sigma)))


def nasanen_filter(distance: float, dpi: float) -> npt.NDArray[np.float32]:
    """The taps of Näsänen's eye filter for a viewer `distance` inches from
    a picture of `dpi` pixels per inch, normalised to sum to 1.

    The model's sensitivity falls as exp(-f / k) with the frequency f in
    cycles per degree (k = 0.525 ln 11 + 3.91 at 11 cd/m²); its point spread
    is a / (a² + r²)^(3/2), with a the model's width in pixels. The taps
    reach 3a pixels out (1 to 8).

    Args:
        distance: viewing distance in inches, > 0.
        dpi: pixels per inch, > 0.

    Returns:
        A (2r + 1) x (2r + 1) float32 array, the same bits on every machine.

    Raises:
        TypeError, ValueError: an argument is not a positive number.

    Examples:
        >>> nasanen_filter(10, 300).shape   # a printed page at reading distance
        (11, 11)
    """
    distance = _positive("distance", distance)
    dpi = _positive("dpi", dpi)
    k = _NASANEN_C * math.log(_NASANEN_LUMINANCE) + _NASANEN_D
    pixels_per_degree = distance * dpi * math.pi / 180.0
    width = pixels_per_degree / (2.0 * math.pi * k)
    radius = min(MAX_RADIUS, max(1, math.ceil(3.0 * width)))
    offsets = np.arange(-radius, radius + 1, dtype=np.float64)
    squared = offsets[:, None] ** 2 + offsets[None, :] ** 2
    # (a² + r²)^(-3/2); the factor a cancels in the normalisation.
    return _normalised(1.0 / _portable_maths.power(width * width + squared, 1.5))


def _taps(
    sigma: object, distance: object, dpi: object, default: float = DEFAULT_SIGMA
) -> npt.NDArray[np.float32]:
    if distance is not None or dpi is not None:
        if sigma is not None:
            raise ValueError("give sigma or distance and dpi, not both")
        if distance is None or dpi is None:
            raise ValueError("Näsänen's filter needs both distance and dpi")
        return nasanen_filter(distance, dpi)  # type: ignore[arg-type]
    return gaussian_filter(default if sigma is None else sigma)  # type: ignore[arg-type]


def _padded(taps: npt.NDArray[np.float32], radius: int) -> npt.NDArray[np.float32]:
    extra = radius - taps.shape[0] // 2
    return np.ascontiguousarray(np.pad(taps, extra)) if extra else taps


_Filters = tuple[
    npt.NDArray[np.float32], "npt.NDArray[np.float32] | None", float, npt.NDArray[np.float32], float
]


def _opponent_filters(
    sigma: object = None, distance: object = None, dpi: object = None
) -> _Filters:
    """The engine's filters for a search in lightness and colour differences.

    With Näsänen's filter, its model of the eye serves every channel."""
    far = _taps(sigma, distance, dpi, OPPONENT_SIGMA)
    if distance is not None:
        return (far, None, 0.0, far, CHROMA_WEIGHT)
    width = OPPONENT_SIGMA if sigma is None else float(sigma)  # type: ignore[arg-type]
    chroma = gaussian_filter(min(CHROMA_SCALE * width, MAX_RADIUS / 3.0))
    near = gaussian_filter(NEAR_SIGMA)
    radius = max(t.shape[0] // 2 for t in (far, near, chroma))
    return (
        _padded(far, radius),
        _padded(near, radius),
        NEAR_WEIGHT,
        _padded(chroma, radius),
        CHROMA_WEIGHT,
    )


def _coloured(palette: Palette) -> bool:
    """Whether a palette has up to OPPONENT_MOST colours, not all gray."""
    try:
        colours = palette_colours(palette)
    except (TypeError, ValueError):
        return False  # the engine refuses it in its own words
    if len(colours) > OPPONENT_MOST:
        return False
    return any(len({c[1:3], c[3:5], c[5:7]}) > 1 for c in colours)


# The start of a black-and-white search by default: Floyd-Steinberg in
# the call's space, serpentine, its error limited to this and the colour
# chosen by Oklab distance (see `dbs`).
START_LIMIT = 32.0
_BLACK_WHITE = ["#000000", "#ffffff"]


def _black_white(palette: Palette) -> bool:
    try:
        colours = {c.lower() for c in palette_colours(palette)}
    except (TypeError, ValueError):
        return False  # the engine refuses it in its own words
    return colours == set(_BLACK_WHITE)


def _start(
    image: Any, start: object, levels: int | None, palette: Palette, linear: bool, alpha: bool
) -> npt.NDArray[np.uint8] | None:
    """The halftone a search starts from, or None for the engine's own
    Floyd-Steinberg start."""
    if isinstance(start, str):
        if start == "floyd_steinberg":
            return None
        if start != "auto":
            raise ValueError(f"start must be 'auto', 'floyd_steinberg' or an image, got {start!r}")
        black_white = _black_white(palette) if palette is not None else levels in (None, 2)
        if not black_white or not needs_colour(image):
            return None
        original = np.asarray(image)
        if original.ndim == 3 and original.shape[2] == 2 and not alpha:
            return None
        first = np.asarray(
            diffuse(
                to_colour(image),
                palette=_BLACK_WHITE,
                serpentine=True,
                linear=linear,
                error_limit=START_LIMIT,
                distance="oklab",
            )
        )
        if palette is not None:
            # The search takes the gray image as RGB (RGBA), as this start is.
            return np.ascontiguousarray(first)
        gray = first[..., 0]
        if original.ndim == 3:
            # The alpha channel is kept, not searched: its start is not read.
            planes = [gray] + [np.zeros_like(gray)] * (original.shape[2] - 1)
            return np.ascontiguousarray(np.stack(planes, axis=-1))
        return np.ascontiguousarray(gray)
    if start is None or isinstance(start, bool):
        raise TypeError("start must be 'auto', 'floyd_steinberg' or an image")
    array = np.asarray(start)
    if array.dtype != np.uint8:
        raise TypeError(f"start must be a uint8 image, got dtype {array.dtype}")
    return np.ascontiguousarray(array)


class DbsResult(NamedTuple):
    """What `dbs_run` made: the image, the passes (the last changed nothing
    unless the limit stopped the search) and the toggles and swaps taken.

    Args:
        image: the dithered image, of the kind given.
        passes: passes made.
        toggles: pixels changed to another level or colour.
        swaps: pairs of neighbours exchanged.

    Examples:
        >>> import numpy as np
        >>> run = dbs_run(np.full((16, 16), 64, np.uint8))
        >>> run.toggles + run.swaps > 0, run.passes > 1
        (True, True)
    """

    image: Any
    passes: int
    toggles: int
    swaps: int


def dbs_run(
    image: Any,
    *,
    levels: int | None = None,
    palette: Palette = None,
    sigma: float | None = None,
    distance: float | None = None,
    dpi: float | None = None,
    passes: int | None = None,
    swaps: bool = True,
    linear: bool = True,
    preserve_alpha: bool = True,
    start: Any = "auto",
    opponent: bool = True,
) -> DbsResult:
    """`dbs`, with what the search did.

    Args:
        image, levels, palette, sigma, distance, dpi, passes, swaps, linear,
            preserve_alpha, start, opponent: as for `dbs`.

    Returns:
        A `DbsResult`: the image, the passes made, the toggles and swaps.

    Raises:
        TypeError, ValueError: as `dbs` raises them.

    Examples:
        >>> import numpy as np
        >>> run = dbs_run(np.full((8, 8), 128, np.uint8), passes=1)
        >>> run.passes, run.image.shape
        (1, (8, 8))
    """
    taps = _taps(sigma, distance, dpi)
    if passes is None:
        limit = MAX_PASSES
    else:
        if isinstance(passes, bool) or not isinstance(passes, numbers.Integral):
            raise TypeError(f"passes must be an int or None, got {type(passes).__name__}")
        limit = int(passes)
        if not 1 <= limit <= MAX_PASSES:
            raise ValueError(f"passes must be in 1..={MAX_PASSES}, got {limit}")
    if not isinstance(swaps, (bool, np.bool_)):
        raise TypeError(f"swaps must be a bool, got {type(swaps).__name__}")
    if not isinstance(opponent, (bool, np.bool_)):
        raise TypeError(f"opponent must be a bool, got {type(opponent).__name__}")
    if palette is not None and levels is not None:
        raise ValueError("levels and palette exclude each other; pass one of them")
    first = _start(image, start, levels, palette, bool(linear), bool(preserve_alpha))
    if palette is not None:
        if needs_colour(image):
            image = to_colour(image)
        filters: Any = taps
        if opponent and _coloured(palette):
            filters = _opponent_filters(sigma, distance, dpi)
        out = _engines.dbs(
            filters,
            limit,
            bool(swaps),
            first,
            image,
            palette=palette,
            linear=linear,
            preserve_alpha=preserve_alpha,
        )
    else:
        out = _engines.dbs(
            taps,
            limit,
            bool(swaps),
            first,
            image,
            levels=2 if levels is None else levels,
            linear=linear,
            preserve_alpha=preserve_alpha,
        )
    return DbsResult(*out)


@overload
def dbs(
    image: _Image,
    *,
    levels: int | None = ...,
    palette: Palette = ...,
    sigma: float | None = ...,  # type: ignore[overload-overlap, unused-ignore]
    distance: float | None = ...,
    dpi: float | None = ...,
    passes: int | None = ...,
    swaps: bool = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    start: Any = ...,
    opponent: bool = ...,
) -> _Image: ...
@overload
def dbs(
    image: npt.ArrayLike,
    *,
    levels: int | None = ...,
    palette: Palette = ...,
    sigma: float | None = ...,
    distance: float | None = ...,
    dpi: float | None = ...,
    passes: int | None = ...,
    swaps: bool = ...,
    linear: bool = ...,
    preserve_alpha: bool = ...,
    start: Any = ...,
    opponent: bool = ...,
) -> npt.NDArray[np.uint8]: ...
def dbs(
    image: Any,
    *,
    levels: int | None = None,
    palette: Palette = None,
    sigma: float | None = None,
    distance: float | None = None,
    dpi: float | None = None,
    passes: int | None = None,
    swaps: bool = True,
    linear: bool = True,
    preserve_alpha: bool = True,
    start: Any = "auto",
    opponent: bool = True,
) -> Any:
    """Direct binary search halftoning to levels or a palette.

    Error diffusion gives the start (see `start`); each pass then visits
    every pixel and takes the toggle (another level or colour) or swap
    (with one of its 8 neighbours) that lowers the filtered squared error
    most, until a pass changes nothing or `passes` passes are made. Levels
    refine every channel on its own (2 levels by default); a palette refines
    the colour (a gray image is dithered as RGB). The filter is a Gaussian
    of `sigma` pixels or, given `distance` and `dpi`, Näsänen's model of
    the eye at that viewing distance.

    A palette with colours other than grays, of up to 32 colours, is
    searched as the eye sees colour (`opponent`): the error is split into
    lightness and two colour differences (CIELAB's, without its cube
    roots), lightness seen through the Gaussian (of 1.6 pixels by default)
    plus a fifth of a finer one (0.7 pixels: the picture from near), the
    colour differences through a Gaussian 1.25 times as wide and weighed
    0.3 times as much; with Näsänen's filter every channel takes it. On the
    project's photograph and gradient with the 7-colour e-paper palette
    this lowers the blurred Oklab figure from 3.94 to 3.52 and S-CIELAB
    from 22.3 to 19.2.

    Args:
        image: a uint8 array or a PIL image; PIL in gives PIL out.
        levels: levels per channel, 2 to 256.
        palette: the colours, as tonalis takes a palette; excludes levels.
        sigma: the Gaussian filter's width in pixels, in (0, 8/3]: 1.2 by
            default, 1.6 for lightness in a search in colour differences.
        distance: viewing distance in inches, for Näsänen's filter.
        dpi: the picture's pixels per inch, for Näsänen's filter.
        passes: the most passes, 1 to 1000; None runs until a pass changes
            nothing (1000 at most).
        swaps: also try exchanging neighbours (better and slower).
        linear: measure the error in linear light (the default) or codes.
        preserve_alpha: pass the alpha channel through.
        start: where the search starts. ``"auto"``: for black and white
            on a gray image (2 levels, or a palette of black and white),
            Floyd-Steinberg with the error limited to 32,
            serpentine and with Oklab distance, which renders the shadows
            from the first dark codes on (blurred Oklab 3.67 against 4.52
            from the plain start, over the project's photograph, gradient
            and ramp; S-CIELAB 21.5 against 20.3); for every other target
            plain Floyd-Steinberg, which measured as well as any other
            start. ``"floyd_steinberg"``: plain Floyd-Steinberg always. Or
            a uint8 halftone of the image's shape (the palette's: RGB for
            a gray image), each pixel starting at the level or colour
            nearest to it.
        opponent: search a coloured palette in lightness and colour
            differences (above); False weighs the error of every RGB
            channel alike through the one filter. Gray palettes, levels
            and palettes of more than 32 colours always take the latter.

    Returns:
        A new image of the same kind; RGB (or RGBA) for a gray image and a
        palette.

    Raises:
        TypeError, ValueError: a bad argument, or both sigma and distance.

    Examples:
        >>> import numpy as np
        >>> ramp = np.tile(np.arange(0, 256, 8, dtype=np.uint8), (32, 1))
        >>> out = dbs(ramp)
        >>> out.shape, sorted(set(out.ravel().tolist()))
        ((32, 32), [0, 255])
        >>> np.array_equal(out, dbs(ramp))   # the same bytes every time
        True
        >>> dbs(ramp, palette=["#000", "#f00", "#fff"]).shape
        (32, 32, 3)
    """
    return dbs_run(
        image,
        levels=levels,
        palette=palette,
        sigma=sigma,
        distance=distance,
        dpi=dpi,
        passes=passes,
        swaps=swaps,
        linear=linear,
        preserve_alpha=preserve_alpha,
        start=start,
        opponent=opponent,
    ).image


def filtered_error(
    original: npt.ArrayLike,
    halftone: npt.ArrayLike,
    taps: npt.ArrayLike | None = None,
    *,
    linear: bool = True,
) -> float:
    """The perceptually filtered squared error DBS lowers, per pixel.

    The mean over the image of (p * (h - f))², with p the filter (the
    Gaussian of `dbs` by default), h and f the halftone and original in
    linear light on a 0..255 scale (or codes) and the error zero beyond
    the image; colour channels add. In double precision: for comparing
    halftones, not for matching the engine's sums.

    Args:
        original: the uint8 image.
        halftone: a uint8 image of the same shape (alpha channels aside).
        taps: the filter, or None for `gaussian_filter()`.
        linear: measure in linear light or codes, as the dither did.

    Returns:
        The mean filtered squared error.

    Examples:
        >>> import numpy as np
        >>> flat = np.full((16, 16), 64, np.uint8)
        >>> filtered_error(flat, flat)
        0.0
    """
    p = np.asarray(gaussian_filter() if taps is None else taps, dtype=np.float64)
    f = np.asarray(original)
    h = np.asarray(halftone)
    if f.ndim == 2:
        f = f[:, :, None]
    if h.ndim == 2:
        h = h[:, :, None]
    channels = min(f.shape[2], h.shape[2], 3)
    if linear:
        codes = np.arange(256, dtype=np.float64) / 255.0
        light = np.where(codes <= 0.04045, codes / 12.92, ((codes + 0.055) / 1.055) ** 2.4) * 255.0
        f, h = light[f[:, :, :channels]], light[h[:, :, :channels]]
    else:
        f = f[:, :, :channels].astype(np.float64)
        h = h[:, :, :channels].astype(np.float64)
    error = h - f
    r = p.shape[0] // 2
    height, width = error.shape[:2]
    padded = np.zeros((height + 2 * r, width + 2 * r, channels))
    padded[r : r + height, r : r + width] = error
    blurred = np.zeros_like(padded)
    for dy in range(-r, r + 1):
        for dx in range(-r, r + 1):
            blurred += p[dy + r, dx + r] * np.roll(padded, (dy, dx), axis=(0, 1))
    return float((blurred**2).sum() / (height * width))
