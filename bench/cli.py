"""The `tonalis` command against Pillow on a large photograph, in one run.

A 6000 x 4000 JPEG (the bundled photograph, scaled up) is turned into a
black-and-white PNG both ways, each as a fresh process so start-up and
imports count on both sides:

    tonalis photo.jpg -o out.png --gray
    python -c "Image.open(photo).convert('L').convert('1').save(out)"

Runs alternate (tonalis, Pillow, tonalis, ...) and medians are compared;
the ratio is tonalis / Pillow (below 1: the command is faster).

    python3 bench/cli.py [--repeat N] [--size 6000x4000] [--json out.json]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from importlib import resources
from pathlib import Path

import report
from PIL import Image

TARGET = 1.5
PILLOW = (
    "import sys; from PIL import Image; "
    "Image.open(sys.argv[1]).convert('L').convert('1').save(sys.argv[2])"
)


def _photo(folder: Path, width: int, height: int) -> Path:
    with resources.as_file(resources.files("tonalis_tools") / "data" / "coffee.png") as sample:
        with Image.open(sample) as image:
            big = image.convert("RGB").resize((width, height), Image.Resampling.LANCZOS)
    path = folder / "photo.jpg"
    big.save(path, quality=92)
    return path


def _timed(command: list[str]) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--size", default="6000x4000")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        photo = _photo(folder, width, height)
        ours = [
            sys.executable,
            "-m",
            "tonalis_tools",
            str(photo),
            "-o",
            str(folder / "a.png"),
            "--gray",
        ]
        theirs = [sys.executable, "-c", PILLOW, str(photo), str(folder / "b.png")]
        _timed(ours), _timed(theirs)  # warm the file cache and byte-code
        times: dict[str, list[float]] = {"tonalis": [], "pillow": []}
        for _ in range(args.repeat):
            times["tonalis"].append(_timed(ours))
            times["pillow"].append(_timed(theirs))
        sizes = {
            name: (folder / f).stat().st_size
            for name, f in (("tonalis", "a.png"), ("pillow", "b.png"))
        }
    ours_s, theirs_s = statistics.median(times["tonalis"]), statistics.median(times["pillow"])
    row = {
        "work": f"{width}x{height} JPEG to black-and-white PNG, whole process",
        "peer": "Pillow convert('L').convert('1')",
        "tonalis_s": ours_s,
        "peer_s": theirs_s,
        "ratio": ours_s / theirs_s,
        "must": TARGET,
        "tonalis_bytes": sizes["tonalis"],
        "peer_bytes": sizes["pillow"],
    }
    print(
        "| work | peer | tonalis s | peer s | ratio | must | holds | tonalis bytes | peer bytes |"
    )
    print("|---|---|--:|--:|--:|--:|:-:|--:|--:|")
    print(
        f"| {row['work']} | {row['peer']} | {ours_s:.2f} | {theirs_s:.2f} | {row['ratio']:.2f} | "
        f"{TARGET} | {'yes' if row['ratio'] <= TARGET else 'no'} | "
        f"{sizes['tonalis']} | {sizes['pillow']} |"
    )
    if args.json:
        report.write(args.json, [row], times=times)


if __name__ == "__main__":
    main()
