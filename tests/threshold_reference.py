"""Slow models of the threshold engines, written independently of the C++.

Every operation is done on numpy float32 scalars so that each step rounds
to single precision exactly as the engines do.
"""

import numpy as np
import pytest
from reference import levels as make_levels
from reference import nearest_color, nearest_level, to_work
from reference import palette as make_palette

F = np.float32
MASK64 = (1 << 64) - 1
MAX_THRESHOLD = F(0.99999988)  # largest stored threshold, bits 0x3F7FFFFE
assert MAX_THRESHOLD.view(np.uint32) == 0x3F7FFFFE


def bayer_indices(n):
    """Recursive definition: M(2k) = 4 M(k) tiled + B blown up, B = [[0, 2], [3, 1]]."""
    m = np.zeros((1, 1), dtype=np.int64)
    base = np.array([[0, 2], [3, 1]], dtype=np.int64)
    while m.shape[0] < n:
        k = m.shape[0]
        m = 4 * np.tile(m, (2, 2)) + np.repeat(np.repeat(base, k, axis=0), k, axis=1)
    return m


def bayer_thresholds(n):
    return (bayer_indices(n).astype(F) + F(0.5)) / F(n * n)


def index_thresholds(indices):
    a = np.asarray(indices, dtype=np.int64)
    divisor = F(max(a.size, int(a.max()) + 1))
    return np.minimum((a.astype(F) + F(0.5)) / divisor, MAX_THRESHOLD)


def float_thresholds(values):
    return np.minimum(np.asarray(values, dtype=np.float64).astype(F), MAX_THRESHOLD)


def draws(seed, count):
    """The 24-bit draws k of the seeded SplitMix64 sequence."""
    state = (seed & MASK64) ^ 0xD1B54A32D192ED03
    out = []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        out.append(z >> 40)
    return out


def noise(k):
    return F(k) * F(2.0**-24) - F(0.5)


def _as_hwc(image):
    a = np.array(image, dtype=np.uint8, copy=True)
    return a, (a if a.ndim == 3 else a[:, :, None])


def threshold_pass(
    image, shifts, *, levels=2, palette=None, strength=1.0, linear=False, preserve_alpha=True
):
    """Quantize every pixel after shifting it by shifts[y][x] (in [-0.5, 0.5))."""
    out, px = _as_hwc(image)
    h, w, c = px.shape
    work = [F(v) for v in to_work(linear)]
    strength = F(strength)
    if palette is None:
        codes, _, step, inv_step = make_levels(levels, linear)
        amp = strength * F(step)
        alpha = c - 1 if out.ndim == 3 and preserve_alpha and c in (2, 4) else None
        for y in range(h):
            for x in range(w):
                d = F(shifts[y][x]) * amp
                for ch in range(c):
                    if ch != alpha:
                        v = work[px[y, x, ch]] + d
                        px[y, x, ch] = codes[nearest_level(v, levels, F(inv_step))]
    else:
        triples = [tuple(int(v) for v in t) for t in palette]
        colors, spread = make_palette(triples, linear)
        amps = [strength * F(s) for s in spread]
        for y in range(h):
            for x in range(w):
                s = F(shifts[y][x])
                p = [work[px[y, x, k]] + amps[k] * s for k in range(3)]
                px[y, x, :3] = triples[nearest_color(p, colors)]
    return out


def ordered_reference(image, thresholds, **options):
    t = np.asarray(thresholds, dtype=F)
    h, w = np.shape(image)[:2]
    mh, mw = t.shape
    shifts = [[t[y % mh, x % mw] - F(0.5) for x in range(w)] for y in range(h)]
    return threshold_pass(image, shifts, **options)


def random_reference(image, seed, **options):
    h, w = np.shape(image)[:2]
    ks = draws(seed, h * w)
    shifts = [[noise(ks[y * w + x]) for x in range(w)] for y in range(h)]
    return threshold_pass(image, shifts, **options)


def random_image(shape, seed=0):
    return np.random.default_rng(seed).integers(0, 256, size=shape, dtype=np.uint8)


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def raises_exactly(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value
