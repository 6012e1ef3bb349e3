"""Slow, independent model of tonalis' pixel arithmetic, used as the oracle
of the bit-exact tests.

Every quantity is a numpy.float32 scalar, so each addition, subtraction,
multiplication and division rounds to single precision exactly as the
native code does (numpy computes float32 scalar arithmetic correctly
rounded, and never fuses a multiply with an add).  Python floats appear
only as literal constants converted through ``F``.
"""

import ctypes
import ctypes.util

import numpy as np

F = np.float32
_ZERO = F(0.0)
_ONE = F(1.0)
_HALF = F(0.5)
_255 = F(255.0)


def round_half_away(x):
    """Round a float32 to an integral float32, halves away from zero."""
    x = F(x)
    if not np.isfinite(x):
        return x
    r = np.trunc(x)  # float32; x - r is exact for every float32
    if abs(x - r) >= _HALF:
        r = r + (_ONE if x > 0 else -_ONE)
    return F(r)


# --- transfer functions ------------------------------------------------------


def _load_powf():
    """The C library's single-precision pow, which the native code calls;
    numpy's own float32 power is the fallback."""
    try:
        libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
        fn = libm.powf
    except (OSError, AttributeError):
        return lambda x, y: np.power(F(x), F(y))
    fn.argtypes = (ctypes.c_float, ctypes.c_float)
    fn.restype = ctypes.c_float
    return lambda x, y: F(fn(F(x), F(y)))


powf = _load_powf()

_LIN_KNEE = F(0.04045)
_ENC_KNEE = F(0.0031308)


def srgb_to_linear(x):
    x = F(x)
    if x > _LIN_KNEE:
        return powf((x + F(0.055)) / F(1.055), F(2.4))
    return x / F(12.92)


def linear_to_srgb(x):
    x = F(x)
    if x <= _ENC_KNEE:
        return F(12.92) * x
    return F(1.055) * powf(x, F(0.41666666)) - F(0.055)


def to_work(linear):
    """Working value of every 8-bit code: the code itself, or its linear
    light on the 0..255 scale."""
    out = np.empty(256, dtype=np.float32)
    for i in range(256):
        if linear:
            out[i] = srgb_to_linear(F(i) / _255) * _255
        else:
            out[i] = F(i)
    return out


# --- levels --------------------------------------------------------------------


def levels(n, linear):
    """(codes uint8[n], values float32[n], step, inv_step) for n levels."""
    if not 2 <= n <= 256:
        raise ValueError("levels out of range")
    table = to_work(linear)
    step = _255 / F(n - 1)
    inv_step = _ONE / step
    codes = np.empty(n, dtype=np.uint8)
    for i in range(n):
        g = F(i) * step
        if g > _255:
            g = _255
        if linear:
            c = round_half_away(linear_to_srgb(g / _255) * _255)
        else:
            c = round_half_away(g)
        codes[i] = int(min(max(c, _ZERO), _255))
    values = table[codes.astype(np.intp)].astype(np.float32)
    return codes, values, step, inv_step


def nearest_level(v, n, inv_step):
    """Index of the level nearest to working value v (round half away from
    zero of v * inv_step, clamped to [0, n - 1])."""
    t = round_half_away(F(v) * F(inv_step))
    if np.isnan(t):
        return 0
    if t < _ZERO:
        t = _ZERO
    if t > F(n - 1):
        t = F(n - 1)
    return int(t)


# --- palettes -------------------------------------------------------------------


def parse_hex(text):
    s = text[1:] if text.startswith("#") else text
    if len(s) not in (3, 6) or any(ch not in "0123456789abcdefABCDEF" for ch in s):
        raise ValueError(f"bad hex colour {text!r}")
    if len(s) == 3:
        return tuple(int(ch, 16) * 17 for ch in s)
    return tuple(int(s[i : i + 2], 16) for i in (0, 2, 4))


