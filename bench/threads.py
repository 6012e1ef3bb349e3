#!/usr/bin/env python3
"""Calls per second from 1, 2, 4 and 8 Python threads against sequential calls.

    python bench/threads.py [--size 1024] [--seconds 2] [--threads 1,2,4,8]
                            [--engine-threads 1] [--quick]

For each family (error diffusion, ordered, random, palette) the same number of
calls runs once in a plain loop and then split evenly over N threads that
start together; the table gives calls per second and the ratio to the loop.
On an interpreter with the GIL the functions still release it while they
work; on a free-threaded one nothing is shared between the calls at all, so
the ratio is bounded by the machine's cores. Each call's engine is held to
--engine-threads worker threads (TONALIS_NUM_THREADS), so the scaling shown is
that of the Python threads. Every threaded result is compared with the
sequential one (the first and last call of each thread); a mismatch ends the
run with status 1. This is a benchmark:
it asserts nothing about speed.
"""

import argparse
import os
import sys
import threading
import time


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", type=int, default=1024, help="image side (default 1024)")
    ap.add_argument(
        "--seconds",
        type=float,
        default=2.0,
        help="about how long each sequential loop takes (default 2)",
    )
    ap.add_argument("--threads", default="1,2,4,8", help="thread counts (default 1,2,4,8)")
    ap.add_argument(
        "--engine-threads",
        type=int,
        default=1,
        help="TONALIS_NUM_THREADS for each call (default 1)",
    )
    ap.add_argument("--quick", action="store_true", help="512² images, 0.3 s loops")
    args = ap.parse_args()
    if args.quick:
        args.size, args.seconds = 512, 0.3
    args.threads = [int(t) for t in args.threads.split(",")]
    if args.size < 2 or args.seconds <= 0 or args.engine_threads < 1 or min(args.threads) < 1:
        ap.error("--size must be at least 2, --seconds positive, thread counts at least 1")
    return args


ARGS = parse_args()
# Read by tonalis at import.
os.environ["TONALIS_NUM_THREADS"] = str(ARGS.engine_threads)

import numpy as np  # noqa: E402
from run import make_image, make_palette, tonalis  # noqa: E402


def families(size):
    gray = make_image(size, 1)
    rgb = make_image(size, 3)
    palette = make_palette(16)
    return [
        (
            "error diffusion (FS, gray, 2 levels)",
            lambda: tonalis.error_diffusion(gray, "floyd_steinberg"),
        ),
        (
            "ordered (bayer8x8, RGB, 4 levels)",
            lambda: tonalis.ordered_dither(rgb, "bayer8x8", levels=4),
        ),
        ("random (RGB, 2 levels, seeded)", lambda: tonalis.random_dither(rgb, seed=7)),
        (
            "palette (FS, RGB, 16 colours)",
            lambda: tonalis.error_diffusion(rgb, "floyd_steinberg", palette=palette),
        ),
    ]


def threaded(call, threads, calls_each):
    """Wall time of threads x calls_each calls started together, and the first
    and last result of each thread (keeping them all would time the memory)."""
    kept = [None] * threads
    barrier = threading.Barrier(threads + 1)

    def work(i):
        barrier.wait()
        first = last = call()
        for _ in range(calls_each - 1):
            last = call()
        kept[i] = (first, last)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - start, [r for pair in kept for r in pair]


def main():
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        f"CPython {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, "
        f"{os.cpu_count()} cores, {ARGS.size}² images, TONALIS_NUM_THREADS={ARGS.engine_threads}"
    )
    counts = ARGS.threads
    lcm = 1
    for t in counts:
        lcm = lcm * t // np.gcd(lcm, t)
    mismatches = 0
    for name, call in families(ARGS.size):
        expected = call()
        start = time.perf_counter()
        call()
        one = time.perf_counter() - start
        # A multiple of every thread count, so each thread gets the same share.
        total = lcm * max(1, round(ARGS.seconds / one / lcm))
        start = time.perf_counter()
        for _ in range(total):
            call()
        sequential = total / (time.perf_counter() - start)
        print(f"\n{name}: {total} calls, sequential {sequential:8.1f} calls/s")
        print(f"  {'threads':>7}  {'calls/s':>9}  {'x sequential':>12}")
        for t in counts:
            seconds, results = threaded(call, t, total // t)
            bad = sum(not np.array_equal(r, expected) for r in results)
            mismatches += bad
            rate = total / seconds
            note = f"  {bad} checked results differ from the sequential one" if bad else ""
            print(f"  {t:>7}  {rate:9.1f}  {rate / sequential:12.2f}{note}")
    if mismatches:
        print(f"\n{mismatches} threaded results differ from the sequential ones", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
