"""Image files in and out: the smallest lossless encoding, animations, and
writes that never leave half a file."""

import io
import os

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image, features

from tonalis_tools.encoding import index_colours, smallest_image
from tonalis_tools.imagefile import (
    Frames,
    load_frames,
    load_image,
    save_bytes,
    save_frames,
    save_image,
)
from tonalis_tools.pipeline import DitherSettings, apply, dither_frames

RNG = np.random.default_rng(21)


def _png_header(data):
    """(bit depth, colour type) from a PNG's IHDR."""
    return data[24], data[25]


def _levels(shape, values):
    return np.asarray(values, np.uint8)[RNG.integers(0, len(values), shape)]


@pytest.mark.parametrize(
    "array, mode, depth",
    [
        (_levels((9, 13), [0, 255]), "1", 1),
        (_levels((9, 13), [0, 85, 170, 255]), "P", 2),
        (_levels((9, 13), [0, 17, 34, 51, 68]), "P", 4),
        (_levels((9, 13, 3), [0, 255]), "P", 4),  # the 8 corner colours
        (_levels((9, 13, 3), [0, 128, 255]), "P", 8),  # 27 colours
        (_levels((9, 13, 2), [0, 255]), "P", 2),  # LA: alpha in the palette
        (_levels((9, 13, 4), [0, 255]), "P", 4),  # RGBA: 16 colours with alpha
    ],
    ids=["bw", "gray4", "gray5", "rgb8", "rgb27", "la", "rgba"],
)
def test_smallest_png_is_exact(tmp_path, array, mode, depth):
    image = Image.fromarray(array)
    assert smallest_image(image).mode == mode
    path = tmp_path / "out.png"
    save_image(image, path)
    assert _png_header(path.read_bytes())[0] == depth
    assert np.array_equal(np.asarray(load_image(path)), array)


def test_many_colours_are_left_alone(tmp_path):
    array = RNG.integers(0, 256, (40, 40, 3), dtype=np.uint8)
    image = Image.fromarray(array)
    assert smallest_image(image) is image
    save_image(image, tmp_path / "out.png")
    assert np.array_equal(np.asarray(load_image(tmp_path / "out.png")), array)


@pytest.mark.parametrize("channels, count", [(1, 7), (3, 256), (3, 257), (4, 200)])
@pytest.mark.parametrize("spread", [False, True], ids=["few-values", "all-values"])
def test_index_colours_matches_unique(channels, count, spread):
    # With every channel value in use the combined code table would be huge,
    # so that case goes through the sorting path.
    values = RNG.integers(0, 256, (count, channels), dtype=np.uint8)
    if spread:
        values[:, 0] = np.arange(count) % 256
        values[:, -1] = (np.arange(count) * 7) % 256
    picks = RNG.integers(0, count, (31, 17))
    picks.flat[:count] = np.arange(count)[: picks.size]
    array = values[picks]
    if channels == 1:
        array = array[..., 0]
    found = index_colours(array)
    distinct = np.unique(values, axis=0)
    if len(distinct) > 256:
        assert found is None
        return
    assert len(found.colours) == len(distinct)
    rebuilt = found.colours[found.indices]
    assert np.array_equal(rebuilt.reshape(array.shape), array)


@pytest.mark.parametrize("mode, scale", [("I;16", 65535), ("I;16B", 65535), ("I;16L", 65535)])
def test_sixteen_bit_files_scale_to_eight_bits(tmp_path, mode, scale):
    ramp = np.linspace(0, scale, 64).round().astype(np.uint16).reshape(8, 8)
    path = tmp_path / "ramp.tif"
    Image.frombytes(
        mode, (8, 8), ramp.astype(">u2" if mode.endswith("B") else "<u2").tobytes()
    ).save(path)
    loaded = np.asarray(load_image(path))
    assert np.array_equal(loaded, np.floor(ramp / scale * 255 + 0.5).astype(np.uint8))


