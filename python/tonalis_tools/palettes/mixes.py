"""The colours a palette can show by mixing: its convex hull in linear light.

Seen from a distance, a dither's pixels blur into mixes of the palette's
colours, and those mixes are the convex hull of the colours in linear RGB.
`Mixes` knows that hull's pieces (the triangles and edges of its boundary,
its corners) and finds, for any colour, how near in Oklab the nearest mix
comes: the error no dither to this palette can avoid.

The arithmetic is float64 numpy, a measurement rather than an engine.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .gamut import _TO_LAB, _TO_LMS

__all__ = ["Mixes"]

F64 = npt.NDArray[np.float64]

#: A corner or target this far off a face (in linear RGB) counts as on it.
TOLERANCE = 1e-12
#: Damped Gauss-Newton steps at most, from the nearest sample of a piece.
#: Grays near black need about 30: the cube root's slope there makes the
#: first steps overshoot (at 10, a gray ramp's floor on black and white
#: came to 0.007 rather than 0).
STEPS = 30
#: Pieces of each kind refined per target, the nearest by their samples. On
#: ACeP's colours and the bundled photograph, 4 give the floor 5.3186, as
#: refining every piece does in four times as long; 3 give 5.3199, and a
#: plain projected descent of 1000 steps 5.3202. With 2, a point of a random
#: test missed its nearest mix by 3%: the nearest sample was on another face.
REFINED = 4
#: Samples taken at once (targets x pieces x samples), which bounds memory.
SAMPLES_AT_ONCE = 1 << 21
#: Directions along which the hull's corners are first looked for.
DIRECTIONS = 512

_LMS = np.array(_TO_LMS)
_LAB = np.array(_TO_LAB)


def _oklab(linear: F64) -> F64:
    """Oklab by numpy's cube root: for the search, where speed counts more than
    the last bit being the same on every machine."""
    return np.asarray(np.cbrt(np.maximum(linear @ _LMS.T, 0.0)) @ _LAB.T, dtype=np.float64)


def _rank(points: F64) -> int:
    if len(points) < 2:
        return 0
    return int(np.linalg.matrix_rank(points[1:] - points[0], tol=1e-9))


def _faces(points: F64) -> tuple[npt.NDArray[np.intp], F64, F64]:
    """The triangles through three points with every point on one side (the
    boundary, overlapping where a face has more than three corners), with
    their outward unit normals and offsets."""
    i, j, k = np.array(
        [
            (a, b, c)
            for a in range(len(points))
            for b in range(a + 1, len(points))
            for c in range(b + 1, len(points))
        ],
        dtype=np.intp,
    ).T
    normals = np.cross(points[j] - points[i], points[k] - points[i])
    size = np.linalg.norm(normals, axis=1)
    real = size > TOLERANCE
    triangles = np.stack([i, j, k], axis=1)[real]
    normals = normals[real] / size[real, None]
    offsets = (normals * points[triangles[:, 0]]).sum(axis=1)
    below = np.empty(len(normals), dtype=bool)
    above = np.empty(len(normals), dtype=bool)
    # Planes tested a block at a time: a palette of hundreds of corners has
    # millions of triples.
    block = max(1, SAMPLES_AT_ONCE // len(points))
    for start in range(0, len(normals), block):
        part = slice(start, start + block)
        side = points @ normals[part].T - offsets[part]
        below[part] = (side <= TOLERANCE).all(axis=0)
        above[part] = (side >= -TOLERANCE).all(axis=0)
    return (
        np.concatenate([triangles[below], triangles[above]]),
        np.concatenate([normals[below], -normals[above]]),
        np.concatenate([offsets[below], -offsets[above]]),
    )


def _outline(points: F64) -> npt.NDArray[np.intp]:
    """The corners of coplanar points' 2-D hull, in order (monotone chain)."""
    origin = points[0]
    u = points[np.argmax(np.linalg.norm(points - origin, axis=1))] - origin
    u /= np.linalg.norm(u)
    rest = points - origin - np.outer((points - origin) @ u, u)
    v = rest[np.argmax(np.linalg.norm(rest, axis=1))]
    v /= np.linalg.norm(v)
    flat = np.stack([(points - origin) @ u, (points - origin) @ v], axis=1)
    order = sorted(range(len(points)), key=lambda n: (flat[n, 0], flat[n, 1]))

    def turn(o: int, a: int, b: int) -> float:
        d1, d2 = flat[a] - flat[o], flat[b] - flat[o]
        return float(d1[0] * d2[1] - d1[1] * d2[0])

    chain: list[int] = []
    for sweep in (order, order[::-1]):
        part: list[int] = []
        for n in sweep:
            while len(part) >= 2 and turn(part[-2], part[-1], n) <= TOLERANCE:
                part.pop()
            part.append(n)
        chain += part[:-1]
    return np.array(chain, dtype=np.intp)


