"""How close a dither looks to its original: objective quality figures.

Three figures, lower is better for all of them:

- ``"oklab"``: both images blurred with a Gaussian of sigma 1.2 pixels in
  linear light (roughly what the eye does to a dither at normal viewing
  distance), converted to Oklab, and the Euclidean distance between them
  averaged over the pixels, times 100. 1 is about the smallest difference
  people notice between two flat colours.
- ``"scielab"``: S-CIELAB, the mean CIELAB Delta E (1976) after the
  spatial filters of Zhang and Wandell: each image goes to the opponent
  space of Poirson and Wandell (a luminance and two chromatic channels),
  each channel is filtered with its sum of Gaussians for the eye's
  sensitivity at 35 pixels per degree of visual angle (the chromatic
  channels blur far more than luminance), and the result goes back to
  XYZ and CIELAB under D65. It weighs the colour noise of a dither more
  than the blurred Oklab figure does.
- ``"speckle"``: the share, in percent, of all pixels that are chromatic
  in the original and were given a chromatic colour more than 95 degrees
  away in hue (Oklab hue; chromatic meaning an Oklab chroma above 0.04):
  the stray green in a red that limited diffusion avoids. Not blurred.

The arithmetic is float64 numpy: a measurement, not an engine; a 384 x 256
image takes a few tenths of a second for S-CIELAB.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .palettes.gamut import linear_oklab
from .palettes.mixes import Mixes

__all__ = ["METRICS", "score", "scores", "blurred_oklab", "oklab_floor", "colour_gradient"]

#: The names `score` takes, in the order the command line lists them.
METRICS: tuple[str, ...] = ("oklab", "scielab", "speckle")

SIGMA = 1.2
PIXELS_PER_DEGREE = 35.0
CHROMA = 0.04
HUE_DEGREES = 95.0

_SRGB_TO_XYZ = np.array(
    [
        [0.4124564, 0.3575761, 0.1804375],
        [0.2126729, 0.7151522, 0.0721750],
        [0.0193339, 0.1191920, 0.9503041],
    ]
)
_WHITE = _SRGB_TO_XYZ.sum(axis=1)  # D65, Y = 1
# Poirson and Wandell's opponent channels from XYZ.
_XYZ_TO_OPPONENT = np.array(
    [
        [0.279, 0.72, -0.107],
        [-0.449, 0.29, -0.077],
        [0.086, -0.59, 0.501],
    ]
)
# Zhang and Wandell's filters per opponent channel: (weight, spread in degrees).
_FILTERS: tuple[tuple[tuple[float, float], ...], ...] = (
    ((0.921182, 0.0283), (0.105000, 0.133), (-0.108260, 4.336)),
    ((0.531889, 0.0392), (0.330353, 0.494)),
    ((0.488250, 0.0536), (0.371094, 0.386)),
)


def _linear(codes: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    c = codes.astype(np.float64) / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def _correlate(image: npt.NDArray[np.float64], kernel: npt.NDArray[np.float64], axis: int) -> Any:
    """`image` filtered along `axis` with a symmetric kernel, edges mirrored."""
    radius = kernel.size // 2
    n = image.shape[axis]
    if radius >= n:
        # Mirroring needs a longer axis: repeat the edge instead.
        mode = "edge"
    else:
        mode = "reflect"
    pad = [(radius, radius) if a == axis else (0, 0) for a in range(image.ndim)]
    padded = np.pad(image, pad, mode=mode)  # type: ignore[call-overload]
    out = np.zeros_like(image)
    for i, k in enumerate(kernel):
        out += k * np.take(padded, np.arange(i, i + n), axis=axis)
    return out


def _convolve(plane: npt.NDArray[np.float64], kernel: npt.NDArray[np.float64]) -> Any:
    """`plane` filtered with a symmetric square kernel, edges mirrored, by FFT."""
    radius = kernel.shape[0] // 2
    height, width = plane.shape
    padded = plane
    for axis in (0, 1):
        mode = "reflect" if radius < plane.shape[axis] else "edge"
        pad = [(radius, radius) if a == axis else (0, 0) for a in range(2)]
        padded = np.pad(padded, pad, mode=mode)  # type: ignore[call-overload]
    shape = (padded.shape[0] + 2 * radius, padded.shape[1] + 2 * radius)
    full = np.fft.irfft2(np.fft.rfft2(padded, shape) * np.fft.rfft2(kernel, shape), shape)
    return full[2 * radius : 2 * radius + height, 2 * radius : 2 * radius + width]


def _gaussian(sigma: float, radius: int) -> npt.NDArray[np.float64]:
    x = np.arange(-radius, radius + 1, dtype=np.float64)
    kernel = np.exp(-0.5 * (x / sigma) ** 2)
    return np.asarray(kernel / kernel.sum(), dtype=np.float64)


def _blur(image: npt.NDArray[np.float64], sigma: float = SIGMA) -> npt.NDArray[np.float64]:
    """Separable Gaussian blur of an H x W x C float image, edges mirrored."""
    kernel = _gaussian(sigma, int(np.ceil(3 * sigma)))
    return np.asarray(_correlate(_correlate(image, kernel, 0), kernel, 1), dtype=np.float64)


def _rgb(image: Any, palette: Sequence[Any] | None, what: str) -> npt.NDArray[np.uint8]:
    """An H x W x 3 uint8 array: gray made RGB, alpha left out, indices looked up."""
    array = np.asarray(image)
    if palette is not None:
        from .palettes.presets import palette_colours

        colours = palette_colours(palette, "palette")
        table = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], np.uint8)
        if array.ndim != 2 or array.dtype.kind not in "iu":
            raise ValueError(
                f"{what} with a palette must be a 2-D array of indices, "
                f"got shape {list(array.shape)} of {array.dtype}"
            )
        outside = (array < 0) | (array >= len(colours))
        if outside.any():
            raise ValueError(
                f"{what} holds index {int(array[outside].flat[0])}, outside the "
                f"palette's {len(colours)} colours"
            )
        return np.asarray(table[array], dtype=np.uint8)
    if array.dtype != np.uint8:
        raise TypeError(f"{what} must be a uint8 image, got {array.dtype}")
    if array.ndim == 2:
        return np.repeat(array[:, :, None], 3, axis=2)
    if array.ndim != 3 or not 1 <= array.shape[2] <= 4:
        raise ValueError(
            f"{what} must be 2-D gray or H x W x 1..4 channels, got shape {list(array.shape)}"
        )
    if array.shape[2] <= 2:
        return np.repeat(array[:, :, :1], 3, axis=2)
    return np.ascontiguousarray(array[:, :, :3])


def _image(image: Any, what: str, palette: Sequence[Any] | None = None) -> npt.NDArray[np.uint8]:
    if hasattr(image, "mode") and hasattr(image, "convert"):
        if image.mode == "P" and palette is None:
            image = image.convert("RGB")
        elif image.mode not in ("L", "LA", "RGB", "RGBA"):
            image = image.convert("RGB")
    return _rgb(image, palette, what)


def blurred_oklab(image: Any) -> npt.NDArray[np.float64]:
    """An image blurred in linear light (sigma 1.2 px) and converted to Oklab.

    The half of the ``"oklab"`` figure that depends on one image: compute it
    once for an original scored against many dithers.

    Args:
        image: a uint8 array (2-D gray or H x W x 1..4; alpha is left out) or
            a PIL image.

    Returns:
        An H x W x 3 float64 array of Oklab L, a, b.

    Raises:
        TypeError, ValueError: not a uint8 image.

    Examples:
        >>> import numpy as np
        >>> lab = blurred_oklab(np.full((4, 4, 3), 255, dtype=np.uint8))
        >>> lab.shape, round(float(lab[0, 0, 0]), 3)
        ((4, 4, 3), 1.0)
    """
    return linear_oklab(_blur(_linear(_image(image, "image"))))


def _scielab(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.float64]:
    """CIELAB of the image after Zhang and Wandell's spatial filters."""
    xyz = _linear(rgb) @ _SRGB_TO_XYZ.T
    opponent = xyz @ _XYZ_TO_OPPONENT.T
    # The filters reach about one degree of visual angle, as in the original
    # definition; each Gaussian is normalised on that support.
    radius = int(PIXELS_PER_DEGREE // 2)
    filtered = np.empty_like(opponent)
    for channel, terms in enumerate(_FILTERS):
        kernel = np.zeros((2 * radius + 1, 2 * radius + 1))
        for weight, spread in terms:
            # exp(-(x/s)^2) with s the spread in pixels: sigma = s / sqrt(2).
            g = _gaussian(spread * PIXELS_PER_DEGREE / np.sqrt(2.0), radius)
            kernel += weight * np.outer(g, g)
        kernel /= sum(w for w, _ in terms)
        filtered[:, :, channel] = _convolve(opponent[:, :, channel], kernel)
    back = filtered @ np.linalg.inv(_XYZ_TO_OPPONENT).T
    ratio = back / _WHITE
    delta = 6.0 / 29.0
    f = np.where(ratio > delta**3, np.cbrt(ratio), ratio / (3 * delta**2) + 4.0 / 29.0)
    return np.stack(
        [
            116.0 * f[:, :, 1] - 16.0,
            500.0 * (f[:, :, 0] - f[:, :, 1]),
            200.0 * (f[:, :, 1] - f[:, :, 2]),
        ],
        axis=-1,
    )


def _speckle(original: npt.NDArray[np.uint8], dithered: npt.NDArray[np.uint8]) -> float:
    a = linear_oklab(_linear(original))
    b = linear_oklab(_linear(dithered))
    chroma_a = np.hypot(a[:, :, 1], a[:, :, 2])
    chroma_b = np.hypot(b[:, :, 1], b[:, :, 2])
    turn = np.abs(
        np.angle(
            np.exp(1j * (np.arctan2(a[:, :, 2], a[:, :, 1]) - np.arctan2(b[:, :, 2], b[:, :, 1])))
        )
    )
    stray = (chroma_a > CHROMA) & (chroma_b > CHROMA) & (turn > np.radians(HUE_DEGREES))
    return float(stray.mean() * 100.0)


def _metric(metric: object) -> str:
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a str, got {type(metric).__name__}")
    key = metric.strip().lower().replace("-", "").replace("_", "")
    if key == "scielab":
        return "scielab"
    if key in METRICS:
        return key
    raise ValueError(f"unknown quality metric {metric!r} (valid: {', '.join(METRICS)})")


def score(
    original: Any,
    dithered: Any,
    metric: str = "oklab",
    *,
    palette: Sequence[Any] | None = None,
) -> float:
    """How far a dither looks from its original; lower is better.

    Args:
        original: the image before dithering: a uint8 array (2-D gray or
            H x W x 1..4 channels; alpha is left out) or a PIL image.
        dithered: the result, the same way, of the same height and width;
            or, with `palette`, a 2-D integer array of palette indices.
        metric: ``"oklab"`` (blurred Oklab distance x 100), ``"scielab"``
            (S-CIELAB mean Delta E at 35 pixels per degree) or ``"speckle"``
            (percent of pixels, chromatic in the original, given a chromatic
            colour over 95 degrees away in hue);
            see the module's description.
        palette: the colours `dithered`'s indices stand for (what tonalis
            takes as a palette).

    Returns:
        The figure, a float >= 0; 0 for identical images.

    Raises:
        TypeError: an image that is not uint8, or a metric that is not a str.
        ValueError: an unknown metric, images of different sizes, or an
            index outside the palette.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> ramp = np.tile(np.arange(0, 256, 4, dtype=np.uint8), (16, 1))
        >>> score(ramp, ramp)
        0.0
        >>> plain = score(ramp, tonalis.error_diffusion(ramp))
        >>> plain < score(ramp, np.where(ramp < 128, 0, 255).astype(np.uint8))
        True
        >>> indices = (ramp >= 128).astype(np.uint8)
        >>> round(score(ramp, indices, "scielab", palette=["#000", "#fff"]), 1) > 0
        True
    """
    key = _metric(metric)
    before = _image(original, "original")
    after = _image(dithered, "dithered", palette)
    if before.shape != after.shape:
        raise ValueError(
            f"the images differ in size: original {before.shape[1]}x{before.shape[0]}, "
            f"dithered {after.shape[1]}x{after.shape[0]}"
        )
    if before.size == 0:
        return 0.0
    if key == "oklab":
        return _oklab_figure(blurred_oklab(before), after)
    if key == "scielab":
        diff = _scielab(before) - _scielab(after)
        return float(np.sqrt((diff**2).sum(axis=-1)).mean())
    return _speckle(before, after)


def _oklab_figure(original_lab: npt.NDArray[np.float64], dithered: Any) -> float:
    diff = blurred_oklab(dithered) - original_lab
    return float(np.sqrt((diff**2).sum(axis=-1)).mean() * 100)


def scores(
    original: Any,
    dithered: Sequence[Any],
    metric: str = "oklab",
    *,
    palette: Sequence[Any] | None = None,
) -> list[float]:
    """`score` of many dithers of one original, the original's half computed once.

    Args:
        original: the image before dithering, as `score` takes it.
        dithered: the results, each as `score` takes it.
        metric: as for `score`.
        palette: as for `score`, the same for every result.

    Returns:
        One figure per result, in their order.

    Raises:
        TypeError, ValueError: as `score` raises them.

    Examples:
        >>> import numpy as np
        >>> gray = np.full((8, 8), 100, dtype=np.uint8)
        >>> a, b = scores(gray, [gray, np.zeros_like(gray)])
        >>> a == 0.0 < b
        True
    """
    key = _metric(metric)
    if key != "oklab":
        return [score(original, d, key, palette=palette) for d in dithered]
    before = _image(original, "original")
    lab = blurred_oklab(before)
    figures = []
    for result in dithered:
        after = _image(result, "dithered", palette)
        if before.shape != after.shape:
            raise ValueError(
                f"the images differ in size: original {before.shape[1]}x{before.shape[0]}, "
                f"dithered {after.shape[1]}x{after.shape[0]}"
            )
        figures.append(_oklab_figure(lab, after) if before.size else 0.0)
    return figures


def oklab_floor(original: Any, palette: Sequence[Any]) -> float:
    """The least ``"oklab"`` figure any image of `palette`'s colours can score.

    Blurred, every pixel of a dither is a mix of the palette's colours, so it
    cannot come nearer the blurred original than the nearest mix does; the
    mean of those nearest distances (x 100) bounds from below what any method
    can reach. 0 where the palette's mixes hold every colour of the picture;
    above 0 it is the error of the panel's gamut, and a dither's figure less
    this floor is what its texture and its choice among mixes cost.

    Args:
        original: the image, as `score` takes it.
        palette: the colours (what tonalis takes as a palette).

    Returns:
        The floor, a float >= 0: at the exact least figure or a hair above
        it (about 0.01% on a photograph; never below). It takes a few
        seconds for a 384 x 256 photograph far outside the palette's mixes.

    Raises:
        TypeError, ValueError: not a uint8 image, or not a palette.

    Examples:
        >>> import numpy as np
        >>> gray = np.full((8, 8), 100, dtype=np.uint8)
        >>> oklab_floor(gray, ["#000000", "#ffffff"])
        0.0
        >>> red = np.zeros((8, 8, 3), dtype=np.uint8); red[..., 0] = 255
        >>> 0 < oklab_floor(red, ["#000000", "#ffffff"]) < score(red, np.zeros_like(red))
        True
    """
    from .palettes.presets import palette_colours
    from .palettes.recolor import colour_array

    colours = palette_colours(palette, "palette")
    before = _image(original, "original")
    if before.size == 0:
        return 0.0
    codes = colour_array(colours)
    targets = _blur(_linear(before)).reshape(-1, 3)
    # Neighbouring pixels of a blurred picture often agree to the last bit.
    unique, inverse = np.unique(targets, axis=0, return_inverse=True)
    distances = Mixes.of(_linear(codes)).distance(unique)
    figure = float(distances[inverse.ravel()].mean() * 100)
    # Rounding leaves a point on the hull a hair outside it.
    return figure if figure > 1e-9 else 0.0


def colour_gradient(width: int = 384, height: int = 128) -> npt.NDArray[np.uint8]:
    """A test image: hue sweeping across, from black through full colour to white down.

    Args:
        width: pixels across, at least 1.
        height: pixels down, at least 1.

    Returns:
        A height x width x 3 uint8 array.

    Raises:
        ValueError: a size below 1.

    Examples:
        >>> colour_gradient(6, 3)[:, 0].tolist()
        [[0, 0, 0], [255, 0, 0], [255, 255, 255]]
    """
    if width < 1 or height < 1:
        raise ValueError(f"the gradient needs a size of at least 1x1, got {width}x{height}")
    hue = np.linspace(0.0, 1.0, width, endpoint=False)
    k = (np.arange(3)[None, :] / 3.0 + hue[:, None]) % 1.0
    full = np.clip(np.abs(k * 6.0 - 3.0) - 1.0, 0.0, 1.0)  # width x 3
    t = np.linspace(0.0, 1.0, height)[:, None, None]
    lower = full[None] * (t * 2.0)
    upper = full[None] + (1.0 - full[None]) * (t * 2.0 - 1.0)
    rgb = np.where(t < 0.5, lower, upper)
    return np.round(np.clip(rgb, 0.0, 1.0) * 255.0).astype(np.uint8)
