"""Calibration charts and their measurement from photographs.

The photographs are made here: the chart in the colours a panel really shows
(the published Spectra 6 and ACeP measurements stand in for a panel's),
taken through a known perspective, tilt and scale onto a cluttered
background with a dark bezel round the panel, lit unevenly, with a colour
cast and an exposure of their own, blurred, with noise of a fixed seed,
and rounded to 8-bit sRGB. The transform, blur and noise are numpy's own
(np.linalg, np.convolve), not the code under test.
"""

from __future__ import annotations

import hashlib

import numpy as np
import pytest

from tonalis_tools import panel_palette, read_palette
from tonalis_tools.calibrate import CalibrationError, chart, find_markers, homography, measure

LUMA = np.array([0.2126, 0.7152, 0.0722])


def linear(codes):
    c = np.asarray(codes, dtype=np.float64) / 255.0
    return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def encode(values):
    v = np.clip(values, 0.0, 1.0)
    return np.where(v <= 0.0031308, 12.92 * v, 1.055 * v ** (1 / 2.4) - 0.055) * 255.0


def hex_rgb(colours):
    return np.array([[int(c[i : i + 2], 16) for i in (1, 3, 5)] for c in colours], np.float64)


def blur(image, sigma):
    """A Gaussian blur, edges repeated: the sum of shifted copies per axis."""
    if sigma <= 0:
        return image
    radius = int(3 * sigma + 1)
    t = np.arange(-radius, radius + 1)
    kernel = np.exp(-0.5 * (t / sigma) ** 2)
    kernel /= kernel.sum()
    for axis in (0, 1):
        pad = [(radius, radius) if a == axis else (0, 0) for a in range(3)]
        padded = np.pad(image, pad, mode="edge")
        n = image.shape[axis]
        image = sum(
            w * np.take(padded, np.arange(k, k + n), axis=axis) for k, w in enumerate(kernel)
        )
    return image


def photograph(
    c,
    shown,
    *,
    size=(720, 540),
    angle=3.0,
    scale=0.75,
    keystone=0.06,
    turns=0,
    sigma=1.0,
    noise=2.5,
    cast=(1.1, 1.0, 0.8),
    exposure=0.85,
    falloff=0.12,
    glare=None,
    decoys=0,
    seed=1,
):
    """A photograph of chart `c` on a panel showing the colours `shown`.

    The chart is scaled to `scale` of the photograph's width, tilted by
    `angle` degrees, its top edge shrunk by `keystone` (perspective) and
    turned by `turns` quarter turns clockwise; the light falls off by
    `falloff` from its left edge to its right.
    """
    width, height = size
    cw, ch = c.size
    rng = np.random.default_rng(seed)
    # Where the chart's corners land in the photograph.
    corners = np.array([[0, 0], [cw, 0], [cw, ch], [0, ch]], np.float64) - [cw / 2, ch / 2]
    corners[:2, 0] *= 1 - keystone
    seen = (ch, cw) if turns % 2 else (cw, ch)
    fit = scale * min(width / seen[0], height / seen[1])
    theta = np.radians(angle + 90 * turns)
    rot = np.array([[np.cos(theta), -np.sin(theta)], [np.sin(theta), np.cos(theta)]])
    placed = corners * fit @ rot.T + [width / 2, height / 2]
    # The 8 x 8 system by numpy, to go from a photograph pixel to the chart.
    rows, values = [], []
    for (x, y), (u, v) in zip([[0, 0], [cw, 0], [cw, ch], [0, ch]], placed):
        rows += [[x, y, 1, 0, 0, 0, -u * x, -u * y], [0, 0, 0, x, y, 1, -v * x, -v * y]]
        values += [u, v]
    h = np.append(np.linalg.solve(np.array(rows, float), np.array(values, float)), 1).reshape(3, 3)
    inverse = np.linalg.inv(h)
    py, px = np.mgrid[0:height, 0:width] + 0.5
    w = inverse[2, 0] * px + inverse[2, 1] * py + inverse[2, 2]
    x = (inverse[0, 0] * px + inverse[0, 1] * py + inverse[0, 2]) / w
    y = (inverse[1, 0] * px + inverse[1, 1] * py + inverse[1, 2]) / w
    # The background: rectangles of random colours, then the panel's bezel.
    scene = np.full((height, width, 3), 0.3)
    for _ in range(40):
        x0, y0 = rng.integers(0, width), rng.integers(0, height)
        scene[y0 : y0 + rng.integers(5, 120), x0 : x0 + rng.integers(5, 120)] = rng.random(3)
    bezel = (x > -0.06 * cw) & (x < 1.06 * cw) & (y > -0.08 * ch) & (y < 1.08 * ch)
    scene[bezel] = 0.02
    module = max(2, round(c.module * fit))
    for k in range(decoys):
        x0, y0 = int(rng.integers(0, width - 9 * module)), [4, height - 9 * module - 4][k % 2]
        decoy = np.ones((9 * module, 9 * module))
        decoy[module:-module, module:-module] = 0.0
        decoy[2 * module : -2 * module, 2 * module : -2 * module] = 1.0
        decoy[3 * module : -3 * module, 3 * module : -3 * module] = 0.0
        scene[y0 : y0 + 9 * module, x0 : x0 + 9 * module] = decoy[..., None] * 0.8
    inside = (x >= 0) & (x < cw) & (y >= 0) & (y < ch)
    panel = linear(hex_rgb([shown[k] for k in c.colours]))[c.indices]
    scene[inside] = panel[y[inside].astype(int), x[inside].astype(int)]
    if glare is not None:
        gx, gy, radius = glare
        gx, gy = (h @ [gx, gy, 1])[:2] / (h @ [gx, gy, 1])[2]
        scene += 0.6 * np.exp(-((px - gx) ** 2 + (py - gy) ** 2) / (2 * radius**2))[..., None]
    light = 1 - falloff * np.clip(x / cw, 0, 1)
    scene = scene * light[..., None] * np.array(cast) * exposure
    scene = blur(scene, sigma)
    codes = encode(scene) + rng.normal(0.0, noise, scene.shape)
    return np.clip(np.round(codes), 0, 255).astype(np.uint8)


