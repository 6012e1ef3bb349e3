"""Dither against the colours a panel really shows, write the colours its driver expects.

A colour e-paper panel's red is a dull brick and its white a light gray, but
its driver wants pure #ff0000 and #ffffff (or rather their codes, see PANEL_CODES). Error
diffusion against the nominal colours spends the wrong colour on every
pixel; against the measured ones it keeps the tones the panel can show.
`recolor` then swaps each measured colour for the driver's colour at the
same palette index.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ..devices.channels import as_array, like_input
from ..names import find_name
from .presets import parse_palette, preset

__all__ = [
    "PANELS",
    "PANEL_CODES",
    "PanelCodes",
    "colour_list",
    "palette_indices",
    "panel_codes",
    "panel_names",
    "panel_palette",
    "recolor",
]

#: Panel -> (description, source of the measurement or None, measured colours
#: or None, driver colours). The measured and driver colours pair up by
#: position; the code the controller takes for each is in PANEL_CODES, and is
#: not always its position (Spectra 6 leaves code 4 unused).
PANELS: dict[str, tuple[str, str | None, list[str] | None, list[str]]] = {
    "spectra6": (
        "6-colour Spectra 6 panels: black, white, yellow, red, blue, green",
        "camera measurement published by the esp32-photoframe project, quoted in "
        "https://github.com/aitjcize/esp32-photoframe/issues/110",
        ["#020202", "#b3b6ab", "#c9b800", "#750a00", "#002f6b", "#214528"],
        preset("epaper-6"),
    ),
    "acep7": (
        "7-colour ACeP panels (UC8159 controller): black, white, green, blue, red, yellow, orange",
        "the saturated palette of Pimoroni's inky driver (inky_uc8159.py, quoted in "
        "https://github.com/pimoroni/inky/issues/196), calibrated from photographs of the panel "
        "as the maintainers describe in https://github.com/pimoroni/pimoroni-pico/issues/1121; "
        "white is normalised to #ffffff",
        ["#393039", "#ffffff", "#3a5b46", "#3d3b5e", "#9c484b", "#d0be47", "#b16a49"],
        preset("epaper-7"),
    ),
    "bwr": (
        "3-colour panels: black, white, red (no published measurement found; nominal colours)",
        None,
        None,
        preset("epaper-bwr"),
    ),
    "bwy": (
        "3-colour panels: black, white, yellow (no published measurement found; nominal colours)",
        None,
        None,
        preset("epaper-bwy"),
    ),
    "bwyr": (
        "4-colour panels (JD79661 and the like): black, white, yellow, red "
        "(no published measurement found; nominal colours)",
        None,
        None,
        ["#000000", "#ffffff", "#ffff00", "#ff0000"],
    ),
    "gray2": (
        "black-and-white panels (SSD16xx, UC8151 and the like; nominal black and white)",
        None,
        None,
        ["#000000", "#ffffff"],
    ),
    "gray4": (
        "4-gray panels (SSD16xx and UC8176 controllers in their 4-gray mode; nominal grays)",
        None,
        None,
        ["#000000", "#555555", "#aaaaaa", "#ffffff"],
    ),
    "gray16": (
        "16-gray panels (IT8951 controller boards, 4 bits a pixel; nominal grays)",
        None,
        None,
        [f"#{17 * k:02x}{17 * k:02x}{17 * k:02x}" for k in range(16)],
    ),
}


class PanelCodes(NamedTuple):
    """The codes a panel's controller takes, one for each colour of `PANELS`.

    Args:
        codes: the code written for each colour, in the order of the panel's
            colours in `PANELS`.
        source: the drivers the table follows.

    Examples:
        >>> PANEL_CODES["spectra6"].codes
        (0, 1, 2, 3, 5, 6)
    """

    codes: tuple[int, ...]
    source: str


PanelCodes.codes.__doc__ = "The code written for each colour, in the order of PANELS."
PanelCodes.source.__doc__ = "The drivers the table follows."

#: Panel -> the code its controller takes for each colour, and the drivers
#: that table follows. The index formats of `pack` write these codes.
PANEL_CODES: dict[str, PanelCodes] = {
    # Spectra 6 (E6) controllers take 4-bit codes with 4 left unused: black 0,
    # white 1, yellow 2, red 3, blue 5, green 6.
    "spectra6": PanelCodes(
        (0, 1, 2, 3, 5, 6),
        "Pimoroni's inky driver, inky_e673.py (BLACK=0, WHITE=1, YELLOW=2, RED=3, "
        "BLUE=5, GREEN=6; its set_image remaps [0, 1, 2, 3, 5, 6]), and Waveshare's "
        "epd7in3e.py (palette entry 4 a placeholder)",
    ),
    # UC8159 and its 7.3-inch successor: black 0 ... orange 6 (7 is 'clean').
    "acep7": PanelCodes(
        (0, 1, 2, 3, 4, 5, 6),
        "Pimoroni's inky driver, inky_uc8159.py (BLACK=0, WHITE=1, GREEN=2, BLUE=3, "
        "RED=4, YELLOW=5, ORANGE=6, CLEAN=7), and Waveshare's epd5in65f.py",
    ),
    # Three-colour controllers take two bit planes (the 'bwr'/'bwy' formats);
    # as one code a pixel, the drivers' buffers hold white 0, black 1, ink 2.
    "bwr": PanelCodes(
        (1, 0, 2),
        "Pimoroni's inky driver, inky.py (WHITE=0, BLACK=1, RED=YELLOW=2), whose "
        "buffer of codes it splits into the black and the red plane",
    ),
    "bwy": PanelCodes(
        (1, 0, 2),
        "Pimoroni's inky driver, inky.py (WHITE=0, BLACK=1, RED=YELLOW=2), whose "
        "buffer of codes it splits into the black and the yellow plane",
    ),
    # Four-colour controllers take 2-bit codes, four pixels a byte.
    "bwyr": PanelCodes(
        (0, 1, 2, 3),
        "Pimoroni's inky driver, inky_jd79661.py (BLACK=0, WHITE=1, YELLOW=2, RED=3), "
        "and Waveshare's epd4in37g.py",
    ),
    # Gray panels: 0 is black and the highest code white, as the bit formats
    # 'mono', 'gray2' and 'gray4' of `pack` write them.
    "gray2": PanelCodes(
        (0, 1),
        "Waveshare's epd drivers (getbuffer: a buffer of 0xFF is white, black "
        "pixels clear their bit)",
    ),
    "gray4": PanelCodes(
        (0, 1, 2, 3),
        "Waveshare's 4-gray drivers (getbuffer_4Gray in epd2in7.py, epd4in2.py: "
        "black 0, the grays 1 and 2, white 3, four pixels a byte, first in the high bits)",
    ),
    "gray16": PanelCodes(
        tuple(range(16)),
        "the IT8951 controller's 4-bit pixel format, as Waveshare's IT8951 driver "
        "writes it (black 0, white 15)",
    ),
}


def panel_codes(name: str) -> list[int]:
    """The code a panel's controller takes for each of its colours.

    The colours are those of `panel_palette`, in the same order: code
    ``panel_codes(name)[i]`` shows colour ``panel_palette(name)[i]``.

    Args:
        name: a panel of `panel_names`, spelled loosely.

    Returns:
        A new list of codes, one for each colour.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no panel has that name.

    Examples:
        >>> panel_codes("Spectra 6")      # blue is 5 and green 6: 4 is unused
        [0, 1, 2, 3, 5, 6]
        >>> dict(zip(panel_palette("bwr", measured=False), panel_codes("bwr")))
        {'#000000': 1, '#ffffff': 0, '#ff0000': 2}
    """
    return list(PANEL_CODES[find_name(name, PANELS, "panel")].codes)


def panel_names() -> list[str]:
    """The panels of PANELS, in a fixed order.

    Returns:
        A new list of the names `panel_palette` takes.

    Examples:
        >>> panel_names()
        ['spectra6', 'acep7', 'bwr', 'bwy', 'bwyr', 'gray2', 'gray4', 'gray16']
    """
    return list(PANELS)


def panel_palette(name: str, *, measured: bool = True) -> list[str]:
    """A panel's colours: the measured ones (falling back to the driver's
    where no measurement is published), or with measured=False the driver's.

    Dither against the measured colours (what the panel shows), then
    `recolor` the result to the driver's (what its controller takes).

    Args:
        name: a panel of `panel_names`, spelled loosely.
        measured: the colours the panel shows; False for the driver's.

    Returns:
        '#rrggbb' strings, in the order of `panel_codes`.

    Raises:
        TypeError: `name` is not a str.
        ValueError: no panel has that name.

    Examples:
        >>> panel_palette("spectra6", measured=False)
        ['#000000', '#ffffff', '#ffff00', '#ff0000', '#0000ff', '#00ff00']
        >>> panel_palette("Spectra 6")[:2]      # its black and its white, as measured
        ['#020202', '#b3b6ab']
    """
    entry = PANELS[find_name(name, PANELS, "panel")]
    _, _, measured_colours, driver = entry
    return list(measured_colours if measured and measured_colours is not None else driver)


def colour_list(palette: Sequence[str] | str, what: str) -> list[str]:
    """'#rrggbb' strings from palette text or a sequence of colour strings.

    Args:
        palette: palette text (see `parse_palette`) or a sequence of colour
            strings.
        what: the argument's name, for the error message.

    Returns:
        '#rrggbb' strings in the order given.

    Raises:
        TypeError: `palette` is neither text nor a sequence of strings.
        ValueError: an entry is not a colour, or there are none.

    Examples:
        >>> colour_list("black, #fff", "palette")
        ['#000000', '#ffffff']
        >>> colour_list(["red", "0f0"], "palette")
        ['#ff0000', '#00ff00']
    """
    if isinstance(palette, str):
        return parse_palette(palette)
    if not isinstance(palette, Sequence) or not all(isinstance(c, str) for c in palette):
        raise TypeError(f"{what} must be a sequence of colour strings")
    return parse_palette(",".join(palette))


def colour_array(colours: Sequence[str]) -> npt.NDArray[np.uint8]:
    """'#rrggbb' strings as an N x 3 uint8 array."""
    return np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], dtype=np.uint8)


def palette_indices(
    rgb: npt.NDArray[np.uint8], colours: Sequence[str], what: str = "the palette"
) -> npt.NDArray[np.uint8]:
    """The palette index of every pixel of an H x W x 3 image.

    A colour listed twice maps to its first index.

    Args:
        rgb: a uint8 array, H x W x 3, each pixel one of `colours`.
        colours: '#rrggbb' strings (at most 256).
        what: what to call the palette in the error message.

    Returns:
        A uint8 array, H x W, of indices into `colours`.

    Raises:
        ValueError: a pixel's colour is not in the palette (naming the pixel).

    Examples:
        >>> import numpy as np
        >>> rgb = np.array([[[255, 255, 255], [0, 0, 0]]], dtype=np.uint8)
        >>> palette_indices(rgb, ["#000000", "#ffffff"])
        array([[1, 0]], dtype=uint8)
    """
    keys = (
        (rgb[..., 0].astype(np.uint32) << 16) | (rgb[..., 1].astype(np.uint32) << 8) | rgb[..., 2]
    )
    first: dict[int, int] = {}
    for index, colour in enumerate(colours):
        first.setdefault(int(colour[1:], 16), index)
    table = np.array(sorted(first), dtype=np.uint32)
    index_of = np.array([first[int(key)] for key in table], dtype=np.uint8)
    position = np.clip(np.searchsorted(table, keys), 0, table.size - 1)
    found = table[position] == keys
    if not found.all():
        row, column = (int(v) for v in np.argwhere(~found)[0][:2])
        raise ValueError(
            f"pixel (row {row}, column {column}) is #{int(keys[row, column]):06x}, "
            f"not in {what}: {', '.join(colours)}"
        )
    return np.asarray(index_of[position], dtype=np.uint8)


def recolor(
    dithered: Any, measured_palette: Sequence[str] | str, display_palette: Sequence[str] | str
) -> Any:
    """Replace every colour of `measured_palette` by the colour at the same
    index in `display_palette`; PIL in gives PIL out, alpha is kept.

    Args:
        dithered: an RGB or RGBA uint8 array or PIL image whose every colour
            is one of `measured_palette` (as dithering to it leaves it).
        measured_palette: the colours dithered to: colour strings or palette
            text.
        display_palette: the colours to write instead, as many, by index.

    Returns:
        A new image of the same kind, shape and alpha.

    Raises:
        TypeError: a palette that is neither text nor a sequence of strings.
        ValueError: the palettes differ in length, the image is not RGB or
            RGBA, or a pixel is not a colour of `measured_palette`.

    Examples:
        >>> import numpy as np
        >>> import tonalis
        >>> shown = panel_palette("spectra6")
        >>> rgb = np.full((2, 4, 3), 200, dtype=np.uint8)
        >>> out = tonalis.dither(rgb, "fs", palette=shown)
        >>> device = recolor(out, shown, panel_palette("spectra6", measured=False))
        >>> sorted({tuple(p) for p in device.reshape(-1, 3).tolist()})
        [(255, 255, 255)]
    """
    source = colour_list(measured_palette, "measured_palette")
    target = colour_list(display_palette, "display_palette")
    if len(source) != len(target):
        raise ValueError(
            f"the palettes differ in length: {len(source)} measured, {len(target)} to display"
        )
    array, mode = as_array(dithered)
    if array.ndim != 3 or array.shape[2] not in (3, 4):
        raise ValueError(f"recolor needs an RGB or RGBA image, got shape {list(array.shape)}")
    indices = palette_indices(array[..., :3], source, "measured_palette")
    out = array.copy()
    out[..., :3] = colour_array(target)[indices]
    return like_input(out, mode)