@pytest.mark.parametrize(
    "fmt, message",
    [
        ("JPEG", "lossy"),
        ("TIFF", "cannot hold the 2 frames"),
    ],
)
def test_writes_that_would_lose_the_result_are_refused(fmt, message):
    frames = Frames([Image.new("L", (4, 4)), Image.new("L", (4, 4), 255)], [10, 10], [1, 1])
    with pytest.raises(ValueError, match=message):
        save_frames(
            frames if fmt == "TIFF" else Frames(frames.images[:1]), io.BytesIO(), format=fmt
        )


def test_gif_refuses_what_it_cannot_hold(tmp_path):
    array = _levels((40, 40, 3), list(range(0, 256, 16)))
    with pytest.raises(ValueError, match="at most 256 colours"):
        save_image(Image.fromarray(array), tmp_path / "out.gif")
    assert list(tmp_path.iterdir()) == []


def test_indexed_requires_a_palette(tmp_path):
    many = Image.fromarray(RNG.integers(0, 256, (20, 20, 3), dtype=np.uint8))
    with pytest.raises(ValueError, match="at most 256 colours"):
        save_image(many, tmp_path / "out.png", indexed=True)


def test_a_failed_write_leaves_nothing_behind(tmp_path, monkeypatch):
    target = tmp_path / "out.png"
    target.write_bytes(b"the previous result")

    def explode(self, fp, *args, **kwargs):
        fp.write(b"half a file")
        raise OSError("disk full")

    monkeypatch.setattr(Image.Image, "save", explode)
    with pytest.raises(OSError, match="disk full"):
        save_image(Image.new("L", (4, 4)), target)
    assert target.read_bytes() == b"the previous result"
    assert os.listdir(tmp_path) == ["out.png"]


def _animation(tmp_path, suffix, alpha=False, disposal=None):
    base = RNG.integers(0, 256, (20, 24, 3), dtype=np.uint8)
    frames = []
    for i in range(4):
        data = base.copy()
        data[2 + 3 * i : 8 + 3 * i, 4:12] = (250, 30, 30)
        if alpha:
            data = np.dstack(
                [
                    data,
                    np.where(np.arange(24) < 4 + i, 0, 255)
                    .astype(np.uint8)[None, :]
                    .repeat(20, axis=0),
                ]
            )
        frames.append(Image.fromarray(data))
    path = tmp_path / f"anim{suffix}"
    if disposal is None:
        disposal = 2 if suffix == ".gif" else 1
    options = {"duration": [40, 50, 60, 70], "loop": 2, "disposal": disposal}
    if suffix == ".webp":
        options = {"duration": [40, 50, 60, 70], "loop": 2, "lossless": True}
    frames[0].save(path, save_all=True, append_images=frames[1:], **options)
    return path


def _visible(image):
    """The pixels as shown: a fully transparent pixel's colour is not kept by every format."""
    array = np.asarray(image).copy()
    if image.mode == "RGBA":
        array[array[..., 3] == 0] = 0
    return array


FORMATS = [".gif", ".png"] + ([".webp"] if features.check_module("webp") else [])


@pytest.mark.parametrize("source", FORMATS)
@pytest.mark.parametrize("target", FORMATS)
@pytest.mark.parametrize("alpha", [False, True], ids=["opaque", "alpha"])
def test_animations_keep_every_frame_and_their_timing(tmp_path, source, target, alpha):
    if alpha and ".webp" in (source, target) and source != target:
        pytest.skip("WebP and GIF/APNG clear transparent frames differently")
    frames = load_frames(_animation(tmp_path, source, alpha))
    assert len(frames.images) == 4 and frames.loop == 2
    result = dither_frames(DitherSettings("bayer4x4"), frames)
    out = tmp_path / f"out{target}"
    save_frames(result, out)
    back = load_frames(out)
    assert back.durations == [40, 50, 60, 70] and back.loop == 2
    for expected, got in zip(result.images, back.images):
        assert np.array_equal(_visible(got.convert(expected.mode)), _visible(expected))
    if source == target == ".gif":
        assert back.disposals == frames.disposals


