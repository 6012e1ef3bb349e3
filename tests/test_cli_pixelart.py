"""The command's pixel-art options: --alpha-threshold, --scale, --luminance
and --gray with a palette."""

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

from tonalis_tools import dither, load_image, upscale
from tonalis_tools.cli import main


@pytest.fixture
def sprite(tmp_path):
    """A soft-edged RGBA PNG: a disc whose edge fades through 150 alphas."""
    y, x = np.mgrid[0:64, 0:64]
    alpha = np.clip((30 - np.hypot(y - 31.5, x - 31.5)) * 20, 0, 255).astype(np.uint8)
    colour = np.dstack([x * 4, y * 4, 255 - x * 4]).astype(np.uint8)
    path = tmp_path / "sprite.png"
    Image.fromarray(np.dstack([colour, alpha]), "RGBA").save(path)
    return path


def test_soft_alpha_fits_indexed_with_a_threshold(sprite, tmp_path, capsys):
    out = tmp_path / "out.png"
    assert main([str(sprite), "-o", str(out), "--indexed", "--preset", "pico8"]) == 2
    assert "--alpha-threshold 128" in capsys.readouterr().err
    assert not out.exists()
    options = ["--indexed", "--preset", "pico8", "--alpha-threshold", "128"]
    assert main([str(sprite), "-o", str(out), *options]) == 0
    written = Image.open(out)
    assert written.mode == "P"
    pixels = np.asarray(load_image(out))
    source = np.asarray(Image.open(sprite))
    assert np.array_equal(pixels[..., 3], np.where(source[..., 3] < 128, 0, 255))
    expected = dither(source, preset="pico8", alpha_threshold=128)
    assert np.array_equal(pixels[pixels[..., 3] == 255], expected[expected[..., 3] == 255])


@pytest.mark.parametrize("threshold, cut", [(None, 128), ("1", 1), ("250", 250)])
def test_gif_takes_soft_alpha(sprite, tmp_path, threshold, cut):
    out = tmp_path / "out.gif"
    extra = [] if threshold is None else ["--alpha-threshold", threshold]
    assert main([str(sprite), "-o", str(out), "--preset", "pico8", *extra]) == 0
    alpha = np.asarray(Image.open(out).convert("RGBA"))[..., 3]
    assert np.array_equal(alpha == 255, np.asarray(Image.open(sprite))[..., 3] >= cut)


@pytest.mark.parametrize(
    "options",
    [["--preset", "pico8"], ["--pack", "mono"]],
    ids=["palette", "pack"],
)
def test_scale_enlarges_the_dither_not_the_input(sprite, tmp_path, options):
    small, big = tmp_path / "small", tmp_path / "big"
    suffix = ".bin" if "--pack" in options else ".png"
    if suffix == ".bin":  # device bytes hold no alpha
        Image.open(sprite).convert("RGB").save(sprite)
    assert main([str(sprite), "-o", str(small) + suffix, *options]) == 0
    assert main([str(sprite), "-o", str(big) + suffix, *options, "--scale", "3"]) == 0
    if suffix == ".bin":
        assert (tmp_path / "big.bin").stat().st_size == 9 * (tmp_path / "small.bin").stat().st_size
        return
    expected = upscale(np.asarray(load_image(str(small) + suffix)), 3)
    assert np.array_equal(np.asarray(load_image(str(big) + suffix)), expected)


def test_gray_with_a_preset_dithers_the_luminance(sprite, tmp_path):
    out = tmp_path / "out.png"
    assert main([str(sprite), "-o", str(out), "--gray", "--preset", "gameboy"]) == 0
    source = np.asarray(Image.open(sprite))
    expected = dither(source, preset="gameboy", gray=True)
    assert np.array_equal(np.asarray(load_image(out)), expected)


@pytest.mark.parametrize("luminance", [None, "on", "off"])
def test_luminance_option(tmp_path, luminance):
    rgb = np.random.default_rng(2).integers(0, 256, (20, 24, 3), dtype=np.uint8)
    Image.fromarray(rgb).save(tmp_path / "in.png")
    extra = [] if luminance is None else ["--luminance", luminance]
    args = [str(tmp_path / "in.png"), "-o", str(tmp_path / "out.png"), "--preset", "gameboy"]
    assert main([*args, *extra]) == 0
    expected = dither(rgb, preset="gameboy", luminance=luminance != "off")
    assert np.array_equal(np.asarray(load_image(tmp_path / "out.png")), expected)


@pytest.mark.parametrize(
    "options, message",
    [
        (["--scale", "0"], "--scale must be a whole number from 1 to 64, got 0"),
        (["--scale", "65"], "--scale must be a whole number from 1 to 64, got 65"),
        (["--alpha-threshold", "256"], "--alpha-threshold must be from 0 to 255, got 256"),
        (["--luminance", "on", "--levels", "4"], "luminance dithers onto a palette"),
        (["--luminance", "maybe"], "invalid choice: 'maybe'"),
    ],
)
def test_bad_pixel_art_options_are_one_line(sprite, tmp_path, capsys, options, message):
    assert main([str(sprite), "-o", str(tmp_path / "out.png"), *options]) == 2
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1
