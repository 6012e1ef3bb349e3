"""Error diffusion: method names, worked examples, and bit-exact agreement
with the slow model in reference.py."""

import numpy as np
import pytest
import reference as ref
from reference import assert_images_equal

import tonalis

METHODS = [
    "floyd_steinberg",
    "false_floyd_steinberg",
    "jarvis_judice_ninke",
    "stucki",
    "atkinson",
    "burkes",
    "sierra",
    "sierra_two_row",
    "sierra_lite",
]
VALID = ", ".join(f"'{m}'" for m in METHODS)


def _random(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


# An image on which the nine kernels give nine different results, so that
# comparing with one kernel's output identifies the kernel.
PROBE = _random((8, 9), 16)
PROBE_OUT = {m: ref.error_diffusion(PROBE, m) for m in METHODS}


def test_probe_tells_kernels_apart():
    outs = [PROBE_OUT[m].tobytes() for m in METHODS]
    assert len(set(outs)) == len(METHODS)


def test_listing_functions():
    assert tonalis.available_methods() == METHODS
    assert tonalis.available_matrices() == ["bayer2x2", "bayer4x4", "bayer8x8", "bayer16x16"]
    for fn in (tonalis.available_methods, tonalis.available_matrices):
        first, second = fn(), fn()
        assert type(first) is list and all(type(s) is str for s in first)
        assert first is not second
        first.append("x")
        first[0] = "y"
        assert fn() == second


class StrSub(str):
    pass


ALIASES = [
    (
        "floyd_steinberg",
        [
            "fs",
            "FS",
            "F-S",
            "f_s",
            " f s ",
            "--f_s--",
            "Floyd Steinberg",
            "FLOYD_STEINBERG",
            "floyd-steinberg",
            "floydsteinberg",
            StrSub("Fs"),
        ],
    ),
    ("false_floyd_steinberg", ["ffs", "FFS", "false-floyd-steinberg", "False Floyd_Steinberg"]),
    ("jarvis_judice_ninke", ["jjn", "JJN", "jarvis", "Jarvis-Judice-Ninke", "J J N"]),
    ("stucki", ["STUCKI", "Stu-cki"]),
    ("atkinson", ["ATKINSON", "at kin son"]),
    ("burkes", ["Burkes", "_burkes_"]),
    ("sierra", ["Sierra", "sierra3", "sierra-3", "SIERRA 3"]),
    (
        "sierra_two_row",
        [
            "sierra2",
            "Sierra-2",
            "sierra_two_row",
            "two-row-sierra",
            "Two Row Sierra",
            "sierratworow",
        ],
    ),
    ("sierra_lite", ["Sierra Lite", "sierra-2-4a", "SIERRA24A", "sierralite"]),
]


@pytest.mark.parametrize("canonical,name", [(c, n) for c, names in ALIASES for n in [c] + names])
def test_method_names_resolve(canonical, name):
    assert_images_equal(tonalis.error_diffusion(PROBE, name), PROBE_OUT[canonical])


def test_default_method_is_floyd_steinberg():
    assert_images_equal(tonalis.error_diffusion(PROBE), PROBE_OUT["floyd_steinberg"])


# (caller's text, how the message quotes it)
UNKNOWN = [
    ("Foo", '"Foo"'),
    ("", '""'),
    ("floyd", '"floyd"'),
    ("sierra3row", '"sierra3row"'),
    ("judice", '"judice"'),
    ("Floyd\u2013Steinberg", '"Floyd\u2013Steinberg"'),
    ("fs\t", '"fs\\t"'),
    ("f\r\ns\0", '"f\\r\\ns\\0"'),
    ('say "fs"', '"say \\"fs\\""'),
    ("back\\slash", '"back\\\\slash"'),
    ("it's", '"it\'s"'),
    ("f\u0301s", '"f\\u{301}s"'),
    ("fs\u20dd", '"fs\\u{20dd}"'),
    ("\x1b[0m\x7f\x85", '"\\u{1b}[0m\\u{7f}\\u{85}"'),
    ("\u00c4tkinson", '"\u00c4tkinson"'),
    ("\u65e5\u672c fs", '"\u65e5\u672c fs"'),
    ("sierra\u00a0lite", None),
]


@pytest.mark.parametrize("name,quoted", UNKNOWN)
def test_unknown_method(name, quoted):
    with pytest.raises(ValueError) as info:
        tonalis.error_diffusion(PROBE, name)
    msg = str(info.value)
    if quoted is not None:
        assert msg == f"unknown error-diffusion method {quoted}; valid values: {VALID}"
    else:
        assert msg.startswith('unknown error-diffusion method "') and msg.endswith(VALID)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(image=None),
        dict(image=np.zeros((2, 2), np.float64)),
        dict(image=np.zeros(3, np.uint8)),
        dict(image=PROBE, strength=2.0),
        dict(image=PROBE, levels=1),
        dict(image=PROBE, palette="#000"),
        dict(image=PROBE, palette=["#000", "#fff"], levels=3),
    ],
)
def test_unknown_method_reported_before_other_errors(kwargs):
    with pytest.raises(ValueError, match=r'^unknown error-diffusion method "NoSuch"'):
        tonalis.error_diffusion(method="NoSuch", **kwargs)


