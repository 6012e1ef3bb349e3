"""Palette files of the common paint and pixel-art programs, read and written.

Formats, chosen by the file's extension:

- .hex  (lospec): one colour per line, 'rrggbb' with an optional '#';
- .gpl  (GIMP): 'GIMP Palette', optional 'Name:'/'Columns:' lines, '#'
  comments, then 'r g b [name]' lines;
- .pal  (JASC, Paint Shop Pro): 'JASC-PAL', '0100', the count, then 'r g b' lines;
- .act  (Adobe colour table): 256 RGB triples (768 bytes), optionally
  followed by a big-endian 16-bit colour count and a 16-bit transparent index;
- .txt  (Paint.NET): 'aarrggbb' lines, ';' comments; alpha must be ff.

Every reader returns '#rrggbb' strings, which tonalis takes as a palette.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from pathlib import Path

from .presets import palette_colours, parse_palette

__all__ = [
    "PALETTE_EXTENSIONS",
    "format_palette",
    "load_palette_file",
    "palette_holds_comments",
    "parse_palette_data",
    "read_palette",
    "write_palette",
]

_HEX = set("0123456789abcdefABCDEF")


class _Lines:
    """Numbered text lines of a named file, for messages naming both."""

    def __init__(self, data: bytes, name: str) -> None:
        self.name = name
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError:
            text = data.decode("latin-1")
        self.lines = text.splitlines()

    def error(self, number: int, message: str) -> ValueError:
        return ValueError(f"{self.name}, line {number}: {message}")


def _component_triple(lines: _Lines, number: int, fields: list[str]) -> str:
    if len(fields) < 3 or not all(f.isdigit() for f in fields[:3]):
        raise lines.error(number, f"expected 'r g b', got {' '.join(fields)!r}")
    values = [int(f) for f in fields[:3]]
    if any(v > 255 for v in values):
        raise lines.error(
            number, f"colour component out of range 0..255 in {' '.join(fields[:3])!r}"
        )
    return "#{:02x}{:02x}{:02x}".format(*values)


def _read_hex(data: bytes, name: str) -> list[str]:
    lines = _Lines(data, name)
    colours = []
    for number, line in enumerate(lines.lines, 1):
        body = line.strip()
        if not body:
            continue
        digits = body[1:] if body.startswith("#") else body
        if len(digits) != 6 or not set(digits) <= _HEX:
            raise lines.error(number, f"expected a colour 'rrggbb', got {body!r}")
        colours.append("#" + digits.lower())
    return colours


def _read_gpl(data: bytes, name: str) -> list[str]:
    lines = _Lines(data, name)
    if not lines.lines or lines.lines[0].strip() != "GIMP Palette":
        raise lines.error(1, "a GIMP palette starts with 'GIMP Palette'")
    colours = []
    for number, line in enumerate(lines.lines[1:], 2):
        body = line.strip()
        if not body or body.startswith("#") or body.split(":", 1)[0] in ("Name", "Columns"):
            continue
        colours.append(_component_triple(lines, number, body.split()))
    return colours


def _read_jasc(data: bytes, name: str) -> list[str]:
    lines = _Lines(data, name)
    head = [line.strip() for line in lines.lines[:3]]
    if len(head) < 3 or head[0] != "JASC-PAL":
        raise lines.error(1, "a JASC palette starts with 'JASC-PAL', a version and a count")
    if head[1] != "0100":
        raise lines.error(2, f"unknown JASC palette version {head[1]!r}; expected '0100'")
    if not head[2].isdigit():
        raise lines.error(3, f"expected the colour count, got {head[2]!r}")
    count = int(head[2])
    body = [(n, line.split()) for n, line in enumerate(lines.lines[3:], 4) if line.strip()]
    if len(body) != count:
        raise lines.error(3, f"the count says {count} colours, the file has {len(body)}")
    return [_component_triple(lines, n, fields) for n, fields in body]


def _read_act(data: bytes, name: str) -> list[str]:
    if len(data) not in (768, 772):
        raise ValueError(
            f"{name}: an Adobe colour table is 768 or 772 bytes, this one is {len(data)}"
        )
    count = 256
    if len(data) == 772:
        count = int.from_bytes(data[768:770], "big")
        if not 1 <= count <= 256:
            raise ValueError(f"{name}: colour count {count} at byte 768 is outside 1..256")
    return ["#{:02x}{:02x}{:02x}".format(*data[3 * i : 3 * i + 3]) for i in range(count)]


def _read_paintnet(data: bytes, name: str) -> list[str]:
    lines = _Lines(data, name)
    colours = []
    for number, line in enumerate(lines.lines, 1):
        body = line.split(";", 1)[0].strip()
        if not body:
            continue
        if len(body) != 8 or not set(body) <= _HEX:
            raise lines.error(number, f"expected a colour 'aarrggbb', got {body!r}")
        if body[:2].lower() != "ff":
            raise lines.error(
                number, f"colour {body!r} is not opaque; palettes hold opaque colours"
            )
        colours.append("#" + body[2:].lower())
    return colours


_READERS: dict[str, Callable[[bytes, str], list[str]]] = {
    ".hex": _read_hex,
    ".gpl": _read_gpl,
    ".pal": _read_jasc,
    ".act": _read_act,
    ".txt": _read_paintnet,
}

#: The extensions read_palette and write_palette know.
PALETTE_EXTENSIONS: tuple[str, ...] = tuple(_READERS)


def _extension(path: str | os.PathLike[str]) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in _READERS:
        raise ValueError(
            f"unknown palette file type {suffix or '(no extension)'!r} of {str(path)!r}; "
            f"valid values: {', '.join(PALETTE_EXTENSIONS)}"
        )
    return suffix


def _known_type(extension: str) -> str:
    """'.gpl' for '.GPL' or 'gpl': the key of a known palette file type."""
    suffix = extension.lower() if extension.startswith(".") else "." + extension.lower()
    if suffix not in _READERS:
        raise ValueError(
            f"unknown palette file type {extension!r}; "
            f"valid values: {', '.join(PALETTE_EXTENSIONS)}"
        )
    return suffix


def parse_palette_data(data: bytes, extension: str, name: str = "<palette>") -> list[str]:
    r"""Colours from the bytes of a palette file of the type `extension` ('.gpl', ...).

    Args:
        data: the file's bytes.
        extension: the file type, '.hex', '.gpl', '.pal', '.act' or '.txt'
            (case and the dot optional).
        name: what to call the file in error messages.

    Returns:
        '#rrggbb' strings in the file's order.

    Raises:
        ValueError: an unknown type, a malformed file (naming `name` and the
            line), or a file without colours.

    Examples:
        >>> parse_palette_data(b"JASC-PAL\r\n0100\r\n2\r\n0 0 0\r\n255 128 0\r\n", "pal")
        ['#000000', '#ff8000']
        >>> parse_palette_data(b"ff0000\nzz\n", ".hex", "mine.hex")
        Traceback (most recent call last):
        ...
        ValueError: mine.hex, line 2: ...
    """
    colours = _READERS[_known_type(extension)](bytes(data), name)
    if not colours:
        raise ValueError(f"{name}: the palette has no colours")
    return colours


def read_palette(path: str | os.PathLike[str]) -> list[str]:
    """The colours of a palette file, by its extension (see the module's list).

    Args:
        path: a file ending in one of `PALETTE_EXTENSIONS`.

    Returns:
        '#rrggbb' strings in the file's order.

    Raises:
        OSError: the file cannot be read.
        ValueError: an unknown extension or a malformed file (naming the file and line).

    Examples:
        >>> write_palette(["#000", "#f80"], "two.gpl")
        >>> read_palette("two.gpl")
        ['#000000', '#ff8800']
    """
    suffix = _extension(path)
    return parse_palette_data(Path(path).read_bytes(), suffix, str(path))


def _is_paintnet(data: bytes) -> bool:
    """Whether a .txt file is a Paint.NET palette: its first line that is not
    blank is a ';' comment or an 'aarrggbb' colour."""
    for line in _Lines(data, "").lines:
        body = line.strip()
        if body:
            return body.startswith(";") or (len(body) == 8 and set(body) <= _HEX)
    return False


def load_palette_file(path: str | os.PathLike[str]) -> list[str]:
    """The colours of any file of colours the command line takes.

    Palette files go by their extension as in `read_palette`, except that a
    .txt file that is not a Paint.NET palette is a plain list of colours; a
    file of any other extension is such a list too: hex colours or CSS
    names, separated by commas, spaces or new lines (see `parse_palette`).

    Args:
        path: the file.

    Returns:
        '#rrggbb' strings in the file's order.

    Raises:
        OSError: the file cannot be read.
        ValueError: a malformed file, naming it.

    Examples:
        >>> from pathlib import Path
        >>> _ = Path("colours.txt").write_text("black white  # ink and paper")
        >>> load_palette_file("colours.txt")
        ['#000000', '#ffffff']
    """
    data = Path(path).read_bytes()
    suffix = Path(path).suffix.lower()
    if suffix in _READERS and (suffix != ".txt" or _is_paintnet(data)):
        return parse_palette_data(data, suffix, str(path))
    try:
        return parse_palette(data.decode("utf-8-sig"))
    except UnicodeDecodeError:
        raise ValueError(
            f"{str(path)}: not a text file of colours nor a palette file of a known type "
            f"({', '.join(PALETTE_EXTENSIONS)})"
        ) from None
    except ValueError as exc:
        raise ValueError(f"{str(path)}: {exc}") from None


def palette_holds_comments(extension: str) -> bool:
    """Whether palette files of the type `extension` hold comment lines
    (.gpl and .txt do; .hex, .pal and .act do not).

    Args:
        extension: the file type, as for `parse_palette_data`.

    Returns:
        True for the types `format_palette` writes comments into.

    Raises:
        ValueError: an unknown type.

    Examples:
        >>> palette_holds_comments(".GPL"), palette_holds_comments("hex")
        (True, False)
    """
    return _known_type(extension) in (".gpl", ".txt")


def _comment_lines(comments: Sequence[str]) -> list[str]:
    """Comment text as single lines without control characters."""
    if isinstance(comments, str):
        comments = [comments]
    lines = []
    for comment in comments:
        for line in str(comment).splitlines() or [""]:
            lines.append("".join(ch if ch.isprintable() else " " for ch in line).rstrip())
    return lines


def format_palette(
    colours: Sequence[str],
    extension: str,
    *,
    name: str = "tonalis",
    comments: Sequence[str] = (),
    names: Sequence[str] | None = None,
) -> bytes:
    r"""The bytes of a palette file of type `extension` holding `colours`
    ('#rgb'/'#rrggbb' strings or CSS names, (r, g, b) triples, or an array
    of either, as tonalis takes a palette).

    Args:
        colours: the palette.
        extension: the file type, as for `parse_palette_data`.
        name: the palette's name, for the formats that hold one (.gpl, .txt).
        comments: lines of text written as comments at the top, for the
            formats that hold them (see `palette_holds_comments`); a line
            break starts a new comment line.
        names: a name for each colour, for .gpl (whose colour lines end in
            a name); default each colour's hex code.

    Returns:
        The file's bytes.

    Raises:
        TypeError: `colours` is a single string or not a sequence of colours.
        ValueError: an unknown type, an entry that is not a colour,
            no colours, more than 256 for .act, comments for a type that
            holds none, or not one name per colour.

    Examples:
        >>> format_palette(["black", (255, 128, 0)], ".hex")
        b'000000\nff8000\n'
        >>> len(format_palette(["#000", "#fff"], "act"))
        772
        >>> print(format_palette(["#000"], "gpl", name="ink", comments=["measured"]).decode())
        GIMP Palette
        Name: ink
        # measured
        #
          0   0   0	#000000
        <BLANKLINE>
    """
    suffix = _known_type(extension)
    hexes = palette_colours(colours, "colours")
    triples = [tuple(int(c[i : i + 2], 16) for i in (1, 3, 5)) for c in hexes]
    notes = _comment_lines(comments)
    if notes and not palette_holds_comments(suffix):
        raise ValueError(f"{suffix} palette files hold no comments; write .gpl or .txt")
    labels = list(hexes)
    if names is not None:
        labels = [" ".join(str(label).split()) for label in names]
        if len(labels) != len(hexes):
            raise ValueError(f"{len(labels)} names for {len(hexes)} colours")
    if suffix == ".act":
        if len(triples) > 256:
            raise ValueError(f"an Adobe colour table holds at most 256 colours, got {len(triples)}")
        table = bytearray(768)
        for i, triple in enumerate(triples):
            table[3 * i : 3 * i + 3] = bytes(triple)
        return bytes(table) + len(triples).to_bytes(2, "big") + b"\xff\xff"
    if suffix == ".hex":
        lines = [c[1:] for c in hexes]
    elif suffix == ".gpl":
        safe = " ".join(name.split())
        lines = (
            ["GIMP Palette", f"Name: {safe}"]
            + [f"# {note}".rstrip() for note in notes]
            + ["#"]
            + [f"{r:3d} {g:3d} {b:3d}\t{label}" for (r, g, b), label in zip(triples, labels)]
        )
    elif suffix == ".pal":
        lines = ["JASC-PAL", "0100", str(len(triples))] + [f"{r} {g} {b}" for r, g, b in triples]
    else:
        lines = (
            [f"; {' '.join(name.split())}"]
            + [f"; {note}".rstrip() for note in notes]
            + ["FF" + c[1:].upper() for c in hexes]
        )
    newline = "\r\n" if suffix == ".pal" else "\n"
    return (newline.join(lines) + newline).encode("utf-8")


def write_palette(
    colours: Sequence[str],
    path: str | os.PathLike[str],
    *,
    name: str | None = None,
    comments: Sequence[str] = (),
    names: Sequence[str] | None = None,
) -> None:
    r"""Write `colours` (as `format_palette` takes them) as a palette file of
    the type its extension names.

    Args:
        colours: the palette.
        path: the file to write, ending in one of `PALETTE_EXTENSIONS`;
            replaced if it exists.
        name: the palette's name in the file; default the file's stem.
        comments: comment lines for the top of the file, as for
            `format_palette`.
        names: a name for each colour, as for `format_palette`.

    Raises:
        OSError: the file cannot be written.
        TypeError, ValueError: as for `format_palette`, or an unknown
            extension.

    Examples:
        >>> write_palette(["#0f380f", "#9bbc0f"], "gb.hex")
        >>> open("gb.hex").read()
        '0f380f\n9bbc0f\n'
    """
    suffix = _extension(path)
    data = format_palette(
        colours, suffix, name=name or Path(path).stem, comments=comments, names=names
    )
    Path(path).write_bytes(data)
