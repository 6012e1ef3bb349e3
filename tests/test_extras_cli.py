"""The refinements through DitherSettings/apply and the command line."""

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")

from test_cli import run

import tonalis
from tonalis_tools import DitherSettings, apply, blue_noise_matrix, diffuse, ordered, preset
from tonalis_tools import random as random_dither
from tonalis_tools.imagefile import load_image

RNG = np.random.default_rng(5)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
MASK = (np.arange(24 * 32).reshape(24, 32) % 256).astype(np.uint8)
CGA = preset("cga")


@pytest.mark.parametrize(
    "settings, expected",
    [
        (
            DitherSettings(palette=CGA, error_limit=8, distance="luma"),
            lambda: diffuse(RGB, palette=CGA, error_limit=8, distance="luma"),
        ),
        (
            DitherSettings("atkinson", palette=CGA, mask=MASK, serpentine=True),
            lambda: diffuse(RGB, "atkinson", palette=CGA, mask=MASK, serpentine=True),
        ),
        (
            DitherSettings("bayer4x4", palette=CGA, distance="oklab"),
            lambda: ordered(RGB, "bayer4x4", palette=CGA, distance="oklab"),
        ),
        (
            DitherSettings(matrix="bluenoise16", palette=CGA, mask=MASK),
            lambda: ordered(RGB, blue_noise_matrix(16), palette=CGA, mask=MASK),
        ),
        (
            DitherSettings("random", seed=3, levels=3, mask=MASK),
            lambda: random_dither(RGB, seed=3, levels=3, mask=MASK),
        ),
        (DitherSettings(palette=CGA, distance="rgb"), lambda: tonalis.dither(RGB, palette=CGA)),
    ],
)
def test_apply_routes_refinements(settings, expected):
    assert np.array_equal(apply(settings, RGB), expected())


def test_refinements_refuse_per_channel_levels():
    with pytest.raises(ValueError, match="per-channel"):
        apply(DitherSettings(levels=(4, 8, 4), error_limit=4), RGB)


@pytest.fixture
def files(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    Image.fromarray(MASK).save(tmp_path / "mask.png")
    return tmp_path


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            ["--preset", "cga", "--error-limit", "16", "--distance", "oklab"],
            lambda: diffuse(
                RGB, palette=CGA, error_limit=16, distance="oklab", linear=True, serpentine=True
            ),
        ),
        (
            ["--preset", "cga", "--mask", "mask.png", "-m", "bayer8x8"],
            lambda: ordered(RGB, "bayer8x8", palette=CGA, mask=MASK),
        ),
        (
            ["--mask", "mask.png", "--levels", "4", "-m", "jjn"],
            lambda: diffuse(RGB, "jjn", levels=4, mask=MASK),
        ),
    ],
)
def test_command_line_options(files, options, expected):
    result = run("in.png", "-o", "out.png", *options, cwd=files)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(
        np.asarray(load_image(files / "out.png").convert("RGB")),
        np.asarray(Image.fromarray(expected()).convert("RGB")),
    )


@pytest.mark.parametrize(
    "options, message",
    [
        (["--error-limit", "-1"], "--error-limit"),
        (["--distance", "lab", "--preset", "cga"], "--distance"),
        (["--mask", "missing.png"], "--mask"),
        (["--mask", "small.png"], "mask"),
        (["--distance", "oklab"], "distance"),
    ],
)
def test_command_line_errors(files, options, message):
    Image.fromarray(MASK[:5, :5]).save(files / "small.png")
    result = run("in.png", "-o", "out.png", *options, cwd=files)
    assert result.returncode == 2
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("tonalis: error:") and message in last
