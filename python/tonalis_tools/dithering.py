"""`DitherSettings` and `apply`: how to dither, and which engine dithers one
image with it. The command line, `dither`, the gallery and the file
pipeline all come through here; `tonalis_tools.pipeline` holds the same
names."""

from __future__ import annotations

import dataclasses
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt

import tonalis

from .algorithms import (
    ALGORITHMS,
    needs_colour,
    pattern_dither,
    riemersma,
    to_colour,
    variable_diffuse,
)
from .dbs import dbs
from .devices.channels import dither_channels
from .extras import diffuse, ordered, random_dither
from .io.pixelart import binary_alpha
from .matrices import named_matrix
from .names import normalize_name
from .palettes.gamut import prepare as prepare_gamut
from .palettes.neutral import is_gray_photo, neutral_indices
from .palettes.presets import palette_colours
from .palettes.recolor import recolor
from .tone import LuminanceRamp, ToneSettings, is_one_hue

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["DitherSettings", "apply", "check", "resolve"]


@dataclasses.dataclass(frozen=True)
class DitherSettings:
    """Everything that says how to dither, independent of any one image.

    `method` is any name `tonalis.dither` takes, 'bluenoise16', 'bluenoise32',
    'bluenoise64', or a halftone screen's name ('halftone45', see
    `screen_names`). `matrix`, when set, makes it ordered dither with that
    matrix (any of those names, a size or an array) whatever `method` says.
    `levels` None means the default (2) and is required to be None with a
    palette; a tuple gives every dithered channel its own count
    ((32, 64, 32) for RGB565, see `dither_channels`). `gray` turns colour
    images into gray ones first (luma, as Pillow's `convert("L")`), so two
    levels give black and white; it takes levels, not a palette. `tone`
    prepares the tones before dithering. `display_palette`, with a palette of
    the same length, replaces each palette colour in the result by the one
    at its index (dither against what a panel shows, write what its driver
    takes; see `recolor`). `error_limit`, `mask` and `distance` are the
    refinements of `tonalis_tools.diffuse`, `ordered` and `random`; any of
    them routes the call there (they do not combine with per-channel
    levels, and the mask must have each image's height and width).
    `luminance` dithers the image's luminance onto a palette's ramp of
    luminance (see `LuminanceRamp`): True always, None (the default) for
    one-hue palettes (`is_one_hue`), as `gray` with a palette does.
    `alpha_threshold` cuts alpha before dithering: below it 0, else 255.
    `lightness_map` and `chroma_map` map a colour image into the palette's
    lightness range and colours before dithering, each by a share from 0
    to 1 (see `tonalis_tools.palettes.gamut.prepare`). `gray_photos`
    dithers a gray image (`is_gray_photo`) to the palette's neutral colours
    only, when it has colours besides (`neutral_indices`). `sigma`,
    `viewing`, `passes`, `swaps` and `opponent` are the options of direct
    binary search (method 'dbs', see `tonalis_tools.dbs`): its eye, a
    Gaussian of `sigma` pixels or Näsänen's at `viewing` = (inches, pixels
    per inch), the most passes, whether neighbours swap values, and whether
    a coloured palette's error is weighed in lightness and colour
    differences.

    The fields are not checked when the settings are made: `check` (or
    `tonalis_tools.front.settings`, which builds them from the options of
    `dither`) raises what dithering with them would.

    Args:
        method: the method name.
        levels: levels per channel: a count, one count per channel, or None.
        palette: '#rrggbb' strings (or what tonalis takes), or None.
        serpentine: as tonalis takes it (error diffusion).
        seed: as tonalis takes it (random dither).
        strength: as tonalis takes it, in [0, 1].
        linear: as tonalis takes it.
        preserve_alpha: as tonalis takes it.
        matrix: a matrix name, size or array, making it ordered dither.
        gray: turn colour images gray first.
        tone: the tone preparation, or None.
        display_palette: the colours written in place of the palette's.
        error_limit: the refined engines' error limit, or None.
        mask: the refined engines' per-pixel strength, or None.
        distance: the colour distance, 'rgb', 'luma' or 'oklab'.
        luminance: dither by luminance onto the palette: True, False, or
            None for one-hue palettes.
        alpha_threshold: 0 to 255, or None to keep alpha as it is.
        lightness_map: the share of the lightness map, 0 to 1.
        chroma_map: the share of the chroma map, 0 to 1.
        gray_photos: dither gray images to the palette's neutral colours.
        sigma: direct binary search's Gaussian eye in pixels, or None.
        viewing: direct binary search's Näsänen eye, (distance in inches,
            pixels per inch), or None.
        passes: direct binary search's most passes, or None for its own.
        swaps: direct binary search tries swaps with neighbours.
        opponent: direct binary search weighs a coloured palette's error in
            lightness and colour differences (False: RGB channels alike).

    Examples:
        >>> import numpy as np
        >>> chosen = DitherSettings("floyd_steinberg", levels=4, serpentine=True)
        >>> chosen.describe()
        'floyd_steinberg, levels=4, serpentine'
        >>> out = apply(chosen, np.full((4, 8), 100, dtype=np.uint8))
        >>> sorted(np.unique(out).tolist())
        [85, 170]
    """

    method: str = "floyd_steinberg"
    levels: int | tuple[int, ...] | None = None
    palette: Sequence[str] | None = None
    serpentine: bool = False
    seed: int | None = None
    strength: float = 1.0
    linear: bool = False
    preserve_alpha: bool = True
    matrix: str | int | npt.NDArray[Any] | None = None
    gray: bool = False
    tone: ToneSettings | None = None
    display_palette: Sequence[str] | None = None
    error_limit: float | None = None
    mask: npt.NDArray[Any] | None = None
    distance: str = "rgb"
    luminance: bool | None = None
    alpha_threshold: int | None = None
    lightness_map: float = 0.0
    chroma_map: float = 0.0
    gray_photos: bool = False
    sigma: float | None = None
    viewing: tuple[float, float] | None = None
    passes: int | None = None
    swaps: bool = True
    opponent: bool = True

    def searched(self) -> bool:
        """Whether an option of direct binary search is given."""
        return (
            self.sigma is not None
            or self.viewing is not None
            or self.passes is not None
            or self.swaps is not True
            or self.opponent is not True
        )

    def refined(self) -> bool:
        """Whether a refinement (error limit, mask, distance) is asked for."""
        return (
            self.error_limit is not None
            or self.mask is not None
            or normalize_name(self.distance) != "rgb"
        )

    def describe(self) -> str:
        """A short human label such as 'atkinson, levels=4, serpentine'."""
        parts = [self.method if self.matrix is None else "ordered (custom matrix)"]
        if isinstance(self.levels, tuple):
            parts.append("levels=" + ",".join(map(str, self.levels)))
        elif self.levels is not None:
            parts.append(f"levels={self.levels}")
        if self.palette is not None:
            parts.append(f"{len(self.palette)} colours")
        if self.display_palette is not None:
            parts.append("recoloured")
        if self.serpentine:
            parts.append("serpentine")
        if self.strength != 1.0:
            parts.append(f"strength={self.strength:g}")
        if self.linear:
            parts.append("linear")
        if self.error_limit is not None:
            parts.append(f"error limit {self.error_limit:g}")
        if normalize_name(self.distance) != "rgb":
            parts.append(self.distance)
        if self.mask is not None:
            parts.append("masked")
        if self.gray:
            parts.append("gray")
        if self.palette is not None and _by_luminance(self):
            parts.append("by luminance")
        if self.alpha_threshold is not None:
            parts.append(f"alpha < {self.alpha_threshold} clear")
        if self.tone is not None and self.tone.describe():
            parts.append(self.tone.describe())
        if self.palette is not None and self.lightness_map:
            parts.append(f"lightness map {self.lightness_map:g}")
        if self.palette is not None and self.chroma_map:
            parts.append(f"chroma map {self.chroma_map:g}")
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


