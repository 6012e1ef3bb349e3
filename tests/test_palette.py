"""Palette argument parsing, its messages, and the nearest-colour choice."""

import numpy as np
import pytest
import reference as ref
from reference import assert_images_equal

import tonalis

ed = tonalis.error_diffusion
RNG = np.random.default_rng(5)
RGB = RNG.integers(0, 256, (6, 8, 3), dtype=np.uint8)
BW = ["#000", "#fff"]

SEQ = 'palette must be a sequence of colors, e.g. ["#000", "#fff"] or [(0, 0, 0), (255, 255, 255)]'
ENTRY = "palette entries must be hex strings like '#0f380f' or (r, g, b) tuples"
COUNT = "palette color must have exactly 3 components (r, g, b), got "
RANGE = "palette color components must be in 0..=255, got "
FEW = "palette must contain at least 2 colors"
MANY = "palette must contain at most 4096 colors"


def bad_hex(quoted):
    return f"invalid hex color {quoted}; expected '#rgb' or '#rrggbb'"


class StrSub(str):
    pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (entry, the colour it stands for)
ENTRIES = [
    ("#000", (0, 0, 0)),
    ("000", (0, 0, 0)),
    ("#FFF", (255, 255, 255)),
    ("#fff", (255, 255, 255)),
    ("#ffffff", (255, 255, 255)),
    ("FFFFFF", (255, 255, 255)),
    ("#0f380f", (15, 56, 15)),
    ("#08f", (0, 136, 255)),
    ("#AbC", (170, 187, 204)),
    ("a1B2c3", (161, 178, 195)),
    (StrSub("#123"), (17, 34, 51)),
    ((255, 0, 0), (255, 0, 0)),
    ([255, 0, 0], (255, 0, 0)),
    (np.array([255, 0, 0]), (255, 0, 0)),
    (np.array([9, 8, 7], np.uint8), (9, 8, 7)),
    ((np.int64(200), np.uint8(100), Index(50)), (200, 100, 50)),
    ((True, False, True), (1, 0, 1)),
    (bytes([40, 50, 60]), (40, 50, 60)),
]


@pytest.mark.parametrize("entry,rgb", ENTRIES)
def test_entry_forms(entry, rgb):
    img = np.array([[rgb, (128, 128, 128)]], np.uint8)
    out = ed(img, palette=[(1, 2, 3), entry], strength=0.0)
    assert out[0, 0].tolist() == list(rgb)


INVALID_HEX = [
    ("#12", '"#12"'),
    ("#ggg", '"#ggg"'),
    ("", '""'),
    ("#", '"#"'),
    ("##fff", '"##fff"'),
    (" #fff", '" #fff"'),
    ("#fff ", '"#fff "'),
    ("#fffff", '"#fffff"'),
    ("#1234", '"#1234"'),
    ("#fffffff", '"#fffffff"'),
    ("0x123", '"0x123"'),
    ("#ff\t", '"#ff\\t"'),
    ('#"12', '"#\\"12"'),
    ("#\\12", '"#\\\\12"'),
    ("#\x00ff", '"#\\0ff"'),
    ("#f\u0301f", '"#f\\u{301}f"'),
    ("#\uff46\uff46\uff46", '"#\uff46\uff46\uff46"'),
    ("#\u0661\u0662\u0663", '"#\u0661\u0662\u0663"'),
    ("#caf\u00e9", '"#caf\u00e9"'),
]


@pytest.mark.parametrize("entry,quoted", INVALID_HEX)
def test_invalid_hex(entry, quoted):
    with pytest.raises(ValueError) as info:
        ed(RGB, palette=["#000", entry])
    assert str(info.value) == bad_hex(quoted)


