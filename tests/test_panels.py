"""Gray panels, the panels' tone and gamut map, the gray-photo detector and
fitting to a panel's size."""

import numpy as np
import pytest

import tonalis
from tonalis_tools import (
    PANEL_SIZES,
    diffuse,
    dither,
    fit_image,
    is_gray_photo,
    neutral_indices,
    pack,
    panel_palette,
    panel_size,
    prepare_for_palette,
    unpack,
)
from tonalis_tools.palettes.gamut import cube_root, from_oklab, oklab
from tonalis_tools.palettes.profiles import PANEL_PROFILES
from tonalis_tools.palettes.recolor import panel_codes

Image = pytest.importorskip("PIL.Image")

RNG = np.random.default_rng(7)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
RAMP = np.tile(np.linspace(0, 255, 96).round().astype(np.uint8), (16, 1))


# --- gray panels -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, codes, fmt",
    [
        ("gray2", [0, 255], "mono"),
        ("gray4", [0, 85, 170, 255], "gray2"),
        ("gray16", list(range(0, 256, 17)), "gray4"),
    ],
)
def test_gray_panels_dither_to_even_grays_in_linear_light_and_pack(name, codes, fmt):
    assert [int(c[1:3], 16) for c in panel_palette(name)] == codes
    assert panel_codes(name) == list(range(len(codes)))
    out = dither(RAMP, panel=name)
    assert sorted(np.unique(out).tolist()) == codes
    # Linear light along serpentine rows, to the gray palette: not the levels
    # tonalis makes in linear light (0, 156, 213, 255 for four).
    assert np.array_equal(
        out,
        diffuse(np.dstack([RAMP] * 3), palette=panel_palette(name), linear=True, serpentine=True),
    )
    # Black is code 0 in the panel's pack format, and the bytes read back.
    data = pack(out, fmt)
    assert np.array_equal(unpack(data, fmt, 96, 16), out[..., 0])
    assert pack(np.zeros((1, 8), np.uint8), fmt)[0] == 0


def test_a_gray_panel_keeps_midtones_as_light_as_the_original():
    flat = np.full((32, 32), 128, np.uint8)
    out = dither(flat, panel="gray2")[..., 0]
    linear = (out == 255).mean()
    assert abs(linear - 0.2158) < 0.02  # sRGB 128 is 21.6 % of white's light


# --- the tone and gamut map ----------------------------------------------------


def test_oklab_round_trips_every_code_and_cube_roots_are_exact_on_cubes():
    codes = np.arange(256, dtype=np.uint8)
    grid = np.stack(np.meshgrid(codes, codes[::5], codes[::17], indexing="ij"), -1)
    assert np.array_equal(from_oklab(oklab(grid)), grid)
    values = np.arange(1, 200, dtype=np.float64)
    assert np.array_equal(cube_root(values**3), values)
    x = RNG.random(1000) * 4
    assert np.allclose(cube_root(x) ** 3, x, rtol=1e-15, atol=0)


def test_lightness_map_keeps_midtones_and_rolls_ends_into_the_panel():
    shown = panel_palette("spectra6")
    gray = np.repeat(RAMP[:, :, None], 3, axis=2)
    out = prepare_for_palette(gray, shown, lightness=1.0, chroma=0.0)
    lab, before = oklab(out)[..., 0], oklab(gray)[..., 0]
    black, white = oklab(np.array([[2, 2, 2], [0xB3, 0xB6, 0xAB]], np.uint8))[:, 0]
    # Monotone, inside the panel's range, the ends on its black and white.
    assert (np.diff(lab[0]) >= -1e-3).all()
    assert lab.max() <= white + 0.01 and lab.min() >= black - 0.01
    assert abs(lab[0, -1] - white) < 0.01
    # Midtones keep their lightness.
    middle = np.abs(before[0] - 0.45) < 0.05
    assert np.abs(lab[0][middle] - before[0][middle]).max() < 0.01
    # Half the map lands halfway; none leaves the image as it is.
    half = oklab(prepare_for_palette(gray, shown, lightness=0.5, chroma=0.0))[..., 0]
    assert np.allclose(half[0, -1], (before[0, -1] + lab[0, -1]) / 2, atol=0.01)
    assert prepare_for_palette(gray, shown, lightness=0.0, chroma=0.0) is gray


