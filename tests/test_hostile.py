"""Every function fed arbitrary and hostile arguments: each call gives a
well-formed result or a clean exception, and leaves the caller's objects as
they were, references included."""

import copy
import gc
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tonalis

Image = pytest.importorskip("PIL.Image")


class Hostile(Exception):
    """What the hostile objects raise, to tell their failures from the module's."""


ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, UnicodeEncodeError, Hostile)

# --- the objects ---------------------------------------------------------------

DUNDERS = [
    "__index__",
    "__int__",
    "__float__",
    "__iter__",
    "__len__",
    "__getitem__",
    "__array__",
    "__bool__",
]
WRONG = [None, "x", 1.5, -1, 2**100, [], object(), b"\x00", np.float64("nan")]


def hostile(dunder, wrong):
    """An object whose one special method raises Hostile, or returns `wrong`."""

    def method(self, *args, **kwargs):
        if wrong is Hostile:
            raise Hostile(f"{dunder} refused")
        if dunder == "__getitem__" and args and args[0] == 3:
            raise IndexError(3)  # the end, for those that iterate by index
        return wrong

    namespace = {dunder: method}
    if dunder == "__getitem__":  # a sequence of three troublesome items
        namespace["__len__"] = lambda self: 3
    return type(f"Hostile{dunder.strip('_').title()}", (), namespace)()


def refuse(*args, **kwargs):
    raise Hostile("refused")


def hostile_pil(attribute, mode):
    """A PIL image whose mode or convert raises."""
    cls = type(
        "HostilePil",
        (Image.Image,),
        {attribute: property(refuse) if attribute == "mode" else refuse},
    )
    im = cls()
    im.__dict__.update(Image.new(mode, (3, 2)).__dict__)
    return im


class ArrayLike:
    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


def gen(items):
    return (x for x in items)


DTYPES = [
    np.bool_,
    np.int8,
    np.uint8,
    np.int16,
    np.uint16,
    np.int32,
    np.uint32,
    np.int64,
    np.uint64,
    np.float16,
    np.float32,
    np.float64,
    np.longdouble,
    np.complex64,
    np.complex128,
    object,
    "U3",
    "S2",
    "V2",
    "datetime64[s]",
    "timedelta64[ms]",
    [("a", np.uint8), ("b", np.uint8)],
]
PIL_MODES = [
    "1",
    "L",
    "LA",
    "La",
    "P",
    "PA",
    "RGB",
    "RGBA",
    "RGBa",
    "RGBX",
    "CMYK",
    "YCbCr",
    "LAB",
    "HSV",
    "I",
    "I;16",
    "I;16B",
    "F",
]


@st.composite
def arrays(draw, dtypes=None, dims=(0, 5), side=(0, 4)):
    dtypes = st.sampled_from(DTYPES) if dtypes is None else dtypes
    shape = tuple(draw(st.lists(st.integers(*side), min_size=dims[0], max_size=dims[1])))
    dtype = np.dtype(draw(dtypes))
    size = (1 if dtype.hasobject else dtype.itemsize) * int(np.prod(shape))
    raw = draw(st.binary(min_size=size, max_size=size))
    if dtype.hasobject:
        a = np.array(list(raw), dtype=object)[: int(np.prod(shape))].reshape(shape)
    else:
        a = np.frombuffer(raw, np.uint8).copy().view(dtype).reshape(shape)
    layout = draw(st.sampled_from(["c", "f", "reversed", "strided", "broadcast", "readonly"]))
    if layout == "f":
        a = np.asfortranarray(a)
    elif layout == "reversed" and a.ndim:
        a = a[::-1, ...][..., ::-1]
    elif layout == "strided" and a.ndim:
        a = np.repeat(a, 2, axis=-1)[..., ::2]
    elif layout == "broadcast" and a.ndim and a.shape[0]:
        a = np.broadcast_to(a[:1], (3,) + a.shape[1:])
    elif layout == "readonly":
        a.setflags(write=False)
    return a


