"""tonalis_tools.dither: tonalis's bytes for tonalis's options, every method
name of the command line, the refined options, and its errors."""

import itertools

import numpy as np
import pytest

PIL = pytest.importorskip("PIL")
from PIL import Image

import tonalis
import tonalis_tools
from tonalis_tools import (
    blue_noise_matrix,
    dbs,
    diffuse,
    dither,
    dither_channels,
    method_names,
    ordered,
    panel_palette,
    pattern_dither,
    prepare_for_palette,
    preset,
    recolor,
    riemersma,
    screen,
    tone,
    variable_diffuse,
)
from tonalis_tools.cli import main
from tonalis_tools.palettes.profiles import PANEL_PROFILES

RNG = np.random.default_rng(2026)
SHAPES = {"gray": (9, 13), "LA": (9, 13, 2), "RGB": (9, 13, 3), "RGBA": (9, 13, 4)}
IMAGES = {name: RNG.integers(0, 256, shape, dtype=np.uint8) for name, shape in SHAPES.items()}
PALETTE = ["#000000", "#ffffff", "#ff0000", "#3050c0"]
KERNELS = tonalis.available_methods()
MATRICES = tonalis.available_matrices()


def _same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.dtype == b.dtype == np.uint8
    assert a.shape == b.shape
    assert np.array_equal(a, b)


def _cases():
    """(image name, method, options) over the kernels, matrices and random."""
    option_sets = [
        {},
        {"levels": 3},
        {"levels": 16, "serpentine": True},
        {"strength": 0.5},
        {"linear": True, "levels": 4},
        {"preserve_alpha": False, "levels": 2},
    ]
    for image, method, options in itertools.product(IMAGES, KERNELS, option_sets):
        yield image, method, options
    for image, method, options in itertools.product(IMAGES, MATRICES, option_sets[:2]):
        yield image, method, options
    for image, seed in itertools.product(IMAGES, (0, 1, 2**63)):
        yield image, "random", {"seed": seed, "levels": 3}
    for image, method in itertools.product(("RGB", "RGBA"), ("atkinson", "bayer4x4", "random")):
        yield image, method, {"palette": PALETTE, "seed": 5}


@pytest.mark.parametrize("exact", [True, False], ids=["exact", "default"])
@pytest.mark.parametrize("image, method, options", list(_cases()))
def test_tonalis_options_give_tonalis_bytes(image, method, options, exact):
    array = IMAGES[image]
    options = dict(options)
    if method != "random":
        options.pop("seed", None)
    expected = tonalis.dither(array, method, **options)
    # Without exact, tonalis's options in full: what they leave out comes
    # from the palette's profile.
    given = options if exact else {"serpentine": False, "linear": False} | options
    _same(dither(array, method, exact=exact, **given), expected)
    # The specialised calls of tonalis give what the front door gives.
    if method in KERNELS:
        _same(tonalis.error_diffusion(array, method, **options), expected)
    elif method == "random":
        _same(tonalis.random_dither(array, **options), expected)
    else:
        _same(tonalis.ordered_dither(array, method, **options), expected)


@pytest.mark.parametrize("exact", [True, False], ids=["exact", "default"])
@pytest.mark.parametrize(
    "matrix",
    [2, "bayer16x16", np.array([[0, 2], [3, 1]]), np.array([[0.2, 0.8], [0.6, 0.4]])],
    ids=["size", "name", "indices", "thresholds"],
)
@pytest.mark.parametrize("image", list(IMAGES))
def test_a_matrix_gives_ordered_dither_bytes(image, matrix, exact):
    array = IMAGES[image]
    expected = tonalis.ordered_dither(array, matrix, levels=3, strength=0.75)
    _same(dither(array, matrix=matrix, levels=3, strength=0.75, exact=exact), expected)


@pytest.mark.parametrize("mode", ["L", "LA", "RGB", "RGBA"])
@pytest.mark.parametrize("exact", [True, False], ids=["exact", "default"])
def test_pil_in_gives_pil_out(mode, exact):
    image = Image.fromarray(IMAGES["RGBA"]).convert(mode)
    result = dither(image, "sierra", levels=3, exact=exact)
    assert isinstance(result, Image.Image) and result.mode == mode
    _same(result, tonalis.dither(image, "sierra", levels=3))
    assert isinstance(dither(image, "bluenoise16"), Image.Image)
    assert isinstance(dither(IMAGES["RGB"], "riemersma"), np.ndarray)


def _advanced(name, array):
    """What the specialised layer gives for a method name of the command line."""
    if name in KERNELS:
        # Error diffusion to a nominal palette: linear light, serpentine.
        return tonalis.dither(array, name, palette=PALETTE, linear=True, serpentine=True)
    if name in MATRICES or name == "random":
        return tonalis.dither(array, name, palette=PALETTE, seed=3)
    if name.startswith("bluenoise"):
        return tonalis.ordered_dither(array, blue_noise_matrix(int(name[9:])), palette=PALETTE)
    if screen(name) is not None:
        return tonalis.ordered_dither(array, screen(name), palette=PALETTE)
    if name == "pattern":
        # The command line's default: colours mixed as codes.
        return pattern_dither(array, PALETTE, linear=False)
    if name == "riemersma":
        return riemersma(array, palette=PALETTE)
    if name == "dbs":
        # The search's own default: the error in linear light.
        return dbs(array, palette=PALETTE)
    return None