@pytest.mark.parametrize("alpha", [False, True], ids=["opaque", "alpha"])
@pytest.mark.parametrize("disposal", [1, 2, 3])
def test_gif_disposals_are_kept(tmp_path, alpha, disposal):
    frames = load_frames(_animation(tmp_path, ".gif", alpha, disposal))
    assert frames.disposals[:-1] == [disposal] * 3
    result = dither_frames(DitherSettings("bayer4x4"), frames)
    save_frames(result, tmp_path / "out.gif")
    back = load_frames(tmp_path / "out.gif")
    # Restoring the previous picture is written as clearing, which shows the same.
    assert back.disposals[:-1] == [2 if disposal == 3 else disposal] * 3
    for expected, got in zip(result.images, back.images):
        assert np.array_equal(_visible(got.convert(expected.mode)), _visible(expected))


def test_gif_clears_a_frame_whose_successor_would_show_it(tmp_path):
    # Full canvases whose transparent area grows: leaving a frame in place
    # would show it through the next one, so that frame is cleared instead.
    canvases = []
    for i in range(3):
        data = np.zeros((8, 8, 4), np.uint8)
        data[..., 0] = 255
        data[..., 3] = np.where(np.arange(8) < 2 + 2 * i, 0, 255)[None, :]
        canvases.append(Image.fromarray(data))
    save_frames(Frames(canvases, [50] * 3, [1] * 3), tmp_path / "out.gif")
    back = load_frames(tmp_path / "out.gif")
    assert back.disposals[:2] == [2, 2]
    for expected, got in zip(canvases, back.images):
        assert np.array_equal(_visible(got.convert("RGBA")), _visible(expected))


@pytest.mark.parametrize(
    "settings",
    [
        DitherSettings("bayer8x8"),
        DitherSettings("bluenoise16", levels=3),
        DitherSettings("random"),
        DitherSettings("random", seed=5),
    ],
    ids=["bayer", "blue-noise", "random", "random-seeded"],
)
def test_still_parts_of_an_animation_stay_still(settings):
    still = Image.fromarray(RNG.integers(0, 256, (16, 16, 3), dtype=np.uint8))
    frames = Frames([still, still.copy(), still.copy()], [10] * 3, [1] * 3)
    result = dither_frames(settings, frames)
    first = np.asarray(result.images[0])
    assert all(np.array_equal(np.asarray(im), first) for im in result.images[1:])


@pytest.mark.parametrize(
    "image",
    [
        np.array([[0, 128], [200, 255]], np.uint8)[..., None].repeat(3, axis=2),
        RNG.integers(0, 256, (5, 7, 3), dtype=np.uint8),
        RNG.integers(0, 256, (5, 7, 4), dtype=np.uint8),
    ],
    ids=["grays", "rgb", "rgba"],
)
def test_gray_output_matches_pillow_luma(image):
    settings = DitherSettings("atkinson", levels=3, gray=True)
    from_array = apply(settings, image)
    from_pil = np.asarray(apply(settings, Image.fromarray(image)))
    assert np.array_equal(from_array, from_pil)
    assert from_array.ndim == (3 if image.shape[2] == 4 else 2)


@pytest.mark.parametrize("data", [b"", b"\x00\xff" * 5000])
def test_save_bytes_to_a_file_or_a_stream(tmp_path, data):
    save_bytes(data, tmp_path / "out.bin")
    stream = io.BytesIO()
    save_bytes(data, stream)
    assert (tmp_path / "out.bin").read_bytes() == stream.getvalue() == data
    assert [p.name for p in tmp_path.iterdir()] == ["out.bin"]
    with pytest.raises(OSError):
        save_bytes(data, tmp_path / "missing" / "out.bin")
    assert [p.name for p in tmp_path.iterdir()] == ["out.bin"]


@pytest.mark.parametrize("source", [None, 12345, 1.5, ["a.png"]])
def test_load_rejects_what_is_not_a_file(source):
    for load in (load_image, load_frames):
        with pytest.raises(TypeError, match="path must be a file name.*got"):
            load(source)


def test_load_takes_names_paths_and_streams(tmp_path):
    path = tmp_path / "in.png"
    Image.fromarray(np.full((3, 4), 7, np.uint8)).save(path)
    for source in (str(path), bytes(path), path, io.BytesIO(path.read_bytes())):
        assert np.array_equal(np.asarray(load_image(source)), np.full((3, 4), 7, np.uint8))


