"""The `tonalis` command's device options: screens, per-channel levels, tone,
recolouring, packed bytes and palette files."""

import re
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image
from test_cli import ENV, RGB, RGBA, photo, read, run  # noqa: F401 (photo is a fixture)

import tonalis
from tonalis_tools import (
    adaptive_palette,
    diffuse,
    dither,
    dither_channels,
    halftone_matrix,
    pack,
    panel_palette,
    parse_c_header,
    prepare_for_palette,
    preset,
    recolor,
    screen,
    tone,
    unpack,
    write_palette,
)
from tonalis_tools.devices.printer import fit_width, flatten
from tonalis_tools.recolor import palette_indices

# Error diffusion to a palette diffuses linear light in serpentine rows
# unless told otherwise (and panels and one-hue presets add their limit).
PROFILE = {"linear": True, "serpentine": True}


@pytest.fixture
def rgba(tmp_path):
    Image.fromarray(RGBA).save(tmp_path / "in.png")
    return tmp_path / "in.png"


def _luma(rgb):
    return np.asarray(Image.fromarray(rgb).convert("L"))


def _gray(levels):
    return lambda a: tonalis.dither(_luma(a), levels=levels)


MEASURED, DRIVER = panel_palette("spectra6"), panel_palette("spectra6", measured=False)


def mapped(image, panel):
    """The image in the panel's lightness range and chroma, as its profile maps it first."""
    lightness, chroma = {"spectra6": (0.75, 0.0), "acep7": (0.4, 0.1)}[panel]
    return prepare_for_palette(image, panel_palette(panel), lightness=lightness, chroma=chroma)


def spectra6_dither(image):
    """Spectra 6's dither in its measured colours, with the panel's profile."""
    return diffuse(
        mapped(image, "spectra6"), palette=MEASURED, error_limit=24, distance="oklab", **PROFILE
    )


@pytest.mark.parametrize(
    "options, expected",
    [
        (["--matrix", "Halftone-45"], lambda a: tonalis.ordered_dither(a, screen("halftone45"))),
        (
            ["--screen", "line:6:0"],
            lambda a: tonalis.ordered_dither(a, halftone_matrix(6, 0, "line")),
        ),
        (
            ["--screen", "ellipse:7:30:0.1", "--levels", "3"],
            lambda a: tonalis.ordered_dither(a, halftone_matrix(7, 30, "ellipse", 0.1), levels=3),
        ),
        (
            ["--screen", "square"],
            lambda a: tonalis.ordered_dither(a, halftone_matrix(8, 45, "square")),
        ),
        (["--levels", "RGB565"], lambda a: dither_channels(a, "fs", (32, 64, 32))),
        (
            ["--levels", "4,8,2", "-m", "atkinson", "--serpentine"],
            lambda a: dither_channels(a, "atkinson", (4, 8, 2), serpentine=True),
        ),
        (
            ["--levels", "rgb332", "--matrix", "bayer4x4"],
            lambda a: dither_channels(a, levels=(8, 8, 4), matrix=4),
        ),
        (
            ["--levels", "3,4,5,6", "--no-preserve-alpha", "-m", "random", "--seed", "4"],
            lambda a: dither_channels(a, "random", (3, 4, 5, 6), preserve_alpha=False, seed=4),
        ),
        (
            ["--gamma", "1.25", "--contrast", "0.2"],
            lambda a: tonalis.dither(tone(a, gamma=1.25, contrast=0.2)),
        ),
        (
            [
                "--auto-levels",
                "--s-curve",
                "0.5",
                "--dot-gain",
                "0.1",
                "--brightness",
                "-0.1",
                "--levels",
                "4",
            ],
            lambda a: tonalis.dither(
                tone(a, auto_levels=True, s_curve=0.5, dot_gain=0.1, brightness=-0.1), levels=4
            ),
        ),
        (
            ["--panel", "spectra6", "-m", "jjn"],
            lambda a: recolor(
                diffuse(
                    mapped(a, "spectra6"),
                    "jjn",
                    palette=MEASURED,
                    error_limit=24,
                    distance="oklab",
                    **PROFILE,
                ),
                MEASURED,
                DRIVER,
            ),
        ),
        (
            ["--preset", "epaper-bwr", "--display-palette", "#111, #eee, firebrick"],
            lambda a: recolor(
                tonalis.dither(a, palette=preset("epaper-bwr"), **PROFILE),
                preset("epaper-bwr"),
                ["#111111", "#eeeeee", "#b22222"],
            ),
        ),
    ],
)
def test_device_options_reach_the_helpers(tmp_path, rgba, options, expected):
    result = run(rgba, "-o", "out.png", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), expected(RGBA))


