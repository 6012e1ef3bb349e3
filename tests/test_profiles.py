"""The settings error diffusion takes where the caller gives none: which
palette gets which, that an option given wins, and that they look better."""

import math

import numpy as np
import pytest

import tonalis
from tonalis_tools import (
    PANELS,
    diffuse,
    dither,
    panel_names,
    panel_palette,
    prepare_for_palette,
    preset,
    preset_names,
    recolor,
)
from tonalis_tools.front import settings
from tonalis_tools.palettes.profiles import (
    MEASURED,
    NOMINAL,
    PRESET_PROFILES,
    palette_kind,
    profile_for,
)
from tonalis_tools.quality import colour_gradient, score

PIL = pytest.importorskip("PIL")
from PIL import Image

from tonalis_tools.gallery import sample_photo

RNG = np.random.default_rng(7)
RGB = RNG.integers(0, 256, (12, 16, 3), dtype=np.uint8)
NOMINAL_PALETTE = ["#000000", "#ffffff", "#ff0000", "#3050c0"]


@pytest.mark.parametrize(
    "colours, kind",
    [
        (["#000000", "#777777", "#ffffff"], "gray"),
        (["#000000", "#010202", "#fefffe"], "gray"),  # a step off gray is still gray
        (["#0f380f", "#306230", "#8bac0f", "#9bbc0f"], "ramp"),
        (["#400008", "#ff2010", "#ff0040"], "ramp"),  # reds either side of hue 0
        (["#000000", "#306230", "#8bac0f"], "nominal"),  # a gray among them
        (["#ff0000", "#00ff00"], "nominal"),
        (["#ff0000"], "nominal"),
    ],
)
def test_palette_kinds(colours, kind):
    assert palette_kind(colours) == kind


def test_every_preset_and_panel_has_a_profile():
    assert set(PRESET_PROFILES) == set(preset_names())
    # A panel's measured colours leave much out of reach: their error is capped.
    for name in panel_names():
        profile = profile_for(panel=name)
        assert profile.linear and profile.serpentine
        if PANELS[name][2] is not None:
            assert profile.error_limit is not None, name


def test_a_new_panel_without_a_profile_gets_a_limit_when_measured(monkeypatch):
    monkeypatch.setitem(
        PANELS, "newpanel", ("test", None, ["#101010", "#c0c0b0"], ["#000", "#fff"])
    )
    monkeypatch.setitem(PANELS, "plainpanel", ("test", None, None, ["#000000", "#ffffff"]))
    assert profile_for(panel="newpanel") is MEASURED
    assert profile_for(["#101010", "#c0c0b0"]) is MEASURED
    assert profile_for(panel="plainpanel") is NOMINAL


@pytest.mark.parametrize(
    "colours, named",
    [
        (panel_palette("spectra6"), {"panel": "spectra6"}),
        (panel_palette("acep7"), {"panel": "acep7"}),
        (preset("ega16"), {"preset": "ega16"}),
        (["#0F380F", "#306230", "#8bac0f", "#9bbc0f"], {"preset": "gb"}),
    ],
    ids=["spectra6", "acep7", "ega16", "gameboy"],
)
def test_colours_listed_find_the_profile_of_their_name(colours, named):
    assert profile_for(colours) is profile_for(**named)


@pytest.mark.parametrize(
    "options",
    [
        {"levels": 2},
        {"levels": 4},
        {"levels": "rgb565"},
        {"preset": "cga", "method": "bayer8x8"},
        {"preset": "cga", "method": "random", "seed": 3},
        {"preset": "cga", "matrix": 4},
    ],
    ids=["levels2", "levels4", "rgb565", "bayer", "random", "matrix"],
)
def test_levels_and_threshold_dithers_keep_tonalis_settings(options):
    options = dict(options)
    method = options.pop("method", "floyd_steinberg")
    chosen = settings(method, **options)
    assert (chosen.linear, chosen.serpentine, chosen.error_limit, chosen.distance) == (
        False,
        False,
        None,
        "rgb",
    )


