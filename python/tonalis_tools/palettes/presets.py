"""Named palettes, and palettes made to fit an image.

Every preset is a list of '#rrggbb' strings, accepted as is by the
``palette`` argument of the tonalis functions::

    tonalis.dither(rgb, palette=tonalis_tools.preset("pico8"))
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, cast

import numpy as np
import numpy.typing as npt

from ..names import did_you_mean, normalize_name
from .colour_names import CSS_COLOURS

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["PRESETS", "preset", "preset_names", "adaptive_palette", "parse_palette"]


def _gray(count: int) -> list[str]:
    step = 255 // (count - 1)
    return ["#{0:02x}{0:02x}{0:02x}".format(i * step) for i in range(count)]


def _web_safe() -> list[str]:
    steps = (0x00, 0x33, 0x66, 0x99, 0xCC, 0xFF)
    return [f"#{r:02x}{g:02x}{b:02x}" for r in steps for g in steps for b in steps]


#: Preset name -> (description, colours). Names are matched loosely by `preset`.
PRESETS: dict[str, tuple[str, list[str]]] = {
    "bw": ("black and white", ["#000000", "#ffffff"]),
    "gray4": ("4 evenly spaced grays", _gray(4)),
    "gray16": ("16 evenly spaced grays", _gray(16)),
    "gameboy": (
        "the original handheld's four greens, darkest first",
        ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
    ),
    "cga": (
        "CGA 320x200 mode, palette 1, high intensity: black, cyan, magenta, white",
        ["#000000", "#55ffff", "#ff55ff", "#ffffff"],
    ),
    "ega16": (
        "the 16 colours of the EGA default palette (the CGA text colours)",
        [
            "#000000",
            "#0000aa",
            "#00aa00",
            "#00aaaa",
            "#aa0000",
            "#aa00aa",
            "#aa5500",
            "#aaaaaa",
            "#555555",
            "#5555ff",
            "#55ff55",
            "#55ffff",
            "#ff5555",
            "#ff55ff",
            "#ffff55",
            "#ffffff",
        ],
    ),
    "pico8": (
        "the 16-colour palette of the PICO-8 fantasy console",
        [
            "#000000",
            "#1d2b53",
            "#7e2553",
            "#008751",
            "#ab5236",
            "#5f574f",
            "#c2c3c7",
            "#fff1e8",
            "#ff004d",
            "#ffa300",
            "#ffec27",
            "#00e436",
            "#29adff",
            "#83769c",
            "#ff77a8",
            "#ffccaa",
        ],
    ),
    "websafe": ("the 216-colour web-safe cube (steps of 0x33)", _web_safe()),
    "epaper-bwr": ("3-colour e-paper panel: black, white, red", ["#000000", "#ffffff", "#ff0000"]),
    "epaper-bwy": (
        "3-colour e-paper panel: black, white, yellow",
        ["#000000", "#ffffff", "#ffff00"],
    ),
    "epaper-7": (
        "7-colour e-paper panel: black, white, green, blue, red, yellow, orange",
        ["#000000", "#ffffff", "#00ff00", "#0000ff", "#ff0000", "#ffff00", "#ff8000"],
    ),
    "epaper-6": (
        "6-colour e-paper panel: black, white, yellow, red, blue, green",
        ["#000000", "#ffffff", "#ffff00", "#ff0000", "#0000ff", "#00ff00"],
    ),
}

_ALIASES = {
    "blackwhite": "bw",
    "blackandwhite": "bw",
    "mono": "bw",
    "grayscale4": "gray4",
    "grey4": "gray4",
    "greyscale4": "gray4",
    "grayscale16": "gray16",
    "grey16": "gray16",
    "greyscale16": "gray16",
    "gb": "gameboy",
    "dmg": "gameboy",
    "ega": "ega16",
    "websafe216": "websafe",
    "web216": "websafe",
    "epaper3red": "epaper-bwr",
    "epaper3yellow": "epaper-bwy",
    "epaper7color": "epaper-7",
    "epaper7colour": "epaper-7",
    "epaper6color": "epaper-6",
    "epaper6colour": "epaper-6",
}


_LOOKUP = {normalize_name(name): name for name in PRESETS} | {
    normalize_name(alias): target for alias, target in _ALIASES.items()
}


def preset_names() -> list[str]:
    """The canonical preset names, in a fixed order.

    Returns:
        A new list of the names `preset` takes (aliases left out).

    Examples:
        >>> preset_names()[:4]
        ['bw', 'gray4', 'gray16', 'gameboy']
    """
    return list(PRESETS)


def preset(name: str) -> list[str]:
    """The colours of a preset as a new list of '#rrggbb' strings.

    Names are loose like method names: case, '-', '_' and spaces don't matter,
    and a few aliases work ('grey4', 'gb', 'ega', 'websafe216').

    Args:
        name: a preset name (see `preset_names`) or alias.

    Returns:
        The colours, a list the caller may change.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no preset has that name.

    Examples:
        >>> preset("Game Boy")
        ['#0f380f', '#306230', '#8bac0f', '#9bbc0f']
        >>> len(preset("websafe216"))
        216
        >>> preset("gamebox")
        Traceback (most recent call last):
        ...
        ValueError: unknown palette preset 'gamebox'; did you mean 'gameboy'? ...
    """
    if not isinstance(name, str):
        raise TypeError(f"preset name must be a str, got {type(name).__name__}")
    canonical = _LOOKUP.get(normalize_name(name))
    if canonical is None:
        hint = did_you_mean(name, [*PRESETS, *_ALIASES])
        raise ValueError(f"unknown palette preset {name!r}{hint} (valid: {', '.join(PRESETS)})")
    return list(PRESETS[canonical][1])


def _is_hex(body: str) -> bool:
    return len(body) in (3, 6) and all(ch in "0123456789abcdefABCDEF" for ch in body)


def _colour(text: str) -> str:
    """'#rrggbb' for a hex colour ('#' optional) or a CSS colour name."""
    named = CSS_COLOURS.get(normalize_name(text))
    if named is not None and not text.startswith("#"):
        return named
    body = text[1:] if text.startswith("#") else text
    if not _is_hex(body):
        if text.startswith("#") or any(ch in "0123456789" for ch in body):
            raise ValueError(f"invalid hex color {text!r}; expected '#rgb' or '#rrggbb'")
        hint = did_you_mean(text, CSS_COLOURS)
        raise ValueError(f"unknown colour {text!r}{hint} (give '#rrggbb' or a CSS colour name)")
    if len(body) == 3:
        body = "".join(ch * 2 for ch in body)
    return "#" + body.lower()


def parse_palette(text: str) -> list[str]:
    """Colours from text: hex colours, '#rgb' or '#rrggbb' with the '#' optional,
    or CSS colour names ('red', 'white', 'rebeccapurple').

    Entries are separated by commas, whitespace or new lines; a '#' on its
    own ('# like this') starts a comment to the end of the line. GIMP palette
    files (first line 'GIMP Palette') are read by their 'r g b name' lines.

    Args:
        text: the palette text, as the command line's --palette or a file.

    Returns:
        '#rrggbb' strings in the order given.

    Raises:
        ValueError: an entry is not a colour, or there are none.

    Examples:
        >>> parse_palette("black, #fff, f80  # three colours")
        ['#000000', '#ffffff', '#ff8800']
        >>> parse_palette("GIMP Palette" + chr(10) + "255 0 0 red")
        ['#ff0000']
        >>> parse_palette("black, whyte")
        Traceback (most recent call last):
        ...
        ValueError: unknown colour 'whyte'; did you mean 'white'? ...
    """
    colours: list[str] = []
    lines = text.splitlines()
    if lines and lines[0].strip() == "GIMP Palette":
        for line in lines[1:]:
            fields = line.split()
            if len(fields) >= 3 and all(f.isdigit() for f in fields[:3]):
                colours.append(_rgb_color(fields[:3]))
    else:
        for line in lines:
            for field in line.replace(",", " ").split():
                if field == "#":
                    break
                colours.append(_colour(field))
    if not colours:
        raise ValueError("palette has no colours")
    return colours


def palette_colours(colours: object, argument: str = "palette") -> list[str]:
    """'#rrggbb' strings for a palette given as tonalis takes one: a sequence
    of '#rgb'/'#rrggbb' strings (CSS names too) or (r, g, b) triples of
    0..255, or a numpy array of either (n x 3 integers, or strings).

    Raises:
        TypeError: `colours` is a single string or not a sequence of colours
            (the message names `argument`).
        ValueError: an entry is not a colour, or there are none.
    """
    if isinstance(colours, (str, bytes)):
        raise TypeError(
            f"{argument} must be a sequence of colours such as ['#000', '#fff'], "
            f"not a single string ({str(colours)[:40]!r})"
        )
    if isinstance(colours, np.ndarray):
        if colours.dtype.kind in "iu" and colours.ndim == 2 and colours.shape[1] == 3:
            if colours.size and (colours.min() < 0 or colours.max() > 255):
                raise ValueError(f"{argument} holds a colour component outside 0..255")
            colours = colours.tolist()
        elif colours.dtype.kind in "US" and colours.ndim == 1:
            colours = [str(c) for c in colours]
        else:
            raise ValueError(
                f"{argument} as an array must be n x 3 integers of 0..255 or strings, "
                f"got shape {colours.shape} of {colours.dtype}"
            )
    if not isinstance(colours, Iterable):
        raise TypeError(f"{argument} must be a sequence of colours, got {type(colours).__name__}")
    result = []
    for entry in colours:
        if isinstance(entry, str):
            result.append(_colour(entry))
        elif (
            isinstance(entry, (tuple, list))
            and len(entry) == 3
            and all(isinstance(v, (int, np.integer)) and not isinstance(v, bool) for v in entry)
        ):
            result.append(_rgb_color(str(int(v)) for v in entry))
        else:
            raise TypeError(
                f"{argument} entries must be '#rrggbb' strings or (r, g, b) triples, got {entry!r}"
            )
    if not result:
        raise ValueError(f"the {argument} list has no colours")
    return result


def _rgb_color(fields: Iterable[str]) -> str:
    values = [int(f) for f in fields]
    if any(not 0 <= v <= 255 for v in values):
        raise ValueError(f"colour component out of range 0..255 in {' '.join(map(str, values))!r}")
    return "#{:02x}{:02x}{:02x}".format(*values)


def adaptive_palette(image: Image.Image | npt.ArrayLike, colors: int) -> list[str]:
    """A palette of at most `colors` colours fitted to an image by median cut.

    Args:
        image: a PIL image or a uint8 array (2-D gray, or H x W x 3/4; an
            alpha channel is ignored).
        colors: how many colours to pick, 2 to 256.

    Returns:
        '#rrggbb' strings, most used first; fewer than `colors` when the
        image has fewer distinct colours.

    Raises:
        TypeError: `colors` is not an int.
        ValueError: `colors` out of range, or the image has a single colour.
        ImportError: Pillow is not installed.

    Examples:
        >>> import numpy as np
        >>> rgb = np.zeros((4, 4, 3), dtype=np.uint8)
        >>> rgb[:, 1:] = (255, 0, 0)
        >>> adaptive_palette(rgb, 4)
        ['#ff0000', '#000000']
    """
    from PIL import Image

    if isinstance(colors, bool) or not isinstance(colors, int):
        raise TypeError(f"colors must be an int, got {type(colors).__name__}")
    if not 2 <= colors <= 256:
        raise ValueError(f"colors must be between 2 and 256, got {colors}")
    if not isinstance(image, Image.Image):
        image = Image.fromarray(np.ascontiguousarray(image, dtype=np.uint8))
    rgb = image.convert("RGB")
    median_cut = getattr(Image, "Quantize", Image).MEDIANCUT
    quantized = rgb.quantize(colors=colors, method=median_cut)
    flat = quantized.getpalette() or []
    # A palette image's colours are its indices.
    counts = sorted(cast("list[tuple[int, int]]", quantized.getcolors(256) or []), reverse=True)
    result: list[str] = []
    for _, index in counts:
        colour = "#{:02x}{:02x}{:02x}".format(*flat[3 * index : 3 * index + 3])
        if colour not in result:
            result.append(colour)
    if len(result) < 2:
        raise ValueError("the image has a single colour; an adaptive palette needs at least 2")
    return result
