"""Recolouring by palette index, and the panel palettes."""

import re

import numpy as np
import pytest

import tonalis
from tonalis_tools.recolor import (
    PANEL_CODES,
    PANELS,
    palette_indices,
    panel_codes,
    panel_names,
    panel_palette,
    recolor,
)

HEX = re.compile(r"#[0-9a-f]{6}")


@pytest.mark.parametrize("name", sorted(PANELS))
def test_panel_tables_are_consistent(name):
    description, source, measured, driver = PANELS[name]
    assert all(HEX.fullmatch(c) for c in driver) and len(set(driver)) == len(driver)
    if measured is None:
        assert source is None and "nominal" in description
        assert panel_palette(name) == driver
    else:
        # A measurement always names where it was published.
        assert source and "https://" in source
        assert len(measured) == len(driver) and len(set(measured)) == len(measured)
        assert all(HEX.fullmatch(c) for c in measured)
        assert panel_palette(name) == measured
    assert panel_palette(name, measured=False) == driver


# The code each panel's controller takes for each colour, written out from
# the drivers' own constants (Pimoroni's inky: inky_e673.py, inky_uc8159.py,
# inky.py, inky_jd79661.py; Waveshare's epd7in3e.py, epd5in65f.py and
# epd4in37g.py), not from PANEL_CODES.
DRIVER_CODES = {
    "spectra6": {
        "#000000": 0,
        "#ffffff": 1,
        "#ffff00": 2,
        "#ff0000": 3,
        "#0000ff": 5,
        "#00ff00": 6,
    },
    "acep7": {
        "#000000": 0,
        "#ffffff": 1,
        "#00ff00": 2,
        "#0000ff": 3,
        "#ff0000": 4,
        "#ffff00": 5,
        "#ff8000": 6,
    },
    "bwr": {"#ffffff": 0, "#000000": 1, "#ff0000": 2},
    "bwy": {"#ffffff": 0, "#000000": 1, "#ffff00": 2},
    "bwyr": {"#000000": 0, "#ffffff": 1, "#ffff00": 2, "#ff0000": 3},
    # Waveshare's getbuffer (1 bit, 1 = white), getbuffer_4Gray (black 0 ..
    # white 3) and its IT8951 driver (4 bits, black 0 .. white 15).
    "gray2": {"#000000": 0, "#ffffff": 1},
    "gray4": {"#000000": 0, "#555555": 1, "#aaaaaa": 2, "#ffffff": 3},
    "gray16": {f"#{17 * k:02x}" * 1 + f"{17 * k:02x}" * 2: k for k in range(16)},
}


@pytest.mark.parametrize("name", sorted(PANELS))
def test_every_panel_has_its_controllers_codes(name):
    assert sorted(PANEL_CODES) == sorted(PANELS) == sorted(DRIVER_CODES)
    driver = panel_palette(name, measured=False)
    assert dict(zip(driver, panel_codes(name))) == DRIVER_CODES[name]
    assert "inky" in PANEL_CODES[name].source or "Waveshare" in PANEL_CODES[name].source
    # A measured colour never equals a driver colour at another position,
    # so an image in either set of colours has one reading.
    for position, colour in enumerate(panel_palette(name)):
        assert colour not in driver or driver.index(colour) == position


@pytest.mark.parametrize("name", sorted(PANELS))
@pytest.mark.parametrize("alpha", [False, True])
def test_dither_measured_then_recolor_by_index(name, alpha):
    rng = np.random.default_rng(2)
    image = rng.integers(0, 256, (12, 15, 4 if alpha else 3), dtype=np.uint8)
    measured, driver = panel_palette(name), panel_palette(name, measured=False)
    dithered = tonalis.dither(image, "fs", palette=measured)
    device = recolor(dithered, measured, driver)
    assert np.array_equal(
        palette_indices(device[..., :3], driver), palette_indices(dithered[..., :3], measured)
    )
    if alpha:
        assert np.array_equal(device[..., 3], image[..., 3])
    # Round trip: back to the measured colours.
    assert np.array_equal(recolor(device, driver, measured), dithered)


def test_recolor_pil_and_text_palettes():
    Image = pytest.importorskip("PIL.Image")
    source = Image.fromarray(np.array([[[0, 0, 0], [255, 255, 255]]], np.uint8))
    out = recolor(source, "#000 #fff", ["#102030", "#405060"])
    assert isinstance(out, Image.Image)
    assert np.array_equal(np.asarray(out), [[[16, 32, 48], [64, 80, 96]]])


def test_repeated_colour_maps_to_its_first_index():
    image = np.full((1, 1, 3), 255, np.uint8)
    assert np.array_equal(recolor(image, ["#fff", "#fff"], ["#111", "#222"]), [[[17, 17, 17]]])


@pytest.mark.parametrize(
    "image, measured, display, error, message",
    [
        (
            np.zeros((1, 2, 3), np.uint8),
            ["#000", "#fff"],
            ["#000"],
            ValueError,
            "differ in length: 2 measured, 1",
        ),
        (
            np.full((1, 2, 3), 7, np.uint8),
            ["#000", "#fff"],
            ["#000", "#fff"],
            ValueError,
            r"pixel \(row 0, column 0\) is #070707, not in measured_palette",
        ),
        (np.zeros((2, 2), np.uint8), ["#000"], ["#fff"], ValueError, "needs an RGB or RGBA image"),
        (
            np.zeros((1, 1, 3), np.uint8),
            [0, 0, 0],
            ["#fff"],
            TypeError,
            "sequence of colour strings",
        ),
    ],
)
def test_recolor_rejects(image, measured, display, error, message):
    with pytest.raises(error, match=message):
        recolor(image, measured, display)


def test_unknown_panel():
    assert panel_names() == list(PANELS)
    with pytest.raises(ValueError, match="unknown panel 'inky'"):
        panel_palette("inky")
    assert panel_palette("Spectra-6") == panel_palette("spectra6")
