"""Device byte layouts: pack and unpack."""

import numpy as np
import pytest

import tonalis
from tonalis_tools.channels import dither_channels
from tonalis_tools.pack import (
    ESCPOS_MAX_ROWS,
    FORMATS,
    c_header,
    dither_target,
    pack,
    parse_c_header,
    unpack,
)
from tonalis_tools.presets import preset
from tonalis_tools.recolor import PANELS, panel_codes, panel_palette

SIZES = [(1, 1), (1, 7), (2, 8), (3, 9), (5, 17), (4, 33)]


def _noise(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def _dithered(fmt, height, width, seed=0):
    """An image every pixel of which the format can hold."""
    noise = _noise((height, width, 3), seed)
    if fmt in ("mono", "escpos"):
        return tonalis.dither(noise[..., 0], "fs")
    if fmt == "gray2":
        return tonalis.dither(noise[..., 0], "fs", levels=4)
    if fmt == "gray4":
        return tonalis.dither(noise[..., 0], "fs", levels=16)
    if fmt in ("bwr", "bwy"):
        return tonalis.dither(noise, "fs", palette=preset(f"epaper-{fmt}"))
    if fmt == "index2":
        return tonalis.dither(noise, "fs", palette=preset("gray4"))
    if fmt == "index4":
        return tonalis.dither(noise, "fs", palette=preset("epaper-7"))
    if fmt == "index8":
        return tonalis.dither(noise, "fs", palette=preset("websafe"))
    return dither_channels(noise, "fs", fmt)


def _palette(fmt):
    return {"index2": preset("gray4"), "index8": preset("websafe")}.get(fmt)


@pytest.mark.parametrize("height, width", SIZES)
@pytest.mark.parametrize("fmt", sorted(FORMATS))
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"bit_order": "lsb"},
        {"invert": True},
        {"align": 4},
        {"byteorder": "big"},
        {"bit_order": "lsb", "invert": True, "align": 2},
    ],
)
def test_every_format_round_trips(fmt, height, width, options):
    image = _dithered(fmt, height, width, seed=height * 100 + width)
    palette = _palette(fmt)
    if "invert" in options and fmt.startswith("rgb"):
        with pytest.raises(ValueError, match="invert applies to bit formats"):
            pack(image, fmt, palette=palette, **options)
        return
    data = pack(image, fmt, palette=palette, **options)
    assert isinstance(data, bytes)
    back = unpack(data, fmt, width, height, palette=palette, **options)
    expected = image if image.ndim == 2 or back.ndim == 3 else image[..., 0]
    assert back.dtype == np.uint8 and np.array_equal(back, expected)


