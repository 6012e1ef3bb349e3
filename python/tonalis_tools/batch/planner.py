"""Where each result goes: one plan for the command line and the Dask batch.

Two paths are the same file when they resolve to the same real path (links
followed, case folded where the system folds it). A plan never writes one
result over another, never replaces an input unless allowed, and never
leaves a result in a lossy format by default.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path

from ..io.imagefile import is_lossy, output_format

__all__ = ["OutputClash", "file_identity", "plan_outputs"]

#: The suffix a result gets instead of a lossy input format's.
LOSSLESS_SUFFIX = ".png"


class OutputClash(ValueError):
    """Two results on one file, or a result on an input.

    Args:
        message: what clashes, naming the files.
        replaces_input: True when a result would replace an input (which
            overwrite allows), False when two results share a file.

    Examples:
        >>> try:
        ...     plan_outputs(["one/a.png", "two/a.png"], "out")
        ... except OutputClash as clash:
        ...     print(clash, clash.replaces_input)
        two inputs would be written to 'out/a.png': 'one/a.png' and 'two/a.png' False
    """

    def __init__(self, message: str, *, replaces_input: bool) -> None:
        super().__init__(message)
        self.replaces_input = replaces_input


def file_identity(path: str | os.PathLike[str]) -> str:
    """A key equal for two paths exactly when they name the same file.

    Args:
        path: a file name or path; the file need not exist.

    Returns:
        The path made absolute, links resolved and case folded where the
        system ignores case.

    Examples:
        >>> file_identity("out/../out/a.png") == file_identity("out/a.png")
        True
    """
    return os.path.normcase(os.path.realpath(path))


def _suffix(text: str) -> str:
    return text.lower() if text.startswith(".") else "." + text.lower()


def _keeps_dither(destination: Path) -> Path:
    try:
        lossy = is_lossy(output_format(destination))
    except ValueError:
        return destination  # reported when the format is checked
    return destination.with_suffix(LOSSLESS_SUFFIX) if lossy else destination


_Path = str | os.PathLike[str]


def plan_outputs(
    inputs: Iterable[_Path | tuple[_Path, _Path]],
    output: str | os.PathLike[str],
    *,
    into_folder: bool = True,
    suffix: str | None = None,
    overwrite: bool = False,
) -> list[tuple[Path, Path]]:
    """(source, destination) pairs for the inputs: each a file, named in the
    output by its file name, or a (source, name relative to the output) pair.

    Into a folder, each result is `output / name`, with `suffix` ('.png' or
    'png') as its format when given, and otherwise its input's format, or
    PNG for a lossy one (a dither does not survive JPEG). Otherwise there is
    one input and `output` is its file.

    Args:
        inputs: files, or (file, name relative to `output`) pairs.
        output: the folder the results go into, or with `into_folder`
            False the one result's file.
        into_folder: whether `output` is a folder.
        suffix: the format of every result, by its suffix.
        overwrite: let a result replace its input.

    Returns:
        (source, destination) paths, in the order of `inputs`.

    Raises:
        OutputClash: two inputs would be written to one file, or (unless
            `overwrite`) a result would replace an input.

    Examples:
        >>> pairs = plan_outputs(["scans/a.jpg", "scans/b.png"], "out")
        >>> [(s.as_posix(), d.as_posix()) for s, d in pairs]   # no JPEG: it smears a dither
        [('scans/a.jpg', 'out/a.png'), ('scans/b.png', 'out/b.png')]
        >>> pairs = plan_outputs([("scans/a.png", "x/a.png")], "out", suffix="gif")
        >>> [d.as_posix() for _, d in pairs]
        ['out/x/a.gif']
    """
    out = Path(output)
    pairs: list[tuple[Path, Path]] = []
    for entry in inputs:
        source, relative = entry if isinstance(entry, tuple) else (entry, Path(entry).name)
        if not into_folder:
            pairs.append((Path(source), out))
            continue
        destination = out / relative
        if suffix is not None:
            destination = destination.with_suffix(_suffix(suffix))
        else:
            destination = _keeps_dither(destination)
        pairs.append((Path(source), destination))
    sources = {file_identity(source): source for source, _ in pairs}
    taken: dict[str, Path] = {}
    for source, destination in pairs:
        key = file_identity(destination)
        if key in taken:
            raise OutputClash(
                f"two inputs would be written to {str(destination)!r}: "
                f"{str(taken[key])!r} and {str(source)!r}",
                replaces_input=False,
            )
        taken[key] = source
        if key in sources and not overwrite:
            raise OutputClash(
                f"refusing to overwrite input {str(sources[key])!r}", replaces_input=True
            )
    return pairs