def _row(*values):
    return np.array([values], dtype=np.uint8)


WORKED = [
    (_row(128, 128, 128, 128), {}, _row(255, 0, 255, 0)),
    (
        np.array([[60, 120, 180, 240]] * 2, np.uint8),
        {},
        np.array([[0, 255, 255, 255], [0, 0, 255, 255]], np.uint8),
    ),
    (
        np.array([[60, 120, 180, 240]] * 2, np.uint8),
        dict(serpentine=True),
        np.array([[0, 255, 255, 255], [0, 0, 0, 255]], np.uint8),
    ),
    (_row(64, 64, 64, 64), dict(levels=3), _row(128, 0, 128, 0)),
    (_row(*[100] * 8), dict(method="atkinson"), _row(0, 0, 0, 255, 0, 0, 0, 255)),
    (_row(127, 128, 0, 255, 200), dict(strength=0.0), _row(0, 255, 0, 255, 255)),
    # sierra_lite passes half the error right: 127 + 0.5 reaches the 127.5 threshold
    (_row(1, 127), dict(method="sierra_lite"), _row(0, 255)),
    (
        np.full((1, 4, 3), 128, np.uint8),
        dict(palette=["#000", "#fff"]),
        np.array([[[255] * 3, [0] * 3, [255] * 3, [0] * 3]], np.uint8),
    ),
    (
        np.full((1, 4, 4), [128, 128, 128, 77], np.uint8),
        dict(palette=["#000", "#fff"]),
        np.array([[[255, 255, 255, 77], [0, 0, 0, 77]] * 2], np.uint8),
    ),
    (
        np.full((1, 4, 4), [128, 128, 128, 77], np.uint8),
        dict(palette=["#000", "#fff"], preserve_alpha=False),
        np.array([[[255, 255, 255, 77], [0, 0, 0, 77]] * 2], np.uint8),
    ),
    (
        np.full((1, 4, 2), [128, 77], np.uint8),
        {},
        np.array([[[255, 77], [0, 77], [255, 77], [0, 77]]], np.uint8),
    ),
    (
        np.full((1, 4, 2), [128, 77], np.uint8),
        dict(preserve_alpha=False),
        np.array([[[255, 0], [0, 0], [255, 0], [0, 255]]], np.uint8),
    ),
]


@pytest.mark.parametrize("img,kwargs,expected", WORKED)
def test_worked_examples(img, kwargs, expected):
    assert_images_equal(tonalis.error_diffusion(img, **kwargs), expected)
    method = kwargs.pop("method", "floyd_steinberg")
    assert_images_equal(ref.error_diffusion(img, method, **kwargs), expected)


SHAPES = [(1, 1), (1, 9), (9, 1), (2, 3), (4, 5, 3), (9, 13)]


@pytest.mark.parametrize("levels", [2, 3, 4, 16, 256])
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    "serpentine,linear", [(False, False), (True, False), (False, True), (True, True)]
)
def test_levels_match_reference(method, levels, serpentine, linear):
    for i, shape in enumerate(SHAPES):
        img = _random(shape, 1000 * levels + i)
        kw = dict(levels=levels, serpentine=serpentine, linear=linear)
        assert_images_equal(
            tonalis.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw)
        )