def _many(n, bad_at=None):
    pal = [(i % 256, i // 256, 0) for i in range(n)]
    if bad_at is not None:
        pal[bad_at] = "#12"
    return pal


PARSE_ERRORS = [
    ("#000", TypeError, SEQ),
    (StrSub("#000"), TypeError, SEQ),
    (5, TypeError, "'int' object is not iterable"),
    ([], ValueError, FEW),
    ([(0, 0, 0)], ValueError, FEW),
    ([(1, 2)], ValueError, COUNT + "2"),
    ([(255, 0), "#fff"], ValueError, COUNT + "2"),
    ([(1, 2, 3, 4), "#fff"], ValueError, COUNT + "4"),
    ([(), "#fff"], ValueError, COUNT + "0"),
    ([np.zeros(5, np.int64), "#fff"], ValueError, COUNT + "5"),
    ([(256, 0, 0), "#fff"], ValueError, RANGE + "[256, 0, 0]"),
    ([(0, 0, 2**63 - 1), "#fff"], ValueError, RANGE + "[0, 0, 9223372036854775807]"),
    ([(0, -(2**63), 0), "#fff"], ValueError, RANGE + "[0, -9223372036854775808, 0]"),
    ([(0, 0, 2**63), "#fff"], TypeError, ENTRY),
    ([(255.0, 0, 0), "#fff"], TypeError, ENTRY),
    ([("a", "b"), "#fff"], TypeError, ENTRY),
    ([5, "#fff"], TypeError, ENTRY),
    ([{0, 1, 2}, "#fff"], TypeError, ENTRY),
    ([np.array([255.0, 0.0, 0.0]), "#fff"], TypeError, ENTRY),
    # the first bad entry is reported; later ones are never looked at
    ([(0, 0, 0), "#12", (256, 0, 0)], ValueError, bad_hex('"#12"')),
    ([(256, 0, 0), "#12"], ValueError, RANGE + "[256, 0, 0]"),
    ([(0, 0, 0), 7.5, "#12"], TypeError, ENTRY),
    # entries are checked before the count
    ([(1, 2)] * 5000, ValueError, COUNT + "2"),
    (_many(5000, bad_at=2500), ValueError, bad_hex('"#12"')),
    (_many(4097, bad_at=4096), ValueError, bad_hex('"#12"')),
    (_many(4097), ValueError, MANY),
]


@pytest.mark.parametrize("palette,exc,message", PARSE_ERRORS)
def test_parse_errors(palette, exc, message):
    with pytest.raises(exc) as info:
        ed(RGB, palette=palette)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_palette_errors_come_before_image_errors():
    for image in (
        None,
        np.zeros((2, 2)),
        np.zeros((2, 2), np.uint8),
        np.zeros((0, 3, 3), np.uint8),
    ):
        with pytest.raises(ValueError, match="^palette must contain at least 2 colors$"):
            ed(image, palette=["#000"])


class Boom(Exception):
    pass


def _failing_generator():
    yield "#000"
    yield "#fff"
    raise Boom("palette ran dry")


class FailingIterable:
    def __iter__(self):
        raise Boom("no iterator")


@pytest.mark.parametrize("palette", [_failing_generator, FailingIterable])
def test_iteration_errors_pass_through(palette):
    with pytest.raises(Boom):
        ed(None, palette=palette())


class Colours:
    """Iterable, but not a sequence."""

    def __iter__(self):
        return iter([(0, 0, 0), (255, 0, 0), (0, 0, 255), (255, 255, 255)])


FOUR = [(0, 0, 0), (255, 0, 0), (0, 0, 255), (255, 255, 255)]


@pytest.mark.parametrize(
    "palette",
    [
        lambda: tuple(FOUR),
        lambda: (c for c in FOUR),
        lambda: iter(FOUR),
        Colours,
        lambda: np.array(FOUR, np.uint8),
        lambda: np.array(FOUR, np.int64),
        lambda: ["#000", "#f00", "#00f", "#fff"],
        lambda: [list(c) for c in FOUR],
    ],
)
def test_iterables_accepted(palette):
    assert_images_equal(ed(RGB, palette=palette()), ed(RGB, palette=FOUR))


def test_limits_of_colour_count():
    two = ed(RGB, palette=BW)
    assert_images_equal(ed(RGB, palette=BW, levels=2), two)
    pal = _many(4096)
    small = RGB[:2, :3]
    assert_images_equal(
        ed(small, palette=pal, strength=0.0),
        ref.error_diffusion(small, "floyd_steinberg", palette=pal, strength=0.0),
    )


@pytest.mark.parametrize(
    "pixel,palette,linear,expected",
    [
        ((127, 127, 127), [(0, 0, 0), (254, 254, 254)], False, (0, 0, 0)),
        ((127, 127, 127), [(254, 254, 254), (0, 0, 0)], False, (254, 254, 254)),
        (
            (10, 20, 30),
            [(50, 50, 50), (11, 20, 30), (10, 21, 30), (9, 20, 30)],
            False,
            (11, 20, 30),
        ),
        ((10, 20, 30), [(10, 20, 31), (10, 20, 29)], False, (10, 20, 31)),
        ((10, 20, 30), [(10, 20, 30), (10, 20, 30), (10, 20, 31)], True, (10, 20, 30)),
        ((0, 0, 0), [(0, 0, 1), (0, 1, 0), (1, 0, 0)], True, (0, 0, 1)),
    ],
)
def test_first_of_equally_near_colours_wins(pixel, palette, linear, expected):
    out = ed(np.array([[pixel]], np.uint8), palette=palette, strength=0.0, linear=linear)
    assert tuple(int(v) for v in out[0, 0]) == expected


def test_colours_compared_in_working_space():
    img = np.full((1, 1, 3), 128, np.uint8)
    pal = [(0, 0, 0), (255, 255, 255), (188, 188, 188)]
    assert ed(img, palette=pal, strength=0.0)[0, 0].tolist() == [188] * 3
    assert ed(img, palette=pal, strength=0.0, linear=True)[0, 0].tolist() == [0] * 3


@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("size", [2, 3, 16, 200])
def test_nearest_colour_matches_reference(size, linear):
    rng = np.random.default_rng(size)
    pal = [tuple(int(v) for v in c) for c in rng.integers(0, 256, (size, 3))]
    img = rng.integers(0, 256, (9, 11, 4), dtype=np.uint8)
    out = ed(img, palette=pal, strength=0.0, linear=linear)
    assert_images_equal(
        out, ref.error_diffusion(img, "floyd_steinberg", palette=pal, strength=0.0, linear=linear)
    )


# The threshold engines shift each channel by the palette's per-channel spread
# (the mean gap between its distinct values), which for evenly spaced grays
# equals the level step: dithering gray pixels to such a palette must then
# match dithering each channel to the same number of levels.  The default
# 8x8 matrix keeps every shifted value clear of the decision boundaries.
@pytest.mark.parametrize(
    "palette,levels",
    [
        (["#000", "#fff"], 2),
        (["#fff", "#000", "#fff", "#000"], 2),
        (["#aaa", "#000", "#555", "#fff", "#555"], 4),
    ],
)
def test_spread_matches_level_step(palette, levels):
    gray = np.random.default_rng(levels).integers(0, 256, (16, 16), dtype=np.uint8)
    rgb = np.dstack([gray] * 3)
    out = tonalis.ordered_dither(rgb, palette=palette)
    assert_images_equal(out, np.dstack([tonalis.ordered_dither(gray, levels=levels)] * 3))
