"""Tone preparation before dithering: one 256-entry lookup table.

Dithering keeps the average tone of an image, so whatever the device does to
tones (a printer's spreading ink, a panel's dark white) has to be undone
before it: gamma, brightness and contrast, stretching the histogram to the
full range, an S-curve for punch, and a printer's dot gain. All of them are
folded into one table of 256 codes, applied once per sample.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._portable_maths import power
from .palettes.gamut import oklab

__all__ = [
    "LuminanceRamp",
    "ToneSettings",
    "dot_gain_curve",
    "dot_gain_inverse",
    "is_one_hue",
    "palette_luma",
    "tone",
    "tone_curve",
]


def dot_gain_curve(coverage: npt.ArrayLike, gain: float) -> npt.NDArray[np.float64]:
    """Printed darkness of an ink coverage in [0, 1] under `gain`.

    The usual one-parameter model: c + 4·gain·c·(1 − c), so a half-covered
    area prints `gain` darker, paper and solid stay as they are, and for gain
    in [0, 0.25] the curve rises monotonically.

    Args:
        coverage: ink coverage, a number or an array of them in [0, 1].
        gain: the dot gain, how much darker a 50 % dot prints (0.15: as 65 %).

    Returns:
        The printed darkness, a float64 array of the shape of `coverage`.

    Examples:
        >>> dot_gain_curve([0.0, 0.5, 1.0], 0.15)
        array([0.  , 0.65, 1.  ])
    """
    c = np.asarray(coverage, dtype=np.float64)
    return c + 4.0 * gain * c * (1.0 - c)


def dot_gain_inverse(darkness: npt.ArrayLike, gain: float) -> npt.NDArray[np.float64]:
    """The coverage that prints as `darkness` under `gain` (the inverse of
    `dot_gain_curve` on [0, 1]).

    Args:
        darkness: the wanted printed darkness, a number or an array in [0, 1].
        gain: the dot gain, as for `dot_gain_curve`.

    Returns:
        The ink coverage to lay down, a float64 array of the shape of
        `darkness`.

    Examples:
        >>> dot_gain_inverse(dot_gain_curve([0.25, 0.5], 0.15), 0.15)
        array([0.25, 0.5 ])
    """
    d = np.asarray(darkness, dtype=np.float64)
    if gain == 0.0:
        return d.copy()
    k = 4.0 * gain
    # k c² − (1 + k) c + d = 0, the root in [0, 1].
    root = np.sqrt(np.maximum((1.0 + k) ** 2 - 4.0 * k * d, 0.0))
    return ((1.0 + k) - root) / (2.0 * k)


def _number(name: str, value: object, low: float, high: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    result = float(value)
    if not low <= result <= high:  # also rejects NaN
        raise ValueError(f"{name} must be between {low:g} and {high:g}, got {result:g}")
    return result


def tone_curve(
    *,
    gamma: float = 1.0,
    brightness: float = 0.0,
    contrast: float = 0.0,
    s_curve: float = 0.0,
    dot_gain: float = 0.0,
    black: int = 0,
    white: int = 255,
) -> npt.NDArray[np.uint8]:
    """The 256-entry table of `tone`, for codes 0..255.

    Steps, in this order, on a value x in [0, 1]:

    1. levels: (code − black) / (white − black), clipped to [0, 1]
       (`tone` sets black and white from the image with auto_levels);
    2. gamma: x ** (1 / gamma), so gamma above 1 lightens the midtones
       (a printer too dark from dot gain wants about 1.25);
    3. contrast: (x − 0.5) · (1 + contrast) + 0.5, contrast in [−1, 1];
    4. brightness: x + brightness, brightness in [−1, 1];
    5. S-curve: a blend, by s_curve in [0, 1], of x and the smoothstep
       3x² − 2x³, which steepens the midtones and flattens the ends;
    6. dot gain: the code whose coverage prints as the wanted darkness
       under `dot_gain_curve`, dot_gain in [0, 0.25].

    Each step is clipped to [0, 1]; the result is rounded half up to a code.
    With the defaults the table is the identity; for every setting in range
    it never decreases (contrast −1 flattens it to one gray).

    Args:
        gamma: 0.05 to 20; 1 leaves the midtones.
        brightness: −1 to 1, added after contrast.
        contrast: −1 to 1, around the middle gray.
        s_curve: 0 to 1, the share of the smoothstep.
        dot_gain: 0 to 0.25, the printer's dot gain to undo.
        black: the code that becomes 0, 0 to 254.
        white: the code that becomes 255, above `black`.

    Returns:
        A uint8 array of 256 codes: entry i is what code i becomes.

    Raises:
        TypeError: a setting that is not a number (black and white: not an int).
        ValueError: a setting out of its range, or black not below white.

    Examples:
        >>> table = tone_curve(gamma=2.2)
        >>> table[[0, 64, 128, 255]]
        array([  0, 136, 186, 255], dtype=uint8)
        >>> tone_curve(black=16, white=235)[[0, 16, 128, 235, 255]]
        array([  0,   0, 130, 255, 255], dtype=uint8)
    """
    gamma = _number("gamma", gamma, 0.05, 20.0)
    brightness = _number("brightness", brightness, -1.0, 1.0)
    contrast = _number("contrast", contrast, -1.0, 1.0)
    s_curve = _number("s_curve", s_curve, 0.0, 1.0)
    dot_gain = _number("dot_gain", dot_gain, 0.0, 0.25)
    for name, value in (("black", black), ("white", white)):
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
        if not 0 <= value <= 255:
            raise ValueError(f"{name} must be between 0 and 255, got {value}")
    if black >= white:
        raise ValueError(f"black must be below white, got black={black}, white={white}")

    x = np.clip((np.arange(256, dtype=np.float64) - black) / (white - black), 0.0, 1.0)
    if gamma != 1.0:
        x = power(x, 1.0 / gamma)
    if contrast:
        x = np.clip((x - 0.5) * (1.0 + contrast) + 0.5, 0.0, 1.0)
    if brightness:
        x = np.clip(x + brightness, 0.0, 1.0)
    if s_curve:
        x = (1.0 - s_curve) * x + s_curve * (x * x * (3.0 - 2.0 * x))
    if dot_gain:
        x = 1.0 - dot_gain_inverse(1.0 - x, dot_gain)
    codes = np.floor(np.clip(x, 0.0, 1.0) * 255.0 + 0.5)
    return codes.astype(np.uint8)


def _auto_levels(planes: npt.NDArray[np.uint8], clip: float) -> tuple[int, int]:
    """Black and white points: the codes below and above which a `clip` share
    of the samples lie (0 takes the darkest and lightest sample)."""
    counts = np.bincount(planes.ravel(), minlength=256)
    cumulative = np.cumsum(counts)
    total = int(cumulative[-1])
    cut = clip * total
    black = int(np.searchsorted(cumulative, cut, side="right"))
    white = int(np.searchsorted(cumulative, total - cut, side="left"))
    black, white = min(black, 255), min(white, 255)
    if black >= white:  # a flat image: nothing to stretch
        return 0, 255
    return black, white


def tone(
    image: Any,
    *,
    gamma: float = 1.0,
    brightness: float = 0.0,
    contrast: float = 0.0,
    auto_levels: bool = False,
    s_curve: float = 0.0,
    dot_gain: float = 0.0,
    clip: float = 0.005,
    preserve_alpha: bool = True,
) -> Any:
    """Apply `tone_curve` to every colour sample of an image; PIL in gives PIL out.

    Takes what tonalis takes: a uint8 array, 2-D or H x W x C, or a PIL image
    (other PIL modes are converted to RGB first). The alpha channel of LA and
    RGBA images (channel 1 of 2, channel 3 of 4) is left as it is, like
    tonalis does; preserve_alpha=False treats it as a colour channel. With
    auto_levels the darkest and lightest `clip` share of the colour samples
    (all channels together, so colours keep their balance) are mapped to 0
    and 255 before the other steps.

    Args:
        image: a uint8 array or a PIL image.
        gamma, brightness, contrast, s_curve, dot_gain: the steps of
            `tone_curve`.
        auto_levels: stretch the image's own range to 0..255 first.
        clip: the share of samples at each end that auto_levels lets clip,
            0 to 0.49.
        preserve_alpha: leave the alpha channel of LA and RGBA alone.

    Returns:
        A new image of the same kind and shape; the caller's is not changed.

    Raises:
        TypeError: a setting that is not a number, or an image tonalis does
            not take.
        ValueError: a setting out of its range.

    Examples:
        >>> import numpy as np
        >>> gray = np.array([[0, 64], [128, 255]], dtype=np.uint8)
        >>> tone(gray, gamma=2.0)
        array([[  0, 128],
               [181, 255]], dtype=uint8)
        >>> tone(np.array([[40, 100, 200]], dtype=np.uint8), auto_levels=True, clip=0)
        array([[  0,  96, 255]], dtype=uint8)
        >>> tone(np.array([[[64, 7]]], dtype=np.uint8), gamma=2.0).tolist()   # LA: alpha kept
        [[[128, 7]]]
    """
    from .devices.channels import as_array, like_input

    array, mode = as_array(image)
    colour = _colour_channels(array, preserve_alpha)
    clip = _number("clip", clip, 0.0, 0.49)
    black, white = 0, 255
    if auto_levels:
        black, white = _auto_levels(array if colour is None else array[..., colour], clip)
    table = tone_curve(
        gamma=gamma,
        brightness=brightness,
        contrast=contrast,
        s_curve=s_curve,
        dot_gain=dot_gain,
        black=black,
        white=white,
    )
    out = array.copy()
    if colour is None:
        out = table[array]
    else:
        out[..., colour] = table[array[..., colour]]
    return like_input(out, mode)


def _colour_channels(array: npt.NDArray[np.uint8], preserve_alpha: bool) -> slice | None:
    """The channels the table applies to: None for all of them."""
    if array.ndim == 3 and preserve_alpha and array.shape[2] in (2, 4):
        return slice(0, array.shape[2] - 1)
    return None


@dataclasses.dataclass(frozen=True)
class ToneSettings:
    """The arguments of `tone` as one value, for dithering settings to carry.

    Alpha is never toned: it says where the image is, not how light it is.

    Args:
        gamma: as for `tone_curve`, 0.05 to 20.
        brightness: as for `tone_curve`, −1 to 1.
        contrast: as for `tone_curve`, −1 to 1.
        auto_levels: stretch each image's own range to 0..255 first.
        s_curve: as for `tone_curve`, 0 to 1.
        dot_gain: as for `tone_curve`, 0 to 0.25.
        clip: the share of samples at each end that auto_levels lets clip.

    Examples:
        >>> import numpy as np
        >>> settings = ToneSettings(gamma=1.2, auto_levels=True)
        >>> settings.describe()
        'gamma=1.2, auto-levels'
        >>> settings.apply(np.array([[0, 64], [128, 255]], dtype=np.uint8))
        array([[  0,  81],
               [144, 255]], dtype=uint8)
    """

    gamma: float = 1.0
    brightness: float = 0.0
    contrast: float = 0.0
    auto_levels: bool = False
    s_curve: float = 0.0
    dot_gain: float = 0.0
    clip: float = 0.005

    def apply(self, image: Any) -> Any:
        """`tone(image, ...)` with these settings."""
        return tone(image, **dataclasses.asdict(self))

    def check(self) -> None:
        """Raise the error `tone` would raise for these settings."""
        self.apply(np.zeros((1, 1), dtype=np.uint8))

    def describe(self) -> str:
        """The settings that differ from the defaults, as 'gamma=1.2, auto-levels'."""
        parts = []
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if value != field.default:
                label = field.name.replace("_", "-")
                parts.append(label if value is True else f"{label}={value:g}")
        return ", ".join(parts)


# Pillow's luma weights in 16-bit fixed point: the gray `convert("L")` makes.
_LUMA = np.array([19595, 38470, 7471], dtype=np.int64)
# Oklab chroma below which a colour counts as a gray, and the widest angle
# between the chroma of a one-hue palette's colours and their mean hue.
_NEUTRAL_CHROMA = 0.03
_HUE_SPREAD = np.radians(30.0)
_MOST_RAMP_COLOURS = 8


def _rgb(palette: Sequence[str]) -> npt.NDArray[np.int64]:
    from .palettes.presets import palette_colours

    colours = palette_colours(palette)
    return np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], np.int64)


def palette_luma(palette: Sequence[str]) -> npt.NDArray[np.uint8]:
    """The luma code of each palette colour: the gray Pillow's ``convert("L")``
    makes of it, as gray output makes of an image.

    Args:
        palette: colours as tonalis takes them ('#rrggbb' strings, CSS names).

    Returns:
        A uint8 array, one code per colour, in the palette's order.

    Raises:
        TypeError, ValueError: not a palette.

    Examples:
        >>> palette_luma(["#0f380f", "#306230", "#8bac0f", "#9bbc0f"])
        array([ 39,  77, 144, 158], dtype=uint8)
    """
    rgb = _rgb(palette)
    return ((rgb @ _LUMA + 0x8000) >> 16).astype(np.uint8)


def is_one_hue(palette: Sequence[str]) -> bool:
    """Whether a palette is a ramp of one hue, as the Game Boy's four greens:
    three to eight colours, two or more of them coloured, and the chroma of
    every coloured one pointing the same way (within 30 degrees of their
    mean hue in Oklab). Grays and black or white ends may be among them.
    Larger palettes hold shades of saturation that dithering by luminance
    would give up, and enough colours for error diffusion in RGB.

    On such a palette, error diffusion in RGB piles up the error of the
    channels the palette cannot reach and is pushed away from its darkest
    and lightest colours; `LuminanceRamp` dithers by luminance instead.
    Palettes of grays only, and palettes that add one colour to black and
    white (three-colour e-paper), are not one-hue.

    Args:
        palette: colours as tonalis takes them.

    Returns:
        True for a one-hue palette.

    Raises:
        TypeError, ValueError: not a palette.

    Examples:
        >>> from tonalis_tools import preset
        >>> is_one_hue(preset("gameboy"))
        True
        >>> is_one_hue(preset("epaper-bwr")), is_one_hue(preset("gray4")), is_one_hue(preset("cga"))
        (False, False, False)
    """
    lab = oklab(_rgb(palette).astype(np.uint8))
    if not 3 <= len(lab) <= _MOST_RAMP_COLOURS:
        return False
    chroma = lab[:, 1:]
    coloured = chroma[np.hypot(chroma[:, 0], chroma[:, 1]) >= _NEUTRAL_CHROMA]
    if len(coloured) < 2:
        return False
    directions = coloured / np.hypot(coloured[:, 0], coloured[:, 1])[:, None]
    mean = directions.sum(axis=0)
    length = float(np.hypot(mean[0], mean[1]))
    if length < 1e-9:
        return False
    cosines = directions @ (mean / length)
    return bool(np.all(cosines >= np.cos(_HUE_SPREAD)))


@dataclasses.dataclass(frozen=True)
class LuminanceRamp:
    """A palette seen as a ramp of luminance: a gray stand-in for each of its
    colours, and the table that maps the codes 0..255 of a gray image onto
    the palette's range of luminance, its darkest colour to its lightest.

    Dithering a gray image, mapped by `table`, onto the `grays` reaches
    every colour of the ramp (black becomes the darkest, white the
    lightest); each gray then stands for the colour at the same place in
    `colours`. Colours of one luma share a stand-in: the least coloured of
    them is the one used.

    Args:
        grays: '#rrggbb' grays, darkest first, all different.
        colours: the palette colour each gray stands for.
        indices: the position of each of those colours in the palette.
        table: 256 codes, what each input code becomes.

    Examples:
        >>> ramp = LuminanceRamp.of(["#9bbc0f", "#0f380f", "#8bac0f", "#306230"])
        >>> ramp.grays
        ('#272727', '#4d4d4d', '#909090', '#9e9e9e')
        >>> ramp.colours, ramp.indices
        (('#0f380f', '#306230', '#8bac0f', '#9bbc0f'), (1, 3, 2, 0))
        >>> ramp.table[[0, 128, 255]].tolist()
        [39, 99, 158]
    """

    grays: tuple[str, ...]
    colours: tuple[str, ...]
    indices: tuple[int, ...]
    table: npt.NDArray[np.uint8]

    @classmethod
    def of(cls, palette: Sequence[str]) -> LuminanceRamp | None:
        """The ramp of `palette`, or None when all its colours have one luma.

        Args:
            palette: colours as tonalis takes them.

        Returns:
            The ramp, or None.

        Raises:
            TypeError, ValueError: not a palette.
        """
        from .palettes.presets import palette_colours

        colours = palette_colours(palette)
        rgb = _rgb(colours)
        luma = palette_luma(colours)
        spread = rgb.max(axis=1) - rgb.min(axis=1)
        chosen: dict[int, int] = {}
        for index in np.lexsort((spread, luma)):
            chosen.setdefault(int(luma[index]), int(index))
        if len(chosen) < 2:
            return None
        codes = sorted(chosen)
        low, high = codes[0], codes[-1]
        table = np.floor(low + np.arange(256) * ((high - low) / 255.0) + 0.5).astype(np.uint8)
        return cls(
            tuple(f"#{code:02x}{code:02x}{code:02x}" for code in codes),
            tuple(colours[chosen[code]] for code in codes),
            tuple(chosen[code] for code in codes),
            table,
        )

    def stand_for(self, palette: Sequence[str], shown: Sequence[str]) -> list[str]:
        """The colours of `shown` (as many as `palette`, paired by index) that
        the grays stand for: the display colours of the ramp's colours.

        Args:
            palette: the palette the ramp was made of.
            shown: the colours to write in their place.

        Returns:
            One colour of `shown` per gray.
        """
        from .palettes.presets import palette_colours

        written = palette_colours(shown)
        if len(written) != len(palette_colours(palette)):
            raise ValueError("the colours to show pair up with the palette's by index")
        return [written[index] for index in self.indices]

    def map(self, gray: Any) -> Any:
        """A gray image (L or LA, array or PIL) with its codes mapped by `table`;
        alpha is kept.

        Args:
            gray: a uint8 gray image, 2-D or H x W x 2, or a PIL L or LA image.

        Returns:
            A new image of the same kind.
        """
        from .devices.channels import as_array, like_input

        array, mode = as_array(gray)
        out = array.copy()
        if out.ndim == 2:
            out = self.table[array]
        else:
            out[..., 0] = self.table[array[..., 0]]
        return like_input(out, mode)
