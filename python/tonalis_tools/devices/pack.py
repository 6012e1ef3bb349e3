"""Packing dithered images into the byte layouts devices read, and back.

E-paper panels, receipt printers and small TFTs do not take PNG files: they
take rows of bits, two-bit grays, pairs of bit planes, palette indices or
16-bit colour words. `pack` turns a dithered image into those bytes and
checks that every pixel is one the format can hold (a pixel that is not is
an error, never silently rounded); `unpack` is its exact inverse.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from ..names import find_name
from ..palettes.presets import preset
from ..palettes.recolor import colour_array, colour_list, palette_indices
from .channels import as_array

__all__ = [
    "FORMATS",
    "FormatTarget",
    "c_header",
    "dither_target",
    "pack",
    "parse_c_header",
    "unpack",
]

BitOrder = Literal["msb", "lsb"]
ByteOrder = Literal["little", "big"]

#: Format name -> description.
FORMATS: dict[str, str] = {
    "mono": "1 bit per pixel, gray 0 or 255; bit 1 = white (invert: 1 = black)",
    "gray2": "2 bits per pixel, grays 0, 85, 170, 255 as 0..3 (4-gray e-paper)",
    "gray4": "4 bits per pixel, the 16 multiples of 17 as 0..15",
    "bwr": "two 1-bit planes, black then red, from a black/white/red image; bit 1 = ink",
    "bwy": "two 1-bit planes, black then yellow, from a black/white/yellow image; bit 1 = ink",
    "index2": "2-bit palette indices (4-colour panels); palette required",
    "index4": "4-bit palette indices (7-colour panels); palette defaults to 'epaper-7'",
    "index8": "8-bit palette indices; palette required",
    "rgb565": "16 bits per pixel, 5-6-5, little-endian unless byteorder='big'",
    "rgb332": "8 bits per pixel, 3-3-2",
    "escpos": "ESC/POS raster bit image (GS v 0): header then rows, bit 1 = black",
}

_ALIASES = {
    "1bit": "mono",
    "bw": "mono",
    "1bpp": "mono",
    "2bit": "gray2",
    "4bit": "gray4",
    "blackred": "bwr",
    "blackyellow": "bwy",
    "gsv0": "escpos",
    "pos": "escpos",
}

_GRAY_BITS = {"mono": 1, "gray2": 2, "gray4": 4, "escpos": 1}
_INDEX_BITS = {"index2": 2, "index4": 4, "index8": 8}
_PLANE_COLOUR = {"bwr": "#ff0000", "bwy": "#ffff00"}
_RGB_BITS = {"rgb565": (5, 6, 5), "rgb332": (3, 3, 2)}

_ESCPOS_HEADER = b"\x1dv0"


def _format(name: object) -> str:
    return find_name(name, FORMATS, "pack format", _ALIASES)


class FormatTarget(NamedTuple):
    """What to dither to so that the result packs in a format.

    `dither_target` makes one from a format's name.

    Args:
        name: the format's own name (aliases resolved).
        gray: True when the format holds gray images only.
        levels: level counts the format holds (one for gray, one per
            channel for colour words); None for the palette formats.
        palette: the palette to dither to when none is given; None when the
            format needs one from the caller (or holds levels, not a palette).

    Examples:
        >>> target = dither_target("rgb565")
        >>> target.gray, target.levels
        (False, (32, 64, 32))
    """

    name: str
    gray: bool
    levels: int | tuple[int, ...] | None
    palette: list[str] | None


# The fields' own help, in place of "Alias for field number n".
for _field, _help in {
    "name": "The format's own name.",
    "gray": "Whether the format holds gray images only.",
    "levels": "The level counts the format holds, or None.",
    "palette": "The palette to dither to when none is given, or None.",
}.items():
    getattr(FormatTarget, _field).__doc__ = _help


def dither_target(format: str) -> FormatTarget:
    """The dithering that fits `format` ('gray2' -> gray, 4 levels).

    Args:
        format: a name of `FORMATS` or an alias, spelled loosely.

    Returns:
        The `FormatTarget`: gray or colour, the level counts or the palette.

    Raises:
        TypeError, ValueError: `format` is not a known format name.

    Examples:
        >>> dither_target("gray2")
        FormatTarget(name='gray2', gray=True, levels=4, palette=None)
        >>> dither_target("black-red").palette
        ['#000000', '#ffffff', '#ff0000']
    """
    fmt = _format(format)
    if fmt in _GRAY_BITS:
        return FormatTarget(fmt, True, 1 << _GRAY_BITS[fmt], None)
    if fmt in _RGB_BITS:
        return FormatTarget(fmt, False, tuple(1 << bits for bits in _RGB_BITS[fmt]), None)
    if fmt in _PLANE_COLOUR:
        return FormatTarget(fmt, False, None, ["#000000", "#ffffff", _PLANE_COLOUR[fmt]])
    return FormatTarget(fmt, False, None, preset("epaper-7") if fmt == "index4" else None)


def _grid(bits: int) -> npt.NDArray[np.uint8]:
    """The codes of 2**bits evenly spaced levels (those tonalis writes)."""
    top = (1 << bits) - 1
    codes = np.floor(np.arange(top + 1) * (255.0 / top) + 0.5)
    return np.asarray(codes, dtype=np.uint8)


def _where(mask: npt.NDArray[np.bool_]) -> tuple[int, int]:
    row, column = np.argwhere(mask)[0][:2]
    return int(row), int(column)


def _to_levels(
    values: npt.NDArray[np.uint8], bits: int, what: str, hint: str
) -> npt.NDArray[np.uint8]:
    """Level indices of codes that must lie on the 2**bits grid."""
    grid = _grid(bits)
    lookup = np.full(256, 255, dtype=np.uint8)
    lookup[grid] = np.arange(grid.size, dtype=np.uint8)
    indices = lookup[values]
    bad = indices == 255 if grid.size < 256 else np.zeros(values.shape, dtype=bool)
    if bad.any():
        row, column = _where(bad)
        raise ValueError(
            f"pixel (row {row}, column {column}) has {what} {int(values[row, column])}, "
            f"not one of the {grid.size} levels the format holds; {hint}"
        )
    return indices


def _opaque_colour(array: npt.NDArray[np.uint8], fmt: str) -> npt.NDArray[np.uint8]:
    """H x W x 3 colours; a gray image is widened, an alpha channel must be opaque."""
    if array.ndim == 2:
        array = array[:, :, None]
    channels = array.shape[2]
    if channels not in (1, 2, 3, 4):
        raise ValueError(f"format {fmt!r} takes gray, RGB or RGBA images, got {channels} channels")
    if channels in (2, 4):
        alpha = array[:, :, -1]
        if (alpha != 255).any():
            row, column = _where(alpha != 255)
            raise ValueError(
                f"format {fmt!r} has no transparency, but pixel (row {row}, column "
                f"{column}) has alpha {int(alpha[row, column])}; flatten the image first"
            )
        array = array[:, :, :-1]
    if array.shape[2] == 1:
        array = np.repeat(array, 3, axis=2)
    return array


def _gray(array: npt.NDArray[np.uint8], fmt: str) -> npt.NDArray[np.uint8]:
    rgb = _opaque_colour(array, fmt)
    unequal = (rgb[:, :, 0] != rgb[:, :, 1]) | (rgb[:, :, 0] != rgb[:, :, 2])
    if unequal.any():
        row, column = _where(unequal)
        colour = "#{:02x}{:02x}{:02x}".format(*rgb[row, column])
        raise ValueError(
            f"format {fmt!r} takes gray images, but pixel (row {row}, column {column}) is {colour}"
        )
    return np.ascontiguousarray(rgb[:, :, 0])


def _palette(palette: Sequence[str] | str | None, fmt: str, bits: int) -> list[str]:
    if palette is None:
        default = dither_target(fmt).palette
        if default is not None:
            return default
        raise ValueError(f"format {fmt!r} needs a palette (the panel's colours in index order)")
    colours = colour_list(palette, "palette")
    if len(colours) > 1 << bits:
        raise ValueError(
            f"format {fmt!r} holds at most {1 << bits} colours, the palette has {len(colours)}"
        )
    return colours


def _palette_indices(
    rgb: npt.NDArray[np.uint8], colours: list[str], fmt: str
) -> npt.NDArray[np.uint8]:
    return palette_indices(rgb, colours, f"the palette of format {fmt!r}")


#: The largest row alignment: no display or printer pads a row to more (a
#: page), and larger values would only make huge buffers of padding.
MAX_ALIGN = 65536


def _row_bytes(width: int, bits: int, align: int) -> int:
    raw = (width * bits + 7) // 8
    return (raw + align - 1) // align * align


def _pack_indices(indices: npt.NDArray[np.uint8], bits: int, order: str, align: int) -> bytes:
    """Rows of `bits`-bit values, first pixel in the high bits ('msb') or low bits ('lsb'),
    each row padded with zero bits to a multiple of `align` bytes."""
    height, width = indices.shape
    per_byte = 8 // bits
    padded_width = -(-width // per_byte) * per_byte
    values = np.zeros((height, padded_width), dtype=np.uint8)
    values[:, :width] = indices
    groups = values.reshape(height, padded_width // per_byte, per_byte).astype(np.uint16)
    shifts = np.arange(per_byte, dtype=np.uint16) * bits
    if order == "msb":
        shifts = shifts[::-1]
    packed = (groups << shifts).sum(axis=2).astype(np.uint8)
    rows = np.zeros((height, _row_bytes(width, bits, align)), dtype=np.uint8)
    rows[:, : packed.shape[1]] = packed
    return rows.tobytes()


def _unpack_indices(
    data: bytes, bits: int, width: int, height: int, order: str, align: int
) -> npt.NDArray[np.uint8]:
    row_bytes = _row_bytes(width, bits, align)
    rows = np.frombuffer(data, dtype=np.uint8).reshape(height, row_bytes)
    per_byte = 8 // bits
    shifts = np.arange(per_byte, dtype=np.uint8) * bits
    if order == "msb":
        shifts = shifts[::-1]
    mask = np.uint8((1 << bits) - 1)
    values = (rows[:, :, None] >> shifts) & mask
    return np.ascontiguousarray(values.reshape(height, row_bytes * per_byte)[:, :width])


def _check_options(bit_order: str, byteorder: str, align: object, band_height: object) -> int:
    if bit_order not in ("msb", "lsb"):
        raise ValueError(f"bit_order must be 'msb' or 'lsb', got {bit_order!r}")
    if byteorder not in ("little", "big"):
        raise ValueError(f"byteorder must be 'little' or 'big', got {byteorder!r}")
    if isinstance(align, bool) or not isinstance(align, int) or not 1 <= align <= MAX_ALIGN:
        raise ValueError(
            f"align must be a whole number of bytes from 1 to {MAX_ALIGN}, got {align!r}"
        )
    if band_height is not None and (
        isinstance(band_height, bool)
        or not isinstance(band_height, int)
        or not 1 <= band_height <= 65535
    ):
        raise ValueError(f"band_height must be between 1 and 65535 rows, got {band_height!r}")
    return align


def pack(
    image: Any,
    format: str,
    *,
    bit_order: BitOrder = "msb",
    invert: bool = False,
    byteorder: ByteOrder = "little",
    align: int = 1,
    palette: Sequence[str] | str | None = None,
    band_height: int | None = None,
) -> bytes:
    """The bytes of a dithered image in a device format (see FORMATS).

    Args:
        image: a uint8 array or PIL image. Gray formats take gray images
            (or RGB with equal channels); colour formats take RGB (an alpha
            channel must be fully opaque). Every pixel must already be one
            the format holds: dither first.
        format: a name from FORMATS ('mono', 'gray2', 'bwr', 'index4',
            'rgb565', 'escpos', ...); loose spelling as for presets.
        bit_order: for formats of 1, 2 or 4 bits per pixel: 'msb' puts the
            leftmost pixel in the high bits of a byte, 'lsb' in the low bits.
        invert: flip every bit of the bit formats (many e-paper drivers want
            1 = white in the black plane and 0 = red in the red plane).
        byteorder: of the 16-bit rgb565 words.
        align: pad every row to a multiple of this many bytes (bit formats);
            padding bits are always 0, with or without invert.
        palette: for the index formats, the colours in index order; for
            'bwr'/'bwy' the black, white and ink colours (default black,
            white and pure red or yellow).
        band_height: for 'escpos', split into raster commands of at most
            this many rows (printers limit the height of one command).

    Raises:
        ValueError: an unknown format or option, a wrong kind of image, or
            a pixel the format cannot hold (naming the pixel and its value).

    Returns:
        The packed bytes, rows top to bottom.

    Examples:
        >>> import numpy as np
        >>> row = np.array([[0, 255, 255, 0, 0, 0, 0, 255]], dtype=np.uint8)
        >>> pack(row, "mono"), pack(row, "mono", invert=True)
        (b'a', b'\\x9e')
        >>> pack(np.array([[0, 128]], dtype=np.uint8), "mono")
        Traceback (most recent call last):
        ...
        ValueError: pixel (row 0, column 1) has gray 128, not one of the 2 levels ...
    """
    fmt = _format(format)
    align = _check_options(bit_order, byteorder, align, band_height)
    array, _ = as_array(image)
    if invert and fmt in _RGB_BITS:
        raise ValueError(f"invert applies to bit formats, not to {fmt!r}")
    if fmt in _GRAY_BITS:
        bits = _GRAY_BITS[fmt]
        hint = f"dither with levels={1 << bits} first"
        levels = _to_levels(_gray(array, fmt), bits, "gray", hint)
        if fmt == "escpos":
            return _escpos(levels, invert, band_height)
        if invert:
            levels = (1 << bits) - 1 - levels
        return _pack_indices(levels.astype(np.uint8), bits, bit_order, align)
    rgb = _opaque_colour(array, fmt)
    if fmt in _PLANE_COLOUR:
        colours = _plane_palette(palette, fmt)
        indices = _palette_indices(rgb, colours, fmt)
        black = (indices == 0).astype(np.uint8)
        ink = (indices == 2).astype(np.uint8)
        if invert:
            black, ink = 1 - black, 1 - ink
        return _pack_indices(black, 1, bit_order, align) + _pack_indices(ink, 1, bit_order, align)
    if fmt in _INDEX_BITS:
        bits = _INDEX_BITS[fmt]
        indices = _palette_indices(rgb, _palette(palette, fmt, bits), fmt)
        if invert:
            indices = ((1 << bits) - 1 - indices).astype(np.uint8)
        return _pack_indices(indices, bits, bit_order, align)
    sizes = _RGB_BITS[fmt]
    names = "RGB"
    parts = [
        _to_levels(
            np.ascontiguousarray(rgb[:, :, k]),
            size,
            f"{names[k]} code",
            f"dither with levels={tuple(1 << s for s in sizes)} first",
        ).astype(np.uint16)
        for k, size in enumerate(sizes)
    ]
    word = (parts[0] << (sizes[1] + sizes[2])) | (parts[1] << sizes[2]) | parts[2]
    if fmt == "rgb332":
        return word.astype(np.uint8).tobytes()
    return word.astype("<u2" if byteorder == "little" else ">u2").tobytes()


def _plane_palette(palette: Sequence[str] | str | None, fmt: str) -> list[str]:
    if palette is None:
        return list(dither_target(fmt).palette or ())
    colours = colour_list(palette, "palette")
    if len(colours) != 3:
        raise ValueError(
            f"format {fmt!r} takes a palette of 3 colours (black, white, ink), got {len(colours)}"
        )
    return colours


def _escpos(levels: npt.NDArray[Any], invert: bool, band_height: int | None) -> bytes:
    height, width = levels.shape
    black = (levels == 0).astype(np.uint8)
    if invert:
        black = 1 - black
    row_bytes = (width + 7) // 8
    if row_bytes > 65535:
        raise ValueError(
            f"image is {width} pixels wide; a raster command holds at most {65535 * 8}"
        )
    band = band_height or height
    if band > 65535:
        raise ValueError(f"image is {height} rows high; pass band_height (at most 65535)")
    out = bytearray()
    for top in range(0, height, band):
        rows = black[top : top + band]
        out += _ESCPOS_HEADER + bytes(
            [0, row_bytes & 255, row_bytes >> 8, rows.shape[0] & 255, rows.shape[0] >> 8]
        )
        out += _pack_indices(rows, 1, "msb", 1)
    return bytes(out)


def _unescpos(data: bytes, width: int, height: int, invert: bool) -> npt.NDArray[np.uint8]:
    rows: list[npt.NDArray[np.uint8]] = []
    offset = 0
    while offset < len(data):
        header = data[offset : offset + 8]
        if len(header) < 8 or header[:3] != _ESCPOS_HEADER:
            raise ValueError(f"no raster command (1d 76 30) at byte {offset} of the data")
        row_bytes = header[4] | header[5] << 8
        band = header[6] | header[7] << 8
        if row_bytes != (width + 7) // 8:
            raise ValueError(
                f"raster command at byte {offset} has {row_bytes} bytes per row, "
                f"a width of {width} needs {(width + 7) // 8}"
            )
        body = data[offset + 8 : offset + 8 + row_bytes * band]
        if len(body) != row_bytes * band:
            raise ValueError(f"raster command at byte {offset} is cut short")
        rows.append(_unpack_indices(body, 1, width, band, "msb", 1))
        offset += 8 + row_bytes * band
    black = np.concatenate(rows) if rows else np.zeros((0, width), dtype=np.uint8)
    if black.shape[0] != height:
        raise ValueError(f"the raster commands hold {black.shape[0]} rows, expected {height}")
    if invert:
        black = 1 - black
    return np.asarray(np.where(black == 1, 0, 255), dtype=np.uint8)


def _expected_size(fmt: str, width: int, height: int, align: int) -> int:
    if fmt in _GRAY_BITS:
        return height * _row_bytes(width, _GRAY_BITS[fmt], align)
    if fmt in _PLANE_COLOUR:
        return 2 * height * _row_bytes(width, 1, align)
    if fmt in _INDEX_BITS:
        return height * _row_bytes(width, _INDEX_BITS[fmt], align)
    return height * width * (2 if fmt == "rgb565" else 1)


def unpack(
    data: bytes,
    format: str,
    width: int,
    height: int,
    *,
    bit_order: BitOrder = "msb",
    invert: bool = False,
    byteorder: ByteOrder = "little",
    align: int = 1,
    palette: Sequence[str] | str | None = None,
) -> npt.NDArray[np.uint8]:
    """The image that `pack` turned into `data`, with the same options.

    Gray formats give a 2-D array, colour formats an H x W x 3 array.

    Args:
        data: the packed bytes.
        format: the format they are in, as for `pack`.
        width, height: the image's size in pixels.
        bit_order, invert, byteorder, align, palette: as given to `pack`.

    Returns:
        A new uint8 array.

    Examples:
        >>> unpack(b"a", "mono", 8, 1)
        array([[  0, 255, 255,   0,   0,   0,   0, 255]], dtype=uint8)

    Raises:
        ValueError: unknown format or option, a size that does not match
            the data, or (for 'escpos') data that are not raster commands.
    """
    fmt = _format(format)
    align = _check_options(bit_order, byteorder, align, None)
    for name, value in (("width", width), ("height", height)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise ValueError(f"{name} must be a positive int, got {value!r}")
    data = bytes(data)
    if fmt == "escpos":
        return _unescpos(data, width, height, invert)
    expected = _expected_size(fmt, width, height, align)
    if len(data) != expected:
        raise ValueError(
            f"{width}x{height} in format {fmt!r} takes {expected} bytes, got {len(data)}"
        )
    if fmt in _GRAY_BITS:
        bits = _GRAY_BITS[fmt]
        levels = _unpack_indices(data, bits, width, height, bit_order, align)
        if invert:
            levels = ((1 << bits) - 1 - levels).astype(np.uint8)
        return _grid(bits)[levels]
    if fmt in _PLANE_COLOUR:
        colours = _plane_palette(palette, fmt)
        half = len(data) // 2
        black = _unpack_indices(data[:half], 1, width, height, bit_order, align)
        ink = _unpack_indices(data[half:], 1, width, height, bit_order, align)
        if invert:
            black, ink = 1 - black, 1 - ink
        if (black & ink).any():
            row, column = _where((black & ink) == 1)
            raise ValueError(f"pixel (row {row}, column {column}) is set in both planes")
        return colour_array(colours)[np.where(black == 1, 0, np.where(ink == 1, 2, 1))]
    if fmt in _INDEX_BITS:
        bits = _INDEX_BITS[fmt]
        colours = _palette(palette, fmt, bits)
        indices = _unpack_indices(data, bits, width, height, bit_order, align)
        if invert:
            indices = ((1 << bits) - 1 - indices).astype(np.uint8)
        if (indices >= len(colours)).any():
            row, column = _where(indices >= len(colours))
            raise ValueError(
                f"pixel (row {row}, column {column}) has index {int(indices[row, column])}, "
                f"the palette has {len(colours)} colours"
            )
        return colour_array(colours)[indices]
    sizes = _RGB_BITS[fmt]
    word: npt.NDArray[np.uint16]
    if fmt == "rgb332":
        word = np.frombuffer(data, dtype=np.uint8).astype(np.uint16)
    else:
        word = np.frombuffer(data, dtype="<u2" if byteorder == "little" else ">u2").astype(
            np.uint16
        )
    word = word.reshape(height, width)
    shifts = (sizes[1] + sizes[2], sizes[2], 0)
    planes = [
        _grid(size)[(word >> shift) & ((1 << size) - 1)] for size, shift in zip(sizes, shifts)
    ]
    return np.stack(planes, axis=2)


_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def c_header(
    data: bytes, name: str, width: int, height: int, *, format: str = "", per_line: int = 16
) -> str:
    """C source declaring `data` as a byte array, with its size as macros.

    Args:
        data: the bytes, as `pack` made them.
        name: the array's name, a C identifier; the macros are named by it
            in upper case.
        width, height: the image's size, written as macros.
        format: the format's name, for a comment at the top; "" for none.
        per_line: bytes per line of the array.

    Returns:
        The C text, ending in a new line.

    Raises:
        ValueError: `name` is not a C identifier, or `format` is unknown.

    Examples:
        >>> print(c_header(b"\\x01\\xff", "logo", 16, 1))
        #pragma once
        #include <stdint.h>
        <BLANKLINE>
        #define LOGO_WIDTH 16
        #define LOGO_HEIGHT 1
        #define LOGO_SIZE 2
        <BLANKLINE>
        static const uint8_t logo[2] = {
            0x01, 0xff,
        };
    """
    if not isinstance(name, str) or not _IDENTIFIER.fullmatch(name):
        raise ValueError(f"name must be a C identifier, got {name!r}")
    upper = name.upper()
    lines = ["#pragma once", "#include <stdint.h>", ""]
    if format:
        lines.insert(0, f"/* {width}x{height}, {_format(format)}: {FORMATS[_format(format)]} */")
    lines += [
        f"#define {upper}_WIDTH {width}",
        f"#define {upper}_HEIGHT {height}",
        f"#define {upper}_SIZE {len(data)}",
        "",
        f"static const uint8_t {name}[{len(data)}] = {{",
    ]
    for start in range(0, len(data), per_line):
        lines.append("    " + " ".join(f"0x{byte:02x}," for byte in data[start : start + per_line]))
    lines.append("};")
    return "\n".join(lines) + "\n"


_MACRO = re.compile(r"#define\s+(\w+)_(WIDTH|HEIGHT)\s+(\d+)")
_ARRAY = re.compile(r"uint8_t\s+(\w+)\s*\[\s*\d*\s*\]\s*=\s*\{([^}]*)\}", re.S)


def parse_c_header(text: str) -> tuple[str, int, int, bytes]:
    """(name, width, height, data) from the text `c_header` writes.

    Args:
        text: C source holding a ``uint8_t name[] = {...}`` array and the
            NAME_WIDTH and NAME_HEIGHT macros.

    Returns:
        The array's name, the width and height, and its bytes.

    Raises:
        ValueError: no byte array, no size macros, or a value that is not a byte.

    Examples:
        >>> parse_c_header(c_header(b"\\x01\\xff", "logo", 16, 1))
        ('logo', 16, 1, b'\\x01\\xff')
    """
    array = _ARRAY.search(text)
    if array is None:
        raise ValueError("no 'uint8_t name[] = {...}' array in the C text")
    name = array.group(1)
    sizes = {
        kind: int(value) for prefix, kind, value in _MACRO.findall(text) if prefix == name.upper()
    }
    if set(sizes) != {"WIDTH", "HEIGHT"}:
        raise ValueError(f"no {name.upper()}_WIDTH and {name.upper()}_HEIGHT macros in the C text")
    values = []
    for item in array.group(2).replace("\n", " ").split(","):
        item = item.strip()
        if not item:
            continue
        try:
            value = int(item, 0)
        except ValueError:
            raise ValueError(f"{item!r} in array {name!r} is not a number") from None
        if not 0 <= value <= 255:
            raise ValueError(f"{item!r} in array {name!r} is not a byte")
        values.append(value)
    return name, sizes["WIDTH"], sizes["HEIGHT"], bytes(values)
