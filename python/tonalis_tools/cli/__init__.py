"""The `tonalis` command: dither image files, compare methods, write the gallery.

`parser` holds its options, `options` turns them into dithering settings,
`files` finds, plans, reads and writes the files, `runner` runs the work on
a thread pool with a progress bar, `calibrate_parser` and `calibrate` hold
the options and the running of `tonalis calibrate`, and `commands` has the
commands and `main`.
"""

from __future__ import annotations

from .commands import main
from .parser import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_TERMINATED,
    Cancelled,
    FileError,
    Terminated,
    UsageError,
)

__all__ = [
    "main",
    "EXIT_OK",
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_TERMINATED",
    "UsageError",
    "FileError",
    "Terminated",
    "Cancelled",
]
