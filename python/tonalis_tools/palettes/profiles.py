"""The error-diffusion settings each palette looks best with, for when the caller sets none.

tonalis itself diffuses sRGB code values in one scan direction with no
limit on the error, and the companion keeps that under ``exact=True``. On
small palettes that is far from the best picture: the error of a colour
the palette cannot reach piles up, and diffusing code values instead of
light leaves midtones too dark. `bench/quality.py` measures every
combination of linear light, serpentine scan, error limit and colour
distance on the bundled photograph and a colour gradient, with the blurred
Oklab figure and S-CIELAB (`tonalis_tools.quality`); a profile is the
combination that measures best for its palette:

- gray palettes and nominal palettes (every preset but the one-hue
  ramps): linear light, serpentine, no limit;
- panels' measured colours, which are dull and leave much of the gamut out
  of reach: linear light, serpentine, an error limit, and the distance
  that measures best for that panel;
- one-hue ramps (the Game Boy greens): linear light and a small limit with
  the luma distance, which keeps the stray light and dark greens of a
  colour photograph in check.

Levels keep tonalis's settings: linear light would move the levels
themselves past two (four levels in linear light are codes 0, 156, 213
and 255, where a 4-gray panel needs 0, 85, 170 and 255), and the device
formats and packers that dither to levels keep their bytes. Black and
white or gray at their profile's best is a palette away: preset 'bw',
'gray4', 'gray16' (linear light at evenly spaced codes).

A palette given as colours finds its profile by them: a panel's measured
colours are that panel, a preset's colours that preset, whether named or
listed.

A profile only fills in what the caller leaves out: an option given, even
to its tonalis value, always wins.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence

from ..names import find_name, normalize_name
from .presets import _LOOKUP, PRESETS, palette_colours
from .recolor import PANELS

__all__ = [
    "Profile",
    "PLAIN",
    "NOMINAL",
    "GRAY",
    "RAMP",
    "MEASURED",
    "PRESET_PROFILES",
    "PANEL_PROFILES",
    "palette_kind",
    "profile_for",
]


@dataclasses.dataclass(frozen=True)
class Profile:
    """Default error-diffusion settings: what a palette looks best with.

    Args:
        linear: diffuse in linear light.
        serpentine: alternate the scan direction every row.
        error_limit: the refined engines' error limit, or None for none.
        distance: the colour distance, 'rgb', 'luma' or 'oklab'.
        lightness: the share, 0 to 1, of the tone map before dithering: the
            image's lightness range onto the palette's black-to-white
            (`tonalis_tools.palettes.gamut.prepare`).
        chroma: the share, 0 to 1, of the gamut map before dithering: gray
            onto the palette's grays, chroma compressed to what it reaches.
        why: one line on where the settings come from.

    Examples:
        >>> Profile(linear=True, serpentine=True).describe()
        'linear, serpentine'
        >>> Profile(linear=True, lightness=1.0, chroma=0.5).describe()
        'linear, lightness map 1, chroma map 0.5'
        >>> PLAIN.describe()
        'as tonalis'
    """

    linear: bool = False
    serpentine: bool = False
    error_limit: float | None = None
    distance: str = "rgb"
    lightness: float = 0.0
    chroma: float = 0.0
    why: str = ""

    def describe(self) -> str:
        """A short label such as 'linear, serpentine, error limit 16, oklab, lightness map 1'."""
        parts = ["linear"] * self.linear + ["serpentine"] * self.serpentine
        if self.error_limit is not None:
            parts.append(f"error limit {self.error_limit:g}")
        if normalize_name(self.distance) != "rgb":
            parts.append(self.distance)
        if self.lightness:
            parts.append(f"lightness map {self.lightness:g}")
        if self.chroma:
            parts.append(f"chroma map {self.chroma:g}")
        return ", ".join(parts) or "as tonalis"

    def prepares(self) -> bool:
        """Whether the profile maps tones or colours before dithering."""
        return bool(self.lightness or self.chroma)


#: tonalis's own settings: what levels keep. The kinds' profiles follow.
PLAIN = Profile(why="levels: linear light would move the levels' codes past two")

NOMINAL = Profile(
    linear=True,
    serpentine=True,
    why="nominal colours: linear light and serpentine scan measure best, a limit only costs",
)
GRAY = Profile(
    linear=True,
    serpentine=True,
    why="gray palette: linear light keeps midtones as light as the original",
)
RAMP = Profile(
    linear=True,
    serpentine=True,
    error_limit=8,
    distance="luma",
    why="one-hue ramp: a small limit with luma matching keeps a photograph's stray greens down",
)

_KINDS = {"gray": GRAY, "ramp": RAMP, "nominal": NOMINAL}

#: What a panel's measured colours take until that panel is measured itself:
#: a limit with RGB matching gains on both figures over no limit for every
#: panel measured so far; the best distance differs from panel to panel.
MEASURED = Profile(
    linear=True,
    serpentine=True,
    error_limit=16,
    why="measured colours of a panel without a profile of its own: unreachable error capped",
)

#: Panel name -> its profile, for its measured colours.
PANEL_PROFILES: dict[str, Profile] = {
    "spectra6": Profile(
        linear=True,
        serpentine=True,
        error_limit=24,
        distance="oklab",
        lightness=0.75,
        why="measured colours: unreachable error capped, Oklab matching measures best; "
        "highlights rolled off into its dim white keep their detail",
    ),
    "acep7": Profile(
        linear=True,
        serpentine=True,
        error_limit=12,
        distance="rgb",
        lightness=0.4,
        chroma=0.1,
        why="measured colours: unreachable error capped; Oklab matching measures worse here; "
        "under half the lightness map, as its black is a dark gray the full map washes out, "
        "and a tenth of the chroma map, which reaches past ImageMagick on both figures",
    ),
    "bwr": NOMINAL,
    "bwy": NOMINAL,
    "bwyr": Profile(
        linear=True,
        serpentine=True,
        distance="luma",
        chroma=0.25,
        why="nominal colours, two of them chromatic: luma matching and a quarter of the chroma "
        "map keep stray red and yellow out of the blues and magentas",
    ),
    "gray2": Profile(
        linear=True,
        serpentine=True,
        why="gray panel: its even grays in linear light keep midtones as light as the original",
    ),
    "gray4": Profile(
        linear=True,
        serpentine=True,
        why="gray panel: its even grays in linear light keep midtones as light as the original",
    ),
    "gray16": Profile(
        linear=True,
        serpentine=True,
        why="gray panel: its even grays in linear light keep midtones as light as the original",
    ),
}


def _rgb(colour: str) -> tuple[float, float, float]:
    r, g, b = (int(colour[i : i + 2], 16) / 255.0 for i in (1, 3, 5))
    return r, g, b


def palette_kind(colours: Sequence[str]) -> str:
    """What kind of palette this is, as the profiles tell them apart.

    Args:
        colours: '#rrggbb' strings.

    Returns:
        'gray' (every colour a gray), 'ramp' (every colour's hue within 60
        degrees of the others', no gray among them: a one-hue ramp like the
        Game Boy greens) or 'nominal'.

    Examples:
        >>> palette_kind(["#000000", "#555555", "#ffffff"])
        'gray'
        >>> palette_kind(["#0f380f", "#306230", "#8bac0f", "#9bbc0f"])
        'ramp'
        >>> palette_kind(["#000000", "#ffffff", "#ff0000"])
        'nominal'
    """
    hues: list[float | None] = []
    for colour in colours:
        r, g, b = _rgb(colour)
        high, low = max(r, g, b), min(r, g, b)
        if high - low < 2.5 / 255.0:
            hues.append(None)
            continue
        # The HSV hue, in degrees.
        span = high - low
        if high == r:
            hue = 60.0 * (((g - b) / span) % 6.0)
        elif high == g:
            hue = 60.0 * ((b - r) / span + 2.0)
        else:
            hue = 60.0 * ((r - g) / span + 4.0)
        hues.append(hue)
    chromatic = [h for h in hues if h is not None]
    if not chromatic:
        return "gray"
    if len(chromatic) < len(hues) or len(chromatic) < 2:
        return "nominal"
    # The smallest arc holding every hue.
    ordered = sorted(chromatic)
    gaps = [b - a for a, b in zip(ordered, ordered[1:])] + [ordered[0] + 360.0 - ordered[-1]]
    return "ramp" if 360.0 - max(gaps) <= 60.0 else "nominal"


#: Preset name -> its profile: its kind's, but where a preset measures
#: better otherwise.
PRESET_PROFILES: dict[str, Profile] = {
    name: _KINDS[palette_kind(colours)] for name, (_, colours) in PRESETS.items()
} | {
    "ega16": Profile(
        linear=True,
        serpentine=True,
        error_limit=32,
        why="16 colours with wide gaps: a loose limit measures a little better than none",
    ),
}


def profile_for(
    colours: Sequence[str] | None = None,
    *,
    preset: str | None = None,
    panel: str | None = None,
    levels: int | Sequence[int] | None = None,
    adaptive: bool = False,
) -> Profile:
    """The profile error diffusion takes by default for a palette or levels.

    A preset or panel, named or by its colours, brings its own; other
    palettes go by `palette_kind`, adaptive ones (fitted to each image)
    are nominal; levels keep tonalis's settings (`PLAIN`).

    Args:
        colours: the palette's colour strings, or None for levels.
        preset: the preset the colours came from, if any.
        panel: the panel the colours came from, if any.
        levels: the level count or counts (they take `PLAIN`).
        adaptive: the palette is fitted to each image (--colors).

    Returns:
        The `Profile`.

    Raises:
        TypeError, ValueError: an unknown preset or panel name, or a colour
            that is not one.

    Examples:
        >>> profile_for(panel="spectra6").describe()
        'linear, serpentine, error limit 24, oklab, lightness map 0.75'
        >>> from tonalis_tools import panel_palette
        >>> profile_for(panel_palette("spectra6")) is profile_for(panel="spectra6")
        True
        >>> profile_for(["#000", "#fff"]).describe()
        'linear, serpentine'
        >>> profile_for(levels=2) is PLAIN
        True
    """
    if adaptive:
        return NOMINAL
    if panel is not None:
        name = find_name(panel, PANELS, "panel")
        if name in PANEL_PROFILES:
            return PANEL_PROFILES[name]
        return MEASURED if PANELS[name][2] is not None else NOMINAL
    if preset is not None:
        canonical = _LOOKUP.get(normalize_name(preset))
        if canonical is None or canonical not in PRESETS:
            raise ValueError(f"unknown palette preset {preset!r}")
        return PRESET_PROFILES.get(canonical, NOMINAL)
    if colours is None:
        return PLAIN
    given = palette_colours(colours, "colours")
    for name, (_, _, measured, _) in PANELS.items():
        if measured is not None and [c.lower() for c in measured] == given:
            return profile_for(panel=name)
    for name, (_, preset_colours) in PRESETS.items():
        if [c.lower() for c in preset_colours] == given:
            return PRESET_PROFILES.get(name, NOMINAL)
    return _KINDS[palette_kind(given)]