def expected(c, shown, white_code):
    """The panel's colours white-balanced to a neutral white of `white_code`:
    each channel divided by the white's, times the neutral white."""
    truth = linear(hex_rgb([shown[k] for k in c.colours]))
    return encode(truth / truth[c.white] * linear(white_code))


def codes(colours):
    return hex_rgb(colours)


SPECTRA6 = dict(zip(panel_palette("spectra6", measured=False), panel_palette("spectra6")))
ACEP7 = dict(zip(panel_palette("acep7", measured=False), panel_palette("acep7")))
# Two colours: the layout alone must still tell the chart's turns apart.
INK = {"#000000": "#202020", "#ffffff": "#c0c0b8"}


# Noise of 2.5 codes averaged over the middle half of some hundred points
# per patch, and over six or more patches per colour, leaves a fraction of a
# code; the light falling off is taken out by the white patches to within
# a code. The largest errors are channels the panel shows at 0: the noise
# below 0 is clipped away in the photograph, so they read 1 or 2. Three
# codes is below the smallest step people see between two flat colours, and
# well below what a dither would notice.
TOLERANCE = 3.0


@pytest.mark.parametrize(
    ("shown", "options"),
    [
        pytest.param(SPECTRA6, {}, id="spectra6"),
        pytest.param(SPECTRA6, {"angle": -4, "keystone": -0.08, "scale": 0.6}, id="tilted-small"),
        pytest.param(SPECTRA6, {"turns": 1, "scale": 0.9}, id="quarter-turn"),
        pytest.param(SPECTRA6, {"scale": 0.6, "decoys": 4, "seed": 5}, id="decoy-markers"),
        pytest.param(SPECTRA6, {"turns": 2, "cast": (0.8, 1.0, 1.2)}, id="upside-down-blue-cast"),
        pytest.param(INK, {"turns": 3}, id="black-and-white-three-turns"),
        pytest.param(ACEP7, {"sigma": 1.8, "noise": 4, "exposure": 0.6}, id="acep7-blurred-dark"),
    ],
)
def test_measured_colours_match_the_panels(shown, options):
    c = chart(list(shown))
    photo = photograph(c, shown, **options)
    fixed = measure(photo, c, white_level=200)
    assert fixed.white == 200
    assert fixed.quarter_turns == options.get("turns", 0)
    error = np.abs(codes(fixed.colours) - expected(c, shown, 200))
    assert error.max() <= TOLERANCE, (fixed.colours, error.max())
    # As photographed: the same colours at the white's own lightness, the
    # photographed white's luminance (after the cast and exposure).
    plain = measure(photo, c)
    white = linear(hex_rgb([shown[c.colours[c.white]]]))[0]
    lit = white * np.array(options.get("cast", (1.1, 1.0, 0.8))) * options.get("exposure", 0.85)
    centre = np.mean([p.centre[0] for p in c.patches if p.colour == c.white]) / c.size[0]
    lit *= 1 - 0.12 * centre
    assert abs(plain.white - encode(lit @ LUMA)) <= 2
    error = np.abs(codes(plain.colours) - expected(c, shown, plain.white))
    assert error.max() <= TOLERANCE
    # White is neutral and dull, not stretched to #ffffff.
    assert len(set(plain.colours[c.white][1:].lower()[i : i + 2] for i in (0, 2, 4))) == 1
    assert plain.colours[c.white] != "#ffffff"


