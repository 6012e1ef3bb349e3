"""`dither`: one call for every method and option the command line knows.

`dither` turns its keyword options into checked `DitherSettings` (see
`settings`) and applies them with `pipeline.apply`, which picks the engine:
tonalis itself, the refined engines of `tonalis_tools.extras`, the
algorithms of `tonalis_tools.algorithms` or per-channel levels. The command
line and the Dask batch build their settings here too, so a method name or
option means the same everywhere.

Error diffusion to a palette takes the settings the palette looks best
with where the caller gives none: linear light, serpentine scan and, for a
panel's measured colours, an error limit and the distance that measures
best (`tonalis_tools.palettes.profiles`). An option given always wins, even
at tonalis's value (``linear=False``); ``error_limit=math.inf`` asks for no
limit. With ``exact=True`` only tonalis's own options are taken and the
call goes straight to `tonalis.dither` (or `tonalis.ordered_dither` for a
matrix): tonalis's bytes and tonalis's errors, no profile.
Without it, tonalis's options given in full (``serpentine`` and ``linear``
among them) give tonalis's bytes, and gray images given a palette are
turned into RGB first.
Options keep the defaults of the command line where they differ from a
specialised function's: 'pattern' mixes colours as codes unless
``linear=True`` (`pattern_dither` mixes linear light by default), and
'zhou_fang' draws with seed 0 unless given one.
"""

from __future__ import annotations

import inspect
import math
import numbers
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt

import tonalis

from .algorithms import ALGORITHMS
from .devices.channels import device_levels
from .devices.fit import fit_image
from .dithering import DitherSettings, apply, check, resolve
from .matrices import matrix_names
from .names import did_you_mean, normalize_name
from .palettes.palette_files import load_palette_file
from .palettes.presets import adaptive_palette, palette_colours, parse_palette
from .palettes.presets import preset as preset_colours
from .palettes.profiles import Profile, profile_for
from .palettes.recolor import panel_palette
from .steady import is_threshold_method
from .tone import ToneSettings

if TYPE_CHECKING:
    from PIL import Image

__all__ = [
    "dither",
    "settings",
    "prepare",
    "method_names",
    "matrix_names",
    "check_method",
    "default_profile",
]

# What `exact=True` passes on, and the value that means "not given".
_TONALIS_DEFAULTS: dict[str, Any] = {
    "levels": None,
    "palette": None,
    "serpentine": False,
    "seed": None,
    "strength": 1.0,
    "linear": False,
    "preserve_alpha": True,
    "matrix": None,
}


def method_names() -> list[str]:
    """Every method name `dither` and the command line take.

    Returns:
        A new list: tonalis's kernels and Bayer matrices, the blue-noise and
        halftone screen names, 'random', and the added algorithms.

    Examples:
        >>> names = method_names()
        >>> names[:2], "bluenoise64" in names, "riemersma" in names
        (['floyd_steinberg', 'false_floyd_steinberg'], True, True)
    """
    return tonalis.available_methods() + matrix_names() + ["random"] + list(ALGORITHMS)


def check_method(name: object) -> str:
    """`name` when it is a method `dither` knows (spelled loosely).

    Args:
        name: the method name to check.

    Returns:
        `name` as given.

    Raises:
        TypeError: `name` is not a str.
        ValueError: an unknown name, with the closest one and the valid ones.

    Examples:
        >>> check_method("Floyd-Steinberg")
        'Floyd-Steinberg'
        >>> check_method("atkinsn")
        Traceback (most recent call last):
        ...
        ValueError: unknown dither method 'atkinsn'; did you mean 'atkinson'? (valid: ...)
    """
    if not isinstance(name, str):
        raise TypeError(f"method must be a str, got {type(name).__name__}")
    if normalize_name(name) in {normalize_name(a) for a in ALGORITHMS}:
        return name
    try:
        check(DitherSettings(method=name))
    except ValueError:
        # The method is the only setting that is not a default, so it is the bad one.
        names = method_names()
        raise ValueError(
            f"unknown dither method {name!r}{did_you_mean(name, names)} (valid: {', '.join(names)})"
        ) from None
    return name


