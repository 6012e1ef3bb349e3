"""Pixel art: alpha cut to on or off, crisp enlargement, and what the files
that need on-or-off alpha make of soft alpha."""

import io

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

from tonalis_tools import DitherSettings, apply, binary_alpha, dither, dither_frames, upscale
from tonalis_tools.imagefile import Frames, load_frames, save_image

RNG = np.random.default_rng(17)
RGB = RNG.integers(0, 256, (10, 12, 3), dtype=np.uint8)


def soft_sprite(size=24):
    """An RGBA disc whose edge fades through every alpha."""
    y, x = np.mgrid[0:size, 0:size]
    radius = np.hypot(y - (size - 1) / 2, x - (size - 1) / 2)
    alpha = np.clip((size / 2 - 1 - radius) * 64, 0, 255).astype(np.uint8)
    colour = np.dstack([x * 255 // size, y * 255 // size, np.full_like(x, 90)]).astype(np.uint8)
    return np.dstack([colour, alpha])


@pytest.mark.parametrize("threshold", [0, 1, 128, 255])
@pytest.mark.parametrize("channels", [2, 4])
def test_binary_alpha_cuts_at_the_threshold(threshold, channels):
    image = RNG.integers(0, 256, (6, 7, channels), dtype=np.uint8)
    out = binary_alpha(image, threshold)
    assert np.array_equal(out[..., -1], np.where(image[..., -1] < threshold, 0, 255))
    assert np.array_equal(out[..., :-1], image[..., :-1])
    as_pil = binary_alpha(Image.fromarray(image), threshold)
    assert isinstance(as_pil, Image.Image) and np.array_equal(np.asarray(as_pil), out)


@pytest.mark.parametrize(
    "threshold, error", [(-1, ValueError), (256, ValueError), (12.5, TypeError), (True, TypeError)]
)
def test_binary_alpha_rejects_bad_thresholds(threshold, error):
    with pytest.raises(error, match="alpha_threshold"):
        dither(RGB, alpha_threshold=threshold)  # checked even for an image without alpha


@pytest.mark.parametrize("image", [RGB, RGB[..., 0], soft_sprite()], ids=["rgb", "gray", "rgba"])
@pytest.mark.parametrize("factor", [1, 3])
def test_upscale_repeats_every_pixel(image, factor):
    out = upscale(image, factor)
    assert out.shape[:2] == (image.shape[0] * factor, image.shape[1] * factor)
    assert np.array_equal(out[::factor, ::factor], image)
    blocks = out.reshape(image.shape[0], factor, image.shape[1], factor, -1)
    assert np.all(blocks == blocks[:, :1, :, :1])


def test_upscale_keeps_a_palette_image_a_palette_image():
    indexed = Image.fromarray(RGB).quantize(8)
    big = upscale(indexed, 4)
    assert big.mode == "P" and big.size == (48, 40)
    assert big.getpalette() == indexed.getpalette()


@pytest.mark.parametrize("factor, error", [(0, ValueError), (65, ValueError), (2.0, TypeError)])
def test_upscale_rejects_bad_factors(factor, error):
    with pytest.raises(error, match="scale"):
        dither_frames([RGB], "atkinson", scale=factor)


@pytest.mark.parametrize("stable", [False, True])
def test_dither_frames_scales_after_dithering(stable):
    frames = [RGB, RGB // 2 + 64, RGB]
    plain = dither_frames(frames, "floyd_steinberg", levels=3, stable=stable)
    big = dither_frames(frames, "floyd_steinberg", levels=3, stable=stable, scale=2)
    assert all(np.array_equal(b, upscale(p, 2)) for p, b in zip(plain, big))
    animation = Frames([Image.fromarray(f) for f in frames], [40] * 3, [1] * 3, loop=0)
    scaled = dither_frames(DitherSettings(levels=3), animation, stable=stable, scale=2)
    assert scaled.durations == [40] * 3 and scaled.images[0].size == (24, 20)


def test_an_alpha_threshold_dithers_the_colour_as_before():
    sprite = soft_sprite()
    settings = DitherSettings("atkinson", palette=["#000", "#f00", "#ff0", "#fff"])
    soft = apply(settings, sprite)
    cut = apply(DitherSettings(**{**vars(settings), "alpha_threshold": 100}), sprite)
    assert np.array_equal(cut[..., :3], soft[..., :3])
    assert np.array_equal(cut[..., 3], np.where(sprite[..., 3] < 100, 0, 255))
    # Alpha dithered to the levels starts from the cut alpha.
    levels = dither(sprite, levels=4, preserve_alpha=False, alpha_threshold=100)
    assert set(np.unique(levels[..., 3]).tolist()) <= {0, 255}


def test_gif_cuts_soft_alpha_at_half(tmp_path):
    sprite = dither(soft_sprite(), preset="pico8")
    assert len(np.unique(sprite[..., 3])) > 2
    save_image(sprite, tmp_path / "sprite.gif")
    back = np.asarray(load_frames(tmp_path / "sprite.gif").images[0].convert("RGBA"))
    opaque = sprite[..., 3] >= 128
    assert np.array_equal(back[..., 3] == 255, opaque)
    assert np.array_equal(back[opaque][:, :3], sprite[opaque][:, :3])


def test_indexed_soft_alpha_says_how_to_fit(tmp_path):
    sprite = dither(soft_sprite(48), levels=3)  # 27 colours with up to 255 alphas each
    with pytest.raises(ValueError, match=r"--alpha-threshold 128"):
        save_image(sprite, tmp_path / "sprite.png", indexed=True)
    save_image(binary_alpha(sprite), tmp_path / "sprite.png", indexed=True)
    assert Image.open(tmp_path / "sprite.png").mode == "P"
    stream = io.BytesIO()
    with pytest.raises(ValueError, match="write PNG"):
        save_image(sprite, stream, format="TIFF", indexed=True)
