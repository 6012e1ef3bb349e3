"""The `tonalis` command, run as a subprocess on temporary files."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

import tonalis
from tonalis_tools import load_image
from tonalis_tools.algorithms import pattern_dither
from tonalis_tools.bluenoise import blue_noise_matrix
from tonalis_tools.halftone import halftone_matrix
from tonalis_tools.presets import adaptive_palette, preset

RNG = np.random.default_rng(3)
RGB = RNG.integers(0, 256, (24, 32, 3), dtype=np.uint8)
RGBA = np.dstack([RGB, RNG.integers(0, 256, (24, 32), dtype=np.uint8)])


def _env():
    """The environment, with this process's tonalis and tonalis_tools first on the path."""
    import tonalis_tools

    env = dict(os.environ)
    roots = [
        str(Path(tonalis_tools.__file__).resolve().parent.parent),
        str(Path(tonalis.__file__).resolve().parent),
    ]
    env["PYTHONPATH"] = os.pathsep.join(roots + [p for p in [env.get("PYTHONPATH")] if p])
    return env


ENV = _env()


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "tonalis_tools", *map(str, args)],
        cwd=cwd,
        env=ENV,
        capture_output=True,
        text=True,
        timeout=120,
    )


def read(path):
    """The pixels of a written file, however compactly it was stored."""
    return np.asarray(load_image(path))


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "photo.png"
    Image.fromarray(RGB).save(path)
    return path


@pytest.mark.parametrize(
    "options, expected",
    [
        ([], lambda a: tonalis.dither(a)),
        (
            ["-m", "atkinson", "--levels", "4", "--serpentine"],
            lambda a: tonalis.dither(a, "atkinson", levels=4, serpentine=True),
        ),
        (
            ["-m", "random", "--seed", "9", "--strength", "0.5"],
            lambda a: tonalis.dither(a, "random", seed=9, strength=0.5),
        ),
        (
            ["-m", "Jarvis-Judice-Ninke", "--linear"],
            lambda a: tonalis.dither(a, "jjn", linear=True),
        ),
        (
            ["--preset", "game boy", "--exact"],
            lambda a: tonalis.dither(a, palette=preset("gameboy")),
        ),
        (
            ["--preset", "cga", "--no-linear"],
            lambda a: tonalis.dither(a, palette=preset("cga"), serpentine=True),
        ),
        (
            ["--palette", "#000, #fff,f00", "-m", "bayer8x8"],
            lambda a: tonalis.dither(a, "bayer8x8", palette=["#000", "#fff", "#f00"]),
        ),
        (["--matrix", "bluenoise32"], lambda a: tonalis.ordered_dither(a, blue_noise_matrix(32))),
        (
            ["-m", "blue-noise-16", "--levels", "3"],
            lambda a: tonalis.ordered_dither(a, blue_noise_matrix(16), levels=3),
        ),
        (["--matrix", "4"], lambda a: tonalis.ordered_dither(a, 4)),
        (
            ["--no-preserve-alpha", "--levels", "3"],
            lambda a: tonalis.dither(a, levels=3, preserve_alpha=False),
        ),
    ],
)
def test_options_reach_the_module(tmp_path, options, expected):
    source = tmp_path / "in.png"
    Image.fromarray(RGBA).save(source)
    result = run(source, "-o", "out.png", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), expected(RGBA))


@pytest.mark.parametrize(
    "name, content, expected",
    [
        ("m.txt", "0 2\n3 1\n", np.array([[0, 2], [3, 1]])),
        ("m.txt", "# thresholds\n0.2 0.6\n0.8 0.4\n", np.array([[0.2, 0.6], [0.8, 0.4]])),
        ("m.npy", None, blue_noise_matrix(16)),
    ],
)
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
    expected = tonalis.dither(
        np.dstack([gray] * 3),
        palette=["#000000", "#ffffff", "#0000ff"],
        linear=True,
        serpentine=True,
    )
    assert np.array_equal(np.asarray(Image.open(tmp_path / "out.png").convert("RGB")), expected)