@pytest.mark.parametrize("size", [(800, 480), (480, 800), (250, 122), (600, 600)])
def test_charts_of_every_shape_are_found(size):
    c = chart(list(SPECTRA6), size=size)
    assert c.size == size
    assert set(np.unique(c.indices).tolist()) == set(range(6))
    found = find_markers(c.rgb())
    assert sorted((m.x, m.y) for m in found) == sorted(c.markers)
    photo = photograph(c, SPECTRA6, scale=0.6 if size[1] > size[0] else 0.8)
    m = measure(photo, c, white_level=200)
    assert np.abs(codes(m.colours) - expected(c, SPECTRA6, 200)).max() <= TOLERANCE


def test_repeats_spread_and_balanced():
    c = chart(list(ACEP7))
    counts = [sum(p.colour == k for p in c.patches) for k in range(7)]
    # The cells left over go to the references, white (1) and black (0).
    assert min(counts) >= 4 and len(set(counts[2:])) == 1
    assert counts[1] >= counts[0] >= counts[2]
    # Each colour's patches reach both halves of the chart, either way.
    for k in range(7):
        xs = [p.centre[0] for p in c.patches if p.colour == k]
        ys = [p.centre[1] for p in c.patches if p.colour == k]
        assert min(xs) < 400 < max(xs) and min(ys) < 240 < max(ys), k
    # The same chart every time.
    assert np.array_equal(chart(list(ACEP7)).indices, c.indices)


@pytest.mark.parametrize(
    ("panel", "size", "digest"),
    [
        ("spectra6", (800, 480), "2867829aa2363347"),
        ("acep7", (600, 448), "dcac3e5081cf8782"),
        ("bwr", (250, 122), "9d54a9bbf9c5b899"),
    ],
)
def test_charts_stay_the_same(panel, size, digest):
    # A chart shown or saved by one version, on one machine, must be
    # measured by another: its layout is part of the format.
    c = chart(panel_palette(panel, measured=False), size=size)
    assert hashlib.sha256(c.indices.tobytes()).hexdigest()[:16] == digest


@pytest.mark.parametrize(
    ("chart_or_not", "options", "error", "message"),
    [
        ("chart", {}, TypeError, "must be a Chart"),
        (None, {"white_level": 0}, ValueError, "white_level"),
        (None, {"white_level": True}, ValueError, "white_level"),
        (None, {"max_spread": 0}, ValueError, "max_spread"),
    ],
)
def test_measure_arguments(chart_or_not, options, error, message):
    c = chart(["#000", "#fff"])
    with pytest.raises(error, match=message):
        measure(c.rgb(), chart_or_not or c, **options)