uint8_images = arrays(dtypes=st.just(np.uint8), dims=(2, 3), side=(1, 5))
pil_images = st.builds(
    Image.new, st.sampled_from(PIL_MODES), st.tuples(st.integers(0, 4), st.integers(0, 4))
)
hostile_objects = st.builds(hostile, st.sampled_from(DUNDERS), st.sampled_from(WRONG + [Hostile]))
texts = st.text(st.characters(exclude_categories=()), max_size=6) | st.sampled_from(
    ["fs", "Bayer 4x4", "random", "#fff", "8", "\ud800", "f\x00s", "bool"]
)
integers = st.integers(-(2**130), 2**130) | st.sampled_from(
    [0, 1, 2, 3, 4, 8, 16, 255, 256, 257, 2**24, 2**32, 2**63, 2**64, 2**127]
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    integers,
    st.floats(),
    texts,
    st.binary(max_size=4),
    st.sampled_from([np.True_, np.int64(4), np.float32(0.5)]),
)
anything = st.deferred(
    lambda: st.one_of(
        scalars,
        arrays(),
        pil_images,
        hostile_objects,
        st.lists(anything, max_size=4),
        st.tuples(anything, anything, anything),
        st.lists(anything, max_size=4).map(gen),
        st.builds(hostile_pil, st.sampled_from(["mode", "convert"]), st.sampled_from(["L", "P"])),
    )
)

# Plausible values, so that calls get past the first checks to the later ones.
VALID = {
    "image": uint8_images | pil_images | uint8_images.map(ArrayLike),
    "method": st.sampled_from(["fs", "atkinson", "sierra-lite", "bayer2x2", "random"]),
    "matrix": st.sampled_from([None, 2, "bayer4x4", np.eye(3), np.arange(4).reshape(2, 2)]).map(
        copy.deepcopy
    ),
    "levels": st.integers(2, 256),
    "palette": st.sampled_from(
        [
            None,
            ["#000", "#fff"],
            [(0, 0, 0), (255, 0, 0), (0, 9, 9)],
            np.array([[0, 0, 0], [9, 9, 9]], np.uint8),
        ]
    ).map(copy.deepcopy),
    "serpentine": st.booleans(),
    "linear": st.booleans(),
    "preserve_alpha": st.booleans(),
    "seed": st.none() | st.integers(-(2**127), 2**127 - 1),
    "strength": st.floats(0, 1),
}
PARAMS = {
    tonalis.dither: [
        "image",
        "method",
        "levels",
        "palette",
        "serpentine",
        "seed",
        "strength",
        "linear",
        "preserve_alpha",
    ],
    tonalis.error_diffusion: [
        "image",
        "method",
        "levels",
        "palette",
        "serpentine",
        "strength",
        "linear",
        "preserve_alpha",
    ],
    tonalis.ordered_dither: [
        "image",
        "matrix",
        "levels",
        "palette",
        "strength",
        "linear",
        "preserve_alpha",
    ],
    tonalis.random_dither: [
        "image",
        "levels",
        "palette",
        "seed",
        "strength",
        "linear",
        "preserve_alpha",
    ],
}
LISTINGS = [tonalis.available_methods, tonalis.available_matrices]


@st.composite
def calls(draw):
    fn = draw(st.sampled_from(list(PARAMS)))
    kwargs = {}
    for name in PARAMS[fn]:
        choice = draw(st.sampled_from(["omit", "omit", "valid", "valid", "valid", "hostile"]))
        if name == "image" or choice != "omit":
            kwargs[name] = draw(VALID[name] if choice == "valid" else anything)
    return fn, kwargs


# --- the checks ----------------------------------------------------------------


def reachable(obj, depth=0):
    """The object and what it holds that the module may look at."""
    yield obj
    if isinstance(obj, ArrayLike):
        yield obj.array
    elif depth < 3 and isinstance(obj, (list, tuple)):
        for item in obj:
            yield from reachable(item, depth + 1)


def state(obj):
    if isinstance(obj, np.ndarray):
        return (obj.shape, obj.strides, obj.dtype, str(obj.flags), obj.tobytes())
    if isinstance(obj, Image.Image) and type(obj) is Image.Image:
        return (obj.mode, obj.size, obj.tobytes())
    return None