def test_adaptive_colours(tmp_path, photo):
    result = run(photo, "-o", "out.png", "--colors", "5", "-m", "sierra", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    fitted = adaptive_palette(Image.fromarray(RGB), 5)
    expected = tonalis.dither(RGB, "sierra", palette=fitted, linear=True, serpentine=True)
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
    result = run(
        "in",
        "-o",
        "out",
        "--format",
        "gif",
        "-r",
        "--progress",
        "-j",
        "2",
        "-m",
        "burkes",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert "5/5 files" in result.stderr and "[" + "#" * 30 + "]" in result.stderr
    assert re.search(r"[1-4]/5 files, \d+:\d\d left", result.stderr)
    assert re.search(r"tonalis: 5 files written to 'out' in \d+\.\d s$", result.stderr.rstrip())
    for rel, data in images.items():
        out = tmp_path / "out" / Path(rel).with_suffix(".gif")
        assert np.array_equal(
            np.asarray(Image.open(out).convert("RGB")), tonalis.dither(data, "burkes")
        )
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


@pytest.mark.parametrize(
    "args, message",
    [
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
        (
            ["photo.png", "sub/photo.png", "-o", "out"],
            r"two inputs would be written to .*'photo.png' and 'sub/photo.png'",
        ),
        (["nothing*.png", "-o", "out"], r"no file matches 'nothing\*.png'"),
    ],
)
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
    assert (
        result.stderr.startswith("tonalis: error: 'flat.png': ") and result.stderr.count("\n") <= 2
    )
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "x.png").exists()


def test_overwrite_replaces_the_input_only_when_asked(tmp_path, photo):
    result = run(photo, "-o", photo, "--overwrite", "-m", "stucki", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(photo), tonalis.dither(RGB, "stucki"))


def test_compare_sheet(tmp_path, photo):
    second = tmp_path / "second.png"
    Image.fromarray(RGB[:20]).save(second)
    result = run(
        photo,
        second,
        "--compare",
        "-m",
        "fs, bayer4x4 ,bluenoise16",
        "--cell-width",
        "0",
        "--matrix",
        "bayer2x2",
        "-o",
        "sheet.png",
        cwd=tmp_path,
    )
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
    # The copy the documentation shows is the current one, and every sheet
    # is shown on one of its pages.
    committed = Path(__file__).resolve().parent.parent / "docs" / "gallery"
    if committed.is_dir():
        assert sorted(p.name for p in committed.glob("*.png")) == [p.name for p in pictures]
        pages = "".join(p.read_text() for p in committed.parent.rglob("*.md"))
        assert all(f"gallery/{p.name})" in pages for p in pictures)


def test_help_and_listing(tmp_path):
    help_text = run("--help", cwd=tmp_path)
    assert help_text.returncode == 0
    assert "examples:" in help_text.stdout and "tonalis demo" in help_text.stdout
    for option in [
        "--method",
        "--levels",
        "--palette",
        "--preset",
        "--serpentine",
        "--strength",
        "--linear",
        "--seed",
        "--no-preserve-alpha",
        "--matrix",
        "--compare",
        "--overwrite",
        "--colors",
    ]:
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


# --- files as users have them ------------------------------------------------------


def test_gray_gives_a_one_bit_black_and_white_file(tmp_path, photo):
    result = run(photo, "-o", "bw.png", "--gray", "-m", "atkinson", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "bw.png") as written:
        assert written.mode == "1"
    gray = np.asarray(Image.fromarray(RGB).convert("L"))
    assert np.array_equal(read(tmp_path / "bw.png"), tonalis.dither(gray, "atkinson"))


@pytest.mark.parametrize(
    "options, message",
    [
        ([], "lossy"),
        (["--format", "jpg"], "lossy"),
    ],
)
def test_lossy_outputs_are_refused_unless_asked(tmp_path, photo, options, message):
    target = "out/" if options else "out.jpg"
    refused = run(photo, "-o", target, *options, cwd=tmp_path)
    assert refused.returncode == 2 and message in refused.stderr and "--lossy" in refused.stderr
    assert not (tmp_path / "out.jpg").exists() and not (tmp_path / "out").exists()
    allowed = run(photo, "-o", target, *options, "--lossy", cwd=tmp_path)
    assert allowed.returncode == 0, allowed.stderr


def test_a_folder_of_jpegs_comes_back_as_png(tmp_path):
    (tmp_path / "in").mkdir()
    for name in ("a.jpg", "b.jpeg"):
        Image.fromarray(RGB).save(tmp_path / "in" / name, quality=95)
    result = run("in", "-o", "out", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.png", "b.png"]
    assert "2 files written to 'out'" in result.stderr


@pytest.mark.parametrize(
    "options, message",
    [
        (["--levels", "16", "-o", "out.gif"], "GIF holds at most 256 colours"),
        (["--levels", "16", "--indexed", "-o", "out.png"], "at most 256 colours"),
    ],
)
def test_results_a_format_cannot_hold_are_refused(tmp_path, photo, options, message):
    result = run(photo, *options, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["photo.png"]


def test_animated_gif_keeps_every_frame(tmp_path):
    frames = [Image.fromarray(np.roll(RGB, 4 * i, axis=1)) for i in range(3)]
    frames[0].save(
        tmp_path / "anim.gif",
        save_all=True,
        append_images=frames[1:],
        duration=[30, 40, 50],
        loop=0,
    )
    result = run(
        "anim.gif", "-o", "out.gif", "--matrix", "bayer4x4", "--preset", "pico8", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "out.gif") as out, Image.open(tmp_path / "anim.gif") as src:
        assert out.n_frames == 3 and out.info["loop"] == 0
        for i in range(3):
            out.seek(i)
            src.seek(i)
            assert out.info["duration"] == [30, 40, 50][i]
            expected = tonalis.ordered_dither(
                np.asarray(src.convert("RGB")), "bayer4x4", palette=preset("pico8")
            )
            assert np.array_equal(np.asarray(out.convert("RGB")), expected)


def test_standard_input_and_output(tmp_path, photo):
    result = subprocess.run(
        [sys.executable, "-m", "tonalis_tools", "-", "-o", "-", "--gray"],
        input=photo.read_bytes(),
        env=ENV,
        capture_output=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"\x89PNG")
    written = tmp_path / "from-stdout.png"
    written.write_bytes(result.stdout)
    gray = np.asarray(Image.fromarray(RGB).convert("L"))
    assert np.array_equal(read(written), tonalis.dither(gray))


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "cannot read standard input: it is empty"),
        (b"not an image", "cannot read standard input: cannot identify image file"),
    ],
)
def test_unreadable_standard_input_is_named_plainly(data, message):
    result = subprocess.run(
        [sys.executable, "-m", "tonalis_tools", "-", "-o", "-"],
        input=data,
        env=ENV,
        capture_output=True,
        timeout=120,
    )
    assert result.returncode != 0 and result.stdout == b""
    error = result.stderr.decode()
    assert message in error and "object at" not in error, error