# Pillow's luma weights in 16-bit fixed point, so arrays and PIL images agree.
_LUMA = (19595, 38470, 7471)


def _to_gray(image: Any) -> Any:
    mode = getattr(image, "mode", None)
    if mode is not None:
        return image.convert("LA" if mode in ("LA", "RGBA", "PA") else "L")
    array = np.asarray(image)
    if array.ndim == 2 or array.shape[2] in (1, 2):
        return array
    rgb = array[:, :, :3].astype(np.uint32)
    luma = (
        (rgb[:, :, 0] * _LUMA[0] + rgb[:, :, 1] * _LUMA[1] + rgb[:, :, 2] * _LUMA[2] + 0x8000) >> 16
    ).astype(np.uint8)
    if array.shape[2] == 4:
        return np.dstack([luma, array[:, :, 3]])
    return luma


def _colour_target(settings: DitherSettings) -> bool:
    """A palette or three or more level counts: a gray image is dithered as RGB."""
    per_channel = isinstance(settings.levels, tuple) and len(settings.levels) >= 3
    return settings.palette is not None or per_channel


def resolve(settings: DitherSettings) -> DitherSettings:
    """The same settings with a blue-noise or screen name turned into its matrix.

    `apply` makes the matrix on every call; resolve once before dithering
    many images with the same settings.

    Args:
        settings: the settings.

    Returns:
        New settings with the matrix made, or `settings` itself when there
        is no such name.

    Raises:
        TypeError: a palette given as one string.

    Examples:
        >>> resolve(DitherSettings("bluenoise16")).matrix.shape
        (16, 16)
        >>> plain = DitherSettings("atkinson")
        >>> resolve(plain) is plain
        True
    """
    for field in ("palette", "display_palette"):
        value = getattr(settings, field)
        if isinstance(value, (str, bytes)):
            # A string is a sequence of one-letter strings, each taken as a
            # colour; say what is wrong instead.
            palette_colours(value, field)
    name = settings.matrix if isinstance(settings.matrix, str) else None
    if settings.matrix is None:
        name = settings.method
    if name is None:
        return settings
    matrix = named_matrix(name)
    if isinstance(matrix, str):
        return settings
    return dataclasses.replace(settings, matrix=matrix)