def _levels(levels: object) -> int | tuple[int, ...] | None:
    if levels is None or isinstance(levels, (int, np.integer)) and not isinstance(levels, bool):
        return None if levels is None else int(levels)
    if isinstance(levels, str):
        try:
            return device_levels(levels)
        except ValueError as exc:
            raise ValueError(f"levels {levels!r} is not a device format: {exc}") from None
    if isinstance(levels, Sequence) and not isinstance(levels, (bytes, bytearray)):
        counts = list(levels)
        if all(isinstance(c, (int, np.integer)) and not isinstance(c, bool) for c in counts):
            return tuple(int(c) for c in counts)
    raise TypeError(
        "levels must be an int, a sequence of ints or a device format name ('rgb565'), "
        f"got {levels!r}"
    )


def _palette(palette: object, argument: str) -> list[str] | None:
    """A palette as tonalis takes it, palette text ('#000,#fff') or a palette file."""
    if palette is None:
        return None
    if isinstance(palette, os.PathLike):
        return load_palette_file(palette)
    if isinstance(palette, str):
        try:
            return parse_palette(palette)
        except ValueError as exc:
            raise ValueError(f"{argument}: {exc}") from None
    return palette_colours(palette, argument)


def _tone(tone: ToneSettings | None, given: dict[str, Any]) -> ToneSettings | None:
    # Identity, not equality: gamma=0.0 is a value to reject, not "not given".
    options = {
        name: value for name, value in given.items() if value is not None and value is not False
    }
    if tone is not None and options:
        raise ValueError(f"tone and {', '.join(options)} exclude each other; pass one of them")
    if tone is not None and not isinstance(tone, ToneSettings):
        raise TypeError(f"tone must be a ToneSettings, got {type(tone).__name__}")
    if not options:
        return tone
    for name, value in options.items():
        try:
            ToneSettings(**{name: value}).check()
        except (TypeError, ValueError) as exc:
            raise ValueError(f"{name} {value!r}: {exc}") from None
    return ToneSettings(**options)