@pytest.mark.parametrize("name", method_names())
def test_every_command_line_method_runs_through_dither(name):
    array = IMAGES["RGB"]
    if name in ("ostromoukhov", "zhou_fang"):
        # Levels only: the tables were tuned for tone levels.
        _same(
            dither(array, name, levels=3, seed=3), variable_diffuse(array, name, levels=3, seed=3)
        )
        with pytest.raises(ValueError, match="levels, not a palette"):
            dither(array, name, palette=PALETTE)
        return
    _same(dither(array, name, palette=PALETTE, seed=3), _advanced(name, array))
    # Loose spelling, as on the command line.
    _same(
        dither(array, name.upper().replace("_", "-"), palette=PALETTE, seed=3),
        _advanced(name, array),
    )


def test_random_has_a_name_that_does_not_shadow_the_standard_module():
    assert tonalis_tools.random_dither is tonalis_tools.random
    _same(
        tonalis_tools.random_dither(IMAGES["RGB"], seed=9),
        tonalis.random_dither(IMAGES["RGB"], seed=9),
    )


def test_command_line_method_list_is_the_front_doors(capsys):
    assert main(["--list"]) == 0
    listed = capsys.readouterr().out
    for name in method_names():
        assert name in listed


@pytest.mark.parametrize(
    "options, reference",
    [
        (
            {"error_limit": 16, "palette": PALETTE},
            lambda a: diffuse(a, palette=PALETTE, error_limit=16, linear=True, serpentine=True),
        ),
        (
            {"distance": "oklab", "palette": PALETTE, "method": "atkinson"},
            lambda a: diffuse(
                a, "atkinson", palette=PALETTE, distance="oklab", linear=True, serpentine=True
            ),
        ),
        (
            {"mask": np.tile(np.arange(0, 256, 20, dtype=np.uint8), (9, 1)), "method": "bayer8x8"},
            lambda a: ordered(
                a, "bayer8x8", mask=np.tile(np.arange(0, 256, 20, dtype=np.uint8), (9, 1))
            ),
        ),
        ({"levels": "rgb565"}, lambda a: dither_channels(a, "floyd_steinberg", (32, 64, 32))),
        (
            {"levels": (8, 8, 4), "method": "bayer4x4"},
            lambda a: dither_channels(a, "bayer4x4", "rgb332"),
        ),
        (
            {"preset": "pico8"},
            lambda a: tonalis.dither(a, palette=preset("pico8"), linear=True, serpentine=True),
        ),
        (
            {"palette": "#000, white, red", "linear": False},
            lambda a: tonalis.dither(a, palette=["#000", "#fff", "#f00"], serpentine=True),
        ),
        ({"gamma": 1.4, "levels": 3}, lambda a: tonalis.dither(tone(a, gamma=1.4), levels=3)),
        (
            {"display_palette": ["#111111", "#eeeeee"], "palette": ["#000", "#fff"]},
            lambda a: recolor(
                tonalis.dither(a, palette=["#000", "#fff"], linear=True, serpentine=True),
                ["#000000", "#ffffff"],
                ["#111111", "#eeeeee"],
            ),
        ),
        (
            {"gray": True, "method": "stucki"},
            lambda a: tonalis.dither(np.asarray(Image.fromarray(a).convert("L")), "stucki"),
        ),
    ],
    ids=[
        "error-limit",
        "distance",
        "mask",
        "rgb565",
        "rgb332",
        "preset",
        "palette-text",
        "gamma",
        "display",
        "gray",
    ],
)
def test_refined_options_reach_their_engine(options, reference):
    array = IMAGES["RGB"]
    options = dict(options)
    method = options.pop("method", "floyd_steinberg")
    _same(dither(array, method, **options), reference(array))


@pytest.mark.parametrize("name", tonalis_tools.panel_names())
def test_panel_dithers_to_what_it_shows_and_writes_what_its_driver_takes(name):
    shown, driver = panel_palette(name), panel_palette(name, measured=False)
    profile = PANEL_PROFILES[name]
    mapped = prepare_for_palette(
        IMAGES["RGB"], shown, lightness=profile.lightness, chroma=profile.chroma
    )
    expected = diffuse(
        mapped,
        palette=shown,
        linear=profile.linear,
        serpentine=profile.serpentine,
        error_limit=profile.error_limit,
        distance=profile.distance,
    )
    if driver != shown:
        expected = recolor(expected, shown, driver)
    _same(dither(IMAGES["RGB"], panel=name), expected)


