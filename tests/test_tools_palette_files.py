"""Palette files: lospec, GIMP, JASC, Adobe and Paint.NET."""

import numpy as np
import pytest

from tonalis_tools.palette_files import (
    PALETTE_EXTENSIONS,
    format_palette,
    load_palette_file,
    palette_holds_comments,
    parse_palette_data,
    read_palette,
    write_palette,
)
from tonalis_tools.presets import preset

COLOURS = ["#000000", "#ff8001", "#0a0b0c", "#ffffff"]


@pytest.mark.parametrize(
    "extension, data",
    [
        (".hex", b"000000\nFF8001\n\n#0a0b0c\r\nffffff"),
        (
            ".gpl",
            b"GIMP Palette\nName: test\nColumns: 4\n#\n"
            b"  0   0   0\tBlack\n255 128 1 Orange\n10 11 12\n255 255 255 White\n",
        ),
        (".pal", b"JASC-PAL\r\n0100\r\n4\r\n0 0 0\r\n255 128 1\r\n10 11 12\r\n255 255 255\r\n"),
        (".txt", b"; paint.net palette\n;\nFF000000\nffff8001 ; orange\nFF0A0B0C\nFFFFFFFF\n"),
        (
            ".act",
            bytes([0, 0, 0, 255, 128, 1, 10, 11, 12, 255, 255, 255])
            + bytes(756)
            + b"\x00\x04\xff\xff",
        ),
    ],
)
def test_reads_each_format(extension, data, tmp_path):
    path = tmp_path / f"p{extension.upper()}"  # extensions are matched case-blind
    path.write_bytes(data)
    assert read_palette(path) == COLOURS
    assert parse_palette_data(data, extension.strip(".")) == COLOURS


def test_act_without_count_holds_256_colours():
    colours = parse_palette_data(bytes(range(256)) * 3, ".act")
    assert len(colours) == 256 and colours[0] == "#000102" and colours[85] == "#ff0001"


@pytest.mark.parametrize("extension", PALETTE_EXTENSIONS)
@pytest.mark.parametrize("colours", [COLOURS, preset("pico8"), ["#123"], preset("websafe")])
def test_written_files_read_back(extension, colours, tmp_path):
    path = tmp_path / f"out{extension}"
    write_palette(colours, path, name="my palette")
    expected = [c if len(c) == 7 else "#" + "".join(ch * 2 for ch in c[1:]) for c in colours]
    assert read_palette(path) == expected


@pytest.mark.parametrize(
    "extension, data, message",
    [
        (".hex", b"000000\nff00\n", r"p.hex, line 2: expected a colour 'rrggbb', got 'ff00'"),
        (".hex", b"", "has no colours"),
        (".gpl", b"GIMP\n0 0 0\n", "line 1: a GIMP palette starts with 'GIMP Palette'"),
        (".gpl", b"GIMP Palette\n0 0 0\n1 2\n", "line 3: expected 'r g b', got '1 2'"),
        (".gpl", b"GIMP Palette\n0 0 300 x\n", "line 2: colour component out of range"),
        (".gpl", b"GIMP Palette\nName: empty\n", "has no colours"),
        (
            ".pal",
            b"JASC-PAL\n0100\n3\n0 0 0\n1 1 1\n",
            "line 3: the count says 3 colours, the file has 2",
        ),
        (".pal", b"JASC-PAL\n0200\n1\n0 0 0\n", "line 2: unknown JASC palette version '0200'"),
        (".pal", b"JASC-PAL\n0100\nmany\n", "line 3: expected the colour count"),
        (".pal", b"RIFF", "line 1: a JASC palette starts with"),
        (".pal", b"JASC-PAL\n0100\n1\n0 x 0\n", "line 4: expected 'r g b'"),
        (".txt", b"FF000000\n80FF0000\n", "line 2: colour '80FF0000' is not opaque"),
        (".txt", b"FF0000\n", "line 1: expected a colour 'aarrggbb'"),
        (".act", bytes(700), "768 or 772 bytes, this one is 700"),
        (".act", bytes(768) + b"\x01\x01\xff\xff", "colour count 257 at byte 768"),
        (".act", bytes(768) + b"\x00\x00\xff\xff", "colour count 0"),
    ],
)
def test_malformed_files_name_file_and_line(extension, data, message, tmp_path):
    path = tmp_path / f"p{extension}"
    path.write_bytes(data)
    with pytest.raises(ValueError, match=message):
        read_palette(path)


def test_unknown_extension_and_missing_file(tmp_path):
    with pytest.raises(ValueError, match=r"unknown palette file type '.png'.*\.gpl"):
        read_palette(tmp_path / "x.png")
    with pytest.raises(ValueError, match="no extension"):
        read_palette(tmp_path / "palette")
    with pytest.raises(FileNotFoundError):
        read_palette(tmp_path / "missing.gpl")