def settings(
    method: str = "floyd_steinberg",
    *,
    levels: int | Sequence[int] | str | None = None,
    palette: Any = None,
    preset: str | None = None,
    panel: str | None = None,
    display_palette: Any = None,
    matrix: str | int | npt.NDArray[Any] | None = None,
    serpentine: bool | None = None,
    seed: int | None = None,
    strength: float = 1.0,
    linear: bool | None = None,
    preserve_alpha: bool = True,
    gray: bool = False,
    error_limit: float | None = None,
    mask: npt.ArrayLike | None = None,
    distance: str | None = None,
    luminance: bool | None = None,
    alpha_threshold: int | None = None,
    tone: ToneSettings | None = None,
    gamma: float | None = None,
    brightness: float | None = None,
    contrast: float | None = None,
    auto_levels: bool = False,
    s_curve: float | None = None,
    dot_gain: float | None = None,
    lightness_map: float | None = None,
    chroma_map: float | None = None,
    gray_photos: bool | None = None,
    sigma: float | None = None,
    viewing: tuple[float, float] | None = None,
    passes: int | None = None,
    swaps: bool = True,
    opponent: bool = True,
) -> DitherSettings:
    """Checked, resolved `DitherSettings` for the options of `dither`.

    What `dither`, `dither_frames`, the command line and the Dask batch make
    of their options, so that a name or option means the same everywhere.

    Args:
        method: any name of `method_names`, spelled loosely.
        levels: a count, one per channel, or a device format ('rgb565').
        palette: colours, palette text or a palette file's path.
        preset, panel: a palette by name (`preset_names`, `panel_names`);
            a panel brings the colours its driver takes as the display
            palette.
        display_palette, matrix, seed, strength, preserve_alpha, gray,
            mask, luminance, alpha_threshold: the fields of `DitherSettings`.
        serpentine, linear, error_limit, distance: the fields of
            `DitherSettings`; None (not given) takes, for error diffusion,
            the palette's profile (`default_profile`), else tonalis's value.
            ``error_limit=math.inf`` is no limit whatever the profile.
        tone: `ToneSettings`, or the single options gamma, brightness,
            contrast, auto_levels, s_curve and dot_gain.
        lightness_map, chroma_map: the shares (0 to 1) of the tone and
            gamut map before dithering to a palette; None takes the
            palette's profile (a panel's own, else 0).
        gray_photos: dither gray images to the palette's neutral colours
            only; None is on wherever a palette takes its profile (error
            diffusion with a tonalis kernel), off elsewhere.
        sigma, viewing, passes, swaps, opponent: direct binary search's
            options (method 'dbs'): its Gaussian eye in pixels, or Näsänen's
            eye at (inches, pixels per inch); the most passes; swaps; a
            coloured palette's error in lightness and colour differences.

    Returns:
        The `DitherSettings`, checked as `prepare` checks them, matrix names
        made into matrices.

    Raises:
        TypeError, ValueError: a bad option or combination; the message
            names the argument.

    Examples:
        >>> chosen = settings("atkinson", preset="cga")
        >>> chosen.palette, chosen.describe()
        (['#000000', '#55ffff', '#ff55ff', '#ffffff'], 'atkinson, 4 colours, serpentine, linear')
        >>> settings("atkinson", preset="cga", linear=False, serpentine=False).describe()
        'atkinson, 4 colours'
        >>> settings("bluenoise16", levels="rgb565").levels
        (32, 64, 32)
        >>> settings(levels=4, preset="bw")
        Traceback (most recent call last):
        ...
        ValueError: levels and preset exclude each other; pass one of them
    """
    if matrix is None:
        # A matrix makes it ordered dither whatever the method says.
        check_method(method)
    chosen = [
        name
        for name, value in (("palette", palette), ("preset", preset), ("panel", panel))
        if value is not None
    ]
    if len(chosen) > 1:
        raise ValueError(f"{' and '.join(chosen)} exclude each other; pass one of them")
    colours = _palette(palette, "palette")
    display = _palette(display_palette, "display_palette")
    if preset is not None:
        colours = preset_colours(preset)
    if panel is not None:
        if display is not None:
            raise ValueError("a panel brings its own display palette; leave display_palette out")
        colours = panel_palette(panel)
        driver = panel_palette(panel, measured=False)
        display = driver if driver != colours else None
    if display is not None:
        if colours is None:
            raise ValueError(
                "display_palette replaces the colours of a palette; give the palette too"
            )
        if len(display) != len(colours):
            raise ValueError(
                f"display_palette has {len(display)} colours and the palette "
                f"{len(colours)}; they pair up by index"
            )
    counts = _levels(levels)
    if counts is not None and colours is not None:
        raise ValueError(f"levels and {chosen[0]} exclude each other; pass one of them")
    if mask is not None:
        mask = np.asarray(mask)
    profile = default_profile(
        method, matrix=matrix, palette=colours, preset=preset, panel=panel, levels=counts
    )
    if serpentine is None:
        serpentine = profile.serpentine
    if linear is None:
        linear = profile.linear
    if distance is None:
        distance = profile.distance
    if error_limit is None:
        error_limit = profile.error_limit
    elif _no_limit(error_limit):
        error_limit = None
    if lightness_map is None:
        lightness_map = profile.lightness
    if chroma_map is None:
        chroma_map = profile.chroma
    if gray_photos is None:
        gray_photos = colours is not None and profile is not _PLAIN and counts is None
    result = DitherSettings(
        method=method,
        levels=counts,
        palette=colours,
        serpentine=serpentine,
        seed=seed,
        strength=strength,
        linear=linear,
        preserve_alpha=preserve_alpha,
        matrix=matrix,
        gray=gray,
        tone=_tone(
            tone,
            {
                "gamma": gamma,
                "brightness": brightness,
                "contrast": contrast,
                "auto_levels": auto_levels,
                "s_curve": s_curve,
                "dot_gain": dot_gain,
            },
        ),
        display_palette=display,
        error_limit=error_limit,
        mask=mask,
        distance=distance,
        luminance=luminance,
        alpha_threshold=alpha_threshold,
        lightness_map=lightness_map,
        chroma_map=chroma_map,
        gray_photos=gray_photos,
        sigma=sigma,
        viewing=viewing,
        passes=passes,
        swaps=swaps,
        opponent=opponent,
    )
    return prepare(result)


def _no_limit(value: object) -> bool:
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        return False
    return math.isinf(float(value)) and float(value) > 0


_PLAIN = Profile(why="not error diffusion: tonalis's settings")
_SEARCH = Profile(
    linear=True,
    why="direct binary search: its error is the light the eye averages, as tonalis_tools.dbs",
)


