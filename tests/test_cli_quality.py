"""The command's defaults per palette, --exact, and --compare's scores."""

import math

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

import tonalis
from tonalis_tools import diffuse, dither, load_image, panel_palette, preset, recolor
from tonalis_tools.cli import main
from tonalis_tools.quality import oklab_floor, score

RNG = np.random.default_rng(11)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
ACEP = panel_palette("acep7"), panel_palette("acep7", measured=False)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def _pixels(path):
    return np.asarray(load_image(path).convert("RGB"))


@pytest.mark.parametrize(
    "args, expected",
    [
        (["--preset", "cga"], lambda a: dither(a, preset="cga")),
        (["--preset", "cga", "--exact"], lambda a: tonalis.dither(a, palette=preset("cga"))),
        (
            ["--preset", "cga", "--no-serpentine", "--no-linear"],
            lambda a: tonalis.dither(a, palette=preset("cga")),
        ),
        (
            ["--panel", "spectra6", "--error-limit", "none"],
            lambda a: dither(a, panel="spectra6", error_limit=math.inf),
        ),
        (
            ["--panel", "acep7", "--distance", "oklab", "--exact"],
            lambda a: recolor(diffuse(a, palette=ACEP[0], distance="oklab"), *ACEP),
        ),
        (
            ["--gray"],
            lambda a: np.dstack([tonalis.dither(np.asarray(Image.fromarray(a).convert("L")))] * 3),
        ),
    ],
    ids=["profile", "exact", "negated", "no-limit", "exact-refined", "gray"],
)
def test_the_command_takes_the_profile_unless_told(folder, args, expected):
    assert main(["in.png", "-o", "out.png", "-q", *args]) == 0
    assert np.array_equal(_pixels(folder / "out.png"), expected(RGB))


def _table(text, floor=None):
    """(method, figure) rows of the printed table; the floor's row, when there
    is one, goes to `floor`."""
    lines = text.strip().splitlines()
    assert lines[0].startswith("oklab: blurred Oklab distance")
    if lines[-1].startswith("(floor): "):
        assert lines[-1].endswith("the least any image of the palette's colours can score")
        *lines, last = lines[:-1]
        assert last.split()[0] == "(floor)"
        if floor is not None:
            floor.append(float(last.split()[1]))
    return [(line.split()[0], float(line.split()[1])) for line in lines[2:]]


def test_compare_sorts_the_columns_by_their_score(folder, capsys):
    methods = ["bayer8x8", "atkinson", "floyd_steinberg"]
    args = ["in.png", "--compare", "-m", ",".join(methods), "--preset", "cga", "--sort", "oklab"]
    assert main([*args, "-o", "sheet.png", "-q"]) == 0
    rows = _table(capsys.readouterr().out)
    assert sorted(name for name, _ in rows) == sorted(methods)
    assert [figure for _, figure in rows] == sorted(figure for _, figure in rows)
    # Each figure is the score of that method's dither, as `dither` gives it.
    for name, figure in rows:
        expected = score(RGB, dither(RGB, name, preset="cga"))
        assert figure == pytest.approx(expected, abs=0.005)


def test_compare_scores_a_panel_in_the_colours_it_shows(folder, capsys):
    args = ["in.png", "--compare", "-m", "fs", "--panel", "acep7", "--sort", "oklab"]
    assert main([*args, "-o", "sheet.png", "-q"]) == 0
    floor = []
    ((_, figure),) = _table(capsys.readouterr().out, floor)
    shown = recolor(dither(RGB, panel="acep7"), ACEP[1], ACEP[0])
    assert figure == pytest.approx(score(RGB, shown), abs=0.005)
    # The floor is the measured colours', which the figures are scored in.
    assert floor == [pytest.approx(oklab_floor(RGB, ACEP[0]), abs=0.005)]
    assert 0 < floor[0] < figure


@pytest.mark.parametrize(
    "args, floored",
    [
        (["-m", "fs,bayer8x8", "--preset", "cga"], True),
        (["-m", "fs,bayer8x8", "--levels", "2"], False),
        (["-m", "fs", "--preset", "cga", "--sort", "scielab"], False),
    ],
    ids=["one palette", "levels", "scielab"],
)
def test_the_floor_ends_the_blurred_table_of_one_palette(folder, capfd, args, floored):
    sort = [] if "--sort" in args else ["--sort", "oklab"]
    assert main(["in.png", "in.png", "--compare", *args, *sort, "-o", "sheet.png", "-q"]) == 0
    out = capfd.readouterr().out
    assert ("(floor)" in out) == floored
    if floored:
        # Two inputs and their mean, each the floor of that input.
        values = [float(v) for v in out.splitlines()[-2].split()[1:]]
        assert values == pytest.approx([oklab_floor(RGB, preset("cga"))] * 3, abs=0.005)


def test_the_figures_go_to_standard_error_when_the_sheet_is_standard_output(folder, capfd):
    args = ["in.png", "--compare", "-m", "fs,atkinson", "--levels", "2", "--sort", "scielab"]
    assert main([*args, "-o", "-", "-q"]) == 0
    captured = capfd.readouterr()
    assert captured.err.startswith("scielab: S-CIELAB")
    assert "atkinson" in captured.err


@pytest.mark.parametrize(
    "args, message",
    [
        (["--sort", "oklab"], "--sort orders the columns of --compare"),
        (["--compare", "--sort", "psnr"], "invalid choice: 'psnr'"),
        (["--error-limit", "lots"], "expected a number or 'none', got 'lots'"),
    ],
)
def test_bad_quality_options_are_one_line_errors(folder, capsys, args, message):
    assert main(["in.png", "-o", "out.png", *args]) == 2
    assert message in capsys.readouterr().err