@pytest.mark.parametrize(
    "colours, extension, message",
    [
        ([], ".hex", "no colours"),
        (["#12"], ".gpl", "invalid hex color"),
        (["#000000"] * 257, ".act", "at most 256 colours, got 257"),
        (["#000000"], ".bmp", "unknown palette file type '.bmp'"),
    ],
)
def test_format_palette_rejects(colours, extension, message):
    with pytest.raises(ValueError, match=message):
        format_palette(colours, extension)


@pytest.mark.parametrize(
    "colours",
    [
        np.array([[0, 0, 0], [255, 17, 1]], np.uint8),
        np.array([[0, 0, 0], [255, 17, 1]]),
        np.array(["#000", "#ff1101"]),
        [(0, 0, 0), (255, 17, 1)],
        ["black", "#FF1101"],
    ],
    ids=["uint8-array", "int-array", "string-array", "triples", "names"],
)
def test_palettes_as_tonalis_takes_them(colours, tmp_path):
    write_palette(colours, tmp_path / "p.hex")
    assert read_palette(tmp_path / "p.hex") == ["#000000", "#ff1101"]


@pytest.mark.parametrize(
    "colours, error, message",
    [
        ("#000000", TypeError, "colours must be a sequence of colours.*not a single string"),
        (b"#000", TypeError, "not a single string"),
        (12, TypeError, "colours must be a sequence of colours, got int"),
        ([(0, 0)], TypeError, "strings or \\(r, g, b\\) triples"),
        ([None], TypeError, "got None"),
        (np.array([[0, 0, 256]]), ValueError, "outside 0..255"),
        ([(0, -1, 0)], ValueError, "out of range"),
        (np.zeros((2, 4), np.uint8), ValueError, "n x 3"),
        (np.zeros((2, 3)), ValueError, "n x 3"),
    ],
)
def test_write_palette_names_what_is_wrong(colours, error, message, tmp_path):
    with pytest.raises(error, match=message):
        write_palette(colours, tmp_path / "p.hex")
    assert not (tmp_path / "p.hex").exists()


def test_latin1_names_in_gimp_files_are_read():
    data = "GIMP Palette\n1 2 3 Ros\u00e9\n".encode("latin-1")
    assert parse_palette_data(data, ".gpl") == ["#010203"]


@pytest.mark.parametrize(
    "name, data, expected",
    [
        ("a.txt", b"; Paint.NET\nFF000000\nFFff0000\n", ["#000000", "#ff0000"]),
        ("b.txt", b"\nff000000\nFFFFFFFF", ["#000000", "#ffffff"]),
        ("c.txt", b"black, red\n#fff  # comment\n", ["#000000", "#ff0000", "#ffffff"]),
        ("d.TXT", b"000 f00", ["#000000", "#ff0000"]),
        ("e", b"navy\n", ["#000080"]),
        ("f.colours", b"\xef\xbb\xbf#123456\n", ["#123456"]),
        ("g.HEX", b"ABCDEF\n", ["#abcdef"]),
    ],
)
def test_load_palette_file_takes_palette_files_and_colour_lists(tmp_path, name, data, expected):
    (tmp_path / name).write_bytes(data)
    assert load_palette_file(tmp_path / name) == expected


@pytest.mark.parametrize(
    "name, data, message",
    [
        ("a.txt", b"; Paint.NET\nFF0000\n", r"a.txt, line 2: expected a colour 'aarrggbb'"),
        ("b.list", b"black\nnot-a-colour\n", r"b.list: unknown colour 'not-a-colour'"),
        ("c.bin", b"\xff\xfe\x00", r"c.bin: not a text file of colours nor a palette file"),
        ("d.txt", b"", r"d.txt: palette has no colours"),
    ],
)
def test_load_palette_file_names_the_file(tmp_path, name, data, message):
    (tmp_path / name).write_bytes(data)
    with pytest.raises(ValueError, match=message):
        load_palette_file(tmp_path / name)


@pytest.mark.parametrize("extension", PALETTE_EXTENSIONS)
def test_comments_where_the_format_holds_them(extension, tmp_path):
    path = tmp_path / f"noted{extension}"
    comments = ["measured on 2026-01-02", "two\nlines", "tab\there"]
    if not palette_holds_comments(extension):
        with pytest.raises(ValueError, match="hold no comments"):
            write_palette(COLOURS, path, comments=comments)
        write_palette(COLOURS, path)
    else:
        write_palette(COLOURS, path, comments=comments)
        text = path.read_text()
        for line in ("measured on 2026-01-02", "two", "lines", "tab here"):
            assert line in text
    assert read_palette(path) == COLOURS


def test_gimp_colour_names():
    data = format_palette(["#000", "#fff"], ".gpl", names=["ink  one", "paper"])
    assert data.decode().splitlines()[-2:] == ["  0   0   0\tink one", "255 255 255\tpaper"]
    with pytest.raises(ValueError, match="1 names for 2 colours"):
        format_palette(["#000", "#fff"], ".gpl", names=["ink"])
