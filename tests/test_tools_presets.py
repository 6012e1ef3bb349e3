"""Palette presets, palette text and adaptive palettes."""

import re

import numpy as np
import pytest

import tonalis
from tonalis_tools.presets import PRESETS, adaptive_palette, parse_palette, preset, preset_names

HEX = re.compile(r"#[0-9a-f]{6}")

# Name -> colour count, as documented.
EXPECTED_SIZES = {
    "bw": 2,
    "gray4": 4,
    "gray16": 16,
    "gameboy": 4,
    "cga": 4,
    "ega16": 16,
    "pico8": 16,
    "websafe": 216,
    "epaper-bwr": 3,
    "epaper-bwy": 3,
    "epaper-7": 7,
    "epaper-6": 6,
}


def test_documented_presets_exist():
    assert {name: len(preset(name)) for name in preset_names()} == EXPECTED_SIZES


@pytest.mark.parametrize("name", sorted(EXPECTED_SIZES))
def test_preset_colours_are_distinct_hex(name):
    colours = preset(name)
    assert all(HEX.fullmatch(c) for c in colours)
    assert len(set(colours)) == len(colours)


@pytest.mark.parametrize("name", sorted(EXPECTED_SIZES))
def test_module_accepts_preset_and_uses_only_its_colours(name):
    rng = np.random.default_rng(5)
    image = rng.integers(0, 256, (24, 24, 3), dtype=np.uint8)
    out = tonalis.dither(image, "fs", palette=preset(name))
    used = {"#{:02x}{:02x}{:02x}".format(*px) for px in out.reshape(-1, 3)}
    assert used <= set(preset(name))


@pytest.mark.parametrize("name", ["gray4", "gray16"])
def test_gray_presets_match_levels(name):
    ramp = np.dstack([np.arange(256, dtype=np.uint8).reshape(16, 16)] * 3)
    count = EXPECTED_SIZES[name]
    assert np.array_equal(
        tonalis.dither(ramp, palette=preset(name), strength=0.0),
        tonalis.dither(ramp, levels=count, strength=0.0),
    )


@pytest.mark.parametrize(
    "alias, name",
    [
        ("PICO-8", "pico8"),
        ("Game Boy", "gameboy"),
        ("grey_4", "gray4"),
        ("EGA", "ega16"),
        ("web-safe-216", "websafe"),
        ("ePaper_BWR", "epaper-bwr"),
        ("black-white", "bw"),
        ("epaper 7 colour", "epaper-7"),
    ],
)
def test_loose_names_and_aliases(alias, name):
    assert preset(alias) == PRESETS[name][1]


def test_unknown_preset_lists_the_names():
    with pytest.raises(ValueError, match=r"unknown palette preset 'nope'.*pico8"):
        preset("nope")
    with pytest.raises(TypeError):
        preset(3)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("#000,#fff", ["#000000", "#ffffff"]),
        ("000 FFF  ff0000", ["#000000", "#ffffff", "#ff0000"]),
        ("# a comment\n#102030 # dark\n\n#a0b0c0\n", ["#102030", "#a0b0c0"]),
        (
            "GIMP Palette\nName: two\nColumns: 2\n#\n  0   0   0\tBlack\n255 128 1 Orange\n",
            ["#000000", "#ff8001"],
        ),
    ],
)
def test_parse_palette(text, expected):
    assert parse_palette(text) == expected


@pytest.mark.parametrize(
    "text, message",
    [
        ("#12", "invalid hex color"),
        ("#ggg", "invalid hex color"),
        ("", "no colours"),
        ("# only a comment", "no colours"),
        ("GIMP Palette\n256 0 0 x\n", "out of range"),
    ],
)
def test_parse_palette_rejects(text, message):
    with pytest.raises(ValueError, match=message):
        parse_palette(text)


def test_adaptive_palette_picks_the_image_colours():
    pytest.importorskip("PIL")
    image = np.zeros((20, 30, 3), dtype=np.uint8)
    image[:, 10:20] = (200, 30, 40)
    image[:, 20:] = (10, 120, 250)
    assert sorted(adaptive_palette(image, 8)) == ["#000000", "#0a78fa", "#c81e28"]


def test_adaptive_palette_is_most_used_first_and_bounded():
    pytest.importorskip("PIL")
    rng = np.random.default_rng(1)
    image = rng.integers(0, 256, (32, 32, 3), dtype=np.uint8)
    image[:24] = (250, 250, 250)
    colours = adaptive_palette(image, 6)
    assert len(colours) <= 6 and all(HEX.fullmatch(c) for c in colours)
    assert colours[0] == "#fafafa"
    tonalis.dither(image, palette=colours)


@pytest.mark.parametrize("colors, error", [(1, ValueError), (257, ValueError), (2.5, TypeError)])
def test_adaptive_palette_rejects_counts(colors, error):
    pytest.importorskip("PIL")
    with pytest.raises(error):
        adaptive_palette(np.zeros((4, 4, 3), np.uint8), colors)


def test_adaptive_palette_of_a_flat_image_fails():
    pytest.importorskip("PIL")
    with pytest.raises(ValueError, match="single colour"):
        adaptive_palette(np.full((4, 4, 3), 9, np.uint8), 4)
