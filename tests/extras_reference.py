"""Slow float32 model of the refined engines (error limit, mask, colour
distance), written from their documented rules on top of reference.py."""

import numpy as np
from reference import KERNELS, F, _scan, nearest_level, palette_rgb, srgb_to_linear, to_work
from reference import levels as make_levels
from reference import palette as make_palette

LUMA_SCALE = [F(0.46108568), F(0.84569499), F(0.26870057)]
TO_LMS = [
    [F(0.4122214708), F(0.5363325363), F(0.0514459929)],
    [F(0.2119034982), F(0.6806995451), F(0.1073969566)],
    [F(0.0883024619), F(0.2817188376), F(0.6299787005)],
]
TO_LAB = [
    [F(0.2104542553), F(0.7936177850), F(-0.0040720468)],
    [F(1.9779984951), F(-2.4285922050), F(0.4505937099)],
    [F(0.0259040371), F(0.7827717662), F(-0.8086757660)],
]


def cube_root(x):
    x = max(F(x), F(2.0**-30))
    bits = int(np.array(x, dtype=np.float32).view(np.int32))
    y = np.array(bits // 3 + 709921077, dtype=np.int32).view(np.float32)[()]
    y3 = (y * y) * y
    return y * (y3 + (x + x)) / ((y3 + y3) + x)


def linear_light(v, linear, lin_table):
    out = []
    for c in v:
        c = min(max(F(c), F(0)), F(255))
        if linear:
            out.append(c / F(255))
        else:
            i = min(int(c), 254)
            f = c - F(i)
            lo, hi = lin_table[i], lin_table[i + 1]
            out.append(lo + f * (hi - lo))
    return out


def coordinates(v, distance, linear, lin_table):
    if distance == "rgb":
        return [F(c) for c in v]
    lin = linear_light(v, linear, lin_table)
    if distance == "luma":
        return [lin[k] * LUMA_SCALE[k] for k in range(3)]
    lms = [
        cube_root((TO_LMS[k][0] * lin[0] + TO_LMS[k][1] * lin[1]) + TO_LMS[k][2] * lin[2])
        for k in range(3)
    ]
    return [
        (TO_LAB[k][0] * lms[0] + TO_LAB[k][1] * lms[1]) + TO_LAB[k][2] * lms[2] for k in range(3)
    ]


def nearest(c, coords):
    best, best_i = F(np.inf), 0
    for i, p in enumerate(coords):
        d = ((c[0] - p[0]) * (c[0] - p[0]) + (c[1] - p[1]) * (c[1] - p[1])) + (c[2] - p[2]) * (
            c[2] - p[2]
        )
        if d < best:
            best, best_i = d, i
    return best_i


def matcher(palette, linear, distance):
    colors, spread = make_palette(palette, linear)
    lin_table = (
        [F(c) / F(255) for c in to_work(True)]
        if linear
        else [srgb_to_linear(F(i) / F(255)) for i in range(256)]
    )
    coords = [coordinates(c, distance, linear, lin_table) for c in colors]
    return colors, spread, lambda v: nearest(coordinates(v, distance, linear, lin_table), coords)


def diffuse(
    img,
    kernel_name,
    levels=2,
    palette=None,
    serpentine=False,
    strength=1.0,
    linear=False,
    preserve_alpha=True,
    limit=None,
    mask=None,
    distance="rgb",
):
    out = np.array(img, dtype=np.uint8, copy=True)
    px = out if out.ndim == 3 else out[:, :, None]
    h, w, ch = px.shape
    table = to_work(linear)
    divisor, taps = KERNELS[kernel_name]
    taps = [(dx, dy, (F(wt) / F(divisor)) * F(strength)) for dx, dy, wt in taps]
    m = np.ones((h, w), dtype=np.float32) if mask is None else np.asarray(mask, dtype=np.float32)

    def clamp(v):
        if limit is None:
            return F(v)
        return min(max(F(v), -F(limit)), F(255) + F(limit))

    def spread_error(errors, y, x, d, err):
        for dx, dy, wt in taps:
            ty, tx = y + dy, x + d * dx
            if 0 <= ty < h and 0 <= tx < w:
                errors[ty, tx] = errors[ty, tx] + wt * err

    if palette is not None:
        colors, _, pick = matcher(palette, linear, distance)
        rgb = palette_rgb(palette)
        errors = np.zeros((h, w, 3), dtype=np.float32)
        for y, x, d in _scan(h, w, serpentine):
            s = F(m[y, x])
            v = [clamp(table[px[y, x, k]] + s * errors[y, x, k]) for k in range(3)]
            j = pick(v)
            px[y, x, :3] = rgb[j]
            spread_error(
                errors,
                y,
                x,
                d,
                np.array([s * (v[k] - colors[j][k]) for k in range(3)], dtype=np.float32),
            )
        return out
    codes, values, _, inv_step = make_levels(levels, linear)
    alpha = ch - 1 if (out.ndim == 3 and preserve_alpha and ch in (2, 4)) else None
    for c in range(ch):
        if c == alpha:
            continue
        errors = np.zeros((h, w), dtype=np.float32)
        for y, x, d in _scan(h, w, serpentine):
            s = F(m[y, x])
            v = clamp(F(table[px[y, x, c]]) + s * F(errors[y, x]))
            i = (1 if v >= F(127.5) else 0) if levels == 2 else nearest_level(v, levels, inv_step)
            px[y, x, c] = codes[i]
            spread_error(errors, y, x, d, s * (v - F(values[i])))
    return out


def threshold(img, shifts, palette, linear=False, strength=1.0, mask=None, distance="rgb"):
    """Palette threshold dither with per-pixel strength and distance."""
    out = np.array(img, dtype=np.uint8, copy=True)
    h, w = out.shape[:2]
    table = to_work(linear)
    colors, spread, pick = matcher(palette, linear, distance)
    rgb = palette_rgb(palette)
    m = np.ones((h, w), dtype=np.float32) if mask is None else np.asarray(mask, dtype=np.float32)
    for y in range(h):
        for x in range(w):
            s = F(shifts[y][x]) * F(m[y, x])
            v = [table[out[y, x, k]] + (F(strength) * spread[k]) * s for k in range(3)]
            out[y, x, :3] = rgb[pick(v)]
    return out
