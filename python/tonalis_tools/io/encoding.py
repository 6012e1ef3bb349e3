"""The smallest lossless form of a dithered image: 1-bit, or a palette of
2, 4, 16 or 256 entries (PNG then stores 1, 2, 4 or 8 bits a pixel).

Dithered images have few colours, and an 8-bit gray or 24-bit colour file
spends most of its bytes, and its writing time, on nothing. Colours are
counted per channel first, so a gray image costs one histogram and a colour
one a few table look-ups; nothing here sorts the pixels.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from PIL import Image

__all__ = ["Indexed", "index_colours", "smallest_image", "to_indexed"]

# Beyond this many channel-value combinations the combined code table gets
# large; such images go through a sort of their packed colours instead.
_CODE_TABLE_LIMIT = 1 << 20

Array = npt.NDArray[np.uint8]


@dataclasses.dataclass(frozen=True)
class Indexed:
    """An image as palette indices: `indices[y, x]` is a row of `colours`.

    Args:
        indices: uint8, H x W.
        colours: uint8, n x channels, n at most 256.

    Examples:
        >>> import numpy as np
        >>> indexed = index_colours(np.array([[0, 255, 255]], dtype=np.uint8))
        >>> indexed.indices, indexed.colours.ravel()
        (array([[0, 1, 1]], dtype=uint8), array([  0, 255], dtype=uint8))
    """

    indices: Array  # H x W
    colours: Array  # n x channels, n <= 256


def _channels(array: Array) -> Array:
    return array[:, :, None] if array.ndim == 2 else array


def index_colours(
    array: Array, limit: int = 256, order: npt.ArrayLike | None = None
) -> Indexed | None:
    """The distinct colours of an H x W (x C) uint8 image and each pixel's
    index into them, or None when there are more than `limit`.

    The colours come sorted, or with `order` (the palette the image was
    dithered to: '#rrggbb' strings or n x 3 values) in its order: an RGB
    image whose colours all come from it gets the whole of it, so an index
    is a palette position; an RGBA image gets its colours by palette
    position, then alpha (fully transparent colours the palette lacks last).

    Args:
        array: a uint8 image, H x W or H x W x C.
        limit: the most colours to index, at most 256.
        order: the palette to keep the order of, if any.

    Returns:
        The `Indexed` image, or None.

    Examples:
        >>> import numpy as np
        >>> red, black = [255, 0, 0], [0, 0, 0]
        >>> rgb = np.array([[red, black], [black, red]], dtype=np.uint8)
        >>> index_colours(rgb).indices
        array([[1, 0],
               [0, 1]], dtype=uint8)
        >>> index_colours(rgb, order=["#ff0000", "#00ff00", "#000000"]).indices
        array([[0, 2],
               [2, 0]], dtype=uint8)
        >>> index_colours(rgb, limit=1) is None
        True
    """
    indexed = _index_colours(array, limit)
    if indexed is None or order is None:
        return indexed
    return _in_order(indexed, _rgb_rows(order), limit)


def _rgb_rows(order: npt.ArrayLike) -> Array:
    """n x 3 uint8 colours of a palette of '#rrggbb' strings or triples."""
    from ..palettes.presets import palette_colours

    hexes = palette_colours(order)
    return np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in hexes], np.uint8)


def _in_order(indexed: Indexed, order: Array, limit: int) -> Indexed:
    colours = indexed.colours
    depth = colours.shape[1]
    if depth not in (3, 4) or not 0 < len(order) <= limit:
        return indexed
    first: dict[bytes, int] = {}
    for position, colour in enumerate(order):
        first.setdefault(colour.tobytes(), position)
    positions: list[int] = []
    for colour in colours:
        found = first.get(colour[:3].tobytes())
        if found is None and (depth == 3 or colour[3] != 0):
            return indexed  # a colour from elsewhere: the palette says nothing
        positions.append(len(order) if found is None else found)
    if depth == 3:
        table = np.asarray(positions, dtype=np.uint8)
        return Indexed(table[indexed.indices], np.ascontiguousarray(order))
    sequence = np.lexsort((colours[:, 3], np.asarray(positions)))
    table = np.empty(len(colours), dtype=np.uint8)
    table[sequence] = np.arange(len(colours), dtype=np.uint8)
    return Indexed(table[indexed.indices], colours[sequence])


def _index_colours(array: Array, limit: int) -> Indexed | None:
    pixels = _channels(array)
    height, width, depth = pixels.shape
    present = []
    for c in range(depth):
        # Marking the values seen is several times faster than counting
        # them: a count turns every byte into a machine word first.
        seen = np.zeros(256, dtype=bool)
        seen[pixels[:, :, c]] = True
        present.append(np.flatnonzero(seen))
    combinations = 1
    for values in present:
        combinations *= len(values)
    if combinations > _CODE_TABLE_LIMIT:
        return _index_by_sorting(pixels, limit)
    kind = np.uint16 if combinations <= 1 << 16 else np.uint32
    code = np.zeros((height, width), kind)
    for c, values in enumerate(present):
        table = np.zeros(256, kind)
        table[values] = np.arange(len(values), dtype=kind)
        if c:
            code *= kind(len(values))
        code += table[pixels[:, :, c]]
    used = np.flatnonzero(np.bincount(code.ravel(), minlength=combinations))
    if len(used) > limit:
        return None
    remap = np.zeros(combinations, np.uint8)
    remap[used] = np.arange(len(used), dtype=np.uint8)
    colours = np.empty((len(used), depth), np.uint8)
    rest = used
    for c in range(depth - 1, -1, -1):
        values = present[c]
        colours[:, c] = values[rest % len(values)]
        rest = rest // len(values)
    return Indexed(remap[code], colours)


def _index_by_sorting(pixels: Array, limit: int) -> Indexed | None:
    height, width, depth = pixels.shape
    keys = np.zeros((height, width), np.uint64)
    for c in range(depth):
        keys = (keys << np.uint64(8)) | pixels[:, :, c].astype(np.uint64)
    colours, inverse = np.unique(keys.ravel(), return_inverse=True)
    if len(colours) > limit:
        return None
    shifts = np.arange(depth - 1, -1, -1, dtype=np.uint64) * np.uint64(8)
    table = ((colours[:, None] >> shifts[None, :]) & np.uint64(255)).astype(np.uint8)
    return Indexed(inverse.reshape(height, width).astype(np.uint8), table)


def _palette_image(indexed: Indexed, has_alpha: bool) -> Image.Image:
    from PIL import Image

    colours = indexed.colours
    rgb = colours[:, :-1] if has_alpha else colours
    if rgb.shape[1] == 1:
        rgb = np.repeat(rgb, 3, axis=1)
    image = Image.fromarray(indexed.indices, "P")
    image.putpalette(rgb.tobytes(), "RGB")
    if has_alpha:
        image.info["transparency"] = colours[:, -1].tobytes()
    return image


def smallest_image(
    image: Image.Image, *, alpha_in_palette: bool = True, palette: npt.ArrayLike | None = None
) -> Image.Image:
    """The same pixels in the smallest lossless mode Pillow writes.

    Black and white gray images become mode '1'; images of at most 256
    colours become 'P' with exactly as many palette entries (an alpha channel
    goes into the palette when `alpha_in_palette`, as PNG allows), sorted, or
    in the order of `palette` (see `index_colours`); anything else is
    returned as it is.

    Args:
        image: a PIL image; modes other than L, LA, RGB and RGBA are
            returned as they are.
        alpha_in_palette: let transparency go into a palette.
        palette: the palette the image was dithered to, if any.

    Returns:
        A new PIL image, or `image` itself.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> smallest_image(Image.fromarray(np.array([[0, 255]], dtype=np.uint8))).mode
        '1'
        >>> smallest_image(Image.new("RGB", (4, 4), "red")).mode
        'P'
    """
    if image.mode not in ("L", "LA", "RGB", "RGBA"):
        return image
    has_alpha = image.mode in ("LA", "RGBA")
    if has_alpha and not alpha_in_palette:
        return image
    if image.mode == "L" and not any(image.histogram()[1:255]):
        # Black and white: Pillow's threshold at 128 keeps 0 and 255 exactly.
        from PIL import Image

        return image.convert("1", dither=Image.Dither.NONE)
    indexed = index_colours(np.asarray(image), order=palette)
    if indexed is None:
        return image
    return _palette_image(indexed, has_alpha)


def to_indexed(image: Image.Image, palette: npt.ArrayLike | None = None) -> Image.Image:
    """The same pixels as a palette ('P') image when there are at most 256
    colours and no alpha; otherwise the image unchanged. Lossless. The
    palette is sorted, or the whole of `palette` in its order when the image
    was dithered to it.

    Args:
        image: a PIL image; only L and RGB images are indexed.
        palette: the palette the image was dithered to, if any.

    Returns:
        A new 'P' image, or `image` itself.

    Examples:
        >>> import numpy as np
        >>> from PIL import Image
        >>> red, black = [255, 0, 0], [0, 0, 0]
        >>> rgb = Image.fromarray(np.array([[red, black]], dtype=np.uint8))
        >>> indexed = to_indexed(rgb, ["#ff0000", "#00ff00", "#000000"])
        >>> indexed.mode, np.asarray(indexed).tolist()
        ('P', [[0, 2]])
    """
    if image.mode not in ("L", "RGB"):
        return image
    indexed = index_colours(np.asarray(image), order=palette)
    return image if indexed is None else _palette_image(indexed, False)