@pytest.mark.parametrize(
    ("make", "message"),
    [
        pytest.param(lambda c: np.zeros((50, 80, 3), np.uint8), "the photo is 80 x 50", id="tiny"),
        pytest.param(
            lambda c: np.full((300, 400, 3), 128, np.uint8), "found 0 of the chart's 4", id="blank"
        ),
        pytest.param(
            lambda c: photograph(c, SPECTRA6)[:, :300], "found 2 of the chart's 4", id="half"
        ),
        pytest.param(
            lambda c: photograph(c, SPECTRA6, size=(180, 135), sigma=0.3, noise=0),
            "the photo is only 180 x 135 pixels",
            id="far-away",
        ),
        pytest.param(
            lambda c: photograph(c, SPECTRA6, glare=(420, 200, 25)), "disagree", id="glare"
        ),
        pytest.param(
            lambda c: photograph(c, SPECTRA6, exposure=2.2), "over-exposed", id="over-exposed"
        ),
        pytest.param(
            lambda c: photograph(chart(list(SPECTRA6), size=(600, 600)), SPECTRA6),
            "do not match the chart's layout",
            id="other-chart",
        ),
    ],
)
def test_photos_that_cannot_be_measured(make, message):
    c = chart(list(SPECTRA6))
    with pytest.raises(CalibrationError, match=message):
        measure(make(c), c)


@pytest.mark.parametrize(
    ("colours", "size", "message"),
    [
        (["#000"], (800, 480), "2 to 64 colours"),
        (["#777", "#888"], (800, 480), "too alike"),
        (["#000", "#fff"], (40, 480), "48 to 16384"),
        ([f"#{k:02x}{k:02x}{k:02x}" for k in range(0, 256, 4)], (64, 64), "too small"),
    ],
)
def test_charts_that_cannot_be_made(colours, size, message):
    with pytest.raises(ValueError, match=message):
        chart(colours, size=size)


def test_homography_maps_the_four_points():
    source = [(0, 0), (800, 0), (800, 480), (0, 480)]
    target = [(102.5, 80.25), (690.0, 95.0), (640.0, 470.0), (90.0, 430.0)]
    h = np.array(homography(source, target)).reshape(3, 3)
    for (x, y), (u, v) in zip(source, target):
        p = h @ [x, y, 1]
        assert p[:2] / p[2] == pytest.approx((u, v), abs=1e-9)
    with pytest.raises(ValueError, match="on a line"):
        homography([(0, 0), (1, 1), (2, 2), (0, 1)], target)


def test_command_line_chart_and_measure(tmp_path, capsys):
    Image = pytest.importorskip("PIL.Image")
    from tonalis_tools.cli import main

    assert main(["calibrate", "chart", "--panel", "spectra6", "-o", str(tmp_path / "c.png")]) == 0
    shown = Image.open(tmp_path / "c.png")
    assert shown.mode == "P" and shown.size == (800, 480)
    flat = shown.getpalette()[:18]
    assert ["#{:02x}{:02x}{:02x}".format(*flat[i : i + 3]) for i in range(0, 18, 3)] == list(
        SPECTRA6
    )
    c = chart(list(SPECTRA6))
    Image.fromarray(photograph(c, SPECTRA6)).save(tmp_path / "shot.png")
    out = tmp_path / "mine.gpl"
    argv = ["calibrate", "measure", str(tmp_path / "shot.png"), "--panel", "Spectra 6"]
    assert main([*argv, "-o", str(out), "--white-level", "200"]) == 0
    text = out.read_text()
    assert "shot.png" in text and "spectra6" in text and "neutral at code 200" in text
    measured = read_palette(out)
    assert np.abs(codes(measured) - expected(c, SPECTRA6, 200)).max() <= TOLERANCE
    # The palette is a palette: dither with it, as measured.
    assert (
        main([str(tmp_path / "shot.png"), "-o", str(tmp_path / "d.png"), "--palette", str(out)])
        == 0
    )
    used = np.asarray(Image.open(tmp_path / "d.png").convert("RGB")).reshape(-1, 3)
    assert {"#{:02x}{:02x}{:02x}".format(*p) for p in np.unique(used, axis=0)} <= set(measured)
    # Errors are one line and status 2.
    capsys.readouterr()
    blank = tmp_path / "blank.png"
    Image.new("RGB", (300, 200), "gray").save(blank)
    assert main(["calibrate", "measure", str(blank), "--panel", "spectra6", "-o", str(out)]) == 2
    assert "found 0 of the chart's 4 corner markers" in capsys.readouterr().err
    assert read_palette(out) == measured