@overload
def apply(settings: DitherSettings, image: Image.Image) -> Image.Image: ...
@overload
def apply(settings: DitherSettings, image: npt.ArrayLike) -> npt.NDArray[np.uint8]: ...


def apply(settings: DitherSettings, image: Any) -> Any:
    """Dither a PIL image or array with `settings`; PIL in gives PIL out.

    A grayscale image given a palette or per-channel levels for three or more
    channels is first turned into RGB (LA into RGBA);
    with `settings.gray` a colour image is turned into gray. PIL images are
    taken as tonalis takes them (other modes than L, LA, RGB and RGBA become
    RGB); `load_image` reads any file into one of those four modes.

    Args:
        settings: how to dither.
        image: a uint8 array (2-D gray or H x W x C) or a PIL image.

    Returns:
        A new image: a PIL image for a PIL image, else a uint8 array.

    Raises:
        TypeError, ValueError: settings that tonalis or an engine rejects,
            or an image it does not take.

    Examples:
        >>> from PIL import Image
        >>> photo = Image.new("RGB", (4, 4), "orange")
        >>> out = apply(DitherSettings("atkinson", palette=["#000", "#fff", "#f80"]), photo)
        >>> type(out).__name__, out.mode
        ('Image', 'RGB')
        >>> apply(DitherSettings(gray=True), photo).mode
        'L'
    """
    settings = resolve(settings)
    _check_search(settings)
    _check_maps(settings)
    if settings.alpha_threshold is not None:
        image = binary_alpha(image, settings.alpha_threshold)
    if settings.gray_photos and settings.palette is not None and not settings.gray:
        neutral = neutral_indices(list(settings.palette))
        if neutral is not None and is_gray_photo(image):
            return apply(_neutral_only(settings, neutral), image)
    if settings.luminance is not None and not isinstance(settings.luminance, bool):
        kind = type(settings.luminance).__name__
        raise TypeError(f"luminance must be a bool or None, got {kind}")
    if settings.palette is not None and _by_luminance(settings):
        ramp = LuminanceRamp.of(settings.palette)
        if ramp is not None:
            return _luminance(settings, ramp, image)
    elif settings.luminance:
        raise ValueError(
            "luminance dithers onto a palette; give one (gray output dithers it to levels)"
        )
    kwargs = _common(settings)
    if settings.gray:
        image = _to_gray(image)
    elif _colour_target(settings) and needs_colour(image):
        image = to_colour(image)
    if settings.tone is not None:
        image = settings.tone.apply(image)
    if settings.palette is not None and (settings.lightness_map or settings.chroma_map):
        image = prepare_gamut(
            image,
            list(settings.palette),
            lightness=settings.lightness_map,
            chroma=settings.chroma_map,
        )
    if normalize_name(settings.method) in _ALGORITHM_KEYS:
        result = _algorithm(settings, image, kwargs)
    elif settings.refined():
        if isinstance(settings.levels, tuple):
            raise ValueError(
                "error_limit, mask and distance do not combine with per-channel levels"
            )
        result = _refined(settings, image, kwargs)
    elif isinstance(settings.levels, tuple):
        if settings.palette is not None:
            raise ValueError(
                "per-channel levels and a palette exclude each other; pass one of them"
            )
        del kwargs["levels"]
        if settings.matrix is None:
            kwargs.update(serpentine=settings.serpentine, seed=settings.seed)
        result = dither_channels(
            image, settings.method, settings.levels, matrix=settings.matrix, **kwargs
        )
    elif settings.matrix is not None:
        result = tonalis.ordered_dither(image, settings.matrix, **kwargs)
    else:
        result = tonalis.dither(
            image, settings.method, serpentine=settings.serpentine, seed=settings.seed, **kwargs
        )
    if settings.display_palette is not None:
        if settings.palette is None:
            raise ValueError(
                "a display palette replaces the colours of a palette; give the palette too"
            )
        result = recolor(result, settings.palette, settings.display_palette)
    return result


