"""Dither against the colours a panel really shows, write the colours its driver expects.

A colour e-paper panel's red is a dull brick and its white a light gray, but
its driver wants pure #ff0000 and #ffffff (or rather their indices). Error
diffusion against the nominal colours spends the wrong colour on every
pixel; against the measured ones it keeps the tones the panel can show.
`recolor` then swaps each measured colour for the driver's colour at the
same palette index.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ..devices.channels import as_array, like_input
from ..names import find_name
from .presets import parse_palette, preset

__all__ = ["PANELS", "colour_list", "palette_indices", "panel_names", "panel_palette", "recolor"]

#: Panel -> (description, source of the measurement or None, measured colours
#: or None, driver colours). Colours are in the driver's index order.
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
}


def panel_names() -> list[str]:
    """The panels of PANELS, in a fixed order.

    Returns:
        A new list of the names `panel_palette` takes.

    Examples:
        >>> panel_names()
        ['spectra6', 'acep7', 'bwr', 'bwy']
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
        '#rrggbb' strings in the driver's index order.

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