def counted(obj):
    """Objects made afresh for each example; shared constants and cached
    numbers change their counts through unrelated code."""
    return isinstance(obj, (np.ndarray, Image.Image, list, ArrayLike, type(gen(())))) or (
        type(obj).__name__.startswith("Hostile") or (type(obj) is tuple and obj != ())
    )


def check_call(fn, *args, **kwargs):
    objects = [o for a in (*args, *kwargs.values()) for o in reachable(a)]
    before = [(state(o), sys.getrefcount(o)) for o in objects]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = fn(*args, **kwargs)
    except ALLOWED as e:
        assert str(e) != "", f"{type(e).__name__} without a message"
        out = None
    if isinstance(out, list):
        assert fn in LISTINGS and all(type(name) is str for name in out)
    elif out is not None:
        image = kwargs["image"] if "image" in kwargs else args[0]
        image = image.array if isinstance(image, ArrayLike) else image
        if isinstance(image, Image.Image):
            assert isinstance(out, Image.Image) and out.size == image.size
        else:
            assert type(out) is np.ndarray and out.dtype == np.uint8 and out.ndim in (2, 3)
            assert out.flags.c_contiguous and out.flags.writeable
            if isinstance(image, np.ndarray):
                assert out.shape == image.shape and not np.shares_memory(out, image)
        del image  # held here, it would count as a reference
    after = [(state(o), sys.getrefcount(o)) for o in objects]
    if [r for _, r in before] != [r for _, r in after]:
        gc.collect()  # cycles through tracebacks inside numpy or PIL hold references too
        after = [(state(o), sys.getrefcount(o)) for o in objects]
    for o, (s0, r0), (s1, r1) in zip(objects, before, after):
        assert s0 == s1, f"{type(o).__name__} argument was changed"
        if counted(o):
            assert r0 == r1, f"reference count of a {type(o).__name__} argument changed"
    return out


FUZZ = settings(
    max_examples=400, deadline=None, database=None, suppress_health_check=list(HealthCheck)
)


@settings(FUZZ, max_examples=600)
@given(calls())
def test_keyword_calls(call):
    fn, kwargs = call
    check_call(fn, **kwargs)


@FUZZ
@given(st.sampled_from(list(PARAMS) + LISTINGS), st.lists(anything, max_size=3))
def test_positional_calls(fn, args):
    check_call(fn, *args)


@FUZZ
@given(
    st.sampled_from(list(PARAMS)),
    uint8_images,
    st.dictionaries(
        st.sampled_from(
            ["method", "matrix", "levels", "palette", "seed", "strength", "serpentine"]
        ),
        anything,
        max_size=2,
    ),
)
def test_hostile_options_on_a_valid_image(fn, image, options):
    options = {k: v for k, v in options.items() if k in PARAMS[fn]}
    check_call(fn, image, **options)


@pytest.mark.parametrize("dunder", DUNDERS)
@pytest.mark.parametrize(
    "param",
    [
        "image",
        "method",
        "matrix",
        "levels",
        "palette",
        "seed",
        "strength",
        "serpentine",
        "linear",
        "preserve_alpha",
    ],
)
def test_every_hostile_method_in_every_slot(param, dunder):
    image = np.zeros((3, 4, 3), np.uint8)
    for wrong in WRONG + [Hostile]:
        for fn in (fn for fn in PARAMS if param in PARAMS[fn]):
            h = hostile(dunder, wrong)
            for value in [h, [(0, 0, 0), h], ["#000", "#fff", h]] if param == "palette" else [h]:
                check_call(fn, **{"image": image, param: value})


@pytest.mark.parametrize("mode", PIL_MODES)
@pytest.mark.parametrize("size", [(0, 0), (1, 1), (5, 3)])
def test_pil_images_of_every_mode(mode, size):
    image = Image.new(mode, size)
    for fn in PARAMS:
        for palette in (None, ["#000", "#fff"]):
            check_call(fn, image, palette=palette)