_ALGORITHM_KEYS = {normalize_name(name) for name in ALGORITHMS}


def _check_search(settings: DitherSettings) -> None:
    """The options of direct binary search go with its method, and `viewing` is a pair."""
    if not settings.searched():
        return
    if normalize_name(settings.method) != "dbs":
        raise ValueError(
            "sigma, viewing, passes, swaps and opponent are options of method 'dbs', "
            f"not of {settings.method!r}"
        )
    if settings.viewing is not None:
        if settings.sigma is not None:
            raise ValueError("give sigma or viewing, not both")
        if not isinstance(settings.viewing, tuple) or len(settings.viewing) != 2:
            raise TypeError("viewing must be a pair: (distance in inches, pixels per inch)")


def _check_maps(settings: DitherSettings) -> None:
    for name in ("lightness_map", "chroma_map"):
        share = getattr(settings, name)
        if isinstance(share, bool) or not isinstance(share, (int, float, np.floating)):
            raise TypeError(f"{name} must be a number from 0 to 1, got {type(share).__name__}")
        if not 0.0 <= float(share) <= 1.0:
            raise ValueError(f"{name} must be a share from 0 to 1, got {share!r}")
    if not isinstance(settings.gray_photos, bool):
        raise TypeError(f"gray_photos must be a bool, got {type(settings.gray_photos).__name__}")


def _neutral_only(settings: DitherSettings, neutral: list[int]) -> DitherSettings:
    """The settings with only the palette's neutral colours (and their display colours)."""
    palette = list(settings.palette or ())
    display = settings.display_palette
    return dataclasses.replace(
        settings,
        palette=[palette[i] for i in neutral],
        display_palette=None if display is None else [list(display)[i] for i in neutral],
        gray_photos=False,
        chroma_map=0.0,
    )


def _by_luminance(settings: DitherSettings) -> bool:
    """Whether a palette is dithered to by luminance: asked for, gray, or one hue."""
    if settings.luminance is not None:
        return settings.luminance
    return settings.gray or is_one_hue(list(settings.palette or ()))