@pytest.mark.parametrize(
    "args, message",
    [
        (["photo.png", "sub/photo.png", "-o", "multi.png"], r"2 inputs need a folder for -o"),
        (
            ["photo.png", "-o", "x.png", "--palette", "nofile.gpl"],
            r"palette file 'nofile.gpl' does not exist",
        ),
        (
            ["photo.png", "-o", "x.png", "--palette", "black,whte"],
            r"unknown colour 'whte'; did you mean 'white'",
        ),
        (["photo.png", "-o", "x.png", "-m", "atkinsn"], r"did you mean 'atkinson'"),
        (["photo.png", "-o", "x.png", "--preset", "pico"], r"did you mean 'pico8'"),
        (["photo.png", "-o", "x.png", "--gray", "--colors", "4"], r"--gray takes --levels"),
        (["photo.png", "-", "-o", "out"], r"'-' \(standard input\) must be the only input"),
        (["demo", "photo.png"], r"cannot write the gallery into 'photo.png': it is a file"),
        (
            ["demo", "photo.png/inside"],
            r"cannot write the gallery into 'photo.png/inside': not a directory",
        ),
    ],
)
def test_more_errors_are_one_line(tmp_path, photo, args, message):
    (tmp_path / "sub").mkdir()
    shutil.copy(photo, tmp_path / "sub" / "photo.png")
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and re.search(message, lines[0]), result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["photo.png", "sub"]


def test_without_pillow_the_command_says_so(tmp_path):
    code = (
        "import sys; sys.modules['PIL'] = None\n"
        "from tonalis_tools.cli import main\n"
        "sys.exit(main(sys.argv[1:]))"
    )
    for args in (["demo", "gallery"], ["in.png", "-o", "out.png"]):
        result = subprocess.run(
            [sys.executable, "-c", code, *args],
            cwd=tmp_path,
            env=ENV,
            capture_output=True,
            text=True,
            timeout=120,
        )
        assert result.returncode == 2
        assert (
            result.stderr == "tonalis: error: the tonalis command needs Pillow: "
            "pip install 'tonalis-dither[pil]'\n"
        )


