"""Image intake: option validation order and messages, accepted image
forms and memory layouts, and the properties of the result."""

import numpy as np
import pytest
import reference as ref
from reference import assert_images_equal

import tonalis

ed = tonalis.error_diffusion
RNG = np.random.default_rng(21)
RGB = RNG.integers(0, 256, (7, 9, 3), dtype=np.uint8)
GRAY = RNG.integers(0, 256, (5, 6), dtype=np.uint8)
BW = ["#000", "#fff"]

STRENGTH = "strength must be between 0.0 and 1.0, got "
LEVELS = "levels must be between 2 and 256, got "
BOTH = "pass either levels or palette, not both"
DTYPE = (
    "expected a uint8 image array, got dtype {}; convert with np.asarray(img, dtype=np.uint8), "
    "or (img * 255).clip(0, 255).astype(np.uint8) for float images in [0, 1]"
)
NDIM = "expected a 2-D grayscale or 3-D (H, W, C) image, got a {}-D array with shape {}"
EMPTY = "image has an empty dimension: shape "
NEEDS_RGB = (
    "palette dithering needs an RGB or RGBA image; for grayscale use `levels`, "
    "or stack to RGB with np.dstack([img] * 3)"
)
BAD_HEX = "invalid hex color \"#12\"; expected '#rgb' or '#rrggbb'"

VALIDATION = [
    (RGB, dict(strength=1.1), ValueError, STRENGTH + "1.1"),
    (RGB, dict(strength=float("nan")), ValueError, STRENGTH + "NaN"),
    (RGB, dict(strength=1e40), ValueError, STRENGTH + "inf"),
    (RGB, dict(strength=float("-inf")), ValueError, STRENGTH + "-inf"),
    (RGB, dict(strength=-0.5), ValueError, STRENGTH + "-0.5"),
    (RGB, dict(strength=2), ValueError, STRENGTH + "2"),
    (RGB, dict(strength=1.0000001), ValueError, STRENGTH + "1.0000001"),
    (RGB, dict(strength=1e30), ValueError, STRENGTH + "1" + "0" * 30),
    (RGB, dict(strength=3.4e38), ValueError, STRENGTH + "34" + "0" * 37),
    (RGB, dict(strength=-1e-40), ValueError, STRENGTH + "-0." + "0" * 39 + "1"),
    (None, dict(strength=2.0, levels=1), ValueError, STRENGTH + "2"),
    (RGB, dict(levels=1), ValueError, LEVELS + "1"),
    (RGB, dict(levels=0), ValueError, LEVELS + "0"),
    (RGB, dict(levels=True), ValueError, LEVELS + "1"),
    (RGB, dict(levels=257), ValueError, LEVELS + "257"),
    (RGB, dict(levels=2**32 - 1), ValueError, LEVELS + "4294967295"),
    (None, dict(levels=1, palette="#000"), ValueError, LEVELS + "1"),
    (RGB, dict(levels=3, palette=BW), ValueError, BOTH),
    (None, dict(levels=3, palette=["#12"]), ValueError, BOTH),
    (None, dict(levels=3, palette="#000"), ValueError, BOTH),
    (np.zeros((2, 2), np.float64), dict(palette=["#12", "#fff"]), ValueError, BAD_HEX),
    (None, dict(palette=["#000", "#12"]), ValueError, BAD_HEX),
    (np.zeros((2, 2)), {}, TypeError, DTYPE.format("float64")),
    ([[1, 2], [3, 4]], {}, TypeError, DTYPE.format("int64")),
    (np.zeros((2, 2), bool), {}, TypeError, DTYPE.format("bool")),
    (np.zeros((2, 2), np.int8), {}, TypeError, DTYPE.format("int8")),
    (np.array([["a", "b"]]), {}, TypeError, DTYPE.format("<U1")),
    (None, {}, TypeError, DTYPE.format("object")),
    (np.zeros((0,), np.float32), {}, TypeError, DTYPE.format("float32")),
    (np.zeros(5, np.uint8), {}, ValueError, NDIM.format(1, "[5]")),
    (np.zeros((), np.uint8), {}, ValueError, NDIM.format(0, "[]")),
    (np.zeros((2, 3, 4, 5), np.uint8), {}, ValueError, NDIM.format(4, "[2, 3, 4, 5]")),
    (np.zeros((0,), np.uint8), {}, ValueError, NDIM.format(1, "[0]")),
    (np.zeros((0, 0, 0, 0), np.uint8), {}, ValueError, NDIM.format(4, "[0, 0, 0, 0]")),
    (bytearray(b"abc"), {}, ValueError, NDIM.format(1, "[3]")),
    (np.zeros((0, 10), np.uint8), {}, ValueError, EMPTY + "[0, 10]"),
    (np.zeros((4, 4, 0), np.uint8), {}, ValueError, EMPTY + "[4, 4, 0]"),
    (np.zeros((3, 0), np.uint8), dict(palette=BW), ValueError, EMPTY + "[3, 0]"),
    (GRAY, dict(palette=BW), ValueError, NEEDS_RGB),
    (GRAY[..., None], dict(palette=BW), ValueError, NEEDS_RGB),
    (np.zeros((2, 2, 2), np.uint8), dict(palette=BW, levels=2), ValueError, NEEDS_RGB),
]