def palette_rgb(triples):
    """Palette argument (hex strings or (r, g, b) triples) as a list of
    integer triples."""
    out = []
    for entry in triples:
        if isinstance(entry, str):
            out.append(parse_hex(entry))
        else:
            r, g, b = (int(x) for x in entry)
            out.append((r, g, b))
    return out


def palette(triples, linear):
    """(colors float32[N, 3], spread float32[3]) of a palette."""
    table = to_work(linear)
    rgb = palette_rgb(triples)
    colors = np.array([[table[c] for c in t] for t in rgb], dtype=np.float32)
    spread = np.zeros(3, dtype=np.float32)
    for ch in range(3):
        distinct = sorted(set(colors[:, ch].tolist()))
        if len(distinct) >= 2:
            spread[ch] = (F(distinct[-1]) - F(distinct[0])) / F(len(distinct) - 1)
    return colors, spread


def nearest_color(p, colors):
    """Index of the palette colour nearest to the working triple p; the
    first of equally near colours wins."""
    best = F(np.inf)
    best_i = 0
    p0, p1, p2 = F(p[0]), F(p[1]), F(p[2])
    for i in range(len(colors)):
        dr = p0 - F(colors[i][0])
        dg = p1 - F(colors[i][1])
        db = p2 - F(colors[i][2])
        d = ((dr * dr) + (dg * dg)) + (db * db)
        if d < best:
            best = d
            best_i = i
    return best_i


# --- error diffusion ------------------------------------------------------------

# name -> (divisor, [(dx, dy, weight), ...]); dx positive = along the scan.
KERNELS = {
    "floyd_steinberg": (16, [(1, 0, 7), (-1, 1, 3), (0, 1, 5), (1, 1, 1)]),
    "false_floyd_steinberg": (8, [(1, 0, 3), (0, 1, 3), (1, 1, 2)]),
    "jarvis_judice_ninke": (
        48,
        [
            (1, 0, 7),
            (2, 0, 5),
            (-2, 1, 3),
            (-1, 1, 5),
            (0, 1, 7),
            (1, 1, 5),
            (2, 1, 3),
            (-2, 2, 1),
            (-1, 2, 3),
            (0, 2, 5),
            (1, 2, 3),
            (2, 2, 1),
        ],
    ),
    "stucki": (
        42,
        [
            (1, 0, 8),
            (2, 0, 4),
            (-2, 1, 2),
            (-1, 1, 4),
            (0, 1, 8),
            (1, 1, 4),
            (2, 1, 2),
            (-2, 2, 1),
            (-1, 2, 2),
            (0, 2, 4),
            (1, 2, 2),
            (2, 2, 1),
        ],
    ),
    "atkinson": (8, [(1, 0, 1), (2, 0, 1), (-1, 1, 1), (0, 1, 1), (1, 1, 1), (0, 2, 1)]),
    "burkes": (32, [(1, 0, 8), (2, 0, 4), (-2, 1, 2), (-1, 1, 4), (0, 1, 8), (1, 1, 4), (2, 1, 2)]),
    "sierra": (
        32,
        [
            (1, 0, 5),
            (2, 0, 3),
            (-2, 1, 2),
            (-1, 1, 4),
            (0, 1, 5),
            (1, 1, 4),
            (2, 1, 2),
            (-1, 2, 2),
            (0, 2, 3),
            (1, 2, 2),
        ],
    ),
    "sierra_two_row": (
        16,
        [(1, 0, 4), (2, 0, 3), (-2, 1, 1), (-1, 1, 2), (0, 1, 3), (1, 1, 2), (2, 1, 1)],
    ),
    "sierra_lite": (4, [(1, 0, 2), (-1, 1, 1), (0, 1, 1)]),
}

METHODS = list(KERNELS)


def scaled_taps(kernel_name, strength):
    divisor, taps = KERNELS[kernel_name]
    s = F(strength)
    return [(dx, dy, (F(w) / F(divisor)) * s) for dx, dy, w in taps]