def test_named_dither_command_and_colour_names(tmp_path, photo):
    result = run(
        "dither",
        photo,
        "-o",
        "out.png",
        "--palette",
        "black, white, red",
        "--matrix",
        "bluenoise64",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    expected = tonalis.ordered_dither(RGB, blue_noise_matrix(64), palette=["#000", "#fff", "#f00"])
    assert np.array_equal(read(tmp_path / "out.png"), expected)


def test_recursive_batch_skips_its_own_output_folder(tmp_path):
    _tree(tmp_path / "in")
    first = run("in", "-r", "-o", "in/out", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    second = run("in", "-r", "-o", "in/out", "--overwrite", cwd=tmp_path)
    assert second.returncode == 0, second.stderr
    assert not (tmp_path / "in" / "out" / "out").exists()
    assert "5 files written" in second.stderr


def _big_batch(folder, count):
    folder.mkdir()
    data = np.random.default_rng(5).integers(0, 256, (500, 700, 3), dtype=np.uint8)
    for i in range(count):
        Image.fromarray(np.roll(data, i, axis=0)).save(folder / f"f{i:02}.bmp")


@pytest.mark.parametrize(
    "signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["ctrl-c", "sigterm"]
)
def test_a_signal_stops_a_batch_and_leaves_only_whole_files(tmp_path, signum, status):
    count = 40
    _big_batch(tmp_path / "in", count)
    # A shell that runs the suite in the background starts it with SIGINT
    # ignored, and children inherit that; the command is to see Ctrl-C as a
    # terminal would deliver it.
    # "ready" once the interpreter is up, the command's modules imported and
    # the handler set: a signal sent while a loaded machine is still starting
    # the interpreter would stop its start-up instead.
    start = (
        "import runpy, signal, sys, tonalis_tools.cli;"
        " signal.signal(signal.SIGINT, signal.default_int_handler);"
        " print('ready', flush=True);"
        " runpy.run_module('tonalis_tools', run_name='__main__', alter_sys=True)"
    )
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            start,
            "in",
            "-o",
            "out",
            "-j",
            "2",
            "-m",
            "stucki",
            "--levels",
            "5",
            "--format",
            "png",
        ],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    out = tmp_path / "out"
    try:
        while not (out.is_dir() and any(p.suffix == ".png" for p in out.iterdir())):
            assert process.poll() is None, process.communicate()
            time.sleep(0.02)
        process.send_signal(signum)
        _, stderr = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode == status, stderr
    assert "Traceback" not in stderr
    written = sorted(out.iterdir())
    assert 0 < len(written) < count
    for path in written:
        assert path.suffix == ".png", path.name  # no temporary file is left
        with Image.open(path) as image:
            image.load()


PICO8 = preset("pico8")


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            ["-m", "pattern", "--preset", "pico8", "--matrix", "bluenoise64"],
            lambda a: pattern_dither(a, PICO8, matrix=blue_noise_matrix(64), linear=False),
        ),
        (
            ["-m", "pattern", "--preset", "pico8", "--screen", "round:6:45"],
            lambda a: pattern_dither(
                a, PICO8, matrix=halftone_matrix(6, 45, "round"), linear=False
            ),
        ),
        (
            ["-m", "pattern", "--colors", "4"],
            lambda a: pattern_dither(a, adaptive_palette(a, 4), linear=False),
        ),
    ],
    ids=["pattern-matrix", "pattern-screen", "pattern-colors"],
)
def test_pattern_takes_a_matrix_and_an_adaptive_palette(tmp_path, photo, options, expected):
    result = run(photo, "-o", "out.png", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), expected(RGB))


