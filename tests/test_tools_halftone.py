"""Clustered-dot halftone screens."""

import math

import numpy as np
import pytest

import tonalis
from tonalis_tools.halftone import (
    SCREENS,
    halftone_matrix,
    screen,
    screen_geometry,
    screen_names,
    spot_values,
)

ANGLES = [0, 7.5, 15, 22.5, 30, 45, 60, 75, 90, 105, 135, 165, -15, -45, 33.7, 200]
SHAPES = ["round", "ellipse", "line", "square"]


def _components(black):
    """Number and sizes of 4-connected black regions on the torus."""
    h, w = black.shape
    labels = np.where(black, np.arange(h * w).reshape(h, w), h * w)
    while True:
        nxt = labels
        for shift in ((0, 1), (0, -1), (1, 0), (-1, 0)):
            nxt = np.minimum(nxt, np.where(black, np.roll(labels, shift, axis=(0, 1)), h * w))
        if np.array_equal(nxt, labels):
            break
        labels = nxt
    _, sizes = np.unique(labels[black], return_counts=True)
    return sizes


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("cell, angle", [(8, a) for a in ANGLES] + [(5.5, 45), (3, 20), (12, 15)])
def test_thresholds_are_each_rank_once(cell, angle, shape):
    matrix = halftone_matrix(cell, angle, shape)
    _, _, side = screen_geometry(cell, angle)
    assert matrix.shape == (side, side) and matrix.dtype == np.float64
    assert np.array_equal(np.sort(matrix.ravel()), (np.arange(matrix.size) + 0.5) / matrix.size)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("angle", ANGLES)
def test_spot_function_is_seamless_across_tiles(angle, shape):
    # The spot function over a region straddling several tile borders (and
    # negative coordinates) is the tile's own spot function repeated, so the
    # tiled matrix ranks every pixel the way the unbroken screen would.
    _, _, side = screen_geometry(8, angle)
    tile = spot_values(8, angle, shape, side, side)
    region = spot_values(8, angle, shape, 2 * side + 3, 2 * side + 5, x0=-side - 1, y0=-side + 2)
    ys, xs = np.mgrid[-side + 2 : side + 7, -side - 1 : side + 2]
    assert np.array_equal(region, tile[ys % side, xs % side])


@pytest.mark.parametrize("angle", ANGLES)
def test_the_tiled_matrix_matches_a_matrix_ranked_over_the_whole_image(angle):
    # Ranking the spot function of a 2x2-tile image directly gives the same
    # order of darkening as the tiled matrix: no seam changes a pixel's turn.
    matrix = halftone_matrix(8, angle)
    side = matrix.shape[0]
    spot = spot_values(8, angle, "round", 2 * side, 2 * side)
    tiled = np.tile(matrix, (2, 2))
    # Wherever the spot function says one pixel darkens strictly before another, so does the matrix.
    flat_spot, flat_t = spot.ravel(), tiled.ravel()
    order = np.argsort(flat_t, kind="stable")
    assert np.all(np.diff(flat_spot[order]) <= 0)


@pytest.mark.parametrize("shape", ["round", "ellipse", "square"])
@pytest.mark.parametrize(
    "cell, angle", [(8, 0), (8, 15), (8, 45), (8, 75), (8, 90), (8, -30), (10, 33.7), (6, 60)]
)
def test_dots_stay_whole_across_tile_borders(cell, angle, shape):
    # A light flat gray prints one compact dot per screen cell: as many dots
    # as cells, of nearly equal size, none split or merged at a seam.
    a, b, side = screen_geometry(cell, angle)
    cells_per_tile = side * side // (a * a + b * b)
    flat = np.full((3 * side, 3 * side), 215, np.uint8)
    black = tonalis.ordered_dither(flat, halftone_matrix(cell, angle, shape)) == 0
    sizes = _components(black)
    assert len(sizes) == 9 * cells_per_tile
    assert sizes.max() - sizes.min() <= 2


@pytest.mark.parametrize("angle", [0, 90, 45, 30, 120])
def test_line_screens_are_constant_along_their_direction(angle):
    # Moving by the smallest whole step along the screen direction stays on the same line.
    a, b, side = screen_geometry(6, angle)
    g = math.gcd(a, b)
    step = spot_values(6, angle, "line", side, side, x0=a // g, y0=b // g)
    assert np.array_equal(spot_values(6, angle, "line", side, side), step)


@pytest.mark.parametrize("cell", [2, 3, 5.5, 8, 12.3, 32])
@pytest.mark.parametrize("angle", ANGLES)
def test_geometry_is_close_to_the_request(cell, angle):
    a, b, side = screen_geometry(cell, angle)
    assert abs(math.hypot(a, b) - cell) <= math.sqrt(0.5) + 1e-9
    error = (math.degrees(math.atan2(-b, a)) - angle + 180) % 360 - 180
    assert abs(error) <= math.degrees(math.asin(min(1.0, math.sqrt(0.5) / math.hypot(a, b)))) + 1e-9
    assert side == (a * a + b * b) // math.gcd(a, b)
    assert side <= 1100


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("gray", [0, 13, 64, 128, 200, 255])
def test_flat_gray_keeps_its_mean(shape, gray):
    matrix = halftone_matrix(8, 15, shape)
    side = matrix.shape[0]
    out = tonalis.ordered_dither(np.full((side, side), gray, np.uint8), matrix)
    assert abs(np.count_nonzero(out) / out.size - gray / 255) <= 1 / out.size + 1e-9


@pytest.mark.parametrize("gain", [0.05, 0.15, 0.25])
def test_dot_gain_keeps_the_order_and_lightens(gain):
    plain = halftone_matrix(8, 45)
    gained = halftone_matrix(8, 45, dot_gain=gain)
    assert np.array_equal(np.argsort(plain, axis=None), np.argsort(gained, axis=None))
    assert np.all(gained >= plain) and 0 < gained.min() and gained.max() < 1
    gray = np.full(plain.shape, 128, np.uint8)
    assert np.count_nonzero(tonalis.ordered_dither(gray, gained) == 0) < np.count_nonzero(
        tonalis.ordered_dither(gray, plain) == 0
    )


def test_named_screens_resolve():
    assert screen_names() == list(SCREENS)
    for name in screen_names():
        _, cell, angle, shape = SCREENS[name]
        assert np.array_equal(screen(name), halftone_matrix(cell, angle, shape))
    assert np.array_equal(screen("Halftone-45"), screen("halftone"))
    assert np.array_equal(screen("LINE 0"), halftone_matrix(6, 0, "line"))
    assert screen("bayer8x8") is None
    with pytest.raises(TypeError):
        screen(45)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"cell": 1.5}, ValueError, "cell must be between 2 and 32"),
        ({"cell": 33}, ValueError, "got 33"),
        ({"cell": float("nan")}, ValueError, "finite"),
        ({"cell": "8"}, TypeError, "cell must be a number"),
        ({"cell": True}, TypeError, "cell"),
        ({"angle": float("inf")}, ValueError, "angle must be finite"),
        ({"shape": "star"}, ValueError, "unknown dot shape 'star'"),
        ({"shape": 3}, TypeError, "shape must be a str"),
        ({"dot_gain": 0.3}, ValueError, "dot_gain must be between 0 and 0.25"),
        ({"dot_gain": -0.01}, ValueError, "dot_gain"),
    ],
)
def test_rejects_bad_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        halftone_matrix(**kwargs)