def default_profile(
    method: str = "floyd_steinberg",
    *,
    matrix: object = None,
    palette: Sequence[str] | None = None,
    preset: str | None = None,
    panel: str | None = None,
    levels: int | Sequence[int] | None = None,
    adaptive: bool = False,
) -> Profile:
    """The settings `dither` fills in where the caller gives none.

    Error diffusion with a tonalis kernel takes its palette's profile
    (`tonalis_tools.palettes.profiles.profile_for`); direct binary search
    works in linear light, as `tonalis_tools.dbs` does; the other methods
    take tonalis's settings.

    Args:
        method: the method name, spelled loosely.
        matrix: the settings' matrix, if any (it makes ordered dither).
        palette: the palette's '#rrggbb' strings, if any.
        preset: the preset the palette came from, if any.
        panel: the panel the palette came from, if any.
        levels: the level count or counts, if any.
        adaptive: the palette is fitted to each image (``colors``).

    Returns:
        The `Profile`.

    Raises:
        ValueError: an unknown preset or panel name.

    Examples:
        >>> default_profile(panel="acep7").describe()
        'linear, serpentine, error limit 12, lightness map 0.4, chroma map 0.1'
        >>> default_profile("bayer8x8", preset="cga").describe()
        'as tonalis'
        >>> default_profile(levels=2).describe()
        'as tonalis'
        >>> default_profile("dbs", levels=2).describe()
        'linear'
    """
    key = normalize_name(method)
    if key == "dbs" and matrix is None:
        return _SEARCH
    if (
        matrix is not None
        or is_threshold_method(method)
        or key in {normalize_name(name) for name in ALGORITHMS}
    ):
        return _PLAIN
    return profile_for(palette, preset=preset, panel=panel, levels=levels, adaptive=adaptive)


def prepare(given: DitherSettings) -> DitherSettings:
    """`given` checked (the errors tonalis or an engine would raise) and resolved
    (matrix names made into matrices once): what every image is then dithered with.

    Args:
        given: the settings.

    Returns:
        The settings with their matrix made, ready for many images.

    Raises:
        TypeError, ValueError: the error dithering with them would raise.

    Examples:
        >>> from tonalis_tools import DitherSettings
        >>> prepare(DitherSettings("bluenoise16")).matrix.shape
        (16, 16)
        >>> prepare(DitherSettings(levels=300))
        Traceback (most recent call last):
        ...
        ValueError: levels must be between 2 and 256, got 300
    """
    check(given)
    return resolve(given)


def _exact(image: Any, method: str, options: dict[str, Any]) -> Any:
    other = [name for name in options if name not in _TONALIS_DEFAULTS]
    if other:
        raise ValueError(f"exact=True takes only tonalis's own options, not {', '.join(other)}")
    # None is tonalis's default for the seed, and means "not given" for the others.
    given = {k: v for k, v in options.items() if v is not None}
    matrix = given.pop("matrix", None)
    if matrix is not None:
        for name in ("serpentine", "seed"):
            if name in given:
                raise ValueError(f"{name} does not go with matrix (ordered dither)")
        return tonalis.ordered_dither(image, matrix, **given)
    return tonalis.dither(image, method, **given)


@overload
def dither(
    image: Image.Image, method: str = ..., *, exact: bool = ..., **options: Any
) -> Image.Image: ...
@overload
def dither(
    image: npt.ArrayLike, method: str = ..., *, exact: bool = ..., **options: Any
) -> npt.NDArray[np.uint8]: ...