@pytest.mark.parametrize(
    "options, message",
    [
        (["-o", "out.png", "--invert"], r"--invert flips the bits of a --pack bit format"),
        (["-o", "out.png", "--preset", "pico8", "--no-preserve-alpha"], r"--no-preserve-alpha"),
        (["-o", "out.png", "--colors", "8", "--no-preserve-alpha"], r"--no-preserve-alpha"),
        (["-o", "out.png", "--pack", "mono"], r"--pack writes device bytes, not an image.*PNG"),
        (["-o", "out.gif", "--pack", "index4", "--preset", "pico8"], r"names a GIF file"),
        (["-o", "out/", "--pack", "mono", "--format", "png"], r"not an image.*\.bin"),
        (["-o", "-", "--pack", "mono", "--format", "png"], r"--format png names a PNG file"),
        (["-o", "afile/out.png"], r"cannot write into 'afile': 'afile' is a file, not a folder"),
        (["-o", "afile/sub/out.png"], r"'afile/sub': 'afile' is a file, not a folder"),
        (["-o", "afile/", "-r"], r"'afile' is a file"),
    ],
)
def test_options_that_would_be_ignored_or_fail_late_are_refused(tmp_path, photo, options, message):
    (tmp_path / "afile").write_text("not a folder")
    result = run(photo, *options, cwd=tmp_path)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tonalis: error: "), result.stderr
    assert re.search(message, lines[0]), lines[0]
    assert not result.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["afile", "photo.png"]


def test_an_unwritable_folder_is_reported_once_before_dithering(tmp_path, monkeypatch, capsys):
    from tonalis_tools import cli
    from tonalis_tools.cli import files

    for i in range(3):
        Image.fromarray(RGB).save(tmp_path / f"in{i}.png")
    (tmp_path / "out").mkdir()
    dithered = []
    monkeypatch.setattr(files, "dither_frames", lambda *a, **k: dithered.append(a))

    def refuse(**kwargs):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(files.tempfile, "mkstemp", refuse)
    inputs = [str(tmp_path / f"in{i}.png") for i in range(3)]
    assert cli.main([*inputs, "-o", str(tmp_path / "out" / "new") + "/"]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert lines == [
        f"tonalis: error: cannot write into {str(tmp_path / 'out')!r} "
        f"(for {str(tmp_path / 'out' / 'new')!r}): permission denied"
    ]
    assert dithered == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only folders")
def test_a_read_only_folder_is_reported_once(tmp_path, photo):
    (tmp_path / "out").mkdir(mode=0o555)
    result = run(photo, photo, "-o", "out/", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        "tonalis: error: cannot write into 'out': permission denied"
    ]


@pytest.mark.parametrize("suffix", [".png", ".gif"])
def test_palette_files_keep_the_preset_order(tmp_path, photo, suffix):
    result = run(photo, "-o", f"out{suffix}", "--preset", "pico8", "-m", "bayer4x4", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / f"out{suffix}") as image:
        assert image.mode == "P"
        entries = np.asarray(image.getpalette(), np.uint8).reshape(-1, 3)[:16]
    assert ["#{:02x}{:02x}{:02x}".format(*e) for e in entries] == PICO8


@pytest.mark.serial  # timed: alone, not beside other test workers
def test_ctrl_c_stops_at_once_while_a_large_image_is_dithered(tmp_path):
    # Each file takes seconds to dither; Ctrl-C in the middle must not wait
    # for the dithers under way, and leaves neither temporary files nor a
    # traceback behind.
    (tmp_path / "in").mkdir()
    big = np.random.default_rng(7).integers(0, 256, (2000, 3000, 3), dtype=np.uint8)
    for i in range(4):
        Image.fromarray(np.roll(big, i * 100, axis=1)).save(tmp_path / "in" / f"p{i:02}.bmp")
    # "ready" once the interpreter is up, the command's modules imported and
    # the handler set: a signal sent while a loaded machine is still starting
    # the interpreter would stop its start-up instead.
    start = (
        "import runpy, signal, sys, tonalis_tools.cli;"
        " signal.signal(signal.SIGINT, signal.default_int_handler);"
        " print('ready', flush=True);"
        " runpy.run_module('tonalis_tools', run_name='__main__', alter_sys=True)"
    )
    options = ["in", "-o", "out", "-j", "2", "-m", "stucki", "--preset", "pico8", "--format", "png"]
    process = subprocess.Popen(
        [sys.executable, "-c", start, *options],
        cwd=tmp_path,
        env=ENV,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert process.stdout is not None
        assert process.stdout.readline() == "ready\n", process.communicate()
        time.sleep(1.0)
        assert process.poll() is None, process.communicate()
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        _, stderr = process.communicate(timeout=60)
        took = time.monotonic() - sent
    finally:
        process.kill()
    assert process.returncode == 130, stderr
    assert stderr == "tonalis: interrupted\n"
    assert took < 1.5
    out = tmp_path / "out"
    left = sorted(p.name for p in out.iterdir()) if out.exists() else []
    assert all(not name.startswith(".") for name in left), left
    assert len(left) < 4
