"""Stable animation on moving pictures: kept pixels must not leave the
texture of earlier frames behind, and what stands still stays."""

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

from tonalis_tools import dither_frames
from tonalis_tools.gallery import sample_photo
from tonalis_tools.steady import _blur, look_alike_margin

PHOTO = np.asarray(sample_photo(256).convert("L"))


def pan(count=10):
    return [PHOTO[:, i : i + 160].copy() for i in range(count)]


def zoom(count=10, width=160, height=120):
    image = Image.fromarray(PHOTO)
    frames = []
    for i in range(count):
        scale = 1.0 + 0.015 * i
        w, h = width / scale, height / scale
        x, y = (image.width - w) / 2, (image.height - h) / 2
        box = (x, y, x + w, y + h)
        frames.append(np.asarray(image.resize((width, height), Image.Resampling.BILINEAR, box=box)))
    return frames


def blurred_error(frame, out):
    if out.ndim == 3:  # a gray picture dithered to a palette of grays
        out = out[:, :, 0]
    return float(np.abs(_blur(out) - _blur(frame)).mean())


def flicker(outs):
    return float(np.mean([np.mean(a != b) for a, b in zip(outs, outs[1:])]))


@pytest.mark.parametrize("clip", [pan, zoom])
@pytest.mark.parametrize(
    "options",
    [{}, {"levels": 4}, {"palette": ["#000", "#666", "#fff"]}],
    ids=["bw", "4", "palette"],
)
def test_moving_pictures_leave_no_ghost(clip, options):
    frames = clip()
    plain = dither_frames(frames, "floyd_steinberg", stable=False, **options)
    stable = dither_frames(frames, "floyd_steinberg", stable=True, **options)
    plain_error = [blurred_error(f, o) for f, o in zip(frames, plain)]
    stable_error = [blurred_error(f, o) for f, o in zip(frames, stable)]
    # The error does not grow along the clip: the last frames are as close
    # to their pictures as the first ones, within what mixing two dithers costs.
    assert max(stable_error[-3:]) <= 2.0 * np.mean(plain_error) + 1.0
    assert np.mean(stable_error[-3:]) <= np.mean(stable_error[1:4]) * 1.25 + 0.2
    assert flicker(stable) * 2 <= flicker(plain)


def test_a_still_part_stays_while_the_rest_moves():
    frames = pan(8)
    still = np.tile(np.linspace(40, 220, 160).astype(np.uint8), (40, 1))
    for frame in frames:
        frame[:40] = still
    outs = dither_frames(frames, "floyd_steinberg")
    # Rows well away from the moving part never change.
    assert all(np.array_equal(o[:30], outs[0][:30]) for o in outs[1:])


@pytest.mark.parametrize("options", [{}, {"levels": 4}])
def test_a_fade_is_followed_a_little_at_a_time(options):
    # 28 codes in all: past the tolerance of four levels, where every pixel
    # used to be dithered anew in one frame.
    base = PHOTO[:, :160].astype(int)
    frames = [np.clip(base + 2 * i, 0, 255).astype(np.uint8) for i in range(15)]
    plain = dither_frames(frames, "floyd_steinberg", stable=False, **options)
    stable = dither_frames(frames, "floyd_steinberg", stable=True, **options)
    changes = [np.mean(a != b) for a, b in zip(stable, stable[1:])]
    assert max(changes) < 0.25
    margin = look_alike_margin(options.get("levels"))
    for frame, kept, fresh in list(zip(frames, stable, plain))[-3:]:
        assert blurred_error(frame, kept) <= blurred_error(frame, fresh) + margin


@pytest.mark.parametrize("mode", ["L", "LA"])
def test_gray_frames_dithered_to_a_palette_are_compared_as_colour(mode):
    frames = pan(6)
    if mode == "LA":
        frames = [np.dstack([f, np.full_like(f, 255)]) for f in frames]
    outs = dither_frames(frames, "floyd_steinberg", palette=["#000", "#888", "#fff"])
    assert outs[-1].shape[2] == (4 if mode == "LA" else 3)
    plain = dither_frames(frames, "floyd_steinberg", palette=["#000", "#888", "#fff"], stable=False)
    assert flicker(outs) * 2 <= flicker(plain)
    assert (
        blurred_error(pan(6)[-1], outs[-1][..., :3])
        <= 2 * blurred_error(pan(6)[-1], plain[-1][..., :3]) + 1
    )
