"""How every benchmark script writes its ``--json`` file.

The documentation's tables read these files as they are (docs/_ext/
bench_tables.py): a run replaces the file and the tables follow. Each file
holds the date, the command that made it, the machine, and the rows.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import sys
from pathlib import Path
from typing import Any


def machine() -> dict[str, Any]:
    """What the figures depend on: the processor's name, the cores, the interpreter."""
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            cpu = next(
                (line.split(":", 1)[1].strip() for line in info if line.startswith("model name")),
                cpu,
            )
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "python": platform.python_version(),
        "platform": platform.system(),
    }


def write(path: str | os.PathLike[str], rows: list[dict[str, Any]], **extra: Any) -> None:
    """Writes ``rows`` with the date, the command line and the machine, then ``extra``."""
    script = Path(sys.argv[0]).name
    report = {
        "date": datetime.date.today().isoformat(),
        "command": " ".join(["python3", f"bench/{script}", *sys.argv[1:]]),
        "machine": machine(),
        **extra,
        "rows": rows,
    }
    Path(path).write_text(json.dumps(report, indent=1) + "\n", encoding="utf-8")
