"""File reading and writing, settings, and contact sheets of tonalis_tools."""

import numpy as np
import pytest

PIL = pytest.importorskip("PIL")
from PIL import Image

import tonalis
from tonalis_tools.bluenoise import blue_noise_matrix
from tonalis_tools.channels import dither_channels
from tonalis_tools.halftone import screen
from tonalis_tools.pipeline import (
    DitherSettings,
    apply,
    check,
    dither_file,
    load_image,
    load_matrix,
    resolve,
    save_image,
    to_indexed,
)
from tonalis_tools.recolor import recolor
from tonalis_tools.sheet import contact_sheet
from tonalis_tools.tone import ToneSettings, tone

RNG = np.random.default_rng(11)
RGB = RNG.integers(0, 256, (12, 16, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "make, mode, check",
    [
        (lambda: Image.fromarray(RGB).convert("1"), "L", lambda a: set(np.unique(a)) <= {0, 255}),
        (lambda: Image.fromarray(RGB).convert("P"), "RGB", None),
        (lambda: _with_transparency(), "RGBA", lambda a: a[0, 0, 3] == 0 and a[1, 1, 3] == 255),
        (lambda: Image.fromarray(RGB).convert("CMYK"), "RGB", None),
        (lambda: Image.fromarray(RGB).convert("LA"), "LA", None),
        (
            lambda: Image.fromarray(np.full((4, 4), 65535, np.uint16)),
            "L",
            lambda a: np.all(a == 255),
        ),
        (
            lambda: Image.fromarray(np.full((4, 4), 32768, np.uint16)),
            "L",
            lambda a: np.all(a == 128),
        ),
    ],
)
def test_load_image_modes(tmp_path, make, mode, check):
    path = tmp_path / ("in.tif" if mode != "RGBA" else "in.png")
    make().save(path)
    image = load_image(path)
    assert image.mode == mode
    if check is not None:
        assert check(np.asarray(image))


def _with_transparency():
    image = Image.fromarray(RGB).convert("P")
    image.info["transparency"] = int(np.asarray(image)[0, 0])
    data = np.asarray(image).copy()
    data[1, 1] = (int(data[0, 0]) + 1) % 256
    out = Image.fromarray(data, "P")
    out.putpalette(image.getpalette())
    out.info["transparency"] = int(data[0, 0])
    return out


def test_load_image_applies_exif_orientation(tmp_path):
    image = Image.fromarray(RGB)
    exif = image.getexif()
    exif[0x0112] = 6  # rotate 90 degrees clockwise to display
    path = tmp_path / "rotated.jpg"
    image.save(path, exif=exif, quality=95)
    assert load_image(path).size == (RGB.shape[0], RGB.shape[1])


@pytest.mark.parametrize("mode", ["L", "RGB"])
def test_to_indexed_is_lossless(mode):
    data = (RNG.integers(0, 6, (20, 30, 3)) * 51).astype(np.uint8)
    image = Image.fromarray(data).convert(mode)
    indexed = to_indexed(image)
    assert indexed.mode == "P"
    assert np.array_equal(np.asarray(indexed.convert(mode)), np.asarray(image))


def test_to_indexed_leaves_many_colours_and_alpha_alone():
    many = Image.fromarray(RNG.integers(0, 256, (32, 32, 3), dtype=np.uint8))
    assert to_indexed(many) is many
    rgba = Image.new("RGBA", (4, 4))
    assert to_indexed(rgba) is rgba


@pytest.mark.parametrize(
    "suffix, mode",
    [
        (".jpg", "RGB"),
        (".png", "P"),
        (".bmp", "RGB"),
        (".gif", "P"),
        (".webp", "RGBA"),
        (".tif", "RGBA"),
    ],
)
def test_save_image_fits_the_format(tmp_path, suffix, mode):
    from PIL import features

    if suffix == ".webp" and not features.check("webp"):
        pytest.skip("Pillow built without WebP")
    alpha = np.full(RGB.shape[:2], 255, np.uint8)
    alpha[:4] = 0
    rgba = Image.fromarray(np.dstack([RGB // 128 * 255, alpha]))
    path = tmp_path / f"out{suffix}"
    save_image(rgba, path, lossy=suffix == ".jpg")
    with Image.open(path) as back:
        assert back.mode == mode


def test_save_image_rejects_unknown_suffix(tmp_path):
    with pytest.raises(ValueError, match="no writer"):
        save_image(Image.new("L", (2, 2)), tmp_path / "out.nope")


@pytest.mark.parametrize(
    "settings, reference",
    [
        (
            DitherSettings("atkinson", levels=3, serpentine=True),
            lambda im: tonalis.dither(im, "atkinson", levels=3, serpentine=True),
        ),
        (
            DitherSettings("random", seed=4, strength=0.5),
            lambda im: tonalis.dither(im, "random", seed=4, strength=0.5),
        ),
        (
            DitherSettings("bluenoise32", linear=True),
            lambda im: tonalis.ordered_dither(im, blue_noise_matrix(32), linear=True),
        ),
        (
            DitherSettings("fs", matrix="bayer4x4"),
            lambda im: tonalis.ordered_dither(im, "bayer4x4"),
        ),
        (
            DitherSettings(matrix="bluenoise16"),
            lambda im: tonalis.ordered_dither(im, blue_noise_matrix(16)),
        ),
        (
            DitherSettings("fs", palette=["#000", "#f00"], preserve_alpha=False),
            lambda im: tonalis.dither(im, "fs", palette=["#000", "#f00"], preserve_alpha=False),
        ),
        (
            DitherSettings("Halftone 45"),
            lambda im: tonalis.ordered_dither(im, screen("halftone45")),
        ),
        (
            DitherSettings("fs", matrix="line90", levels=3),
            lambda im: tonalis.ordered_dither(im, screen("line90"), levels=3),
        ),
        (
            DitherSettings("sierra", levels=(32, 64, 32), serpentine=True),
            lambda im: dither_channels(im, "sierra", (32, 64, 32), serpentine=True),
        ),
        (
            DitherSettings("random", levels=(2, 3, 4), seed=7),
            lambda im: dither_channels(im, "random", (2, 3, 4), seed=7),
        ),
        (
            DitherSettings("bluenoise16", levels=(8, 8, 4)),
            lambda im: dither_channels(im, levels=(8, 8, 4), matrix=blue_noise_matrix(16)),
        ),
        (
            DitherSettings("atkinson", tone=ToneSettings(gamma=0.8, auto_levels=True)),
            lambda im: tonalis.dither(tone(im, gamma=0.8, auto_levels=True), "atkinson"),
        ),
        (
            DitherSettings(palette=["#010101", "#fefefe"], display_palette=["black", "white"]),
            lambda im: recolor(
                tonalis.dither(im, palette=["#010101", "#fefefe"]),
                ["#010101", "#fefefe"],
                ["#000", "#fff"],
            ),
        ),
    ],
)
def test_apply_matches_the_module(settings, reference):
    assert np.array_equal(apply(settings, RGB), reference(RGB))
    # Resolved once for a batch, the settings still give the same result.
    assert np.array_equal(apply(resolve(settings), RGB), reference(RGB))


@pytest.mark.parametrize(
    "settings", [DitherSettings(palette=["#000", "#fff", "#f00"]), DitherSettings(levels=(4, 8, 4))]
)
@pytest.mark.parametrize(
    "image, mode",
    [
        (RGB[:, :, 0], None),
        (Image.fromarray(RGB[:, :, 0]), "RGB"),
        (Image.fromarray(RGB[:, :, :2], "LA"), "RGBA"),
    ],
)
def test_apply_turns_gray_into_colour_for_a_palette(settings, image, mode):
    out = apply(settings, image)
    if mode is None:
        assert out.shape == RGB.shape
    else:
        assert out.mode == mode


@pytest.mark.parametrize(
    "settings, message",
    [
        (DitherSettings(levels=()), "at least one count"),
        (DitherSettings(levels=(4, 1, 4)), "levels must be between 2 and 256, got 1"),
        (DitherSettings(levels=(4, 4, 4), gray=True), "gray output takes one level count, got 3"),
        (DitherSettings(display_palette=["#000", "#fff"]), "give the palette too"),
        (DitherSettings(palette=["#000", "#fff"], display_palette=["#000"]), "differ in length"),
        (
            DitherSettings(palette=["#000", "#fff"], display_palette=["#000", "nope"]),
            "unknown colour 'nope'",
        ),
        (DitherSettings(tone=ToneSettings(contrast=2.0)), "contrast must be between -1 and 1"),
        (DitherSettings(tone=ToneSettings(clip=0.5)), "clip must be between 0 and 0.49"),
    ],
)
def test_check_rejects_settings_that_cannot_work(settings, message):
    with pytest.raises(ValueError, match=message):
        check(settings)


def test_per_channel_levels_and_a_palette_exclude_each_other():
    with pytest.raises(ValueError, match="exclude each other"):
        apply(DitherSettings(levels=(4, 4, 4), palette=["#000", "#fff"]), RGB)


@pytest.mark.parametrize(
    "settings, text",
    [
        (DitherSettings(levels=(32, 64, 32)), "floyd_steinberg, levels=32,64,32"),
        (
            DitherSettings("fs", palette=["#000", "#fff"], display_palette=["#111", "#eee"]),
            "fs, 2 colours, recoloured",
        ),
        (
            DitherSettings("fs", tone=ToneSettings(gamma=1.25, auto_levels=True)),
            "fs, gamma=1.25, auto-levels",
        ),
        (DitherSettings("fs", tone=ToneSettings()), "fs"),
    ],
)
def test_describe(settings, text):
    assert settings.describe() == text


def test_dither_file_round_trip(tmp_path):
    source = tmp_path / "in.png"
    Image.fromarray(RGB).save(source)
    written = dither_file(source, tmp_path / "deep" / "out.gif", DitherSettings("stucki"))
    with Image.open(written) as back:
        assert np.array_equal(np.asarray(back.convert("RGB")), tonalis.dither(RGB, "stucki"))


@pytest.mark.parametrize(
    "text, dtype, expected",
    [
        ("0 2\n3 1\n", np.int64, [[0, 2], [3, 1]]),
        (
            "# thresholds\n0.25, 0.75\n0.5, 0.125  # last\n",
            np.float64,
            [[0.25, 0.75], [0.5, 0.125]],
        ),
        ("1e-1 5E-1\n", np.float64, [[0.1, 0.5]]),
    ],
)
def test_load_matrix_text(tmp_path, text, dtype, expected):
    path = tmp_path / "m.txt"
    path.write_text(text)
    matrix = load_matrix(path)
    assert matrix.dtype == dtype and np.array_equal(matrix, expected)


def test_load_matrix_npy(tmp_path):
    path = tmp_path / "m.npy"
    np.save(path, blue_noise_matrix(16))
    assert np.array_equal(load_matrix(path), blue_noise_matrix(16))


@pytest.mark.parametrize(
    "text, message",
    [("", "no numbers"), ("1 2\n3\n", "differ in length"), ("1 x\n", "not a number")],
)
def test_load_matrix_rejects(tmp_path, text, message):
    path = tmp_path / "m.txt"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        load_matrix(path)


def test_contact_sheet_keeps_images_unscaled():
    a = Image.fromarray(np.zeros((10, 20), np.uint8))
    b = Image.fromarray(np.full((14, 12, 3), 200, np.uint8))
    sheet = contact_sheet([("a", a), ("b", b), ("c", a)], columns=2)
    assert sheet.width == 2 * 20 + 3 * 8
    pixels = np.asarray(sheet)
    assert np.all(pixels[8 : 8 + 10, 8 : 8 + 20] == 0)
    assert np.all(pixels[8 : 8 + 14, 36 : 36 + 12] == 200)
    # Labels are drawn in black on white only, so sheets stay indexable.
    assert to_indexed(sheet).mode == "P"


@pytest.mark.parametrize("under", ["afile/out.png", "afile/deeper/out.png"])
def test_dither_file_names_the_file_in_the_way(tmp_path, under):
    source = tmp_path / "in.png"
    Image.fromarray(np.zeros((4, 4), np.uint8)).save(source)
    (tmp_path / "afile").write_text("not a folder")
    with pytest.raises(NotADirectoryError, match="afile' is a file, not a folder"):
        dither_file(source, tmp_path / under, DitherSettings())
    assert (tmp_path / "afile").read_text() == "not a folder"
