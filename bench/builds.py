#!/usr/bin/env python3
"""Two builds of tonalis against each other, on every tonalis call of run.py.

    python bench/builds.py OLD_DIR NEW_DIR [--sizes 2048] [--rounds 7] [--json out.json]

OLD_DIR and NEW_DIR each hold an importable tonalis (a `cmake --build` folder
as docs/performance.md makes, or a site-packages). Each build runs in two
child processes, one at default settings and one with TONALIS_NUM_THREADS=1;
every call of run.py's `tonalis_calls` is timed in both builds in turn (old
then new, new then old, ...) for a number of rounds, so that what the machine
does meanwhile falls on both; a sample is the fastest of as many calls as
fill SAMPLE seconds. The ratio is the median of new / old over the
rounds: above 1 means the new build is slower.
"""

import argparse
import json
import math
import os
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
run = None  # run.py, imported once the new build is on the path
SAMPLE = 0.03  # seconds of calls behind each timed sample


def children(build, threads):
    path = os.pathsep.join([str(Path(build).resolve()), str(HERE)])
    switches = {"PYTHONPATH": path}
    if threads:
        switches["TONALIS_NUM_THREADS"] = threads
    return run.Child(switches, "--serve-single")


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--sizes", default="2048", help="comma-separated square sides (default 2048)")
    ap.add_argument("--rounds", type=int, default=7, help="timed rounds per call (default 7)")
    ap.add_argument("--json", help="also write the results to this file")
    args = ap.parse_args()
    global run
    sys.path[:0] = [str(Path(args.new).resolve()), str(HERE)]
    import run

    sizes = [int(s) for s in args.sizes.split(",")]
    works = list(run.tonalis_calls(run.make_image(8, 1), run.make_image(8, 3)))
    results = []
    for threads, label in ((None, "default threads"), ("1", "TONALIS_NUM_THREADS=1")):
        old, new = children(args.old, threads), children(args.new, threads)
        try:
            for size in sizes:
                for work in works:
                    calls = old.call(size, work), new.call(size, work)
                    # Warm-up (images, palettes, first-use tables), which also
                    # sets how many calls make one sample: the fastest of
                    # enough calls to fill SAMPLE seconds, so that a call of a
                    # fraction of a millisecond is not one scheduler tick's noise.
                    warm = min(float(call()) for call in calls)
                    repeat = max(1, min(50, math.ceil(SAMPLE / max(warm, 1e-6))))
                    ratios = []
                    best = [float("inf"), float("inf")]
                    for r in range(args.rounds):
                        took = [0.0, 0.0]
                        # old first in even rounds, new first in odd ones
                        for i in (0, 1) if r % 2 == 0 else (1, 0):
                            took[i] = min(float(calls[i]()) for _ in range(repeat))
                        best = [min(b, t) for b, t in zip(best, took)]
                        ratios.append(took[1] / took[0])
                    row = dict(
                        threads=label,
                        size=size,
                        work=work,
                        old_ms=best[0] * 1e3,
                        new_ms=best[1] * 1e3,
                        median_ratio=statistics.median(ratios),
                    )
                    results.append(row)
                    print(
                        f"{label:22} {size:5} {work:30} old {row['old_ms']:8.2f} ms  "
                        f"new {row['new_ms']:8.2f} ms  new/old median {row['median_ratio']:.3f}",
                        flush=True,
                    )
        finally:
            old.close()
            new.close()
    worst = max(results, key=lambda r: r["median_ratio"])
    print(
        f"slowest relative to the old build: {worst['work']} ({worst['threads']}, "
        f"{worst['size']}²): {worst['median_ratio']:.3f}"
    )
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
