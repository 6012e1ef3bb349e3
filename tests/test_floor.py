"""The palette's mixes and the least blurred-Oklab figure a dither can reach."""

import numpy as np
import pytest

import tonalis
from tonalis_tools import dbs, ordered
from tonalis_tools.palettes.gamut import linear_oklab
from tonalis_tools.palettes.mixes import Mixes
from tonalis_tools.quality import colour_gradient, oklab_floor, score

GRADIENT = colour_gradient(64, 32)
PALETTES = {
    "one": ["#808080"],
    "line": ["#000000", "#ffffff"],
    "ink line": ["#202040", "#c0a060"],
    "plane": ["#000000", "#ffffff", "#ff0000"],
    "one hue": ["#0f380f", "#306230", "#8bac0f", "#9bbc0f"],
    "panel": ["#393039", "#ffffff", "#3a5b46", "#3d3b5e", "#9c484b", "#d0be47", "#b16a49"],
    "cube": [f"#{r:02x}{g:02x}{b:02x}" for r in (0, 255) for g in (0, 255) for b in (0, 255)],
}


def linear(colours):
    c = np.array([[int(h[i : i + 2], 16) for i in (1, 3, 5)] for h in colours]) / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def sampled_least(targets, corners, parts=40):
    """An independent upper bound: the nearest of many mixes, by brute force."""
    rng = np.random.default_rng(5)
    weights = rng.dirichlet(np.full(len(corners), 0.3), 20000)
    # Every pair's segment too, where the nearest mix often lies.
    t = np.linspace(0, 1, parts + 1)[:, None]
    pairs = [corners[i] * (1 - t) + corners[j] * t for i in range(len(corners)) for j in range(i)]
    mixes = np.concatenate([weights @ corners, corners, *pairs]) if pairs else corners
    lab = linear_oklab(mixes)
    return np.array([np.sqrt(((lab - p) ** 2).sum(1)).min() for p in linear_oklab(targets)])


@pytest.mark.parametrize("name", PALETTES)
def test_distances_match_a_brute_force_search(name):
    corners = linear(PALETTES[name])
    rng = np.random.default_rng(len(name))
    targets = np.concatenate([rng.random((60, 3)), corners, corners.mean(0, keepdims=True)])
    found = Mixes.of(corners).distance(targets)
    brute = sampled_least(targets, corners)
    # Every answer is reached by some mix, and no sample comes nearer.
    assert (found <= brute + 1e-9).all()
    assert found[-len(corners) - 1 :].max() < 1e-7  # the colours and their mean
    # Outside the mixes, where the answer lies on the hull's skin, dense
    # sampling of the pieces meets it closely.
    outside = found > 1e-9
    if outside.any():
        assert np.median((brute - found)[outside]) < 2e-3


@pytest.mark.parametrize(
    "colours, rank, corners",
    [
        (["#000000", "#000000"], 0, 1),
        (["#000000", "#808080", "#ffffff"], 1, 2),
        (["#000000", "#ffffff", "#ff0000", "#00ffff", "#ff8080"], 2, 4),
        (PALETTES["cube"] + ["#808080", "#ff8080"], 3, 8),
    ],
    ids=["duplicates", "line", "plane", "cube"],
)
def test_inner_colours_are_no_corners(colours, rank, corners):
    mixes = Mixes.of(linear(colours))
    assert len(mixes.corners) == corners
    assert (len(mixes.triangles) > 0) == (rank >= 2)
    inside = mixes.inside(np.array([[0.2, 0.2, 0.2], [1.2, 0.1, 0.1]]))
    assert inside.tolist() == ([True, False] if rank == 3 else [False, False])


@pytest.mark.parametrize("name", ["line", "plane", "one hue", "panel"])
def test_no_dither_scores_below_the_floor(name):
    colours = PALETTES[name]
    floor = oklab_floor(GRADIENT, colours)
    results = [
        tonalis.error_diffusion(GRADIENT, palette=colours, linear=True),
        tonalis.ordered_dither(GRADIENT, palette=colours),
        ordered(GRADIENT, "bluenoise64", palette=colours),
        dbs(GRADIENT, palette=colours),
    ]
    best = min(score(GRADIENT, r) for r in results)
    assert 0 < floor <= best
    # The best dither is near the floor where the palette's mixes are far off.
    assert best < floor + 6


def test_one_colour_floor_is_the_flat_image():
    # Every image of one colour is that flat image: the floor is its figure.
    colours = PALETTES["one"]
    only = np.full_like(GRADIENT, 128)
    assert oklab_floor(GRADIENT, colours) == pytest.approx(score(GRADIENT, only), rel=1e-9)


@pytest.mark.parametrize(
    "image, colours",
    [
        (np.tile(np.arange(0, 256, 8, dtype=np.uint8), (8, 1)), PALETTES["line"]),
        (GRADIENT, PALETTES["cube"]),
        (np.zeros((0, 4, 3), np.uint8), PALETTES["line"]),
    ],
    ids=["gray on black and white", "colours in the cube", "empty"],
)
def test_floor_is_zero_where_the_mixes_hold_every_colour(image, colours):
    assert oklab_floor(image, colours) == 0.0


def test_floor_ignores_order_duplicates_and_inner_colours():
    colours = PALETTES["panel"]
    plain = oklab_floor(GRADIENT, colours)
    again = oklab_floor(GRADIENT, colours[::-1] + colours[:2] + ["#888888"])
    assert again == pytest.approx(plain, rel=1e-4)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: oklab_floor(GRADIENT / 255.0, ["#000"]), TypeError, "uint8"),
        (lambda: oklab_floor(GRADIENT, ["#00"]), ValueError, "hex color"),
        (lambda: oklab_floor(GRADIENT, []), ValueError, "palette"),
    ],
    ids=["float", "colour", "empty palette"],
)
def test_floor_refuses_bad_input(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_grays_near_black_reach_the_black_and_white_line():
    # The cube root's slope near black makes the first steps there overshoot.
    dark = np.linspace(1e-6, 0.02, 50)
    assert Mixes.of(linear(PALETTES["line"])).distance(np.stack([dark] * 3, 1)).max() < 1e-7