def _hull(points: F64) -> tuple[F64, npt.NDArray[np.intp], F64, F64]:
    """The hull of full-rank points: its corners (those furthest along some
    direction, then any point still outside their hull, until none is) and
    their `_faces`."""
    rng = np.random.default_rng(0)
    directions = rng.normal(size=(DIRECTIONS, 3))
    chosen = set(np.unique(np.argmax(points @ directions.T, axis=0)).tolist())
    while True:
        corners = points[sorted(chosen)]
        if _rank(corners) < 3:
            # The directions met too few corners: every point is a candidate.
            corners = points
        triangles, normals, offsets = _faces(corners)
        outside = ((points @ normals.T - offsets) > TOLERANCE).any(axis=1)
        if len(corners) == len(points) or not outside.any():
            return corners, triangles, normals, offsets
        chosen |= set(np.flatnonzero(outside).tolist())


@dataclass(frozen=True)
class Mixes:
    """The convex hull of a palette's colours in linear RGB, by its pieces.

    Made by `Mixes.of`; the fields are what it found.

    Args:
        corners: the hull's corners, linear RGB, n x 3 (colours inside the
            hull or repeated are left out).
        triangles: index triples of `corners` covering the hull's boundary
            (overlapping where a face has more than three corners; the one
            face of coplanar colours; none on a line).
        edges: index pairs of `corners`: the triangles' sides, or the
            segment of colours on a line.
        normals: the outward unit normals of the faces' planes, for the
            inside test; none for a flat hull.
        offsets: the planes' offsets along their normals.

    Examples:
        >>> import numpy as np
        >>> bwr = Mixes.of([[0, 0, 0], [1, 1, 1], [1, 0, 0], [1, 0.5, 0.5]])
        >>> len(bwr.corners), len(bwr.triangles)     # the fourth lies between
        (3, 1)
        >>> gray, red = bwr.distance([[0.2, 0.2, 0.2], [0, 0, 1]]).round(3)
        >>> float(gray), float(red) > 0.3
        (0.0, True)
    """

    corners: F64
    triangles: npt.NDArray[np.intp]
    edges: npt.NDArray[np.intp]
    normals: F64
    offsets: F64

    @classmethod
    def of(cls, linear: npt.ArrayLike) -> Mixes:
        """The mixes of colours given in linear RGB.

        Args:
            linear: the colours, n x 3 (n >= 1), linear RGB (1 is white).

        Returns:
            Their `Mixes`.

        Examples:
            >>> Mixes.of([[0, 0, 0], [1, 1, 1], [0.5, 0.5, 0.5]]).corners.tolist()
            [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]
        """
        points = np.unique(np.asarray(linear, dtype=np.float64).reshape(-1, 3), axis=0)
        none = np.zeros((0, 3))
        rank = _rank(points)
        if rank == 3:
            points, triangles, normals, offsets = _hull(points)
        elif rank == 2:
            ring = _outline(points)
            points = points[ring]
            triangles = np.array([(0, n, n + 1) for n in range(1, len(points) - 1)], np.intp)
            normals, offsets = none, np.zeros(0)
        else:
            if rank == 1:
                along = (points - points[0]) @ (points[-1] - points[0])
                points = points[[int(np.argmin(along)), int(np.argmax(along))]]
            triangles = np.zeros((0, 3), np.intp)
            normals, offsets = none, np.zeros(0)
        if len(triangles):
            sides = np.concatenate(
                [triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [0, 2]]]
            )
            edges = np.unique(np.sort(sides, axis=1), axis=0)
        elif len(points) == 2:
            edges = np.array([[0, 1]], np.intp)
        else:
            edges = np.zeros((0, 2), np.intp)
        return cls(points, triangles, edges, normals, offsets)

    def inside(self, targets: F64) -> npt.NDArray[np.bool_]:
        """Which colours some mix equals: those inside every face.

        Args:
            targets: linear RGB colours, N x 3.

        Returns:
            N booleans; all False for a flat hull, which holds no volume
            (`distance` measures those colours).

        Examples:
            >>> cube = Mixes.of([[r, g, b] for r in (0, 1) for g in (0, 1) for b in (0, 1)])
            >>> cube.inside([[0.5, 0.2, 0.9], [1.5, 0.0, 0.0]]).tolist()
            [True, False]
        """
        if len(self.normals) == 0:
            return np.zeros(len(targets), dtype=bool)
        result = np.ones(len(targets), dtype=bool)
        for normal, offset in zip(self.normals, self.offsets):
            result &= targets @ normal - offset <= TOLERANCE
        return result

    def distance(self, targets: npt.ArrayLike) -> F64:
        """Each colour's Oklab distance to the nearest mix.

        Args:
            targets: linear RGB colours, N x 3.

        Returns:
            N distances: 0 inside the hull; elsewhere one that some mix
            reaches, so never below the least one, and equal to it to many
            digits.

        Examples:
            >>> line = Mixes.of([[0, 0, 0], [1, 1, 1]])
            >>> line.distance([[0.5, 0.5, 0.5]]).round(9).tolist()
            [0.0]
        """
        points = np.asarray(targets, dtype=np.float64).reshape(-1, 3)
        result = np.zeros(len(points))
        outside = np.flatnonzero(~self.inside(points))
        pieces = max(1, len(self.triangles) + len(self.edges))
        chunk = max(64, SAMPLES_AT_ONCE // (pieces * len(_GRIDS[2])))
        for start in range(0, len(outside), chunk):
            rows = outside[start : start + chunk]
            result[rows] = np.sqrt(self._least(_oklab(points[rows])))
        return result

    def _least(self, lab: F64) -> F64:
        """Least squared Oklab distances of targets (N x 3, Oklab) to the hull:
        each piece sampled on a grid, the nearest samples refined."""
        c = self.corners
        best = ((_oklab(c)[None] - lab[:, None]) ** 2).sum(axis=2).min(axis=1)
        for piece in (self.triangles, self.edges):
            if len(piece) == 0:
                continue
            origins = c[piece[:, 0]]
            sides = np.stack([c[piece[:, d]] - origins for d in range(1, piece.shape[1])], axis=1)
            grid = _GRIDS[sides.shape[1]]  # samples x sides
            mixes = origins[:, None] + np.einsum("gd,pdk->pgk", grid, sides)
            sampled = ((_oklab(mixes)[None] - lab[:, None, None]) ** 2).sum(axis=-1)
            nearest = sampled.min(axis=2)  # targets x pieces
            best = np.minimum(best, nearest.min(axis=1))
            keep = min(REFINED, len(piece))
            chosen = np.argsort(nearest, axis=1)[:, :keep]  # targets x keep
            start = grid[np.take_along_axis(sampled.argmin(axis=2), chosen, axis=1)]
            refined = _refine(
                np.repeat(lab, keep, axis=0),
                origins[chosen.ravel()],
                sides[chosen.ravel()],
                start.reshape(-1, grid.shape[1]),
            )
            best = np.minimum(best, refined.reshape(len(lab), keep).min(axis=1))
        return np.asarray(best, dtype=np.float64)


def _grid(sides: int, parts: int) -> F64:
    """Points of a piece (s >= 0, sum(s) <= 1) on a grid of `parts` a side."""
    if sides == 1:
        return np.linspace(0.0, 1.0, parts + 1)[:, None]
    return np.array(
        [(i / parts, j / parts) for i in range(parts + 1) for j in range(parts + 1 - i)]
    )


_GRIDS = {1: _grid(1, 16), 2: _grid(2, 8)}


def _refine(lab: F64, origins: F64, sides: F64, s: F64) -> F64:
    """Squared Oklab distance from each target (rows x 3, Oklab) to its piece
    origin + s . sides (rows x sides x 3), s >= 0 and sum(s) <= 1, descending
    from `s` by damped Gauss-Newton steps clamped to the piece, each row until
    it stops improving."""
    base = origins @ _LMS.T
    rays = [sides[:, d] @ _LMS.T for d in range(sides.shape[1])]
    at = [s[:, d].copy() for d in range(s.shape[1])]

    def measure(rows: Any, point: list[F64]) -> tuple[F64, F64, F64]:
        lms = base[rows] + sum(p[:, None] * ray[rows] for p, ray in zip(point, rays))
        root = np.cbrt(np.maximum(lms, 0.0))
        residual = root @ _LAB.T - lab[rows]
        return (residual * residual).sum(axis=-1), root, residual

    live = np.arange(len(lab))
    value, root, residual = measure(live, at)
    damping = np.full(len(lab), 1e-3)
    for _ in range(STEPS):
        if live.size == 0:
            break
        slope = 1.0 / (3.0 * np.maximum(root[live] ** 2, 1e-30))
        jac = [(ray[live] * slope) @ _LAB.T for ray in rays]
        grad = [(j * residual[live]).sum(axis=-1) for j in jac]
        lift = 1.0 + damping[live]
        h00 = (jac[0] * jac[0]).sum(axis=-1) * lift + 1e-30
        if len(jac) == 1:
            step = [grad[0] / h00]
        else:
            h11 = (jac[1] * jac[1]).sum(axis=-1) * lift + 1e-30
            h01 = (jac[0] * jac[1]).sum(axis=-1)
            det = h00 * h11 - h01 * h01
            step = [(h11 * grad[0] - h01 * grad[1]) / det, (h00 * grad[1] - h01 * grad[0]) / det]
        trial = [np.maximum(p[live] - d, 0.0) for p, d in zip(at, step)]
        total = sum(trial)
        over = np.maximum(total, 1.0)
        trial = [t / over for t in trial]
        new, new_root, new_residual = measure(live, trial)
        gain = value[live] - new
        better = gain > 0.0
        moved = live[better]
        for p, t in zip(at, trial):
            p[moved] = t[better]
        value[moved] = new[better]
        root[moved], residual[moved] = new_root[better], new_residual[better]
        damping[live] = np.where(better, damping[live] * 0.3, damping[live] * 10.0)
        # A row rests once a step gains next to nothing, or no step is left.
        settled = (better & (gain <= 1e-10 * value[live] + 1e-18)) | (damping[live] > 1e10)
        live = live[~settled]
    return value