@pytest.mark.parametrize(
    "array, mode",
    [
        (_levels((6, 5), [0, 255]), "1"),
        (_levels((6, 5, 1), [0, 85, 255]), "P"),
        (RNG.integers(0, 256, (6, 5, 2), dtype=np.uint8), "P"),
        (_levels((6, 5, 3), [0, 255]), "P"),
        (RNG.integers(0, 256, (30, 20, 3), dtype=np.uint8), "RGB"),
        (RNG.integers(0, 256, (30, 20, 4), dtype=np.uint8), "RGBA"),
        (np.asfortranarray(RNG.integers(0, 256, (30, 20, 3), dtype=np.uint8)), "RGB"),
    ],
    ids=["bw", "gray1", "la", "rgb-few", "rgb", "rgba", "fortran"],
)
def test_save_image_takes_arrays(tmp_path, array, mode):
    save_image(array, tmp_path / "out.png")
    with Image.open(tmp_path / "out.png") as back:
        assert back.mode == mode
        expected = array[:, :, 0] if array.ndim == 3 and array.shape[2] == 1 else array
        target = "L" if expected.ndim == 2 else {2: "LA", 3: "RGB", 4: "RGBA"}[expected.shape[2]]
        assert np.array_equal(np.asarray(back.convert(target)), expected)


@pytest.mark.parametrize(
    "array, error, message",
    [
        (np.zeros((4, 4), np.float64), TypeError, "uint8, got float64"),
        (np.zeros((4, 4, 5), np.uint8), ValueError, "got shape \\(4, 4, 5\\)"),
        (np.zeros((0, 4), np.uint8), ValueError, "with pixels"),
        (np.zeros(4, np.uint8), ValueError, "got shape"),
        ([[0, 255]], TypeError, "PIL image or a numpy array, got list"),
    ],
)
def test_save_image_rejects_other_arrays(tmp_path, array, error, message):
    with pytest.raises(error, match=message):
        save_image(array, tmp_path / "out.png")
    assert list(tmp_path.iterdir()) == []


PICO = ["#000000", "#1d2b53", "#7e2553", "#008751", "#ab5236", "#5f574f", "#c2c3c7", "#fff1e8"]


@pytest.mark.parametrize("suffix", [".png", ".gif", ".bmp"])
@pytest.mark.parametrize("alpha", [False, True], ids=["opaque", "alpha"])
def test_palette_images_keep_the_palette_order(tmp_path, suffix, alpha):
    # Indices are palette positions, unused colours included, so a driver
    # reading the indices gets the colours it was given.
    photo = RNG.integers(0, 256, (12, 10, 4 if alpha else 3), dtype=np.uint8)
    if alpha:
        photo[..., 3] = np.where(RNG.random((12, 10)) < 0.3, 0, 255)
    palette = PICO[::-1]
    result = apply(DitherSettings("bayer4x4", palette=palette), photo)
    if suffix == ".bmp" and alpha:
        pytest.skip("BMP keeps no alpha")
    save_image(result, tmp_path / f"out{suffix}", palette=palette)
    with Image.open(tmp_path / f"out{suffix}") as back:
        assert back.mode == "P"
        entries = np.asarray(back.getpalette(), np.uint8).reshape(-1, 3)
        got = ["#{:02x}{:02x}{:02x}".format(*e) for e in entries]
        pixels = np.asarray(back.convert("RGBA" if alpha else "RGB"))
    assert got[: len(palette)] == palette if not alpha else got[0] in palette
    if not alpha:
        indices = np.asarray(Image.open(tmp_path / f"out{suffix}"))
        rgb = np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in palette], np.uint8)
        assert np.array_equal(rgb[indices], result)
    assert np.array_equal(_visible(Image.fromarray(pixels)), _visible(Image.fromarray(result)))


def test_a_palette_the_result_does_not_use_is_ignored(tmp_path):
    result = _levels((6, 5, 3), [0, 255])
    save_image(result, tmp_path / "out.png", palette=["#123456", "#654321"])
    with Image.open(tmp_path / "out.png") as back:
        assert np.array_equal(np.asarray(back.convert("RGB")), result)