def test_colors_fits_a_palette_to_the_image():
    array = IMAGES["RGBA"]
    fitted = tonalis_tools.adaptive_palette(array, 5)
    _same(
        dither(array, "burkes", colors=5),
        tonalis.dither(array, "burkes", palette=fitted, linear=True, serpentine=True),
    )


def test_gray_image_with_a_palette_is_dithered_as_rgb():
    gray = IMAGES["gray"]
    _same(
        dither(gray, palette=PALETTE, linear=False, serpentine=False, gray_photos=False),
        tonalis.dither(np.dstack([gray] * 3), palette=PALETTE),
    )
    # tonalis itself refuses, and exact keeps its word.
    with pytest.raises(ValueError, match="RGB"):
        dither(gray, palette=PALETTE, exact=True)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (
            {"method": "floyd_stienberg"},
            ValueError,
            "method 'floyd_stienberg'; did you mean 'floyd_steinberg'",
        ),
        ({"method": "bluenoise17"}, ValueError, "unknown dither method 'bluenoise17'"),
        ({"method": 3}, TypeError, "method must be a str"),
        ({"levle": 3}, TypeError, "no option 'levle'; did you mean 'levels'"),
        ({"levels": 3, "palette": PALETTE}, ValueError, "levels and palette exclude"),
        ({"preset": "pico8", "panel": "x"}, ValueError, "preset and panel exclude"),
        ({"preset": "pico9"}, ValueError, "preset 'pico9'; did you mean 'pico8'"),
        ({"panel": "nonesuch"}, ValueError, "unknown panel 'nonesuch'"),
        ({"levels": "rgb556"}, ValueError, "levels 'rgb556' is not a device format"),
        ({"levels": 2.5}, TypeError, "levels must be"),
        ({"palette": "#000, #ggg"}, ValueError, "palette: invalid hex"),
        ({"display_palette": ["#000"]}, ValueError, "display_palette replaces"),
        (
            {"display_palette": ["#000"], "palette": ["#000", "#fff"]},
            ValueError,
            "1 colours and the palette 2",
        ),
        ({"gamma": 0.0}, ValueError, "gamma 0.0"),
        (
            {"tone": tonalis_tools.ToneSettings(), "gamma": 2.0},
            ValueError,
            "tone and gamma exclude",
        ),
        (
            {"exact": True, "error_limit": 4},
            ValueError,
            "exact=True takes only tonalis's own options, not error_limit",
        ),
        ({"exact": True, "preset": "bw"}, ValueError, "not preset"),
        ({"exact": True, "method": "bluenoise16"}, ValueError, "unknown dither method"),
        (
            {"exact": True, "matrix": 4, "serpentine": True},
            ValueError,
            "serpentine does not go with matrix",
        ),
        ({"exact": 1}, TypeError, "exact must be a bool"),
        ({"colors": 4, "preset": "cga"}, ValueError, "colors and preset exclude"),
        ({"colors": 1}, ValueError, "colors must be between 2 and 256"),
        ({"exact": True, "colors": 4}, ValueError, "not colors"),
        ({"method": "pattern"}, ValueError, "needs a palette"),
        ({"distance": "lab"}, ValueError, "unknown distance 'lab'"),
        ({"mask": np.ones((3, 3))}, ValueError, "mask must have the image's height and width"),
    ],
)
def test_bad_options_get_one_line_errors_naming_them(kwargs, error, message):
    with pytest.raises(error) as raised:
        dither(IMAGES["RGB"], **kwargs)
    text = str(raised.value)
    assert message in text
    assert "\n" not in text


@pytest.mark.parametrize(
    "argv, options",
    [
        (
            ["-m", "atkinson", "--levels", "3", "--serpentine"],
            {"method": "atkinson", "levels": 3, "serpentine": True},
        ),
        (["-m", "bluenoise32", "--preset", "cga"], {"method": "bluenoise32", "preset": "cga"}),
        (["-m", "riemersma", "--gamma", "1.3"], {"method": "riemersma", "gamma": 1.3}),
        (["--levels", "rgb565", "--error-limit", "8"], {"levels": "rgb565", "error_limit": 8}),
        (["-m", "sierra-lite", "--colors", "6"], {"method": "sierra_lite", "colors": 6}),
    ],
    ids=["kernel", "bluenoise", "tone", "device", "colors"],
)
def test_command_line_writes_what_dither_returns(tmp_path, argv, options):
    source, target = tmp_path / "in.png", tmp_path / "out.png"
    Image.fromarray(IMAGES["RGB"]).save(source)
    if options.get("error_limit") is not None and isinstance(options.get("levels"), str):
        # Per-channel levels do not combine with the refinements.
        assert main([str(source), "-o", str(target), "-q", *argv]) != 0
        with pytest.raises(ValueError, match="per-channel levels"):
            dither(IMAGES["RGB"], **options)
        return
    assert main([str(source), "-o", str(target), "-q", *argv]) == 0
    _same(np.asarray(Image.open(target).convert("RGB")), dither(IMAGES["RGB"], **options))
