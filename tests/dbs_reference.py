"""Slow model of direct binary search, the oracle of the bit-exact tests.

Every value is float32 and every step rounds as the engine's does: numpy
float32 scalars for the trials, float32 arrays (element by element, in the
same order of terms) for the correlation planes. The start is tonalis's own
Floyd-Steinberg diffusion, which its own tests check.
"""

import numpy as np
import reference as ref

import tonalis

F = np.float32
NEIGHBOURS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]


def autocorrelation(taps):
    """c(d) = sum over taps k, row by row, of p(k) p(k + d), for d up to the
    centre in row order; the rest mirrored."""
    taps = np.asarray(taps, dtype=F)
    n = taps.shape[0]
    side = 2 * n - 1
    acc = np.zeros((side, side), dtype=F)
    for ky in range(n):
        for kx in range(n):
            block = acc[n - 1 - ky : 2 * n - 1 - ky, n - 1 - kx : 2 * n - 1 - kx]
            block[...] = block + F(taps[ky, kx]) * taps
    flat = acc.ravel()
    middle = side * side // 2
    flat[middle + 1 :] = flat[:middle][::-1]
    return acc


def tile_side(radius):
    return max(32, -(-(4 * radius + 2) // 8) * 8)


def hold_fraction(ac):
    """c(0) / (2 sum c), the sum in row order."""
    total = F(0.0)
    for v in ac.ravel():
        total = total + v
    return F(ac[ac.shape[0] // 2, ac.shape[1] // 2]) / (total + total)


def level_holds(original, work, level_values, levels, inv_step, ac):
    """The pixels of one channel that keep their start: those whose original
    lies within hold_fraction of the way from a level to the next, but not
    on a level."""
    least = hold_fraction(ac)
    holds = np.zeros(original.shape, dtype=bool)
    for (y, x), code in np.ndenumerate(original):
        f = F(work[code])
        i = ref.nearest_level(f, levels, inv_step)
        if i > 0 and level_values[i] > f:
            i -= 1
        if i + 1 < levels and level_values[i + 1] > level_values[i]:
            t = (f - level_values[i]) / (level_values[i + 1] - level_values[i])
            holds[y, x] = F(0.0) < t < least or F(1.0) - least < t < F(1.0)
    return holds


def _search(values, indices, errors, acs, colours, nearest, passes, swaps, holds):
    """Refines values (C, H, W) and indices (H, W) in place, the pixels of
    holds (H, W) left as they are; the passes made. acs: each channel's
    autocorrelation."""
    channels, height, width = values.shape
    side = acs[0].shape[0]
    pad = side // 2
    corr = np.zeros_like(errors)
    for c in range(channels):
        for i in range(side):
            for j in range(side):
                inner = corr[c, pad : pad + height, pad : pad + width]
                inner[...] = inner + F(acs[c][i, j]) * errors[c, i : i + height, j : j + width]
    c0 = [F(ac[pad, pad]) for ac in acs]
    inv = [F(1.0) / c for c in c0]
    swap_k = [
        [c0[c] - F(acs[c][pad + dy, pad + dx]) for dy, dx in NEIGHBOURS] for c in range(channels)
    ]

    def spread(c, y, x, a):
        block = corr[c, y : y + side, x : x + side]
        block[...] = block + F(a) * acs[c]

    def trial(y, x):
        if holds[y, x]:
            return False
        current = indices[y, x]
        best = F(0.0)
        choice = None
        target = [values[c, y, x] - corr[c, y + pad, x + pad] * inv[c] for c in range(channels)]
        candidate = nearest(target)
        if candidate != current:
            change = F(0.0)
            for c in range(channels):
                a = F(colours[candidate, c]) - values[c, y, x]
                q = corr[c, y + pad, x + pad]
                s = a * c0[c]
                s = s + (q + q)
                change = change + a * s
            if change < best:
                best, choice = change, 8
        if swaps:
            for k, (dy, dx) in enumerate(NEIGHBOURS):
                ny, nx = y + dy, x + dx
                if not (0 <= ny < height and 0 <= nx < width):
                    continue
                if indices[ny, nx] == current or holds[ny, nx]:
                    continue
                change = F(0.0)
                for c in range(channels):
                    a = values[c, ny, nx] - values[c, y, x]
                    q = corr[c, y + pad, x + pad] - corr[c, ny + pad, nx + pad]
                    s = a * swap_k[c][k]
                    s = s + q
                    change = change + a * s
                change = change + change
                if change < best:
                    best, choice = change, k
        if choice is None:
            return False
        if choice == 8:
            for c in range(channels):
                v = F(colours[candidate, c])
                spread(c, y, x, v - values[c, y, x])
                values[c, y, x] = v
            indices[y, x] = candidate
            return True
        dy, dx = NEIGHBOURS[choice]
        ny, nx = y + dy, x + dx
        for c in range(channels):
            a = values[c, ny, nx] - values[c, y, x]
            spread(c, y, x, a)
            spread(c, ny, nx, -a)
            values[c, y, x], values[c, ny, nx] = values[c, ny, nx], values[c, y, x]
        indices[y, x], indices[ny, nx] = indices[ny, nx], indices[y, x]
        return True

    tile = tile_side(pad // 2)
    tiles_y = -(-height // tile)
    tiles_x = -(-width // tile)
    marks = np.full((tiles_y, tiles_x), -1)
    made = 0
    for p in range(passes):
        changed_any = False
        for phase in range(4):
            py, px = divmod(phase, 2)
            step = 4 * p + phase
            for ty in range(py, tiles_y, 2):
                for tx in range(px, tiles_x, 2):
                    around = marks[max(ty - 1, 0) : ty + 2, max(tx - 1, 0) : tx + 2]
                    if p > 0 and not (around >= step - 4).any():
                        continue
                    changed = False
                    for y in range(ty * tile, min(height, (ty + 1) * tile)):
                        for x in range(tx * tile, min(width, (tx + 1) * tile)):
                            changed |= trial(y, x)
                    if changed:
                        marks[ty, tx] = step
                        changed_any = True
        made = p + 1
        if not changed_any:
            break
    return made


# Linear sRGB to lightness and two colour differences, rows by channel.
OPPONENT = np.array(
    [
        [24.670053, 82.95765, 8.372299],
        [110.638535, -169.47118, 58.83265],
        [38.983257, 121.13683, -160.12009],
    ],
    dtype=F,
)


def to_opponent(rgb):
    """(..., 3) float32 working values to the opponent space, term by term."""
    r, g, b = rgb[..., 0], rgb[..., 1], rgb[..., 2]
    return np.stack([(m[0] * r + m[1] * g) + m[2] * b for m in OPPONENT], axis=-1).astype(F)


def weighted_nearest(t, colours, weights):
    best, found = F(np.inf), 0
    for k, colour in enumerate(colours):
        d = [F(t[c]) - colour[c] for c in range(3)]
        total = (weights[0] * d[0] * d[0] + weights[1] * d[1] * d[1]) + weights[2] * d[2] * d[2]
        if total < best:
            best, found = total, k
    return found


def opponent_tables(far, near, near_weight, chroma, chroma_weight):
    """Lightness's autocorrelation and the colour differences'."""
    lightness = autocorrelation(far)
    if near is not None:
        lightness = lightness + F(near_weight) * autocorrelation(near)
    return lightness, F(chroma_weight) * autocorrelation(chroma)


def _errors(values, original, work, pad):
    channels, height, width = values.shape
    errors = np.zeros((channels, height + 2 * pad, width + 2 * pad), dtype=F)
    errors[:, pad : pad + height, pad : pad + width] = values - work[original]
    return errors


def dbs(
    image,
    taps,
    *,
    levels=None,
    palette=None,
    passes=1000,
    swaps=True,
    linear=True,
    preserve_alpha=True,
    start=None,
):
    """(image, passes made), as tonalis_tools._engines.dbs computes them,
    from `start` (levels or colours only) or Floyd-Steinberg's. `taps` may
    be the engine's tuple of filters for a palette's opponent search."""
    image = np.asarray(image)
    seed_args = {"palette": palette} if palette is not None else {"levels": levels}
    seed = start
    if seed is None:
        seed = tonalis.error_diffusion(
            image,
            "floyd_steinberg",
            serpentine=False,
            linear=linear,
            preserve_alpha=preserve_alpha,
            **seed_args,
        )
    opponent = isinstance(taps, tuple)
    if opponent:
        lightness, chroma = opponent_tables(*taps)
        acs = [lightness, chroma, chroma]
    else:
        ac = autocorrelation(taps)
        acs = [ac, ac, ac]
    pad = acs[0].shape[0] // 2
    work = ref.to_work(linear)
    out = seed.copy()
    if image.ndim == 2:
        image3, out3 = image[:, :, None], out[:, :, None]
    else:
        image3, out3 = image, out
    made = 0
    if palette is not None:
        colours, _ = ref.palette(palette, linear)
        rgb = np.array(ref.palette_rgb(palette), dtype=np.uint8)
        height, width = image3.shape[:2]
        indices = np.zeros((height, width), dtype=np.intp)
        for y in range(height):
            for x in range(width):
                indices[y, x] = ref.nearest_color(work[out3[y, x, :3]], colours)
        if opponent:
            searched = to_opponent(colours)
            values = np.moveaxis(searched[indices], 2, 0).copy()
            errors = np.zeros((3, height + 2 * pad, width + 2 * pad), dtype=F)
            original = np.moveaxis(to_opponent(work[image3[:, :, :3]]), 2, 0)
            errors[:, pad : pad + height, pad : pad + width] = values - original
            weights = [F(t[pad, pad]) for t in acs]

            def nearest(t):
                return weighted_nearest(t, searched, weights)
        else:
            searched = colours
            values = np.moveaxis(colours[indices], 2, 0).copy()
            errors = _errors(values, np.moveaxis(image3[:, :, :3], 2, 0), work, pad)

            def nearest(t):
                return ref.nearest_color(t, colours)

        made = _search(
            values,
            indices,
            errors,
            acs,
            searched,
            nearest,
            passes,
            swaps,
            np.zeros((height, width), dtype=bool),
        )
        out3[:, :, :3] = rgb[indices]
        return out, made
    codes, level_values, _, inv_step = ref.levels(levels, linear)
    first = {}
    for i, code in enumerate(codes.tolist()):
        first.setdefault(code, i)
    channels = image3.shape[2]
    kept = channels - 1 if preserve_alpha and channels in (2, 4) else None
    colours = level_values.reshape(-1, 1)
    for c in range(channels):
        if c == kept:
            continue
        indices = np.vectorize(first.__getitem__)(out3[:, :, c]).astype(np.intp)
        values = level_values[indices][None].copy()
        errors = _errors(values, image3[None, :, :, c], work, pad)
        made = max(
            made,
            _search(
                values,
                indices,
                errors,
                [ac],
                colours,
                lambda t: ref.nearest_level(t[0], levels, inv_step),
                passes,
                swaps,
                level_holds(image3[:, :, c], work, level_values, levels, inv_step, ac),
            ),
        )
        out3[:, :, c] = codes[indices]
    return out, made
