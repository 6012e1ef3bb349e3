"""The `tonalis` command, run as a subprocess on temporary files."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

import tonalis
from tonalis_tools.bluenoise import blue_noise_matrix
from tonalis_tools import load_image
from tonalis_tools.presets import adaptive_palette, preset

RNG = np.random.default_rng(3)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
RGBA = np.dstack([RGB, RNG.integers(0, 256, (24, 32), dtype=np.uint8)])


def _env():
    """The environment, with the tonalis and tonalis_tools this process imported first on the path."""
    import tonalis_tools

    env = dict(os.environ)
    roots = [str(Path(tonalis_tools.__file__).resolve().parent.parent),
             str(Path(tonalis.__file__).resolve().parent)]
    env["PYTHONPATH"] = os.pathsep.join(roots + [p for p in [env.get("PYTHONPATH")] if p])
    return env


ENV = _env()


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tonalis_tools", *map(str, args)], cwd=cwd,
                          env=ENV, capture_output=True, text=True, timeout=120)


def read(path):
    """The pixels of a written file, however compactly it was stored."""
    return np.asarray(load_image(path))


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "photo.png"
    Image.fromarray(RGB).save(path)
    return path


@pytest.mark.parametrize("options, expected", [
    ([], lambda a: tonalis.dither(a)),
    (["-m", "atkinson", "--levels", "4", "--serpentine"],
     lambda a: tonalis.dither(a, "atkinson", levels=4, serpentine=True)),
    (["-m", "random", "--seed", "9", "--strength", "0.5"],
     lambda a: tonalis.dither(a, "random", seed=9, strength=0.5)),
    (["-m", "Jarvis-Judice-Ninke", "--linear"], lambda a: tonalis.dither(a, "jjn", linear=True)),
    (["--preset", "game boy"], lambda a: tonalis.dither(a, palette=preset("gameboy"))),
    (["--palette", "#000, #fff,f00", "-m", "bayer8x8"],
     lambda a: tonalis.dither(a, "bayer8x8", palette=["#000", "#fff", "#f00"])),
    (["--matrix", "bluenoise32"], lambda a: tonalis.ordered_dither(a, blue_noise_matrix(32))),
    (["-m", "blue-noise-16", "--levels", "3"],
     lambda a: tonalis.ordered_dither(a, blue_noise_matrix(16), levels=3)),
    (["--matrix", "4"], lambda a: tonalis.ordered_dither(a, 4)),
    (["--no-preserve-alpha", "--levels", "3"],
     lambda a: tonalis.dither(a, levels=3, preserve_alpha=False)),
])
def test_options_reach_the_module(tmp_path, options, expected):
    source = tmp_path / "in.png"
    Image.fromarray(RGBA).save(source)
    result = run(source, "-o", "out.png", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), expected(RGBA))


@pytest.mark.parametrize("name, content, expected", [
    ("m.txt", "0 2\n3 1\n", np.array([[0, 2], [3, 1]])),
    ("m.txt", "# thresholds\n0.2 0.6\n0.8 0.4\n", np.array([[0.2, 0.6], [0.8, 0.4]])),
    ("m.npy", None, blue_noise_matrix(16)),
])
def test_matrix_files(tmp_path, photo, name, content, expected):
    path = tmp_path / name
    if content is None:
        np.save(path, expected)
    else:
        path.write_text(content)
    result = run(photo, "-o", "out.png", "--matrix", path, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), tonalis.ordered_dither(RGB, expected))


def test_palette_file_and_grayscale_input(tmp_path):
    (tmp_path / "p.gpl").write_text("GIMP Palette\nName: t\n#\n0 0 0 a\n255 255 255 b\n0 0 255 c\n")
    gray = RGB[:, :, 1]
    Image.fromarray(gray).save(tmp_path / "g.png")
    result = run("g.png", "-o", "out.png", "--palette", "p.gpl", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    expected = tonalis.dither(np.dstack([gray] * 3), palette=["#000000", "#ffffff", "#0000ff"])
    assert np.array_equal(np.asarray(Image.open(tmp_path / "out.png").convert("RGB")), expected)


def test_adaptive_colours(tmp_path, photo):
    result = run(photo, "-o", "out.png", "--colors", "5", "-m", "sierra", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    expected = tonalis.dither(RGB, "sierra", palette=adaptive_palette(Image.fromarray(RGB), 5))
    out = read(tmp_path / "out.png")
    assert np.array_equal(out, expected)
    assert len(np.unique(out.reshape(-1, 3), axis=0)) <= 5


def _tree(root):
    (root / "sub").mkdir(parents=True)
    images = {}
    for i, rel in enumerate(["a.png", "b.bmp", "c.tif", "d.png", "sub/e.png"]):
        data = np.roll(RGB, i, axis=1)
        Image.fromarray(data).save(root / rel)
        images[rel] = data
    (root / "notes.txt").write_text("not an image")
    return images


def test_directory_batch_with_progress(tmp_path):
    images = _tree(tmp_path / "in")
    result = run("in", "-o", "out", "--format", "gif", "-r", "--progress", "-j", "2",
                 "-m", "burkes", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "5/5 files" in result.stderr and "[" + "#" * 30 + "]" in result.stderr
    for rel, data in images.items():
        out = tmp_path / "out" / Path(rel).with_suffix(".gif")
        assert np.array_equal(np.asarray(Image.open(out).convert("RGB")), tonalis.dither(data, "burkes"))
    assert not (tmp_path / "out" / "notes.gif").exists()


def test_glob_batch_keeps_names_and_formats(tmp_path):
    images = _tree(tmp_path / "in")
    result = run("in/*.png", "in/c.tif", "-o", "out", "-q", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.png", "c.tif", "d.png"]
    assert np.array_equal(read(tmp_path / "out" / "c.tif"), tonalis.dither(images["c.tif"]))
    assert result.stderr == ""


def test_batch_goes_on_past_a_bad_file(tmp_path):
    _tree(tmp_path / "in")
    (tmp_path / "in" / "broken.png").write_bytes(b"\x89PNG not really")
    result = run("in", "-o", "out", cwd=tmp_path)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert lines[0].startswith("tonalis: error: cannot read ") and "broken.png" in lines[0]
    assert lines[-1] == "tonalis: error: 1 of 5 files failed"
    assert len(list((tmp_path / "out").iterdir())) == 4


@pytest.mark.parametrize("args, message", [
    (["missing.png", "-o", "x.png"], r"cannot read 'missing.png': no such file"),
    (["junk.png", "-o", "x.png"], r"cannot read 'junk.png': cannot identify image file"),
    (["photo.png", "-o", "x.png", "--preset", "nope"], r"unknown palette preset 'nope'"),
    (["photo.png", "-o", "x.png", "--levels", "1"], r"levels must be between 2 and 256"),
    (["photo.png", "-o", "x.png", "--levels", "4", "--preset", "bw"], r"not allowed with"),
    (["photo.png", "-o", "x.png", "--colours", "1"], r"--colors must be between 2 and 256"),
    (["photo.png", "-o", "x.png", "--strength", "2"], r"strength must be between"),
    (["photo.png", "-o", "x.png", "--strength", "lots"], r"invalid float value"),
    (["photo.png", "-o", "x.png", "-m", "nope"], r"unknown dither method 'nope'.*bluenoise64"),
    (["photo.png", "-o", "x.png", "--frobnicate"], r"unrecognized arguments: --frobnicate"),
    (["photo.png", "-o", "x.unknown"], r"cannot write images as '.unknown'"),
    (["photo.png", "-o", "x.png", "--matrix", "nope"], r"neither a matrix name"),
    (["photo.png", "-o", "x.png", "--matrix", "bayer3x3"], r"unknown dither matrix"),
    (["photo.png", "-o", "x.png", "--matrix", "junk.png"], r"cannot read matrix file"),
    (["photo.png", "-o", "x.png", "--palette", "#12,#fff"], r"invalid hex color '#12'"),
    (["photo.png", "-o", "x.png", "--matrix", "bayer4x4", "-m", "fs"], r"leave out --method"),
    (["photo.png", "-o", "x.png", "-m", "fs,atkinson"], r"several methods need --compare"),
    (["photo.png", "-o", "x.png", "-j", "0"], r"--jobs must be at least 1"),
    (["photo.png"], r"no output given"),
    (["-o", "x.png"], r"no input given"),
    (["photo.png", "-o", "photo.png"], r"refusing to overwrite input 'photo.png'"),
    (["photo.png", "sub/photo.png", "-o", "out"], r"two inputs would be written to .*'photo.png' and 'sub/photo.png'"),
    (["nothing*.png", "-o", "out"], r"no file matches 'nothing\*.png'"),
])
def test_errors_are_one_line_with_status_2(tmp_path, photo, args, message):
    (tmp_path / "junk.png").write_text("not an image")
    (tmp_path / "sub").mkdir()
    shutil.copy(photo, tmp_path / "sub" / "photo.png")
    before = photo.read_bytes()
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tonalis: error: "), result.stderr
    assert re.search(message, lines[0]), lines[0]
    assert photo.read_bytes() == before
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("mode", [[], ["--compare"]], ids=["batch", "compare"])
def test_an_image_without_an_adaptive_palette_is_a_file_error(tmp_path, mode):
    Image.new("RGB", (8, 8), (10, 20, 30)).save(tmp_path / "flat.png")
    result = run("flat.png", *mode, "--colors", "4", "-o", "x.png", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("tonalis: error: 'flat.png': ") and result.stderr.count("\n") <= 2
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "x.png").exists()


def test_overwrite_replaces_the_input_only_when_asked(tmp_path, photo):
    result = run(photo, "-o", photo, "--overwrite", "-m", "stucki", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(photo), tonalis.dither(RGB, "stucki"))


def test_compare_sheet(tmp_path, photo):
    second = tmp_path / "second.png"
    Image.fromarray(RGB[:20]).save(second)
    result = run(photo, second, "--compare", "-m", "fs, bayer4x4 ,bluenoise16", "--cell-width", "0",
                 "--matrix", "bayer2x2",
                 "-o", "sheet.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    sheet = read(tmp_path / "sheet.png")
    columns = 5  # the input, three methods, the matrix
    assert sheet.shape[1] == columns * RGB.shape[1] + (columns + 1) * 8
    # The first row's dithered cells sit where the sheet puts them, 1:1.
    x = 8 + 1 * (RGB.shape[1] + 8)
    assert np.array_equal(sheet[8 : 8 + 24, x : x + 32], tonalis.dither(RGB, "fs"))
    assert "2 x 4 images" in result.stderr


def test_compare_shrinks_wide_inputs(tmp_path):
    Image.fromarray(np.tile(RGB, (1, 20, 1))).save(tmp_path / "wide.png")  # 640 px wide
    result = run("wide.png", "--compare", "-o", "sheet.gif", "--cell-width", "100", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    columns = 1 + 6  # the input and the default methods
    assert read(tmp_path / "sheet.gif").shape[1] == columns * 100 + (columns + 1) * 8


def test_demo_writes_the_gallery(tmp_path):
    result = run("demo", "gallery", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    pictures = sorted((tmp_path / "gallery").glob("*.png"))
    assert len(pictures) >= 15
    index = (tmp_path / "gallery" / "index.html").read_text()
    for picture in pictures:
        assert f"src='{picture.name}'" in index
        with Image.open(picture) as image:
            image.verify()
    # The copy the README shows is the current one.
    committed = Path(__file__).resolve().parent.parent / "docs" / "gallery"
    if committed.is_dir():
        assert sorted(p.name for p in committed.glob("*.png")) == [p.name for p in pictures]
        readme = (committed.parent.parent / "README.md").read_text()
        assert all(f"docs/gallery/{p.name}" in readme for p in pictures)


def test_help_and_listing(tmp_path):
    help_text = run("--help", cwd=tmp_path)
    assert help_text.returncode == 0
    assert "examples:" in help_text.stdout and "tonalis demo" in help_text.stdout
    for option in ["--method", "--levels", "--palette", "--preset", "--serpentine", "--strength",
                   "--linear", "--seed", "--no-preserve-alpha", "--matrix", "--compare",
                   "--overwrite", "--colors"]:
        assert option in help_text.stdout
    listing = run("--list", cwd=tmp_path).stdout
    assert "bluenoise64" in listing and "epaper-7" in listing and "atkinson" in listing
    assert run("--version", cwd=tmp_path).stdout.strip() == f"tonalis {tonalis.__version__}"


def test_console_script_is_installed(tmp_path):
    script = shutil.which("tonalis", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("no tonalis script beside this interpreter (not installed)")
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == f"tonalis {tonalis.__version__}"