def test_chroma_map_takes_grays_to_the_panels_grays_and_bounds_chroma():
    shown = panel_palette("acep7")
    out = prepare_for_palette(RGB, shown, lightness=0.0, chroma=1.0)
    before, after = oklab(RGB), oklab(out)
    chroma = lambda lab: np.hypot(lab[..., 1], lab[..., 2])  # noqa: E731
    assert (chroma(after) <= chroma(before) + 0.04).all()
    assert chroma(after).max() < chroma(before).max()
    # A palette whose colours lie on one line through gray bounds nothing.
    line = prepare_for_palette(RGB, ["#000000", "#ffffff", "#ff0000"], lightness=0, chroma=1)
    assert np.abs(chroma(oklab(line)) - chroma(before)).max() < 0.02


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L"])
def test_prepare_keeps_kind_shape_and_alpha(mode):
    image = Image.fromarray(RGB).convert(mode)
    out = prepare_for_palette(image, panel_palette("spectra6"), lightness=1.0, chroma=0.5)
    assert out.mode == mode and out.size == image.size
    if mode == "RGBA":
        assert np.array_equal(np.asarray(out)[..., 3], np.asarray(image)[..., 3])


@pytest.mark.parametrize("share", [-0.1, 1.5])
def test_shares_outside_zero_to_one_are_refused(share):
    with pytest.raises(ValueError, match="share from 0 to 1"):
        dither(RGB, panel="spectra6", lightness_map=share)
    with pytest.raises(ValueError, match="share from 0 to 1"):
        prepare_for_palette(RGB, ["#000", "#fff"], lightness=0, chroma=share)


def test_panel_profiles_say_their_maps_and_dither_uses_them():
    assert "lightness map 0.75" in PANEL_PROFILES["spectra6"].describe()
    assert "lightness map 0.4, chroma map 0.1" in PANEL_PROFILES["acep7"].describe()
    assert "chroma map 0.25" in PANEL_PROFILES["bwyr"].describe()
    # Off, the panel dithers as it did without the map.
    plain = dither(RGB, panel="spectra6", lightness_map=0, chroma_map=0)
    assert not np.array_equal(plain, dither(RGB, panel="spectra6"))
    assert np.array_equal(
        dither(RGB, palette=panel_palette("spectra6"), exact=True),
        tonalis.dither(RGB, palette=panel_palette("spectra6")),
    )


# --- gray photographs on colour palettes --------------------------------------