def _near_threshold(shape, seed):
    # codes clustered around the middle make exact ties at level boundaries likely
    rng = np.random.default_rng(seed)
    return rng.choice(
        np.array([0, 1, 2, 63, 64, 85, 126, 127, 128, 129, 170, 191, 254, 255], np.uint8),
        size=shape,
    )


@pytest.mark.parametrize("strength", [0.0, 0.5, 0.3, 1.0])
@pytest.mark.parametrize("method", METHODS)
def test_strength_matches_reference(method, strength):
    for levels, img in (
        (2, _near_threshold((7, 11), 5)),
        (3, _near_threshold((6, 6, 3), 6)),
        (5, _random((8, 9), 7)),
    ):
        kw = dict(levels=levels, strength=strength, serpentine=True)
        assert_images_equal(
            tonalis.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw)
        )


@pytest.mark.parametrize("method", METHODS)
def test_larger_image_matches_reference(method):
    img = _random((23, 31, 3), 11)
    for kw in (dict(levels=2, serpentine=True), dict(levels=4, linear=True)):
        assert_images_equal(
            tonalis.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw)
        )


# One-channel rows are walked in groups of eight, each row some pixels behind
# the one above: heights that leave a partial group, rows wider and narrower
# than a group's stagger, and gray with alpha (samples two bytes apart).
@pytest.mark.parametrize(
    "levels,strength,linear",
    [(2, 1.0, False), (2, 0.45, True), (3, 1.0, False), (16, 0.8, True), (256, 1.0, False)],
)
@pytest.mark.parametrize("method", METHODS)
def test_gray_row_groups_match_reference(method, levels, strength, linear):
    kw = dict(levels=levels, strength=strength, linear=linear)
    for i, shape in enumerate([(37, 61), (8, 40), (6, 23), (11, 50, 2)]):
        img = _near_threshold(shape, 40 + i) if levels == 2 else _random(shape, 40 + i)
        assert_images_equal(
            tonalis.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw)
        )


@pytest.mark.parametrize("channels", [2, 4])
@pytest.mark.parametrize("preserve_alpha", [True, False])
@pytest.mark.parametrize("method", ["floyd_steinberg", "jarvis_judice_ninke", "atkinson"])
def test_alpha_channel(method, channels, preserve_alpha):
    img = _random((5, 7, channels), channels)
    kw = dict(levels=3, serpentine=True, preserve_alpha=preserve_alpha)
    out = tonalis.error_diffusion(img, method, **kw)
    assert_images_equal(out, ref.error_diffusion(img, method, **kw))
    if preserve_alpha:
        assert_images_equal(out[..., -1], img[..., -1])
    else:
        assert set(np.unique(out[..., -1])) <= {0, 128, 255}


PALETTES = [
    ["#000", "#fff"],
    [(255, 0, 0), (0, 0, 255), (20, 200, 20)],
    ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
    ["#fff", (0, 0, 0), "#f00", "#0f0", "#00f"],
    [(10, 10, 10), (10, 10, 10), (240, 240, 240)],
]


@pytest.mark.parametrize("channels", [3, 4, 5])
@pytest.mark.parametrize("palette", PALETTES, ids=range(len(PALETTES)))
@pytest.mark.parametrize("method", METHODS)
def test_palette_matches_reference(method, palette, channels):
    for i, (serpentine, linear, strength) in enumerate(
        [(False, False, 1.0), (True, True, 1.0), (True, False, 0.5)]
    ):
        img = _random((5, 6, channels), 100 * channels + i)
        kw = dict(palette=palette, serpentine=serpentine, linear=linear, strength=strength)
        out = tonalis.error_diffusion(img, method, preserve_alpha=bool(i % 2), **kw)
        assert_images_equal(out, ref.error_diffusion(img, method, **kw))
        assert_images_equal(out[..., 3:], img[..., 3:])


