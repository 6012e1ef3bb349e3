"""Speed of tonalis_tools.diffuse with its refinements against plain
tonalis.error_diffusion on the same image and palette, in one run.

    python3 bench/extras.py                # 2048 x 2048, median of 5
    python3 bench/extras.py --size 1024 --repeat 9 --json out.json

Each row warms both calls up, then runs them in turn and reports medians;
the ratio is refined time / plain time, and `must` the most the
refinements may cost (1.5).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import report

import tonalis
from tonalis_tools import diffuse, preset

MUST = 1.5


def test_image(size: int, channels: int) -> np.ndarray:
    """A smooth ramp per channel plus hashed noise, without random state."""
    y, x = np.mgrid[0:size, 0:size].astype(np.uint64)
    noise = ((x * 2654435761 + y * 40503) >> np.uint64(7)) % np.uint64(49)
    planes = [
        ((x * (c + 1) + y * (3 - c)) * 255 // (4 * size) + noise).astype(np.int64) - 24
        for c in range(channels)
    ]
    out = np.clip(np.stack(planes, axis=-1), 0, 255).astype(np.uint8)
    return out[:, :, 0] if channels == 1 else out


def timed(a: Callable[[], Any], b: Callable[[], Any], repeat: int) -> tuple[float, float]:
    a(), b()
    ta, tb = [], []
    for _ in range(repeat):
        t = time.perf_counter()
        a()
        ta.append(time.perf_counter() - t)
        t = time.perf_counter()
        b()
        tb.append(time.perf_counter() - t)
    return statistics.median(ta), statistics.median(tb)


def rows(size: int, repeat: int) -> list[dict[str, Any]]:
    rgb, gray = test_image(size, 3), test_image(size, 1)
    mask = np.full((size, size), 0.75, dtype=np.float32)
    cases: list[tuple[str, np.ndarray, dict[str, Any], dict[str, Any]]] = []
    for name in ("epaper-7", "epaper-bwr"):
        pal = {"palette": preset(name)}
        cases += [
            (f"{name}, no refinement", rgb, pal, {}),
            (f"{name}, error limit 16", rgb, pal, {"error_limit": 16}),
            (f"{name}, mask", rgb, pal, {"mask": mask}),
            (f"{name}, luma", rgb, pal, {"distance": "luma"}),
            (
                f"{name}, linear + luma (vs linear)",
                rgb,
                {**pal, "linear": True},
                {"distance": "luma"},
            ),
            (f"{name}, limit 16 + luma", rgb, pal, {"error_limit": 16, "distance": "luma"}),
            (f"{name}, oklab", rgb, pal, {"distance": "oklab"}),
        ]
    cases += [
        ("gray 2-level, error limit 16", gray, {}, {"error_limit": 16}),
        ("gray 2-level, mask", gray, {}, {"mask": mask}),
    ]
    out = []
    for label, image, common, extra in cases:
        refined, plain = timed(
            lambda: diffuse(image, **common, **extra),
            lambda: tonalis.error_diffusion(image, **common),
            repeat,
        )
        out.append(
            {
                "work": label,
                "refined_ms": refined * 1e3,
                "plain_ms": plain * 1e3,
                "ratio": refined / plain,
            }
        )
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="refined against plain error diffusion")
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args(argv)
    table = rows(args.size, args.repeat)
    print(
        f"| work ({args.size}², Floyd–Steinberg) | refined ms | plain ms | ratio | must | holds |"
    )
    print("|---|--:|--:|--:|--:|:-:|")
    for r in table:
        holds = "yes" if r["ratio"] <= MUST else "no"
        print(
            f"| {r['work']} | {r['refined_ms']:.1f} | {r['plain_ms']:.1f} | {r['ratio']:.2f} "
            f"| {MUST} | {holds} |"
        )
    if args.json:
        report.write(args.json, [{**r, "must": MUST} for r in table])
    return 0


if __name__ == "__main__":
    sys.exit(main())
