"""The command line with the added algorithms and --stable on animations."""

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image
from test_cli import RGB, photo, read, run  # noqa: F401 (fixture)

import tonalis_tools
from tonalis_tools import dbs, pattern_dither, preset, riemersma, variable_diffuse

GRAY = np.ascontiguousarray(RGB[..., 1])


@pytest.mark.parametrize(
    "options,expected",
    [
        (
            ["-m", "pattern", "--preset", "cga"],
            lambda a: pattern_dither(a, preset("cga"), linear=False),
        ),
        (
            ["-m", "pattern", "--preset", "cga", "--linear"],
            lambda a: pattern_dither(a, preset("cga")),
        ),
        (["-m", "riemersma", "--levels", "3"], lambda a: riemersma(a, levels=3)),
        (["-m", "ostromoukhov"], lambda a: variable_diffuse(a)),
        (["-m", "zhou-fang", "--seed", "5"], lambda a: variable_diffuse(a, "zhou_fang", seed=5)),
        # Direct binary search works in linear light unless told otherwise.
        (["-m", "dbs", "--passes", "2"], lambda a: dbs(a, passes=2)),
        (
            ["-m", "dbs", "--sigma", "0.8", "--no-swaps", "--levels", "3", "--no-linear"],
            lambda a: dbs(a, sigma=0.8, swaps=False, levels=3, linear=False),
        ),
        (
            ["-m", "dbs", "--viewing", "16,127", "--preset", "epaper-bwr", "--passes", "3"],
            lambda a: dbs(a, distance=16, dpi=127, palette=preset("epaper-bwr"), passes=3),
        ),
        (
            ["-m", "dbs", "--preset", "epaper-bwr", "--no-opponent", "--passes", "3"],
            lambda a: dbs(a, palette=preset("epaper-bwr"), opponent=False, passes=3),
        ),
    ],
)
@pytest.mark.parametrize("gray", [False, True])
def test_methods_from_the_command_line(tmp_path, options, expected, gray):
    image = GRAY if gray else RGB
    Image.fromarray(image).save(tmp_path / "in.png")
    result = run(tmp_path / "in.png", "-o", tmp_path / "out.png", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    want = expected(image)
    if want.ndim == 3 and gray and "--preset" not in options:  # palettes give colour
        want = want[..., 0]
    got = read(tmp_path / "out.png")
    assert np.array_equal(got.reshape(want.shape), want)


@pytest.mark.parametrize(
    "options,text",
    [
        (["-m", "pattern"], "palette"),
        (["-m", "ostromoukhov", "--preset", "cga"], "levels"),
        (["-m", "riemersma", "--error-limit", "4"], "error limit"),
        (["--sigma", "1.5"], "method 'dbs'"),
        (["-m", "atkinson", "--no-swaps"], "method 'dbs'"),
        (["-m", "atkinson", "--no-opponent"], "method 'dbs'"),
        (["-m", "dbs", "--viewing", "16"], "INCHES,DPI"),
        (["-m", "dbs", "--viewing", "16,x"], "INCHES,DPI"),
        (["-m", "dbs", "--viewing", "0,100"], "distance"),
        (["-m", "dbs", "--sigma", "3"], "sigma"),
        (["-m", "dbs", "--passes", "1001"], "passes"),
        (["-m", "dbs", "--sigma", "1", "--viewing", "16,127"], "not allowed"),
    ],
)
def test_bad_combinations_are_one_line_errors(tmp_path, photo, options, text):
    result = run(photo, "-o", tmp_path / "out.png", *options, cwd=tmp_path)
    assert result.returncode != 0
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and text in lines[0]


def test_stable_animation(tmp_path):
    rng = np.random.default_rng(2)
    wide = np.clip(np.cumsum(rng.normal(0, 4, (30, 60)), axis=1) + 128, 0, 255).astype(np.uint8)
    frames = [wide[:, i : i + 40] for i in range(5)] + [wide[:, 4:44]]
    images = [Image.fromarray(f) for f in frames]
    images[0].save(tmp_path / "in.gif", save_all=True, append_images=images[1:], duration=50)
    for flag in ([], ["--stable"]):
        out = tmp_path / f"out{len(flag)}.gif"
        result = run(tmp_path / "in.gif", "-o", out, *flag, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "out1.gif") as gif:
        got = []
        for i in range(gif.n_frames):
            gif.seek(i)
            got.append(np.asarray(gif.convert("L")))
    # GIF merges repeated frames.
    want = [
        w
        for i, w in enumerate(tonalis_tools.dither_frames(frames))
        if i == 0 or not np.array_equal(w, tonalis_tools.dither_frames(frames)[i - 1])
    ]
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert np.array_equal(g, w)


@pytest.mark.parametrize("options", [["-m", "bayer4x4"], ["--stable"]])
def test_animation_dithering_to_identical_frames_writes_one_frame(tmp_path, options):
    # Three frames that differ by one code dither to the same picture.
    frames = [Image.fromarray(np.full((24, 32), v, dtype=np.uint8)) for v in (0, 1, 2)]
    frames[0].save(
        tmp_path / "in.png", save_all=True, append_images=frames[1:], duration=[40, 60, 80]
    )
    result = run(tmp_path / "in.png", "-o", tmp_path / "out.gif", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "out.gif") as gif:
        assert gif.n_frames == 1 and gif.info["duration"] == 180