@pytest.mark.parametrize(
    "given, expected",
    [
        ({}, {"linear": True, "serpentine": True, "error_limit": 24, "distance": "oklab"}),
        ({"linear": False}, {"linear": False, "serpentine": True, "error_limit": 24}),
        ({"serpentine": False}, {"serpentine": False, "error_limit": 24, "distance": "oklab"}),
        ({"distance": "rgb"}, {"distance": "rgb", "error_limit": 24}),
        ({"error_limit": 4}, {"error_limit": 4, "distance": "oklab"}),
        ({"error_limit": math.inf}, {"error_limit": None, "distance": "oklab"}),
    ],
    ids=["profile", "linear", "serpentine", "distance", "limit", "no-limit"],
)
def test_an_option_given_wins_over_the_profile(given, expected):
    chosen = settings(panel="spectra6", **given)
    for name, value in expected.items():
        assert getattr(chosen, name) == value, name
    shown, driver = panel_palette("spectra6"), panel_palette("spectra6", measured=False)
    fields = {k: getattr(chosen, k) for k in ("linear", "serpentine", "error_limit", "distance")}
    # The panel's tone map comes first.
    mapped = prepare_for_palette(RGB, shown, lightness=chosen.lightness_map, chroma=0.0)
    assert chosen.lightness_map == 0.75 and chosen.chroma_map == 0.0
    reference = recolor(diffuse(mapped, palette=shown, **fields), shown, driver)
    assert np.array_equal(dither(RGB, panel="spectra6", **given), reference)


def test_a_negative_infinite_limit_is_refused_not_taken_as_none():
    with pytest.raises(ValueError, match="error_limit must be a number >= 0"):
        dither(RGB, panel="spectra6", error_limit=-math.inf)


def test_exact_gives_tonalis_bytes_where_the_profile_differs():
    plain = tonalis.dither(RGB, palette=NOMINAL_PALETTE)
    assert np.array_equal(dither(RGB, palette=NOMINAL_PALETTE, exact=True), plain)
    assert not np.array_equal(dither(RGB, palette=NOMINAL_PALETTE), plain)
    assert np.array_equal(
        dither(RGB, palette=NOMINAL_PALETTE),
        tonalis.dither(RGB, palette=NOMINAL_PALETTE, linear=True, serpentine=True),
    )


def test_adaptive_palettes_take_the_nominal_profile():
    # Fitted to a green image the palette is one hue; it still takes the
    # nominal profile, as the command line's --colors does.
    green = np.dstack([RGB[:, :, 0] // 4, RGB[:, :, 1], RGB[:, :, 0] // 5]).astype(np.uint8)
    from tonalis_tools import adaptive_palette

    fitted = adaptive_palette(green, 4)
    expected = tonalis.dither(green, palette=fitted, linear=True, serpentine=True)
    assert np.array_equal(dither(green, colors=4), expected)


def _pillow(image, colours):
    flat = [int(c[i : i + 2], 16) for c in colours for i in (1, 3, 5)]
    palette = Image.new("P", (1, 1))
    palette.putpalette(flat + flat[:3] * (256 - len(colours)))
    out = Image.fromarray(image).quantize(palette=palette, dither=Image.Dither.FLOYDSTEINBERG)
    return np.asarray(out.convert("RGB"))


PHOTO = np.asarray(sample_photo(192))
GRADIENT = colour_gradient(192, 64)


@pytest.mark.parametrize(
    "named",
    [{"preset": name} for name in preset_names()] + [{"panel": name} for name in panel_names()],
    ids=lambda named: next(iter(named.values())),
)
def test_defaults_beat_the_old_default_and_pillow_on_both_figures(named):
    colours = preset(named["preset"]) if "preset" in named else panel_palette(named["panel"])
    shown = {}
    for name, image in (("photo", PHOTO), ("gradient", GRADIENT)):
        new = dither(image, **named)
        if "panel" in named and panel_palette(named["panel"], measured=False) != colours:
            new = recolor(new, panel_palette(named["panel"], measured=False), colours)
        shown[name] = (image, new, tonalis.dither(image, palette=colours), _pillow(image, colours))
    for metric in ("oklab", "scielab"):
        new, old, pillow = (
            sum(score(image, results[i], metric) for image, *results in shown.values())
            for i in range(3)
        )
        assert new < old, metric
        assert new < pillow, metric