def test_per_channel_levels_widen_a_gray_input(tmp_path):
    gray = RGB[:, :, 0]
    Image.fromarray(gray).save(tmp_path / "g.png")
    result = run("g.png", "-o", "out.png", "--levels", "rgb565", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(
        read(tmp_path / "out.png"), dither_channels(np.dstack([gray] * 3), "fs", "rgb565")
    )


# (options, format, palette the bytes are read back with, expected dithered image)
PACKS = [
    (["--pack", "mono"], "mono", {}, _gray(2)),
    (
        ["--pack", "1bpp", "--invert", "--bit-order", "lsb", "--align", "4"],
        "mono",
        {"invert": True, "bit_order": "lsb", "align": 4},
        _gray(2),
    ),
    (
        ["--pack", "gray2", "--matrix", "halftone45fine"],
        "gray2",
        {},
        lambda a: tonalis.ordered_dither(_luma(a), screen("halftone45fine"), levels=4),
    ),
    (
        ["--pack", "gray4", "--gamma", "1.3"],
        "gray4",
        {},
        lambda a: tonalis.dither(tone(_luma(a), gamma=1.3), levels=16),
    ),
    (["--pack", "escpos", "--band-height", "7"], "escpos", {}, _gray(2)),
    (
        ["--pack", "rgb565", "--byte-order", "big"],
        "rgb565",
        {"byteorder": "big"},
        lambda a: dither_channels(a, "fs", (32, 64, 32)),
    ),
    (
        ["--pack", "rgb332", "-m", "bayer8x8"],
        "rgb332",
        {},
        lambda a: dither_channels(a, "bayer8x8", (8, 8, 4)),
    ),
    (
        ["--pack", "bwr"],
        "bwr",
        {},
        lambda a: tonalis.dither(a, palette=preset("epaper-bwr"), **PROFILE),
    ),
    (
        ["--pack", "bwr", "--ink-bits", "1,1"],
        "bwr",
        {"ink_bits": (1, 1)},
        lambda a: tonalis.dither(a, palette=preset("epaper-bwr"), **PROFILE),
    ),
    # Planes go by lightness, so the order the colours are given in does not matter.
    (
        ["--pack", "bwy", "--palette", "yellow,white,black"],
        "bwy",
        {},
        lambda a: tonalis.dither(a, palette=["#ffff00", "#ffffff", "#000000"], **PROFILE),
    ),
    (
        ["--pack", "index4", "--panel", "acep7"],
        "index4",
        {"palette": panel_palette("acep7", measured=False)},
        lambda a: recolor(
            diffuse(mapped(a, "acep7"), palette=panel_palette("acep7"), error_limit=12, **PROFILE),
            panel_palette("acep7"),
            panel_palette("acep7", measured=False),
        ),
    ),
    (
        ["--pack", "index4", "--panel", "spectra6"],
        "index4",
        {"panel": "spectra6"},
        lambda a: recolor(spectra6_dither(a), MEASURED, DRIVER),
    ),
    (
        ["--pack", "index8", "--panel", "bwr"],
        "index8",
        {"panel": "bwr"},
        lambda a: tonalis.dither(a, palette=preset("epaper-bwr"), **PROFILE),
    ),
    (
        ["--pack", "index2", "--preset", "gameboy", "--luminance", "off", "--bit-order", "lsb"],
        "index2",
        {"palette": preset("gameboy"), "bit_order": "lsb"},
        lambda a: diffuse(a, palette=preset("gameboy"), error_limit=8, distance="luma", **PROFILE),
    ),
    (
        ["--pack", "index8", "--colors", "6"],
        "index8",
        {"palette": adaptive_palette(RGB, 6)},
        lambda a: tonalis.dither(a, palette=adaptive_palette(a, 6), **PROFILE),
    ),
]


@pytest.mark.parametrize(
    "options, fmt, read_back, expected", PACKS, ids=[" ".join(p[0]) for p in PACKS]
)
def test_pack_writes_bytes_that_unpack_to_the_dither(tmp_path, options, fmt, read_back, expected):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run("in.png", "-o", "out.bin", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = (tmp_path / "out.bin").read_bytes()
    dithered = expected(RGB)
    height, width = RGB.shape[:2]
    back = unpack(data, fmt, width, height, **read_back)
    assert np.array_equal(back, dithered if back.ndim == dithered.ndim else dithered[:, :, 0])


def test_pack_as_c_array_and_to_standard_output(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run("in.png", "-o", "1-logo.h", "--pack", "mono", "--invert", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    name, width, height, data = parse_c_header((tmp_path / "1-logo.h").read_text())
    assert (name, width, height) == ("_1_logo", 32, 24)
    assert data == pack(_gray(2)(RGB), "mono", invert=True)
    piped = subprocess.run(
        [sys.executable, "-m", "tonalis_tools", "-", "-o", "-", "--pack", "mono", "--invert"],
        input=(tmp_path / "in.png").read_bytes(),
        env=ENV,
        capture_output=True,
        timeout=120,
    )
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == data


def test_pack_batch_writes_one_file_per_input(tmp_path):
    (tmp_path / "in").mkdir()
    for i in range(2):
        Image.fromarray(np.roll(RGB, i, axis=0)).save(tmp_path / "in" / f"{i}.png")
    result = run("in", "-o", "out", "--pack", "rgb565", "-q", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    for i in range(2):
        expected = pack(dither_channels(np.roll(RGB, i, axis=0), "fs", "rgb565"), "rgb565")
        assert (tmp_path / "out" / f"{i}.bin").read_bytes() == expected


def test_pack_refuses_an_animation(tmp_path):
    frames = [Image.fromarray(RGB), Image.fromarray(RGB[::-1].copy())]
    frames[0].save(tmp_path / "a.gif", save_all=True, append_images=frames[1:], duration=50)
    result = run("a.gif", "-o", "a.bin", "--pack", "index8", "--preset", "websafe", cwd=tmp_path)
    assert result.returncode == 2
    assert (
        result.stderr == "tonalis: error: 'a.gif': --pack writes one image, and this input "
        "has 2 frames\n"
    )
    assert not (tmp_path / "a.bin").exists()


def test_panel_pack_writes_the_controllers_codes(tmp_path):
    """Spectra 6 blue is code 5 and green 6 on the wire; no pixel is code 4."""
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run("in.png", "-o", "out.bin", "--pack", "index8", "--panel", "spectra6", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = np.frombuffer((tmp_path / "out.bin").read_bytes(), np.uint8).reshape(RGB.shape[:2])
    indices = palette_indices(spectra6_dither(RGB), MEASURED)
    assert np.array_equal(data, np.array([0, 1, 2, 3, 5, 6])[indices])
    assert {5, 6} <= set(data.ravel().tolist()) and 4 not in data


# (options, width, height of the result): RGB is 32 x 24.
FITS = [
    (["--width", "16"], 16, 12),
    (["--width", "13"], 13, 10),
    (["--width", "32"], 32, 24),
    (["--width", "48"], 32, 24),
    (["--width", "48", "--fit", "fill"], 48, 36),
]


@pytest.mark.parametrize("options, width, height", FITS, ids=[" ".join(f[0]) for f in FITS])
def test_width_fits_the_image_to_the_printer(tmp_path, options, width, height):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run("in.png", "-o", "out.bin", "--pack", "escpos", *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = (tmp_path / "out.bin").read_bytes()
    assert data[:8] == b"\x1d\x76\x30\x00" + bytes([(width + 7) // 8, 0, height, 0])
    fitted = np.asarray(fit_width(Image.fromarray(RGB), width, fit="fill"))
    assert np.array_equal(unpack(data, "escpos", width, height), _gray(2)(fitted))
    scaled = (width, height) != (32, 24)
    assert ("scaled to" in result.stderr) == scaled
    if scaled:
        assert f"is 32 x 24: scaled to {width} x {height} for --width" in result.stderr


@pytest.mark.parametrize("width, noted", [(576, False), (577, True)])
def test_a_receipt_wider_than_80_mm_paper_is_noted(tmp_path, width, noted):
    Image.new("L", (width, 2), 255).save(tmp_path / "wide.png")
    result = run("wide.png", "-o", "out.bin", "--pack", "escpos", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert ("pass --width to fit it" in result.stderr) == noted
    assert (tmp_path / "out.bin").read_bytes()[4:6] == ((width + 7) // 8).to_bytes(2, "little")


def test_width_refuses_a_wider_image_when_asked(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run(
        "in.png",
        "-o",
        "out.bin",
        "--pack",
        "escpos",
        "--width",
        "16",
        "--fit",
        "refuse",
        cwd=tmp_path,
    )
    assert result.returncode == 2
    assert result.stderr == (
        "tonalis: error: 'in.png' is 32 dots wide, more than --width 16 "
        "(--fit shrink scales it down)\n"
    )
    assert not (tmp_path / "out.bin").exists()


@pytest.mark.parametrize(
    "options, paper", [([], "white"), (["--background", "#404040"], "#404040")]
)
@pytest.mark.parametrize("fmt", ["escpos", "bwr"])
def test_transparent_images_are_laid_over_the_background(tmp_path, rgba, options, paper, fmt):
    result = run(rgba, "-o", "out.bin", "--pack", fmt, *options, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    data = (tmp_path / "out.bin").read_bytes()
    flat = flatten(RGBA, paper)
    if fmt == "bwr":
        expected = tonalis.dither(flat, palette=preset("epaper-bwr"), **PROFILE)
    else:
        expected = _gray(2)(flat)
    back = unpack(data, fmt, 32, 24)
    assert np.array_equal(back, expected)


def test_background_also_flattens_an_image_output(tmp_path, rgba):
    result = run(rgba, "-o", "out.png", "--gray", "--background", "navy", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(read(tmp_path / "out.png"), _gray(2)(flatten(RGBA, "navy")))


COLOURS = ["#000000", "#ffffff", "#ff0000", "#0000ff", "#00ff00"]


@pytest.mark.parametrize("name", ["p.hex", "p.gpl", "p.pal", "p.act", "p.txt"])
def test_palette_files_of_every_type(tmp_path, rgba, name):
    write_palette(COLOURS, tmp_path / name)
    result = run(rgba, "-o", "out.png", "--palette", name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    expected = tonalis.dither(RGBA, palette=COLOURS, **PROFILE)
    assert np.array_equal(read(tmp_path / "out.png"), expected)


@pytest.mark.parametrize(
    "name, content",
    [
        ("plain.txt", "black white  # the ends\nred, blue\n#00ff00\n"),
        ("colours", "000 fff f00 00f 0f0"),
    ],
)
def test_plain_colour_lists_stay_readable(tmp_path, rgba, name, content):
    (tmp_path / name).write_text(content)
    (tmp_path / "shown.hex").write_text("111111\neeeeee\naa0000\n0000aa\n00aa00\n")
    result = run(
        rgba, "-o", "out.png", "--palette", name, "--display-palette", "shown.hex", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    expected = recolor(
        tonalis.dither(RGBA, palette=COLOURS, **PROFILE),
        COLOURS,
        ["#111111", "#eeeeee", "#aa0000", "#0000aa", "#00aa00"],
    )
    assert np.array_equal(read(tmp_path / "out.png"), expected)


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["--matrix", "halftone46"],
            r"--matrix 'halftone46' is neither a matrix name \(.*halftone45",
        ),
        (["--screen", "star:8:45"], r"--screen 'star:8:45': unknown dot shape 'star'"),
        (["--screen", "round:40"], r"--screen 'round:40': cell must be between 2 and 32"),
        (["--screen", "round:8:nan"], r"--screen 'round:8:nan': angle must be finite"),
        (["--screen", "round:8:45:0.5"], r"dot_gain must be between 0 and 0.25, got 0.5"),
        (["--screen", "round:8:45:0:1"], r"--screen 'round:8:45:0:1': expected SHAPE\[:CELL"),
        (["--screen", "round:x"], r"--screen 'round:x': expected"),
        (
            ["--screen", "round", "--matrix", "bayer4x4"],
            r"argument --matrix: not allowed with argument --screen",
        ),
        (["--screen", "round", "-m", "fs"], r"--screen picks ordered dither"),
        (
            ["--levels", "rgb56"],
            r"--levels 'rgb56' .*unknown device format 'rgb56'; did you mean 'rgb565'",
        ),
        (["--levels", "32,,32"], r"--levels '32,,32': expected whole numbers"),
        (["--levels", "32,64,300"], r"levels must be between 2 and 256, got 300"),
        (["--levels", "rgb565", "--gray"], r"gray output takes one level count, got 3"),
        (["--levels", "4", "--preset", "bw"], r"not allowed with argument --levels"),
        (["--gamma", "0"], r"^tonalis: error: --gamma 0: gamma must be between 0.05 and 20"),
        (["--contrast", "nan"], r"--contrast nan: contrast must be between -1 and 1"),
        (["--s-curve", "-0.1"], r"--s-curve -0.1: s_curve must be between 0 and 1"),
        (["--dot-gain", "0.3"], r"--dot-gain 0.3: dot_gain must be between 0 and 0.25"),
        (["--brightness", "x"], r"--brightness: invalid float value: 'x'"),
        (["--panel", "inky"], r"unknown panel 'inky' \(valid: spectra6"),
        (
            ["--panel", "acep7", "--display-palette", "red"],
            r"--display-palette replaces the colours",
        ),
        (
            ["--preset", "bw", "--display-palette", "red"],
            r"--display-palette has 1 colours and the palette 2",
        ),
        (
            ["--preset", "bw", "--display-palette", "red,#12"],
            r"--display-palette: invalid hex color '#12'",
        ),
        (["--palette", "missing.act"], r"palette file 'missing.act' does not exist"),
        (
            ["--palette", "bad.pal"],
            r"--palette: bad.pal, line 3: the count says 2 colours, the file has 1",
        ),
        (
            ["--palette", "bad.act"],
            r"--palette: bad.act: an Adobe colour table is 768 or 772 bytes",
        ),
        (["--palette", "bad.txt"], r"--palette: bad.txt, line 3: colour '80FF0000' is not opaque"),
        (["--pack", "png"], r"unknown pack format 'png'"),
        (["--pack", "index8"], r"--pack index8 writes palette indices: give the palette"),
        (
            ["--pack", "rgb565", "--invert"],
            r"--invert flips bits of the bit formats, not of 'rgb565'",
        ),
        (["--pack", "mono", "--align", "0"], r"--align must be from 1 to 65536 bytes, got 0"),
        (["--pack", "mono", "--align", str(2**40)], r"--align must be from 1 to 65536 bytes"),
        (
            ["--pack", "escpos", "--band-height", "2304"],
            r"--band-height must be between 1 and 2303 rows \(the most one GS v 0",
        ),
        (["--pack", "bwr", "--ink-bits", "0,2"], r"--ink-bits '0,2': expected two bits"),
        (["--pack", "bwr", "--ink-bits", "0"], r"--ink-bits '0': expected two bits"),
        (["--pack", "mono", "--ink-bits", "0,1"], r"sets the planes of bwr and bwy, not of 'mono'"),
        (["--ink-bits", "0,1"], r"--ink-bits sets the planes of --pack bwr or bwy; it needs"),
        (
            ["--pack", "index2", "--panel", "spectra6"],
            r"format 'index2' holds codes 0 to 3, and panel 'spectra6' takes codes up to 6",
        ),
        (["--pack", "escpos", "--width", "0"], r"--width must be from 1 to 65536 dots, got 0"),
        (["--pack", "escpos", "--fit", "fill"], r"--fit fill says how to meet --width"),
        (["--pack", "escpos", "--fit", "crop"], r"--fit crop says how to meet --size"),
        (["--pack", "escpos", "--fit", "trim"], r"argument --fit: invalid choice: 'trim'"),
        (["--width", "8", "--size", "8x8"], r"--width fits a printer's line, --size a panel's"),
        (["--size", "8x8", "--fit", "fill"], r"--fit fill says how to meet --width"),
        (["--rotate"], r"--rotate turns the image to fit --size; give --size too"),
        (["--size", "wide"], r"--size: unknown panel size .*'wide'"),
        (["--size", "0x8"], r"--size: a size must be at least 1 x 1"),
        (["--size", "70000x8"], r"--size must be at most 65536 x 65536"),
        (["--panel", "acep7", "--chroma-map", "2"], r"--chroma-map must be a share from 0 to 1"),
        (["--background", "paper"], r"--background: .*'paper'"),
        (["--background", "red,blue"], r"--background: background must be one colour"),
        (["--width", "8", "--compare"], r"--width, --size and --background prepare one output"),
        (
            ["--pack", "mono", "--bit-order", "middle"],
            r"argument --bit-order: invalid choice: 'middle'",
        ),
        (
            ["--pack", "mono", "--compare"],
            r"--pack writes one file per input; it does not go with --compare",
        ),
        (
            ["--pack", "gray2", "--levels", "3"],
            r"photo.png': pixel \(row \d+, column \d+\) has gray 128, "
            r"not one of the 4 levels",
        ),
        (
            [
                "--pack",
                "index4",
                "--palette",
                "black,white,red,blue,green,yellow,orange,"
                "cyan,magenta,gray,navy,teal,olive,maroon,purple,silver,lime",
            ],
            r"photo.png': format 'index4' holds at most 16 colours, the palette has 17",
        ),
    ],
)
def test_bad_device_values_are_one_line_errors(tmp_path, photo, args, message):
    (tmp_path / "bad.pal").write_text("JASC-PAL\n0100\n2\n0 0 0\n")
    (tmp_path / "bad.act").write_bytes(bytes(12))
    (tmp_path / "bad.txt").write_text("; paint\nFF000000\n80FF0000\n")
    output = "x.bin" if "--pack" in args else "x.png"
    result = run(photo, "-o", output, *args, cwd=tmp_path)
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("tonalis: error: "), result.stderr
    assert re.search(message, lines[0]), lines[0]
    assert not (tmp_path / output).exists()


def test_a_gray_ramp_on_a_colour_panel_comes_out_in_its_neutrals(tmp_path):
    ramp = np.tile(np.linspace(0, 255, 64).round().astype(np.uint8), (8, 1))
    Image.fromarray(ramp).save(tmp_path / "ramp.png")
    colours = {}
    for flag in ([], ["--no-gray-photos"], ["--exact"]):
        result = run("ramp.png", "-o", "out.png", "--panel", "acep7", *flag, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        colours[" ".join(flag)] = len(np.unique(read(tmp_path / "out.png").reshape(-1, 3), axis=0))
    assert colours[""] == 2 < colours["--no-gray-photos"]
    assert colours["--exact"] > 2


def test_size_fits_the_panel_before_dithering_and_no_prepare_drops_the_map(tmp_path):
    Image.fromarray(RGB).save(tmp_path / "in.png")
    result = run(
        "in.png",
        "-o",
        "out.png",
        "--panel",
        "spectra6",
        "--size",
        "20x40",
        "--fit",
        "contain",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert np.array_equal(
        read(tmp_path / "out.png"),
        dither(RGB, panel="spectra6", size=(20, 40), fit="contain"),
    )
    result = run("in.png", "-o", "plain.png", "--panel", "spectra6", "--no-prepare", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert np.array_equal(
        read(tmp_path / "plain.png"), dither(RGB, panel="spectra6", lightness_map=0, chroma_map=0)
    )