@pytest.mark.parametrize(
    "image, gray",
    [
        (RAMP, True),
        (np.repeat(RAMP[:, :, None], 3, axis=2), True),
        (np.dstack([RAMP, RAMP, np.clip(RAMP.astype(int) + 8, 0, 255).astype(np.uint8)]), True),
        (RGB, False),
        (np.dstack([RAMP, RAMP, RAMP // 2]), False),  # sepia-like
    ],
    ids=["2-D", "RGB grays", "slight tint", "colour", "sepia"],
)
def test_gray_photos_are_told_apart(image, gray):
    assert is_gray_photo(image) is gray


def test_pil_gray_modes_are_gray_and_transparent_pixels_do_not_count():
    assert is_gray_photo(Image.fromarray(RGB).convert("LA"))
    rgba = np.dstack([RGB, np.zeros(RGB.shape[:2], np.uint8)])
    rgba[:, :4, :3] = 90
    rgba[:, :4, 3] = 255
    assert is_gray_photo(rgba)


@pytest.mark.parametrize("panel", ["acep7", "spectra6", "bwr", "bwyr"])
@pytest.mark.parametrize("as_pil", [False, True])
def test_a_gray_ramp_on_a_colour_panel_gets_only_its_neutrals(panel, as_pil):
    image = Image.fromarray(RAMP) if as_pil else RAMP
    driver = panel_palette(panel, measured=False)
    neutral = {driver[i] for i in neutral_indices(panel_palette(panel))}
    out = np.asarray(dither(image, panel=panel))
    used = {"#{:02x}{:02x}{:02x}".format(*p) for p in np.unique(out.reshape(-1, 3), axis=0)}
    assert used <= neutral and len(used) >= 2
    if panel in ("acep7", "spectra6"):
        # Turned off, colours come back (the lilac speckles).
        speckled = np.asarray(dither(image, panel=panel, gray_photos=False))
        assert len(np.unique(speckled.reshape(-1, 3), axis=0)) > len(used)


def test_a_gray_photo_stays_gray_and_colour_photos_are_untouched():
    photo = np.asarray(Image.fromarray(RGB).convert("L").convert("RGB"))
    out = dither(photo, preset="pico8")
    assert (out.max(axis=2) - out.min(axis=2) <= 30).all()  # pico8's warm grays
    assert np.array_equal(
        dither(RGB, preset="pico8"), dither(RGB, preset="pico8", gray_photos=False)
    )
    # A palette without two neutral colours, or one of grays only, is left alone.
    assert neutral_indices(["#0f380f", "#306230", "#8bac0f", "#9bbc0f"]) is None
    assert neutral_indices(["#000000", "#808080", "#ffffff"]) is None


# --- fitting to a panel ------------------------------------------------------


def test_panel_sizes_parse():
    assert panel_size("1600x1200") == (1600, 1200) == PANEL_SIZES["spectra6-13.3"]
    assert panel_size("ACeP7 5.65") == (600, 448)
    with pytest.raises(ValueError, match="unknown panel size"):
        panel_size("huge")


WIDE = np.arange(24, dtype=np.uint8).reshape(4, 6) * 10  # 6 wide, 4 high


@pytest.mark.parametrize(
    "size, mode, expected",
    [
        # cover, no scaling needed on one axis: the centre columns.
        ((4, 4), "cover", WIDE[:, 1:5]),
        # crop: centred, an odd overflow leaves the extra column on the right.
        ((3, 4), "crop", WIDE[:, 1:4]),
        ((6, 2), "crop", WIDE[1:3]),
        # the same size: the pixels as they are.
        ((6, 4), "contain", WIDE),
        ((6, 4), "cover", WIDE),
    ],
)
def test_fit_without_scaling_moves_whole_pixels(size, mode, expected):
    assert np.array_equal(fit_image(WIDE, size, mode=mode, rotate=False), expected)


def test_contain_letterboxes_and_crop_pads_on_the_background():
    out = fit_image(WIDE, (6, 6), mode="crop", rotate=False, background="black")
    assert np.array_equal(out[1:5], WIDE) and not out[0].any() and not out[5].any()
    colour = fit_image(WIDE, (6, 6), mode="contain", rotate=False, background="red")
    assert colour.shape == (6, 6, 3)
    assert (colour[0] == (255, 0, 0)).all() and (colour[5] == (255, 0, 0)).all()
    assert np.array_equal(colour[1:5, :, 0], WIDE)
    # Shrunk to fit: 12 x 8 into 3 x 3 is 3 x 2 inside a row of paper.
    big = np.kron(WIDE, np.ones((2, 2), np.uint8))
    small = fit_image(big, (3, 3), mode="contain", rotate=False)
    assert small.shape == (3, 3) and (small[2] == 255).all()


def test_scaling_averages_light_not_codes():
    stripes = np.tile(np.array([0, 255], np.uint8), (8, 16))  # 32 x 8
    half = fit_image(stripes, (16, 4), mode="cover")
    assert abs(int(half[2, 8]) - 188) <= 1  # half the light is sRGB 188
    assert fit_image(np.full((9, 7, 3), 77, np.uint8), (20, 30)).min() == 77


@pytest.mark.parametrize(
    "shape, size, rotate, expected",
    [
        ((30, 20), (60, 40), True, (40, 60)),  # portrait onto landscape: turned
        ((30, 20), (60, 40), False, (40, 60)),
        ((20, 30), (60, 40), True, (40, 60)),  # already landscape
        ((20, 20), (60, 40), True, (40, 60)),  # square: nothing to gain
    ],
)
def test_rotation_for_the_panels_orientation(shape, size, rotate, expected):
    image = RNG.integers(0, 256, shape + (3,), dtype=np.uint8)
    out = fit_image(image, size, mode="crop", rotate=rotate, background="black")
    assert out.shape[:2] == expected
    kept = np.rot90(image) if rotate and shape[0] > shape[1] else image
    top, left = (40 - kept.shape[0]) // 2, (60 - kept.shape[1]) // 2
    assert np.array_equal(out[top : top + kept.shape[0], left : left + kept.shape[1]], kept)


def test_fit_keeps_pil_and_alpha():
    rgba = Image.fromarray(np.dstack([RGB, np.full(RGB.shape[:2], 128, np.uint8)]))
    out = fit_image(rgba, (10, 10), mode="contain", rotate=False)
    assert out.mode == "RGBA" and out.size == (10, 10)
    assert (np.asarray(out)[0, :, 3] == 255).all()  # paper around it is opaque
    assert 120 <= np.asarray(out)[5, 5, 3] <= 136


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"size": (0, 5)}, ValueError, "at least 1 x 1"),
        ({"size": (5,)}, TypeError, "width, height"),
        ({"size": (4, 4), "mode": "stretch"}, ValueError, "cover, contain, crop"),
        ({"size": (4, 4), "rotate": "yes"}, TypeError, "rotate must be a bool"),
        ({"size": (4, 4), "background": "nope"}, ValueError, "nope"),
        ({"size": (1 << 15, 1 << 15)}, ValueError, "more than"),
    ],
)
def test_fit_rejects(kwargs, error, message):
    with pytest.raises(error, match=message):
        fit_image(WIDE, **kwargs)


def test_dither_fits_before_dithering():
    out = dither(RGB, panel="spectra6", size="12x40", fit="contain")
    assert out.shape == (40, 12, 3)
    assert np.array_equal(out, dither(fit_image(RGB, (12, 40), mode="contain"), panel="spectra6"))
    with pytest.raises(ValueError, match="give size too"):
        dither(RGB, panel="spectra6", fit="cover")