def dither(
    image: Any, method: str = "floyd_steinberg", *, exact: bool = False, **options: Any
) -> Any:
    """Dither an image with any method the command line knows; PIL in gives PIL out.

    Args:
        image: a uint8 array (2-D gray or H x W x C with 1 to 4 channels) or
            a PIL image.
        method: an error-diffusion kernel ('floyd_steinberg', 'atkinson',
            ... see `tonalis.available_methods`), a matrix name ('bayer8x8',
            'bluenoise64', a halftone screen such as 'halftone45'),
            'random', 'pattern' (with a palette), 'riemersma',
            'ostromoukhov' or 'zhou_fang'. Names are loose: case, '-', '_'
            and spaces don't matter.
        exact: go straight to tonalis with only its own options (levels,
            palette, serpentine, seed, strength, linear, preserve_alpha,
            matrix): tonalis's bytes and errors, no profile.
        options: the fields of `settings` (error diffusion fills in
            ``serpentine``, ``linear``, ``error_limit`` and ``distance``
            from the palette's profile where they are not given, see
            `default_profile`): ``levels`` (a count, one per
            channel, or a device format such as 'rgb565'), ``palette``
            (colours, palette text or a palette file path), ``preset``,
            ``panel``, ``display_palette``, ``matrix``, ``serpentine``,
            ``seed``, ``strength``, ``linear``, ``preserve_alpha``,
            ``gray``, ``error_limit``, ``mask``, ``distance``,
            ``luminance``, ``alpha_threshold``, ``tone`` or
            its single options (``gamma``, ``brightness``, ``contrast``,
            ``auto_levels``, ``s_curve``, ``dot_gain``); ``lightness_map``,
            ``chroma_map`` (a panel's tone and gamut map, from its profile;
            0 for none) and ``gray_photos`` (a gray image to the palette's
            neutral colours only; on with a profile, False to turn it off);
            ``colors``, an adaptive palette of that many colours fitted to
            this image (median cut, as the command line's --colors); and
            ``size`` ((width, height), 'WxH' or a panel model of
            `PANEL_SIZES`) with ``fit`` ('cover', the default, 'contain' or
            'crop'), ``rotate`` (default True) and ``background`` (default
            'white'): the image fitted to the panel first (`fit_image`);
            ``sigma``, ``viewing``, ``passes``, ``swaps`` and ``opponent``
            for method 'dbs' (see `tonalis_tools.dbs`).

    Returns:
        A new image: a PIL image for a PIL image, else a uint8 array of the
        input's shape (RGB, or RGBA, for a gray input given a palette).

    Raises:
        TypeError: an option that does not exist or has the wrong type.
        ValueError: a bad value or combination; the message names the argument.

    Examples:
        >>> import numpy as np
        >>> rgb = np.full((4, 6, 3), (200, 120, 40), dtype=np.uint8)
        >>> dither(rgb, "atkinson", preset="pico8").shape
        (4, 6, 3)
        >>> dither(rgb, "bluenoise64", levels="rgb565").dtype
        dtype('uint8')
        >>> gray = np.full((4, 6), 100, dtype=np.uint8)
        >>> sorted(np.unique(dither(gray, "ostromoukhov", gamma=1.2)).tolist())
        [0, 255]
        >>> dither(gray, "fs", levls=4)
        Traceback (most recent call last):
        ...
        TypeError: dither() has no option 'levls'; did you mean 'levels'?
    """
    if not isinstance(exact, bool):
        raise TypeError(f"exact must be a bool, got {type(exact).__name__}")
    colors = options.pop("colors", None)
    fitting = {name: options.pop(name) for name in _FITTING if name in options}
    unknown = [name for name in options if name not in _OPTIONS]
    if unknown:
        name = unknown[0]
        hint = did_you_mean(name, [*_OPTIONS, "colors", *_FITTING])
        raise TypeError(f"dither() has no option {name!r}{hint}")
    if exact:
        if colors is not None:
            options["colors"] = colors
        options.update(fitting)
        return _exact(image, method, options)
    if fitting:
        size = fitting.pop("size", None)
        if size is None:
            raise ValueError(f"{', '.join(fitting)} say how to meet size; give size too")
        image = fit_image(
            image, size, **{"mode" if k == "fit" else k: v for k, v in fitting.items()}
        )
    if colors is not None:
        taken = [name for name in ("levels", "palette", "preset", "panel") if name in options]
        if taken:
            raise ValueError(f"colors and {taken[0]} exclude each other; pass one of them")
        options["palette"] = adaptive_palette(image, colors)
        # A palette fitted to the image already spans its tones.
        options.setdefault("luminance", False)
        # And the profile of a palette fitted to the image, as the command line's.
        fitted = default_profile(method, matrix=options.get("matrix"), adaptive=True)
        for name in ("serpentine", "linear", "distance"):
            if options.get(name) is None:
                options[name] = getattr(fitted, name)
        if options.get("error_limit") is None:
            options["error_limit"] = math.inf if fitted.error_limit is None else fitted.error_limit
    return apply(settings(method, **options), image)


_OPTIONS: tuple[str, ...] = tuple(inspect.signature(settings).parameters)[1:]
# The options of `fit_image`, applied before everything else.
_FITTING = ("size", "fit", "rotate", "background")