def _nearest_float32(p, colors):
    """The reference's nearest colour with numpy: the same float32 steps,
    and argmin keeps the first of equal distances."""
    c = np.asarray(colors, dtype=np.float32)
    d = (np.float32(p[0]) - c[:, 0]) ** 2 + (np.float32(p[1]) - c[:, 1]) ** 2
    return int(np.argmin(d + (np.float32(p[2]) - c[:, 2]) ** 2))


def _shuffled(colors, seed):
    colors = [tuple(int(v) for v in c) for c in colors]
    order = np.random.default_rng(seed).permutation(len(colors))
    return [colors[i] for i in order]


_GRID8 = np.stack(np.meshgrid(*[np.arange(0, 256, 32)] * 3, indexing="ij"), -1).reshape(-1, 3)

# Large palettes, where the search starts from the previous pixel's colour
# and needs a proof that nothing it skipped is nearer, and falls back to
# the whole palette when it has none.
LARGE_PALETTES = {
    "random 4096": _shuffled(np.random.default_rng(3).integers(0, 256, (4096, 3)), 1),
    "gray ramp, each thrice": _shuffled([(v, v, v) for v in range(256)] * 3, 2),
    "plane b=100": _shuffled(
        [(r, g, 100) for r in range(0, 256, 11) for g in range(0, 256, 11)], 3
    ),
    "lattice 8x8x8 + 1": _shuffled(list(_GRID8) + [(255, 255, 255)], 4),
    "64 colours, each 10 times": _shuffled(
        np.random.default_rng(5).integers(0, 256, (64, 3)).repeat(10, axis=0), 5
    ),
    "black and white, 300 each": _shuffled([(0, 0, 0), (255, 255, 255)] * 300, 6),
    "cluster far from the pixels": _shuffled(
        np.random.default_rng(7).integers(110, 146, (600, 3)), 7
    ),
}


@pytest.mark.parametrize("name", list(LARGE_PALETTES))
def test_large_palettes_match_reference(name, monkeypatch):
    monkeypatch.setattr(ref, "nearest_color", _nearest_float32)
    palette = LARGE_PALETTES[name]
    img = _random((14, 19, 3), 61)
    for method, serpentine, linear, strength in [
        ("floyd_steinberg", False, False, 1.0),
        ("jarvis_judice_ninke", True, True, 1.0),
        ("atkinson", False, False, 0.25),
    ]:
        kw = dict(palette=palette, serpentine=serpentine, linear=linear, strength=strength)
        assert_images_equal(
            tonalis.error_diffusion(img, method, **kw), ref.error_diffusion(img, method, **kw)
        )


def test_ties_in_large_palettes_go_to_the_first_listed(monkeypatch):
    # Without diffusion every pixel is searched at its own value: the
    # centres and edges of the lattice's cells lie at the same distance
    # from 2 to 8 colours, listed in shuffled order.
    monkeypatch.setattr(ref, "nearest_color", _nearest_float32)
    palette = LARGE_PALETTES["lattice 8x8x8 + 1"]
    half = np.arange(0, 240, 16, dtype=np.uint8)
    img = np.stack(np.meshgrid(half, half, half[::3], indexing="ij"), -1).reshape(15, -1, 3)
    kw = dict(palette=palette, strength=0.0)
    assert_images_equal(
        tonalis.error_diffusion(img, **kw), ref.error_diffusion(img, "floyd_steinberg", **kw)
    )


@pytest.mark.parametrize("method", METHODS)
def test_256_raw_levels_leave_image_unchanged(method):
    img = _random((7, 9, 3), 4)
    assert_images_equal(tonalis.error_diffusion(img, method, levels=256, serpentine=True), img)


def test_results_do_not_depend_on_concurrent_calls():
    from concurrent.futures import ThreadPoolExecutor

    img = _random((64, 64, 3), 9)
    expected = {m: tonalis.error_diffusion(img, m, levels=3) for m in METHODS}
    with ThreadPoolExecutor(4) as pool:
        futures = [(m, pool.submit(tonalis.error_diffusion, img, m, levels=3)) for m in METHODS * 4]
        for m, fut in futures:
            assert_images_equal(fut.result(), expected[m])
