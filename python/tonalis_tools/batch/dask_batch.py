"""Dither a large batch of image files with Dask.

Files are grouped into chunks, one Dask task per chunk, and handed to
whatever scheduler is active: the local thread pool by default, or a
`distributed` cluster once a `Client` is made. Every worker needs tonalis
(and Pillow) installed; the settings travel to it pickled::

    from dask.distributed import Client
    from tonalis_tools import DitherSettings
    from tonalis_tools.dask_batch import dither_files

    client = Client()                      # or Client("scheduler-host:8786")
    written = dither_files(
        sorted(Path("scans").glob("*.tif")), "dithered",
        DitherSettings("atkinson", levels=4), suffix=".png",
    )

Workers write their own results, so `output_dir` must be a path every worker
can reach (a shared file system, or the local disk for a local cluster);
only the written paths come back to the client.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any

from ..front import prepare
from ..front import settings as front_settings
from ..io.imagefile import make_folder
from ..pipeline import DitherSettings, dither_file
from .planner import plan_outputs

__all__ = ["dither_files", "plan_outputs"]


def _dither_chunk(
    pairs: Sequence[tuple[Path, Path]], settings: DitherSettings, indexed: bool
) -> list[str]:
    return [str(dither_file(src, dst, settings, indexed=indexed)) for src, dst in pairs]


def dither_files(
    inputs: Iterable[str | os.PathLike[str]],
    output_dir: str | os.PathLike[str],
    settings: DitherSettings | None = None,
    *,
    suffix: str | None = None,
    chunk_size: int = 16,
    indexed: bool = False,
    overwrite: bool = False,
    scheduler: str | None = None,
    **options: Any,
) -> list[str]:
    """Dither every input file into `output_dir` as Dask tasks; returns the written paths.

    Args:
        inputs: image files (anything Pillow reads).
        output_dir: created if missing; results keep their input's file name.
        settings: how to dither (default: Floyd-Steinberg, black and white).
        options: instead of `settings`, the method and options of
            `tonalis_tools.dither` (``method="atkinson", preset="pico8"``).
        suffix: write this format instead of the input's ('.png').
        chunk_size: files per task; larger chunks mean less scheduling overhead.
        indexed: store results of at most 256 colours as palette images.
        overwrite: allow a result to replace its input.
        scheduler: passed to `dask.compute` ('threads', 'processes', 'sync');
            None uses the active one, such as a distributed Client.

    Raises:
        ImportError: dask is not installed.
        ValueError: two results would collide, a result would replace an
            input, chunk_size < 1, both settings and options are given, or
            the settings are rejected.
        OSError: a file could not be read or written (raised by the task).

    Returns:
        The paths written, as strings, in the order of `inputs`.

    Examples:
        >>> from PIL import Image
        >>> for name in ("a.png", "b.png"):
        ...     Image.new("L", (8, 8), 100).save(name)
        >>> written = dither_files(["a.png", "b.png"], "out", method="atkinson", scheduler="sync")
        >>> [Path(path).as_posix() for path in written]
        ['out/a.png', 'out/b.png']
    """
    from dask.base import compute as dask_compute
    from dask.delayed import delayed as dask_delayed

    compute: Any = dask_compute  # dask's own annotations are partial
    delayed: Any = dask_delayed

    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    if settings is not None and options:
        raise ValueError(f"settings and {', '.join(options)} exclude each other; pass one of them")
    # A blue-noise matrix is made once, not per file.
    settings = front_settings(**options) if settings is None else prepare(settings)
    pairs = plan_outputs(inputs, output_dir, suffix=suffix, overwrite=overwrite)
    make_folder(output_dir)
    task = delayed(_dither_chunk, pure=False)
    tasks = [
        task(pairs[i : i + chunk_size], settings, indexed) for i in range(0, len(pairs), chunk_size)
    ]
    kwargs = {} if scheduler is None else {"scheduler": scheduler}
    results = compute(*tasks, **kwargs)
    return [path for chunk in results for path in chunk]