def _luminance(settings: DitherSettings, ramp: LuminanceRamp, image: Any) -> Any:
    """The image's luma, toned and mapped onto the ramp, dithered onto its grays,
    each gray then written as the (display) colour it stands for."""
    image = _to_gray(image)
    if settings.tone is not None:
        image = settings.tone.apply(image)
    palette = list(settings.palette or ())
    shown = ramp.stand_for(palette, settings.display_palette or palette)
    grays = dataclasses.replace(
        settings,
        palette=list(ramp.grays),
        display_palette=shown,
        gray=False,
        tone=None,
        luminance=False,
        alpha_threshold=None,
    )
    return apply(grays, ramp.map(image))


def _algorithm(settings: DitherSettings, image: Any, kwargs: dict[str, Any]) -> Any:
    """Pattern, Riemersma and variable-coefficient diffusion."""
    key = normalize_name(settings.method)
    if (
        isinstance(settings.levels, tuple)
        or settings.error_limit is not None
        or settings.mask is not None
    ):
        raise ValueError(
            f"method {settings.method!r} takes neither per-channel levels, "
            "an error limit nor a mask"
        )
    if key == "pattern":
        if settings.palette is None:
            raise ValueError("method 'pattern' needs a palette")
        matrix = settings.matrix if settings.matrix is not None else "bayer8x8"
        return pattern_dither(
            image,
            list(settings.palette),
            matrix=matrix,
            strength=settings.strength,
            linear=settings.linear,
            preserve_alpha=settings.preserve_alpha,
            distance=settings.distance,
        )
    if key == "riemersma":
        return riemersma(image, **kwargs, distance=settings.distance)
    if key == "dbs":
        if kwargs.pop("strength") != 1.0:
            raise ValueError("method 'dbs' takes no strength")
        distance, dpi = (None, None) if settings.viewing is None else settings.viewing
        return dbs(
            image,
            **kwargs,
            sigma=settings.sigma,
            distance=distance,
            dpi=dpi,
            passes=settings.passes,
            swaps=settings.swaps,
            opponent=settings.opponent,
        )
    if settings.palette is not None:
        raise ValueError(f"method {settings.method!r} takes levels, not a palette")
    return variable_diffuse(
        image, settings.method, **kwargs, seed=settings.seed if settings.seed is not None else 0
    )


def _refined(settings: DitherSettings, image: Any, kwargs: dict[str, Any]) -> Any:
    """The refined engines: ordered for a matrix or a Bayer name, random, or diffusion."""
    extras: dict[str, Any] = {"mask": settings.mask, "distance": settings.distance}
    key = normalize_name(settings.method)
    if settings.matrix is not None or re.fullmatch(r"(bayer)?\d+(x\d+)?", key):
        matrix = settings.matrix if settings.matrix is not None else settings.method
        return ordered(image, matrix, **kwargs, **extras)
    if key == "random":
        return random_dither(image, seed=settings.seed, **kwargs, **extras)
    return diffuse(
        image,
        settings.method,
        serpentine=settings.serpentine,
        error_limit=settings.error_limit,
        **kwargs,
        **extras,
    )


def check(settings: DitherSettings) -> None:
    """Raise the error tonalis would raise for these settings, on a tiny image.

    Per-channel level counts are checked one by one: how many an image
    needs depends on its channels, which only the image tells.

    Args:
        settings: the settings to check.

    Raises:
        TypeError, ValueError: what dithering an image with them would raise.

    Examples:
        >>> check(DitherSettings("atkinson", levels=4))
        >>> check(DitherSettings("atkinson", levels=1))
        Traceback (most recent call last):
        ...
        ValueError: levels must be between 2 and 256, got 1
    """
    if isinstance(settings.levels, tuple):
        if not settings.levels:
            raise ValueError("per-channel levels need at least one count")
        if settings.gray and len(settings.levels) != 1:
            raise ValueError(f"gray output takes one level count, got {len(settings.levels)}")
        for count in settings.levels:
            check(dataclasses.replace(settings, levels=count))
        return
    if settings.mask is not None:
        # The mask fixes the image size.
        height, width = np.shape(settings.mask)[:2]
        apply(settings, np.zeros((height, width, 3), dtype=np.uint8))
        return
    apply(settings, np.zeros((2, 2, 3), dtype=np.uint8))
