"""The module's Python face: attributes, signatures, help texts, argument
binding and conversion."""

import inspect
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
import reference as ref
from reference import assert_images_equal

import tonalis

FUNCTIONS = [
    "dither",
    "ordered_dither",
    "error_diffusion",
    "random_dither",
    "available_matrices",
    "available_methods",
]

SIGNATURES = {
    "dither": '(image, method="floyd_steinberg", *, levels=2, palette=None, serpentine=False, '
    "seed=None, strength=1.0, linear=False, preserve_alpha=True)",
    "error_diffusion": '(image, method="floyd_steinberg", *, levels=2, palette=None, '
    "serpentine=False, strength=1.0, linear=False, preserve_alpha=True)",
    "ordered_dither": "(image, matrix=None, *, levels=2, palette=None, strength=1.0, "
    "linear=False, preserve_alpha=True)",
    "random_dither": "(image, *, levels=2, palette=None, seed=None, strength=1.0, "
    "linear=False, preserve_alpha=True)",
    "available_methods": "()",
    "available_matrices": "()",
}

FIRST_LINES = {
    "dither": "Dither an image \u2014 the one-stop entry point.",
    "error_diffusion": "Apply error-diffusion dithering (Floyd\u2013Steinberg and friends).",
    "ordered_dither": "Apply ordered (Bayer / threshold-matrix) dithering.",
    "random_dither": "Apply random (white-noise) threshold dithering.",
    "available_methods": "List the valid `method` values for `error_diffusion`.",
    "available_matrices": "List the valid `matrix` values for `ordered_dither`.",
}

# seed chosen so that every option changes the result
IMG = np.random.default_rng(4).integers(0, 256, (6, 7, 2), dtype=np.uint8)