def _scan(height, width, serpentine):
    """(y, x, direction) in visiting order; direction -1 on mirrored rows."""
    for y in range(height):
        if serpentine and y % 2 == 1:
            for x in range(width - 1, -1, -1):
                yield y, x, -1
        else:
            for x in range(width):
                yield y, x, 1


def _diffuse(errors, taps, y, x, direction, err):
    """Add each tap's share of err to the accumulated error of its target;
    shares that fall outside the image are dropped."""
    height, width = errors.shape[:2]
    for dx, dy, w in taps:
        ty, tx = y + dy, x + direction * dx
        if 0 <= ty < height and 0 <= tx < width:
            if errors.ndim == 2:
                errors[ty, tx] = F(errors[ty, tx]) + w * F(err)
            else:
                for ch in range(3):
                    errors[ty, tx, ch] = F(errors[ty, tx, ch]) + w * F(err[ch])


def error_diffusion(
    img,
    kernel_name,
    levels=2,
    palette=None,
    serpentine=False,
    strength=1.0,
    linear=False,
    preserve_alpha=True,
):
    """Dither a uint8 array (2-D or 3-D) the slow way; returns a new array."""
    src = np.ascontiguousarray(img)
    if src.dtype != np.uint8 or src.ndim not in (2, 3):
        raise ValueError("expected a 2-D or 3-D uint8 array")
    out = src.copy()
    planes = out if out.ndim == 3 else out[:, :, None]
    height, width, channels = planes.shape
    table = to_work(linear)
    taps = scaled_taps(kernel_name, F(strength))

    if palette is not None:
        if channels < 3:
            raise ValueError("palette needs three channels")
        colors, _ = _palette_fn(palette, linear)
        rgb = palette_rgb(palette)
        errors = np.zeros((height, width, 3), dtype=np.float32)
        for y, x, direction in _scan(height, width, serpentine):
            v = [table[planes[y, x, ch]] + errors[y, x, ch] for ch in range(3)]
            j = nearest_color(v, colors)
            planes[y, x, 0:3] = rgb[j]
            e = [F(v[ch]) - F(colors[j][ch]) for ch in range(3)]
            _diffuse(errors, taps, y, x, direction, e)
        return out

    codes, values, _, inv_step = _levels_fn(levels, linear)
    alpha = channels - 1 if (src.ndim == 3 and preserve_alpha and channels in (2, 4)) else None
    for c in range(channels):
        if c == alpha:
            continue
        errors = np.zeros((height, width), dtype=np.float32)
        for y, x, direction in _scan(height, width, serpentine):
            v = F(table[planes[y, x, c]]) + F(errors[y, x])
            if levels == 2:
                i = 1 if v >= F(127.5) else 0
            else:
                i = nearest_level(v, levels, inv_step)
            planes[y, x, c] = codes[i]
            _diffuse(errors, taps, y, x, direction, F(v) - F(values[i]))
    return out


# The public names `levels` and `palette` are shadowed by keyword arguments
# inside error_diffusion; keep handles on the functions.
_levels_fn = levels
_palette_fn = palette


# --- helpers for tests ------------------------------------------------------------


def assert_images_equal(actual, expected):
    """Fail with the first differing pixel (row, column, channel) and both
    values; shape and dtype must match as well."""
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.dtype == expected.dtype, f"dtype {actual.dtype} != {expected.dtype}"
    assert actual.shape == expected.shape, f"shape {actual.shape} != {expected.shape}"
    diff = np.argwhere(actual != expected)
    if len(diff):
        idx = tuple(int(i) for i in diff[0])
        where = ", ".join(f"{name}={i}" for name, i in zip(("row", "column", "channel"), idx))
        raise AssertionError(
            f"{len(diff)} samples differ; first at {where}: "
            f"got {actual[idx]}, expected {expected[idx]}"
        )
