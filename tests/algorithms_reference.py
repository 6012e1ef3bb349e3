"""Slow float32 models of pattern dither, variable-coefficient diffusion and
Riemersma dither, written from their documented rules."""

from decimal import Decimal, localcontext

import numpy as np
from extras_reference import matcher
from reference import F, nearest_level, palette_rgb, to_work
from reference import levels as make_levels


def exact_powf(x, y):
    """x ** y for float32 x >= 0 and y in [0, 1], correctly rounded to float32
    (through 60-digit logarithms, not the C library's powf)."""
    x, y = F(x), F(y)
    if y == 0 or x == 1:
        return F(1)
    if y == 1 or x == 0:
        return x
    with localcontext() as ctx:
        ctx.prec = 60
        exact = (Decimal(float(y)) * Decimal(float(x)).ln()).exp()
        near = F(float(exact))
        around = [np.nextafter(near, F(0)), near, np.nextafter(near, F(np.inf))]
        return min(around, key=lambda c: abs(Decimal(float(c)) - exact))


def luminance(rgb):
    return 299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2]


def pattern(img, palette, thresholds, candidates, strength=1.0, linear=True, distance="rgb"):
    colors, _, nearest = matcher(palette, linear, distance)
    rgb = palette_rgb(palette)
    work = to_work(linear)
    out = img.copy()
    th, tw = thresholds.shape
    for y in range(img.shape[0]):
        for x in range(img.shape[1]):
            goal = [work[int(c)] for c in img[y, x, :3]]
            error = [F(0)] * 3
            chosen = []
            for _ in range(candidates):
                attempt = [goal[c] + error[c] * F(strength) for c in range(3)]
                i = nearest(attempt)
                chosen.append(i)
                error = [error[c] + (goal[c] - colors[i][c]) for c in range(3)]
            chosen.sort(key=lambda i: (luminance(rgb[i]), i))
            t = F(thresholds[y % th, x % tw]) * F(candidates)
            pick = min(int(t) if t > 0 else 0, candidates - 1)
            out[y, x, :3] = rgb[chosen[pick]]
    return out


def variable(img, weights, levels=2, strength=1.0, linear=False):
    """Ostromoukhov's diffusion on an H x W gray image, with the engine's table."""
    codes, values, step, inv_step = make_levels(levels, linear)
    work = to_work(linear)
    h, w = img.shape
    out = np.empty_like(img)
    err = np.zeros((h + 1, w + 2), dtype=np.float32)
    last = F(levels - 2)
    for y in range(h):
        forward = y % 2 == 0
        for x in range(w) if forward else range(w - 1, -1, -1):
            d = 1 if forward else -1
            v0 = work[img[y, x]]
            pos = v0 * F(inv_step)
            base = min(F(int(pos)) if pos > 0 else F(0), last)
            r = min(max(int((pos - base) * F(255) + F(0.5)), 0), 255)
            wn, wb, wd = (F(c) for c in weights[r])
            value = v0 + err[y, x + 1]
            xv = value * F(inv_step)
            lower = min(F(int(xv)) if xv > 0 else F(0), F(levels - 1))
            chosen = lower + F(1) if xv - lower > F(0.5) else lower
            chosen = min(chosen, F(levels - 1)) if xv > 0 else F(0)
            i = int(chosen)
            out[y, x] = codes[i]
            e = (value - values[i]) * F(strength)
            err[y, x + 1 + d] += e * wn
            err[y + 1, x + 1 - d] += e * wb
            err[y + 1, x + 1] += e * wd
    return out


def _sign(v):
    return (v > 0) - (v < 0)


def hilbert(width, height):
    """The generalised Hilbert curve over width x height, as (x, y) pairs."""
    path = []

    def cover(x, y, ax, ay, bx, by):
        w, h = abs(ax + ay), abs(bx + by)
        dax, day, dbx, dby = _sign(ax), _sign(ay), _sign(bx), _sign(by)
        if h == 1:
            for _ in range(w):
                path.append((x, y))
                x, y = x + dax, y + day
            return
        if w == 1:
            for _ in range(h):
                path.append((x, y))
                x, y = x + dbx, y + dby
            return
        ax2, ay2, bx2, by2 = ax // 2, ay // 2, bx // 2, by // 2
        w2, h2 = abs(ax2 + ay2), abs(bx2 + by2)
        if 2 * w > 3 * h:
            if w2 % 2 and w > 2:
                ax2, ay2 = ax2 + dax, ay2 + day
            cover(x, y, ax2, ay2, bx, by)
            cover(x + ax2, y + ay2, ax - ax2, ay - ay2, bx, by)
            return
        if h2 % 2 and h > 2:
            bx2, by2 = bx2 + dbx, by2 + dby
        cover(x, y, bx2, by2, ax2, ay2)
        cover(x + bx2, y + by2, ax, ay, bx - bx2, by - by2)
        cover(
            x + (ax - dax) + (bx2 - dbx),
            y + (ay - day) + (by2 - dby),
            -bx2,
            -by2,
            -(ax - ax2),
            -(ay - ay2),
        )

    if width >= height:
        cover(0, 0, width, 0, 0, height)
    else:
        cover(0, 0, 0, height, width, 0)
    return path


def riemersma(img, history=16, ratio=1 / 16, levels=2, palette=None, strength=1.0, linear=False):
    """Riemersma dither of a gray (levels) or RGB (palette) image."""
    work = to_work(linear)
    raw = [
        exact_powf(F(ratio), F(0) if history == 1 else F(a) / F(history - 1))
        for a in range(history)
    ]
    total = F(0)
    for wgt in raw:
        total += wgt
    weights = [wgt / total for wgt in raw]
    ring = [[F(0)] * 3 for _ in range(history)]
    out = img.copy()
    if palette is not None:
        colors, _, nearest = matcher(palette, linear, "rgb")
        rgb = palette_rgb(palette)
    else:
        codes, values, _, inv_step = make_levels(levels, linear)
    fall = F(0) if history == 1 else exact_powf(F(ratio), F(1) / F(history - 1))
    latest = 0
    carried = [F(0)] * 3
    for i, (x, y) in enumerate(hilbert(img.shape[1], img.shape[0])):
        if i % 1024 == 0:
            carried = [F(0)] * 3
            slot = latest
            for a in range(history):
                carried = [carried[c] + ring[slot][c] * weights[a] for c in range(3)]
                slot = history - 1 if slot == 0 else slot - 1
        error = [F(0)] * 3
        if palette is not None:
            v = [work[int(img[y, x, c])] + carried[c] for c in range(3)]
            i = nearest(v)
            error = [(v[c] - colors[i][c]) * F(strength) for c in range(3)]
            out[y, x] = rgb[i]
        else:
            v = work[int(img[y, x])] + carried[0]
            i = nearest_level(v, levels, inv_step)
            out[y, x] = codes[i]
            error[0] = (v - values[i]) * F(strength)
        latest = 0 if latest + 1 == history else latest + 1
        oldest = ring[latest]
        ring[latest] = error
        carried = [
            error[c] * weights[0] + (carried[c] - oldest[c] * weights[-1]) * fall for c in range(3)
        ]
    return out
