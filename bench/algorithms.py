"""Speed of the added algorithms against the engine each should be measured
by, on the same image, in one run.

    python3 bench/algorithms.py                # 1024 x 1024, median of 5
    python3 bench/algorithms.py --size 2048 --repeat 9 --json out.json

Riemersma, Ostromoukhov and Zhou-Fang against tonalis's Floyd-Steinberg
with the same scan (`must` 2: at most twice its time): serpentine for the
variable-coefficient methods, which the papers define on it, plain for
Riemersma; pattern dither against ordered dither
with the same palette (`must` 10). One more row times Riemersma's walk
(compiled per instruction set) in two child processes, the widest
instruction set against TONALIS_ISA=baseline (`must` 1). Images: the hashed ramp of
bench/extras.py and the bundled photograph scaled to the size (pattern
dither caches candidate lists by colour, so the photograph's many colours
are its hard case).

A second table gives direct binary search's speed in megapixels a second
on the photograph at 800 x 480 (an e-paper panel), gray to 2 levels and
RGB to the 7-colour e-paper palette, until a pass changes nothing: on one
thread (`must` 1 Mpx/s) and on every thread, each in a child process
(the thread count is read at import).
"""

from __future__ import annotations

import argparse
import itertools
import os
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import report
from extras import test_image, timed

import tonalis
from tonalis_tools import dbs, ordered, pattern_dither, preset, riemersma, variable_diffuse
from tonalis_tools.gallery import sample_photo

Case = tuple[str, Callable[[], Any], Callable[[], Any], float]


def cases(size: int) -> list[Case]:
    rgb, gray = test_image(size, 3), test_image(size, 1)
    photo = np.asarray(sample_photo(size))
    out: list[Case] = []
    for label, image in (("gray", gray), ("RGB", rgb)):
        fs = lambda image=image: tonalis.error_diffusion(image)
        serpentine = lambda image=image: tonalis.error_diffusion(image, serpentine=True)
        out += [
            (
                f"Riemersma, {label}, 2 levels (vs FS)",
                lambda image=image: riemersma(image),
                fs,
                2.0,
            ),
            (
                f"Ostromoukhov, {label}, 2 levels (vs FS serpentine)",
                lambda image=image: variable_diffuse(image, "ostromoukhov"),
                serpentine,
                2.0,
            ),
            (
                f"Zhou-Fang, {label}, 2 levels (vs FS serpentine)",
                lambda image=image: variable_diffuse(image, "zhou_fang"),
                serpentine,
                2.0,
            ),
            (
                f"Ostromoukhov, {label}, 4 levels (vs FS serpentine)",
                lambda image=image: variable_diffuse(image, "ostromoukhov", levels=4),
                lambda image=image: tonalis.error_diffusion(image, serpentine=True, levels=4),
                2.0,
            ),
        ]
    for name in ("epaper-7", "pico8"):
        colours = preset(name)
        out.append(
            (
                f"Riemersma, photo, {name}",
                lambda c=colours: riemersma(photo, palette=c),
                lambda c=colours: tonalis.error_diffusion(photo, palette=c),
                2.0,
            )
        )
        for label, image in (("ramp", rgb), ("photo", photo)):
            out.append(
                (
                    f"pattern, {label}, {name}",
                    lambda image=image, c=colours: pattern_dither(image, c),
                    lambda image=image, c=colours: ordered(
                        image, "bayer8x8", palette=c, linear=True
                    ),
                    10.0,
                )
            )
    return out