def test_module_attributes():
    assert tonalis.__version__ == "0.2.0"
    assert type(tonalis.__all__) is list
    assert tonalis.__all__ == ["__version__"] + FUNCTIONS
    assert tonalis.__doc__ == ""
    order = [k for k in vars(tonalis) if k in tonalis.__all__]
    assert order == tonalis.__all__


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    fn = getattr(tonalis, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__module__ == "tonalis"
    assert fn.__self__ is None
    assert fn.__text_signature__ == SIGNATURES[name]
    expected = SIGNATURES[name].replace('"', "'")
    assert str(inspect.signature(fn)) == expected
    doc = fn.__doc__
    assert doc.split("\n")[0] == FIRST_LINES[name]
    assert not doc.endswith("\n")
    if name in ("available_methods", "available_matrices"):
        assert doc == FIRST_LINES[name]
    else:
        assert doc.endswith("\n\nReturns:\n    A new uint8 array (or PIL image) of the same shape.")


def test_listing_functions_take_no_arguments():
    for fn in (tonalis.available_methods, tonalis.available_matrices):
        for args, kwargs in (((1,), {}), ((), {"x": 1})):
            with pytest.raises(TypeError):
                fn(*args, **kwargs)


BINDING = [
    ("dither", (), {}, "dither() missing 1 required positional argument: 'image'"),
    (
        "error_diffusion",
        (),
        {},
        "error_diffusion() missing 1 required positional argument: 'image'",
    ),
    (
        "random_dither",
        (),
        dict(levels=2),
        "random_dither() missing 1 required positional argument: 'image'",
    ),
    (
        "dither",
        (IMG, "fs", 3),
        {},
        "dither() takes from 1 to 2 positional arguments but 3 were given",
    ),
    (
        "ordered_dither",
        (IMG, None, 2, 4),
        {},
        "ordered_dither() takes from 1 to 2 positional arguments but 4 were given",
    ),
    (
        "error_diffusion",
        (IMG, "fs", 3),
        dict(foo=1),
        "error_diffusion() takes from 1 to 2 positional arguments but 3 were given",
    ),
    (
        "random_dither",
        (IMG, 2),
        {},
        "random_dither() takes 1 positional arguments but 2 were given",
    ),
    ("dither", (), dict(foo=1), "dither() got an unexpected keyword argument 'foo'"),
    ("dither", (), dict(method="fs", foo=1), "dither() got an unexpected keyword argument 'foo'"),
    (
        "dither",
        (IMG, "fs"),
        dict(method="fs"),
        "dither() got multiple values for argument 'method'",
    ),
    ("dither", (IMG,), dict(image=IMG), "dither() got multiple values for argument 'image'"),
    (
        "dither",
        (IMG, "fs"),
        dict(bar=1, method="fs"),
        "dither() got an unexpected keyword argument 'bar'",
    ),
    (
        "dither",
        (IMG, "fs"),
        dict(method="fs", bar=1),
        "dither() got multiple values for argument 'method'",
    ),
    (
        "dither",
        (IMG,),
        {"l\u00e9vels": 2},
        "dither() got an unexpected keyword argument 'l\u00e9vels'",
    ),
    ("dither", (IMG,), dict(Levels=2), "dither() got an unexpected keyword argument 'Levels'"),
    (
        "error_diffusion",
        (IMG,),
        dict(seed=1),
        "error_diffusion() got an unexpected keyword argument 'seed'",
    ),
    (
        "error_diffusion",
        (IMG,),
        dict(matrix=None),
        "error_diffusion() got an unexpected keyword argument 'matrix'",
    ),
    (
        "error_diffusion",
        (IMG, 5),
        dict(levels="x", foo=1),
        "error_diffusion() got an unexpected keyword argument 'foo'",
    ),
    (
        "ordered_dither",
        (IMG,),
        dict(method="fs"),
        "ordered_dither() got an unexpected keyword argument 'method'",
    ),
    (
        "ordered_dither",
        (IMG,),
        dict(serpentine=True),
        "ordered_dither() got an unexpected keyword argument 'serpentine'",
    ),
    (
        "random_dither",
        (IMG,),
        dict(matrix=None),
        "random_dither() got an unexpected keyword argument 'matrix'",
    ),
]


@pytest.mark.parametrize("name,args,kwargs,message", BINDING)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(tonalis, name)(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatLike:
    def __float__(self):
        return 0.5


OOR = "out of range integral type conversion attempted"

CONVERSION = [
    (
        "error_diffusion",
        dict(method=None),
        TypeError,
        "'None' is not an instance of 'str'",
        "method",
    ),
    (
        "error_diffusion",
        dict(method=5),
        TypeError,
        "'int' object is not an instance of 'str'",
        "method",
    ),
    (
        "dither",
        dict(method=b"fs"),
        TypeError,
        "'bytes' object is not an instance of 'str'",
        "method",
    ),
    ("error_diffusion", dict(method="f\ud800s"), UnicodeEncodeError, None, "method"),
    ("error_diffusion", dict(levels=2.0), TypeError, None, "levels"),
    ("random_dither", dict(levels=None), TypeError, None, "levels"),
    ("error_diffusion", dict(levels=-1), OverflowError, OOR, "levels"),
    ("dither", dict(levels=2**32), OverflowError, OOR, "levels"),
    ("error_diffusion", dict(levels=Index(-3)), OverflowError, OOR, "levels"),
    ("error_diffusion", dict(levels=2**64), OverflowError, None, "levels"),
    (
        "error_diffusion",
        dict(serpentine=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "serpentine",
    ),
    (
        "dither",
        dict(serpentine=0),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "serpentine",
    ),
    (
        "error_diffusion",
        dict(serpentine=None),
        TypeError,
        "'None' is not an instance of 'bool'",
        "serpentine",
    ),
    (
        "ordered_dither",
        dict(linear="yes"),
        TypeError,
        "'str' object is not an instance of 'bool'",
        "linear",
    ),
    (
        "error_diffusion",
        dict(preserve_alpha=np.float64(1.0)),
        TypeError,
        "'float64' object is not an instance of 'bool'",
        "preserve_alpha",
    ),
    (
        "error_diffusion",
        dict(preserve_alpha=np.int8(1)),
        TypeError,
        "'int8' object is not an instance of 'bool'",
        "preserve_alpha",
    ),
    ("error_diffusion", dict(strength="0.5"), TypeError, None, "strength"),
    ("ordered_dither", dict(strength=None), TypeError, None, "strength"),
    ("error_diffusion", dict(strength=10**400), OverflowError, None, "strength"),
    ("dither", dict(seed=2**127), OverflowError, "Python int larger than 128 bits", "seed"),
    (
        "random_dither",
        dict(seed=-(2**127) - 1),
        OverflowError,
        "Python int larger than 128 bits",
        "seed",
    ),
    ("dither", dict(seed=1.5), TypeError, None, "seed"),
    ("random_dither", dict(seed="1"), TypeError, None, "seed"),
    # the first bad argument in parameter order wins, whatever the keyword order
    ("error_diffusion", dict(strength="x", levels=-1), OverflowError, OOR, "levels"),
    (
        "error_diffusion",
        dict(levels="x", method=5),
        TypeError,
        "'int' object is not an instance of 'str'",
        "method",
    ),
    (
        "error_diffusion",
        dict(strength="x", serpentine=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "serpentine",
    ),
    ("error_diffusion", dict(linear=1, strength="x"), TypeError, None, "strength"),
    (
        "error_diffusion",
        dict(preserve_alpha=1, linear=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "linear",
    ),
    (
        "dither",
        dict(seed=1.5, serpentine=1),
        TypeError,
        "'int' object is not an instance of 'bool'",
        "serpentine",
    ),
    ("dither", dict(strength="x", seed=1.5), TypeError, None, "seed"),
    ("random_dither", dict(strength="x", seed=1.5), TypeError, None, "seed"),
    ("ordered_dither", dict(matrix="bayer3x3", levels="x"), TypeError, None, "levels"),
    # conversion comes before the method name and the image are looked at
    ("error_diffusion", dict(image=None, method="nope", levels=-1), OverflowError, OOR, "levels"),
    ("dither", dict(image=None, method="nope", seed=1.5), TypeError, None, "seed"),
]


@pytest.mark.parametrize("name,kwargs,exc,message,param", CONVERSION)
def test_conversion_errors(name, kwargs, exc, message, param):
    kwargs.setdefault("image", IMG)
    with pytest.raises(exc) as info:
        getattr(tonalis, name)(**kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


class NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes here")


class RaisingIndex:
    def __index__(self):
        raise NoNotes("bad index")


def test_conversion_error_raised_as_is_when_note_cannot_be_added():
    with pytest.raises(NoNotes, match="^bad index$") as info:
        tonalis.error_diffusion(IMG, levels=RaisingIndex())
    assert not getattr(info.value, "__notes__", None)


def _ed(**kw):
    return tonalis.error_diffusion(IMG, **kw)


# (accepted form, plain form giving the same result)
EQUIVALENT = [
    (dict(image=IMG), {}),
    (dict(method=np.str_("fs")), dict(method="floyd_steinberg")),
    (dict(palette=None), {}),
    (dict(levels=np.int64(3)), dict(levels=3)),
    (dict(levels=Index(5)), dict(levels=5)),
    (dict(serpentine=np.True_), dict(serpentine=True)),
    (dict(serpentine=np.bool_(False)), dict(serpentine=False)),
    (dict(linear=np.True_), dict(linear=True)),
    (dict(preserve_alpha=np.False_), dict(preserve_alpha=False)),
    (dict(strength=1), dict(strength=1.0)),
    (dict(strength=True), dict(strength=1.0)),
    (dict(strength=1.00000001), dict(strength=1.0)),
    (dict(strength=0.30000000000000004), dict(strength=0.3)),
    (dict(strength=np.float32(0.5)), dict(strength=0.5)),
    (dict(strength=FloatLike()), dict(strength=0.5)),
    (dict(strength=-0.0), dict(strength=0.0)),
    (dict(strength=1e-46), dict(strength=0.0)),
]


@pytest.mark.parametrize("accepted,plain", EQUIVALENT)
def test_accepted_conversions(accepted, plain):
    image = accepted.pop("image", None)
    out = tonalis.error_diffusion(image, **accepted) if image is not None else _ed(**accepted)
    assert_images_equal(out, _ed(**plain))


@pytest.mark.parametrize("seed", [-5, 0, 2**127 - 1, -(2**127), np.int64(7), True, Index(9)])
def test_seed_values_accepted_and_ignored_by_diffusion(seed):
    assert_images_equal(tonalis.dither(IMG, "fs", seed=seed), _ed())


def test_family_argument_checked_before_image():
    with pytest.raises(ValueError, match='^unknown error-diffusion method "nope"'):
        tonalis.error_diffusion(None, "nope")
    with pytest.raises(ValueError) as info:
        tonalis.ordered_dither(None, "bayer3x3")
    assert not str(info.value).startswith("expected")
    with pytest.raises(TypeError, match=r"^expected a uint8 image array, got dtype object;"):
        tonalis.random_dither(None)


def test_arrays_work_without_pil():
    code = (
        "import sys\n"
        "sys.modules['PIL'] = None\n"
        "sys.modules['PIL.Image'] = None\n"
        "import numpy as np, tonalis\n"
        "rows = [np.array([0, 200, 90], np.uint8), np.array([90, 255, 30], np.uint8)]\n"
        "out = tonalis.error_diffusion(rows, 'jjn')\n"
        "assert type(out) is np.ndarray\n"
        "try:\n"
        "    tonalis.error_diffusion([[1, 2]])\n"
        "except TypeError as e:\n"
        "    assert f'got dtype {np.asarray([[1, 2]]).dtype};' in str(e), e\n"
        "else:\n"
        "    raise AssertionError('a list of ints accepted')\n"
        "print(out.tolist())\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )
    assert run.returncode == 0, run.stderr
    expected = ref.error_diffusion(
        np.array([[0, 200, 90], [90, 255, 30]], np.uint8), "jarvis_judice_ninke"
    )
    assert run.stdout.strip() == str(expected.tolist())


def test_only_init_function_is_exported():
    nm = shutil.which("nm")
    path = getattr(tonalis, "__file__", None)
    if nm is None or not path or not path.endswith(".so"):
        pytest.skip("needs nm and a shared-object build")
    out = subprocess.run(
        [nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    linker = {"_init", "_fini", "_edata", "_end", "__bss_start"}
    names = {
        f[-1] for f in (line.split() for line in out.splitlines()) if len(f) >= 2 and f[-2] != "A"
    }
    assert names - linker == {"PyInit_tonalis"}