@pytest.mark.parametrize("image,kwargs,exc,message", VALIDATION)
def test_validation(image, kwargs, exc, message):
    with pytest.raises(exc) as info:
        ed(image, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


class Boom(Exception):
    pass


class RaisingArray:
    def __array__(self, dtype=None, copy=None):
        raise Boom("no pixels")


def test_asarray_errors_pass_through():
    with pytest.raises(Boom, match="^no pixels$"):
        ed(RaisingArray())


def _layouts():
    big = RNG.integers(0, 256, (12, 20, 4), dtype=np.uint8)
    ro = RGB.copy()
    ro.setflags(write=False)
    return {
        "fortran": np.asfortranarray(RGB),
        "transposed": RGB.transpose(1, 0, 2),
        "sliced": big[1:10:2, 3:19:3, 1:],
        "reversed": RGB[::-1, ::-1, ::-1],
        "channel view": big[..., 2],
        "column": big[:, 5, :3],
        "broadcast": np.broadcast_to(big[0, :9, :3], (7, 9, 3)),
        "zero strides": np.broadcast_to(np.uint8(77), (6, 5)),
        "read-only": ro,
        "from bytes": np.frombuffer(RGB.tobytes(), np.uint8).reshape(RGB.shape),
    }


@pytest.mark.parametrize("name", list(_layouts()))
def test_layout_gives_contiguous_result(name):
    view = _layouts()[name]
    before = view.copy()
    contiguous = np.ascontiguousarray(view)
    for kw in (dict(levels=3), dict(serpentine=True, method="stucki")):
        method = kw.pop("method", "floyd_steinberg")
        out = ed(view, method, **kw)
        assert_images_equal(out, ed(contiguous, method, **kw))
        assert_images_equal(out, ref.error_diffusion(contiguous, method, **kw))
    assert_images_equal(view, before)


THRESHOLD_CALLS = {
    "ordered 2": lambda a, **kw: tonalis.ordered_dither(a, **kw),
    "ordered 5 linear": lambda a, **kw: tonalis.ordered_dither(a, levels=5, linear=True, **kw),
    "ordered 3x3 matrix": lambda a, **kw: tonalis.ordered_dither(
        a, np.arange(9).reshape(3, 3), **kw
    ),
    "ordered 40 levels": lambda a, **kw: tonalis.ordered_dither(a, levels=40, **kw),
    "random 3": lambda a, **kw: tonalis.random_dither(a, levels=3, seed=5, **kw),
    "random linear": lambda a, **kw: tonalis.random_dither(a, linear=True, seed=5, **kw),
    "ordered palette": lambda a, **kw: tonalis.ordered_dither(a, palette=PAL, **kw),
    "random palette": lambda a, **kw: tonalis.random_dither(a, palette=PAL, seed=3, **kw),
}
PAL = ["#000", "#fff", "#f00", "#0f0", "#00f", "#ff0", "#0ff", "#f0f", "#888", "#420"]


@pytest.mark.parametrize("call", list(THRESHOLD_CALLS))
@pytest.mark.parametrize("name", list(_layouts()))
def test_threshold_engines_read_any_layout(name, call):
    view = _layouts()[name]
    if "palette" in call and (view.ndim != 3 or view.shape[2] < 3):
        return
    before = view.copy()
    f = THRESHOLD_CALLS[call]
    for kw in ({}, {"preserve_alpha": True}):
        out = f(view, **kw)
        assert out.flags.c_contiguous and out.shape == view.shape
        assert_images_equal(out, f(np.ascontiguousarray(view), **kw))
    assert_images_equal(view, before)


@pytest.mark.parametrize("call", ["ordered palette", "random palette", "random 3"])
def test_threshold_engines_copy_large_views_in_bands(call):
    # Large enough for several bands (and threads), each copied in on its own.
    big = np.random.default_rng(5).integers(0, 256, (1300, 2300, 4), dtype=np.uint8)
    view = big[::-1, 1::2, 2::-1]
    before = view.copy()
    f = THRESHOLD_CALLS[call]
    assert_images_equal(f(view), f(np.ascontiguousarray(view)))
    assert_images_equal(view, before)


class Sub(np.ndarray):
    pass


class Interface:
    def __init__(self, arr):
        self._arr = arr
        self.__array_interface__ = arr.__array_interface__


class HasArray:
    def __array__(self, dtype=None, copy=None):
        return RGB.copy()


INPUTS = {
    "array": lambda: RGB.copy(),
    "transposed": lambda: RGB.transpose(1, 0, 2),
    "read-only": lambda: np.frombuffer(RGB.tobytes(), np.uint8).reshape(RGB.shape),
    "subclass": lambda: RGB.copy().view(Sub),
    "list of arrays": lambda: [row for row in RGB],
    "array interface": lambda: Interface(RGB.copy()),
    "__array__": lambda: HasArray(),
    "memoryview": lambda: memoryview(RGB.copy()),
}


ENGINES = {
    "diffusion": lambda a: ed(a, levels=4),
    "ordered": lambda a: tonalis.ordered_dither(a, palette=PAL),
    "random": lambda a: tonalis.random_dither(a, levels=4, seed=1),
}


@pytest.mark.parametrize("engine", list(ENGINES))
@pytest.mark.parametrize("name", list(INPUTS))
def test_result_is_a_fresh_owned_array(name, engine):
    src = INPUTS[name]()
    arr = np.asarray(src)
    before = arr.copy()
    call = ENGINES[engine]
    out = call(src)
    assert type(out) is np.ndarray
    assert out.dtype == np.uint8
    assert out.shape == arr.shape
    assert out.strides == (arr.shape[1] * arr.shape[2], arr.shape[2], 1)
    assert out.flags.c_contiguous and out.flags.writeable
    assert not out.flags.owndata and out.base is not None
    assert not np.shares_memory(out, arr)
    assert_images_equal(out, call(np.ascontiguousarray(arr)))
    out[...] = 1
    assert_images_equal(arr, before)


@pytest.mark.parametrize(
    "shape", [(3, 4), (3, 4, 1), (3, 4, 2), (3, 4, 3), (3, 4, 4), (3, 4, 6), (1, 1)]
)
def test_shape_is_kept(shape):
    img = RNG.integers(0, 256, shape, dtype=np.uint8)
    out = ed(img)
    assert out.shape == shape
    assert out.strides == np.ascontiguousarray(img).strides


def test_result_views_outlive_the_result():
    out = ed(RGB, levels=3)
    expected = out.copy()
    view = out[1:, ::2]
    del out
    assert_images_equal(view, expected[1:, ::2])


def test_huge_image_raises_memory_error():
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            if f.read().strip() == "1":
                pytest.skip("the kernel grants any allocation")
    except OSError:
        pass
    huge = np.broadcast_to(np.zeros((), np.uint8), (10**6, 10**6))
    with pytest.raises(MemoryError):
        ed(huge)


# --- PIL images ---------------------------------------------------------------


@pytest.fixture
def Image():
    return pytest.importorskip("PIL.Image")


@pytest.mark.parametrize(
    "mode,shape", [("L", (5, 6)), ("LA", (5, 6, 2)), ("RGB", (5, 6, 3)), ("RGBA", (5, 6, 4))]
)
def test_pil_modes_kept(Image, mode, shape):
    arr = RNG.integers(0, 256, shape, dtype=np.uint8)
    pil = Image.fromarray(arr)
    assert pil.mode == mode
    out = ed(pil, levels=3)
    assert isinstance(out, Image.Image)
    assert out.mode == mode and out.size == pil.size
    assert_images_equal(np.asarray(out), ed(arr, levels=3))
    assert_images_equal(np.asarray(pil), arr)


@pytest.mark.parametrize("mode", ["P", "1", "CMYK", "I"])
def test_other_pil_modes_converted_to_rgb(Image, mode):
    pil = Image.fromarray(RGB).convert(mode)
    out = ed(pil, "atkinson")
    assert isinstance(out, Image.Image) and out.mode == "RGB" and out.size == pil.size
    assert_images_equal(np.asarray(out), ed(np.asarray(pil.convert("RGB")), "atkinson"))
    assert pil.mode == mode


# Every 16-bit code from both ends and the middle, including those that
# round up and down around each 8-bit step.
RAMP16 = (
    np.concatenate([np.arange(0, 600), np.arange(32500, 33100), np.arange(64936, 65536)])
    .astype(np.uint16)
    .reshape(30, 60)
)


@pytest.mark.parametrize(
    "mode,byteorder", [("I;16", "<"), ("I;16L", "<"), ("I;16B", ">"), ("I;16N", "=")]
)
def test_pil_16bit_gray_scaled_not_clipped(Image, mode, byteorder):
    pil = Image.frombytes(mode, (60, 30), RAMP16.astype(byteorder + "u2").tobytes())
    expected = np.floor(RAMP16 / 257.0 + 0.5).astype(np.uint8)
    # 256 levels leave every code as it is, so the result is the intake itself.
    out = ed(pil, levels=256)
    assert isinstance(out, Image.Image) and out.mode == "RGB" and out.size == pil.size
    assert_images_equal(np.asarray(out), np.dstack([expected] * 3))
    assert_images_equal(
        np.asarray(ed(pil, "jjn", levels=4)), ed(np.dstack([expected] * 3), "jjn", levels=4)
    )
    assert pil.mode == mode


def test_pil_palette_needs_colour_channels(Image):
    for pil in (Image.fromarray(GRAY), Image.fromarray(np.dstack([GRAY, GRAY]), "LA")):
        with pytest.raises(ValueError) as info:
            ed(pil, palette=BW)
        assert str(info.value) == NEEDS_RGB
    out = ed(Image.fromarray(RGB).convert("P"), palette=BW)
    assert out.mode == "RGB"


def test_pil_mode_errors_propagate(Image):
    class NoMode(Image.Image):
        @property
        def mode(self):
            raise Boom("mode")

    with pytest.raises(Boom):
        ed(NoMode())


def test_failing_instance_check_is_ignored(Image):
    class Odd:
        @property
        def __class__(self):
            raise Boom("class")

    with pytest.raises(TypeError) as info:
        ed(Odd())
    assert str(info.value) == DTYPE.format("object")


def test_array_interface_of_pil_image_gives_array(Image):
    pil = Image.fromarray(RGB)

    class Wrapped:
        __array_interface__ = pil.__array_interface__

    out = ed(Wrapped())
    assert type(out) is np.ndarray
    assert_images_equal(out, ed(RGB))