def child_ms(size: int, repeat: int, isa: str | None) -> float:
    """Median ms of Riemersma on the RGB image in a child process."""
    env = dict(os.environ)
    env.pop("TONALIS_ISA", None)
    if isa is not None:
        env["TONALIS_ISA"] = isa
    out = subprocess.run(
        [sys.executable, __file__, "--child", "--size", str(size), "--repeat", str(repeat)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    return float(out.stdout.split()[-1])


def isa_rows(size: int, repeat: int) -> Iterator[tuple[str, float, float, float]]:
    """The best of three alternating children each: widest, then baseline."""
    wide, base = [], []
    for _ in range(3):
        wide.append(child_ms(size, repeat, None))
        base.append(child_ms(size, repeat, "baseline"))
    yield (
        "Riemersma, RGB, widest ISA (vs TONALIS_ISA=baseline)",
        min(wide) / 1e3,
        min(base) / 1e3,
        1.0,
    )


# The panel size of the DBS rows, and what one thread must reach.
DBS_SIZE = (800, 480)
DBS_MUST_MPX = 1.0


def dbs_child(repeat: int) -> None:
    """Prints the median seconds of DBS on the gray and the palette image."""
    photo = sample_photo(DBS_SIZE[0]).resize(DBS_SIZE)
    rgb = np.asarray(photo)
    gray = np.asarray(photo.convert("L"))
    colours = preset("epaper-7")
    for call in (lambda: dbs(gray), lambda: dbs(rgb, palette=colours)):
        call()
        times = []
        for _ in range(repeat):
            t = time.perf_counter()
            call()
            times.append(time.perf_counter() - t)
        print(sorted(times)[len(times) // 2])


def dbs_rows(repeat: int) -> Iterator[dict[str, Any]]:
    """DBS in megapixels a second, on one thread and on every thread."""
    pixels = DBS_SIZE[0] * DBS_SIZE[1]
    for threads in ("1", None):
        env = dict(os.environ)
        env.pop("TONALIS_NUM_THREADS", None)
        if threads is not None:
            env["TONALIS_NUM_THREADS"] = threads
        out = subprocess.run(
            [sys.executable, __file__, "--child-dbs", "--repeat", str(repeat)],
            env=env,
            check=True,
            capture_output=True,
            text=True,
        )
        seconds = [float(line) for line in out.stdout.split()]
        for label, t in zip(("gray, 2 levels", "RGB, epaper-7"), seconds):
            rate = pixels / t / 1e6
            yield {
                "work": f"DBS, photo {DBS_SIZE[0]}x{DBS_SIZE[1]}, {label}",
                "threads": "1" if threads else f"all ({os.cpu_count()})",
                "ms": t * 1e3,
                "mpx_per_s": rate,
                "must": DBS_MUST_MPX if threads else None,
                "holds": rate >= DBS_MUST_MPX if threads else None,
            }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="added algorithms against their baselines")
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--child-dbs", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child_dbs:
        dbs_child(args.repeat)
        return 0
    if args.child:
        rgb = test_image(args.size, 3)
        riemersma(rgb)
        times = []
        for _ in range(args.repeat):
            t = time.perf_counter()
            riemersma(rgb)
            times.append(time.perf_counter() - t)
        print(sorted(times)[len(times) // 2] * 1e3)
        return 0
    rows = []
    print(f"| work ({args.size}²) | ms | baseline ms | ratio | must | holds |")
    print("|---|--:|--:|--:|--:|:-:|")
    timings = (
        (label, *timed(fn, base, args.repeat), must) for label, fn, base, must in cases(args.size)
    )
    for label, t, b, must in itertools.chain(timings, isa_rows(args.size, args.repeat)):
        ratio = t / b
        rows.append(
            {"work": label, "ms": t * 1e3, "baseline_ms": b * 1e3, "ratio": ratio, "must": must}
        )
        print(
            f"| {label} | {t * 1e3:.1f} | {b * 1e3:.1f} | {ratio:.2f} | {must:g} | "
            f"{'yes' if ratio <= must else 'no'} |",
            flush=True,
        )
    print()
    print("| work | threads | ms | Mpx/s | must | holds |")
    print("|---|--:|--:|--:|--:|:-:|")
    for row in dbs_rows(args.repeat):
        rows.append(row)
        must = row["must"]
        holds = "" if row["holds"] is None else ("yes" if row["holds"] else "no")
        print(
            f"| {row['work']} | {row['threads']} | {row['ms']:.0f} | {row['mpx_per_s']:.2f} | "
            f"{'' if must is None else f'{must:g}'} | {holds} |",
            flush=True,
        )
    if args.json:
        report.write(args.json, rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