@pytest.mark.parametrize(
    "fmt, bits",
    [("mono", 1), ("gray2", 2), ("gray4", 4), ("index2", 2), ("index4", 4), ("index8", 8)],
)
@pytest.mark.parametrize("width", [1, 7, 8, 9, 31])
@pytest.mark.parametrize("align", [1, 3, 4])
def test_rows_are_padded_to_the_alignment(fmt, bits, width, align):
    image = _dithered(fmt, 3, width)
    data = pack(image, fmt, align=align, palette=_palette(fmt))
    row = -(-width * bits // 8)
    row = -(-row // align) * align
    assert len(data) == 3 * row


@pytest.mark.parametrize(
    "image, fmt, options, expected",
    [
        ([[0, 255, 255, 0, 0, 0, 0, 0, 255]], "mono", {}, b"\x60\x80"),
        ([[0, 255, 255, 0, 0, 0, 0, 0, 255]], "mono", {"bit_order": "lsb"}, b"\x06\x01"),
        ([[0, 255, 255, 0, 0, 0, 0, 0, 255]], "mono", {"invert": True}, b"\x9f\x00"),
        ([[0, 85, 170, 255, 255]], "gray2", {}, b"\x1b\xc0"),
        ([[0, 85, 170, 255, 255]], "gray2", {"bit_order": "lsb"}, b"\xe4\x03"),
        ([[17, 255, 0]], "gray4", {}, b"\x1f\x00"),
        (
            [[255, 0, 0, 0, 0, 0, 0, 0, 0]],
            "escpos",
            {},
            b"\x1d\x76\x30\x00\x02\x00\x01\x00\x7f\x80",
        ),
    ],
)
def test_known_gray_bytes(image, fmt, options, expected):
    assert pack(np.array(image, np.uint8), fmt, **options) == expected


def test_known_colour_bytes():
    red, white, black = (255, 0, 0), (255, 255, 255), (0, 0, 0)
    rgb = np.array([[red, white, black]], np.uint8)
    assert pack(rgb, "rgb565") == b"\x00\xf8\xff\xff\x00\x00"
    assert pack(rgb, "rgb565", byteorder="big") == b"\xf8\x00\xff\xff\x00\x00"
    assert pack(rgb, "rgb332") == b"\xe0\xff\x00"
    # black plane (0 = black) then red plane (1 = red), each one byte per row.
    assert pack(rgb, "bwr") == b"\xc0\x80"
    # The former bytes: 1 = ink in both planes, and their inverse.
    assert pack(rgb, "bwr", ink_bits=(1, 1)) == b"\x20\x80"
    assert pack(rgb, "bwr", ink_bits=(1, 1), invert=True) == b"\xc0\x60"  # padding stays 0
    green, yellow = (0, 255, 0), (255, 255, 0)
    assert pack(np.array([[green, yellow, red]], np.uint8), "index4") == b"\x25\x40"


@pytest.mark.parametrize("fmt, ink", [("bwr", (255, 0, 0)), ("bwy", (255, 255, 0))])
@pytest.mark.parametrize("ink_bits", [None, (0, 1), (1, 1), (0, 0), (1, 0)])
@pytest.mark.parametrize("invert", [False, True])
def test_each_plane_has_its_own_polarity(fmt, ink, ink_bits, invert):
    black, white = (0, 0, 0), (255, 255, 255)
    pixels = [black, white, ink, ink, white, black, white, ink, black, ink]  # 10: 6 padding bits
    data = pack(np.array([pixels], np.uint8), fmt, ink_bits=ink_bits, invert=invert)
    black_bit, ink_bit = (0, 1) if ink_bits is None else ink_bits
    planes = [
        [(bit if p == wanted else 1 - bit) ^ invert for p in pixels]
        for wanted, bit in ((black, black_bit), (ink, ink_bit))
    ]
    expected = b"".join(
        int("".join(map(str, plane + [0] * 6)), 2).to_bytes(2, "big") for plane in planes
    )
    assert data == expected
    back = unpack(data, fmt, 10, 1, ink_bits=ink_bits, invert=invert)
    assert back.tolist() == [list(map(list, pixels))]


@pytest.mark.parametrize("name", sorted(PANELS))
@pytest.mark.parametrize("fmt", ["index4", "index8"])
@pytest.mark.parametrize("measured", [False, True])
def test_index_formats_write_a_panels_codes(name, fmt, measured):
    colours = panel_palette(name, measured=measured)
    order = np.random.default_rng(len(name)).permutation(np.repeat(np.arange(len(colours)), 3))
    rgb = np.array([[_rgb(colours[i]) for i in order]], np.uint8)
    data = pack(rgb, fmt, panel=name)
    codes = np.array(panel_codes(name))[order]
    if fmt == "index8":
        assert list(data) == codes.tolist()
    else:
        padded = np.append(codes, np.zeros(len(codes) % 2, dtype=int))
        assert list(data) == (padded[0::2] << 4 | padded[1::2]).tolist()
    back = unpack(data, fmt, rgb.shape[1], 1, panel=name)
    driver = panel_palette(name, measured=False)
    assert back.tolist() == [[_rgb(driver[i]) for i in order]]
    # Read back in the colours the panel shows, when asked.
    shown = unpack(data, fmt, rgb.shape[1], 1, panel=name, palette=panel_palette(name))
    assert shown.tolist() == [[_rgb(panel_palette(name)[i]) for i in order]]


def _rgb(colour):
    return [int(colour[i : i + 2], 16) for i in (1, 3, 5)]


def test_spectra6_blue_and_green_are_codes_5_and_6():
    blue, green, red = (0, 0, 255), (0, 255, 0), (255, 0, 0)
    rgb = np.array([[blue, green, red, blue]], np.uint8)
    assert pack(rgb, "index4", panel="spectra6") == b"\x56\x35"
    # Without the panel the bytes stay palette indices, as before.
    assert pack(rgb, "index4", palette=panel_palette("spectra6", measured=False)) == b"\x45\x34"
    assert pack(rgb, "index4", palette=preset("epaper-6"), codes=[0, 1, 2, 3, 5, 6]) == (
        b"\x56\x35"
    )
    # Four-colour panels: 2-bit codes, black 0, white 1, yellow 2, red 3.
    four = np.array([[(0, 0, 0), (255, 255, 255), (255, 255, 0), red, red]], np.uint8)
    assert pack(four, "index2", panel="bwyr") == b"\x1b\xc0"


@pytest.mark.parametrize("height", [ESCPOS_MAX_ROWS - 1, ESCPOS_MAX_ROWS, ESCPOS_MAX_ROWS + 1])
def test_escpos_bands_at_the_documented_limit(height):
    image = _dithered("escpos", height, 9, seed=height)
    data = pack(image, "escpos")
    assert data.count(b"\x1d\x76\x30\x00") == (1 if height <= ESCPOS_MAX_ROWS else 2)
    first = min(height, ESCPOS_MAX_ROWS)
    assert data[:8] == b"\x1d\x76\x30\x00\x02\x00" + first.to_bytes(2, "little")
    if height > ESCPOS_MAX_ROWS:
        second = 8 + 2 * first
        assert data[second : second + 8] == b"\x1d\x76\x30\x00\x02\x00\x01\x00"
    assert np.array_equal(unpack(data, "escpos", 9, height), image)
    # A band as tall as the limit is taken; one row more is refused.
    assert pack(image, "escpos", band_height=ESCPOS_MAX_ROWS) == data
    with pytest.raises(ValueError, match=f"between 1 and {ESCPOS_MAX_ROWS} rows"):
        pack(image, "escpos", band_height=ESCPOS_MAX_ROWS + 1)


def test_escpos_bands():
    image = _dithered("escpos", 10, 12)
    data = pack(image, "escpos", band_height=4)
    assert data.count(b"\x1d\x76\x30\x00") == 3
    assert data[:8] == b"\x1d\x76\x30\x00\x02\x00\x04\x00"
    assert np.array_equal(unpack(data, "escpos", 12, 10), image)


def test_gray_formats_take_gray_rgb_and_opaque_alpha():
    gray = _dithered("gray2", 4, 6)
    as_rgba = np.dstack([gray] * 3 + [np.full_like(gray, 255)])
    assert pack(as_rgba, "gray2") == pack(gray, "gray2") == pack(gray[..., None], "gray2")


def test_pil_images_pack():
    Image = pytest.importorskip("PIL.Image")
    image = _dithered("index4", 5, 6)
    assert pack(Image.fromarray(image), "index4") == pack(image, "index4")


def test_repeated_palette_colour_takes_the_first_index():
    rgb = np.array([[(255, 255, 255)]], np.uint8)
    assert pack(rgb, "index8", palette=["#000", "#fff", "#fff"]) == b"\x01"


@pytest.mark.parametrize(
    "image, fmt, options, message",
    [
        (
            np.full((2, 3), 17, np.uint8),
            "gray2",
            {},
            r"pixel \(row 0, column 0\) has gray 17.*levels=4",
        ),
        (
            np.array([[0, 255], [255, 128]], np.uint8),
            "mono",
            {},
            r"pixel \(row 1, column 1\) has gray 128",
        ),
        (
            np.array([[[0, 0, 0], [10, 0, 0]]], np.uint8),
            "mono",
            {},
            r"takes gray images.*column 1\) is #0a0000",
        ),
        (np.zeros((2, 2, 4), np.uint8), "mono", {}, r"no transparency.*alpha 0"),
        (
            np.full((2, 2, 3), 9, np.uint8),
            "index4",
            {},
            r"is #090909, not in the palette of format 'index4'",
        ),
        (np.full((2, 2, 3), 255, np.uint8), "index2", {}, "needs a palette"),
        (
            np.zeros((2, 2, 3), np.uint8),
            "index2",
            {"palette": preset("ega16")},
            "at most 4 colours",
        ),
        (
            np.full((1, 1, 3), (255, 255, 0), np.uint8),
            "bwr",
            {},
            "#ffff00, not in the palette of format 'bwr'",
        ),
        (np.zeros((1, 1, 3), np.uint8), "bwr", {"palette": ["#000", "#fff"]}, "3 colours"),
        (
            np.full((1, 1, 3), (255, 5, 0), np.uint8),
            "rgb565",
            {},
            r"G code 5.*levels=\(32, 64, 32\)",
        ),
        (
            np.zeros((1, 1, 3), np.uint8),
            "rgb565",
            {"invert": True},
            "invert applies to bit formats",
        ),
        (np.zeros((1, 1), np.uint8), "png", {}, "unknown pack format 'png'"),
        (np.zeros((1, 1), np.uint8), "mono", {"bit_order": "big"}, "bit_order must be"),
        (np.zeros((1, 1), np.uint8), "rgb565", {"byteorder": "middle"}, "byteorder must be"),
        (np.zeros((1, 1), np.uint8), "mono", {"align": 0}, "align must be"),
        # Refused before anything is allocated (2 TiB of padding otherwise).
        (np.zeros((2, 1), np.uint8), "mono", {"align": 2**40}, "align must be .* 1 to 65536"),
        (np.zeros((1, 1), np.uint8), "mono", {"align": 65537}, "align must be"),
        (np.zeros((1, 1), np.uint8), "mono", {"align": 2.0}, "align must be"),
        (np.zeros((1, 1), np.uint8), "escpos", {"band_height": 0}, "band_height must be"),
        (np.zeros((1, 2, 3), np.uint8), "bwr", {"ink_bits": (0, 2)}, "ink_bits must be two bits"),
        (np.zeros((1, 2, 3), np.uint8), "bwr", {"ink_bits": "01"}, "ink_bits must be two bits"),
        (np.zeros((1, 2), np.uint8), "mono", {"ink_bits": (0, 1)}, "two-plane formats"),
        (np.zeros((1, 2), np.uint8), "mono", {"panel": "spectra6"}, "apply to the index formats"),
        (
            np.zeros((1, 2, 3), np.uint8),
            "index2",
            {"panel": "spectra6"},
            "'index2' holds codes 0 to 3, and panel 'spectra6' takes codes up to 6",
        ),
        (
            np.zeros((1, 2, 3), np.uint8),
            "index4",
            {"palette": ["#000", "#fff"], "codes": [0, 1, 2]},
            "3 codes for a palette of 2 colours",
        ),
        (
            np.zeros((1, 2, 3), np.uint8),
            "index4",
            {"palette": ["#000", "#fff"], "codes": [3, 3]},
            "repeat a code",
        ),
        (np.zeros((1, 2, 3), np.uint8), "index8", {"codes": [0, 1]}, "needs a palette"),
        (np.zeros((1, 2, 3), np.uint8), "index4", {"panel": "inky"}, "unknown panel 'inky'"),
        (np.zeros((1, 1, 5), np.uint8), "rgb332", {}, "5 channels"),
    ],
)
def test_pack_rejects_what_the_format_cannot_hold(image, fmt, options, message):
    with pytest.raises(ValueError, match=message):
        pack(image, fmt, **options)


@pytest.mark.parametrize(
    "data, fmt, width, height, message",
    [
        (b"\x00" * 3, "mono", 9, 2, "9x2 in format 'mono' takes 4 bytes, got 3"),
        (b"\x00" * 5, "rgb565", 1, 2, "takes 4 bytes"),
        (b"\x00\x00", "mono", 0, 2, "width must be a positive int"),
        (b"\x1b@" + b"\x00" * 8, "escpos", 8, 1, "no raster command"),
        (b"\x1d\x76\x30\x00\x01\x00\x02\x00\xff", "escpos", 8, 2, "cut short"),
        (b"\x1d\x76\x30\x00\x02\x00\x01\x00\xff\xff", "escpos", 8, 1, "2 bytes per row"),
        (b"\x1d\x76\x30\x00\x01\x00\x01\x00\xff", "escpos", 8, 2, "hold 1 rows, expected 2"),
        (b"\x00\x80", "bwr", 1, 1, "ink in both planes"),
        (b"\x70", "index4", 2, 1, "index 7, the palette has 7 colours"),
    ],
)
def test_unpack_rejects_data_that_do_not_fit(data, fmt, width, height, message):
    with pytest.raises(ValueError, match=message):
        unpack(data, fmt, width, height)


def test_unpack_rejects_a_code_the_panel_does_not_use():
    with pytest.raises(ValueError, match=r"column 1\) has index 4, it stands for no colour"):
        unpack(b"\x14", "index4", 2, 1, panel="spectra6")


@pytest.mark.parametrize("size", [0, 1, 15, 16, 17, 100])
def test_c_header_round_trips(size):
    data = bytes(np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8))
    text = c_header(data, "panel_image", 12, 7, format="gray2")
    assert "#define PANEL_IMAGE_WIDTH 12" in text and f"panel_image[{size}]" in text
    assert parse_c_header(text) == ("panel_image", 12, 7, data)


@pytest.mark.parametrize(
    "text, message",
    [
        ("int x;", "no 'uint8_t name"),
        ("const uint8_t a[] = {1, 2};", "no A_WIDTH"),
        ("#define A_WIDTH 1\n#define A_HEIGHT 1\nuint8_t a[] = {0x100};", "not a byte"),
        (
            "#define A_WIDTH 1\n#define A_HEIGHT 1\nuint8_t a[] = {zz};",
            "'zz' in array 'a' is not a number",
        ),
    ],
)
def test_parse_c_header_rejects(text, message):
    with pytest.raises(ValueError, match=message):
        parse_c_header(text)


@pytest.mark.parametrize("name", ["1abc", "a-b", "", None])
def test_c_header_needs_an_identifier(name):
    with pytest.raises(ValueError, match="C identifier"):
        c_header(b"", name, 1, 1)


@pytest.mark.parametrize("fmt", sorted(FORMATS))
def test_dithering_to_a_formats_target_packs(fmt):
    """What dither_target asks for always fits the format, and unpacks to itself."""
    target = dither_target(fmt)
    rgb = np.random.default_rng(5).integers(0, 256, (9, 13, 3), dtype=np.uint8)
    palette = target.palette or (preset("pico8") if fmt == "index8" else preset("gameboy"))
    if target.gray:
        image = tonalis.dither(rgb[:, :, 1], levels=target.levels)
    elif isinstance(target.levels, tuple):
        image = dither_channels(rgb, "fs", target.levels)
    else:
        image = tonalis.dither(rgb, palette=palette)
    options = {} if target.levels is not None else {"palette": palette}
    assert target.name == fmt
    assert np.array_equal(unpack(pack(image, fmt, **options), fmt, 13, 9, **options), image)


@pytest.mark.parametrize(
    "alias, name", [("1BPP", "mono"), ("black-red", "bwr"), ("GS v 0", "escpos")]
)
def test_dither_target_resolves_aliases(alias, name):
    assert dither_target(alias).name == name
