#!/usr/bin/env python3
"""Speed of tonalis against its peers, all measured in the same run.

    PYTHONPATH=build/bench python bench/run.py [--sizes 1024,2048] [--rounds N]
                                               [--json out.json] [--quick]

Each row times one tonalis call and one peer call on the same image. After a
warm-up call of each, the two run in turn (A, B, A, B, ...); every row is
measured in a few rounds, the rows taken in turn each time, and the best
time of each call is reported: on a shared machine the slower calls measure
what other programs took away, not the call (the median ratio is shown
beside it). The ratio is tonalis time / peer time, so below 1 means tonalis
is faster; "must" is the ratio the row has to reach (defined on 2048²
images).
Every call runs on one thread: BLAS and ImageMagick are held to one thread
through the environment below.
"""

import os

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "MAGICK_THREAD_LIMIT"):
    os.environ[_var] = "1"

import argparse
import ctypes
import datetime
import gc
import math
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np
import PIL
import report
from PIL import Image

try:
    import tonalis
except ImportError:
    sys.exit(
        "bench: cannot import tonalis; build it and put it on PYTHONPATH "
        "(e.g. PYTHONPATH=build/bench, see README.md)"
    )

HERE = Path(__file__).resolve().parent
FS = Image.Dither.FLOYDSTEINBERG


# ---------------------------------------------------------------- inputs
def hashed(shape, salt):
    """uint32 hash of each element's flat index: deterministic, no RNG state."""
    h = np.arange(math.prod(shape), dtype=np.uint32).reshape(shape)
    h = h * np.uint32(0x9E3779B1) + np.uint32((salt * 0x632BE5AB + 1) & 0xFFFFFFFF)
    for mul, shift in ((0x85EBCA6B, 16), (0xC2B2AE35, 13), (0x27D4EB2F, 16)):
        h ^= h >> np.uint32(shift)
        h *= np.uint32(mul)
    return h ^ (h >> np.uint32(15))


def make_image(size, channels):
    """A smooth gradient, different per channel, plus ±24 of hashed noise."""
    y, x = np.mgrid[0:size, 0:size].astype(np.float32) / np.float32(size - 1)
    ramps = [0.6 * x + 0.4 * y, 0.3 * x + 0.7 * (1 - y), 0.5 * (1 - x) + 0.5 * y]
    planes = []
    for c in range(channels):
        noise = (hashed((size, size), c) % 49).astype(np.float32) - 24
        planes.append(np.clip(255 * ramps[c] + noise, 0, 255))
    img = planes[0] if channels == 1 else np.stack(planes, axis=-1)
    return np.ascontiguousarray(img.round().astype(np.uint8))


def make_palette(n):
    """n deterministic colours as (r, g, b) tuples; 2 colours is black and white."""
    if n == 2:
        return [(0, 0, 0), (255, 255, 255)]
    rgb = (hashed((n, 3), 1000 + n) >> np.uint32(24)).astype(np.uint8)
    return [tuple(int(v) for v in row) for row in rgb]


def bayer(n):
    m = np.zeros((1, 1), dtype=np.int64)
    while m.shape[0] < n:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return m


# ---------------------------------------------------------------- numpy peers
BAYER8_OFFSET = ((bayer(8) + 0.5) / 64 - 0.5).astype(np.float32)


def tiled_offset(img, offset):
    """A view of img as 8×8 tiles and the Bayer offset shaped to broadcast over it."""
    h, w = img.shape[:2]
    c = img.shape[2] if img.ndim == 3 else 1
    return img.reshape(h // 8, 8, w // 8, 8, c), offset[None, :, None, :, None]


def np_levels(v, levels, shape):
    top = levels - 1
    np.clip(v, 0, top, out=v)
    v *= np.float32(255 / top)
    return v.astype(np.uint8).reshape(shape)


def np_ordered(img, levels=2):
    tiles, off = tiled_offset(img, BAYER8_OFFSET)
    v = tiles * np.float32((levels - 1) / 255) + off
    return np_levels(np.rint(v, out=v), levels, img.shape)


def np_random(img, levels=2, seed=1):
    noise = np.random.default_rng(seed).random(img.shape, dtype=np.float32)
    v = img * np.float32((levels - 1) / 255) + noise
    return np_levels(np.floor(v, out=v), levels, img.shape)


def np_nearest(pixels, pal):
    """Nearest colour of the uint8 palette pal for each row of pixels (N×3
    float32), by argmin of |c|² − 2p·c in chunks that keep the distance block
    near 4 MB."""
    p = pal.astype(np.float32)
    c2, m2 = (p * p).sum(1), -2 * p.T
    idx = np.empty(len(pixels), dtype=np.intp)
    step = max(1, (1 << 20) // len(p))
    for s in range(0, len(pixels), step):
        d = pixels[s : s + step] @ m2
        d += c2
        idx[s : s + step] = d.argmin(1)
    return pal[idx]


def spread(pal):
    """Per channel, the mean step between the palette's distinct values: the
    scale of the dither offset."""
    steps = []
    for c in range(3):
        u = np.unique(pal[:, c]).astype(np.float32)
        steps.append((u[-1] - u[0]) / max(1, len(u) - 1))
    return np.array(steps, dtype=np.float32)


def np_palette_ordered(img, pal):
    tiles, off = tiled_offset(img, BAYER8_OFFSET)
    v = tiles + off * spread(pal)
    return np_nearest(v.reshape(-1, 3), pal).reshape(img.shape)


def np_palette_random(img, pal, seed=1):
    noise = np.random.default_rng(seed).random(img.shape, dtype=np.float32) - np.float32(0.5)
    v = img + noise * spread(pal)
    return np_nearest(v.reshape(-1, 3), pal).reshape(img.shape)


# ---------------------------------------------------------------- Pillow peers
def pil_palette(colors):
    p = Image.new("P", (1, 1))
    p.putpalette([v for c in colors for v in c])
    return p


def pil_rgb_1bit(im):
    return Image.merge("RGB", [band.convert("1").convert("L") for band in im.split()])


# ---------------------------------------------------------------- C++ serial loop
def load_serial_fs(tmp):
    cxx = os.environ.get("CXX") or shutil.which("g++")
    if not cxx:
        return None
    lib = Path(tmp) / "libserial_fs.so"
    cmd = [
        cxx,
        "-O2",
        "-ffp-contract=off",
        "-shared",
        "-fPIC",
        str(HERE / "serial_fs.cpp"),
        "-o",
        str(lib),
    ]
    built = subprocess.run(cmd, capture_output=True, text=True)
    if built.returncode != 0:
        print(
            f"bench: could not build serial_fs.cpp, its row is skipped:\n{built.stderr}",
            file=sys.stderr,
        )
        return None
    fn = ctypes.CDLL(str(lib)).serial_fs
    fn.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]

    def serial_fs(img):
        out = np.empty_like(img)
        fn(img.ctypes.data, out.ctypes.data, img.shape[1], img.shape[0])
        return out

    return serial_fs


# ---------------------------------------------------------------- ImageMagick
def find_magick():
    """(executable, version line) of a real ImageMagick, or None."""
    for name in ("magick", "convert"):
        exe = shutil.which(name)
        if not exe:
            continue
        try:
            r = subprocess.run([exe, "-version"], capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.SubprocessError):
            continue
        first = r.stdout.splitlines()[0] if r.stdout else ""
        if r.returncode == 0 and "ImageMagick" in first:
            return exe, first.removeprefix("Version: ")
    return None


class Magick:
    """Runs one convert command on raw pixels in a scratch directory."""

    def __init__(self, exe, tmp):
        self.exe, self.tmp, self.startup = exe, Path(tmp), {}
        pal = np.array(make_palette(16), dtype=np.uint8)
        (self.tmp / "pal16.ppm").write_bytes(b"P6\n16 1\n255\n" + pal.tobytes())

    def command(self, img, ops):
        h, w = img.shape[:2]
        kind = "gray" if img.ndim == 2 else "rgb"
        src, dst = self.tmp / f"in-{kind}-{w}x{h}.raw", self.tmp / "out.raw"
        src.write_bytes(img.tobytes())
        ops = [str(self.tmp / o) if o.endswith(".ppm") else o for o in ops]
        cmd = [self.exe, "-size", f"{w}x{h}", "-depth", "8", f"{kind}:{src}", *ops, f"{kind}:{dst}"]

        def run():
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        return run

    def timed(self, img, ops):
        """The command on img, carrying its start-up cost in seconds: the same
        command on a 1×1 image, measured once per command and channel count."""
        key = (tuple(ops), img.ndim)
        if key not in self.startup:
            self.startup[key] = min(measure([self.command(img[:1, :1], ops)], 5)[0])
        run = self.command(img, ops)
        run.startup = self.startup[key]
        return run


# ---------------------------------------------------------------- timing
class SelfTimed(float):
    """Seconds a call measured itself (in another process), returned in place
    of its result so that the pipe's round trip is not counted."""


def timed_call(f):
    t0 = time.perf_counter()
    result = f()
    elapsed = time.perf_counter() - t0
    return float(result) if isinstance(result, SelfTimed) else elapsed


MAX_TURNS = 40


def measure(fns, repeat, budget=None, fill=None):
    """Seconds of each function, called in turn (A, B, A, B, ...) repeat
    times after a warm-up call of each. With `fill` seconds, fast rows get
    more turns, up to that much time and at most MAX_TURNS, so that their
    best times are likelier to come from a moment when no other program held
    the processor. With a budget in seconds, slow rows get fewer turns; a row
    whose warm-up alone exceeds it gives the warm-up."""
    times = [[] for _ in fns]
    gc.collect()
    gc.disable()
    try:
        warm = []
        for f in fns:
            warm.append(timed_call(f))
        turn = sum(warm)
        if fill is not None and turn > 0:
            repeat = max(repeat, min(MAX_TURNS, int(fill // turn)))
        if budget is not None and turn * repeat > budget:
            repeat = int(budget // turn)
        if repeat == 0:
            times = [[w] for w in warm]
        for _ in range(repeat):
            for f, t in zip(fns, times):
                t.append(timed_call(f))
    finally:
        gc.enable()
    return times


def peak_extra(fn, img):
    """Peak memory one call allocates on top of its input (its output included),
    as a multiple of the input's bytes."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        out = fn(img)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del out
    return (peak - base) / img.nbytes


# ---------------------------------------------------------------- rows
def tonalis_calls(gray, rgb):
    """The timed tonalis calls by work name: the rows below pair them with
    peers, and the single-thread child runs them by the same names."""
    pal = {n: make_palette(n) for n in (16, 256, 4096)}
    ed, od, rd = tonalis.error_diffusion, tonalis.ordered_dither, tonalis.random_dither
    calls = {
        "FS 2-level, gray": lambda: ed(gray),
        "FS 2-level, RGB": lambda: ed(rgb),
        "JJN 2-level, gray": lambda: ed(gray, "jjn"),
        "FS 4-level, gray": lambda: ed(gray, levels=4),
        "FS serpentine, gray": lambda: ed(gray, serpentine=True),
        "ordered 8x8, gray": lambda: od(gray),
        "ordered 8x8, RGB": lambda: od(rgb),
        "random, gray": lambda: rd(gray, seed=1),
        "random, RGB": lambda: rd(rgb, seed=1),
        "palette JJN, 256": lambda: ed(rgb, "jjn", palette=pal[256]),
        "palette nearest, 4096": lambda: od(rgb, palette=pal[4096], strength=0),
        "palette FS, 4096": lambda: ed(rgb, palette=pal[4096]),
        "palette FS serpentine, 256": lambda: ed(rgb, palette=pal[256], serpentine=True),
        "palette FS serpentine, 4096": lambda: ed(rgb, palette=pal[4096], serpentine=True),
    }
    for n in (16, 256):
        calls[f"palette ordered, {n}"] = lambda n=n: od(rgb, palette=pal[n])
        calls[f"palette random, {n}"] = lambda n=n: rd(rgb, palette=pal[n], seed=1)
        calls[f"palette FS, {n}"] = lambda n=n: ed(rgb, palette=pal[n])
        calls[f"palette nearest, {n}"] = lambda n=n: od(rgb, palette=pal[n], strength=0)
    return calls


def rows(size, env):
    """(work, peer name, peer call, must reach) for one image size; the
    tonalis call is tonalis_calls()[work]."""
    gray, rgb = env.images(size)
    pgray, prgb = Image.fromarray(gray), Image.fromarray(rgb)
    pal = {n: make_palette(n) for n in (16, 256, 4096)}
    npal = {n: np.array(p, dtype=np.uint8) for n, p in pal.items()}
    ppal = {n: pil_palette(pal[n]) for n in (16, 256)}
    pil_fs = lambda: pgray.convert("1")  # noqa: E731

    yield "FS 2-level, gray", "Pillow convert('1')", pil_fs, 0.40
    yield "FS 2-level, RGB", "Pillow split/convert('1')/merge", lambda: pil_rgb_1bit(prgb), 0.16
    yield "JJN 2-level, gray", "Pillow convert('1')", pil_fs, 0.55
    yield "FS 4-level, gray", "Pillow convert('1')", pil_fs, 1.0
    if env.serial_fs:
        yield "FS 4-level, gray", "C++ serial 2-level FS", lambda: env.serial_fs(gray), 3.5
    yield "FS serpentine, gray", "Pillow convert('1')", pil_fs, 1.3
    yield "ordered 8x8, gray", "numpy copy", lambda: gray.copy(), 2.0
    for name, img in (("gray", gray), ("RGB", rgb)):
        yield f"ordered 8x8, {name}", "numpy by hand", lambda img=img: np_ordered(img), 0.15
    for name, img in (("gray", gray), ("RGB", rgb)):
        yield f"random, {name}", "numpy by hand", lambda img=img: np_random(img), 0.3
    for n, must in ((16, 1.2), (256, 2.0)):
        no_dither = lambda n=n: prgb.quantize(palette=ppal[n], dither=Image.Dither.NONE)  # noqa: E731
        yield f"palette ordered, {n}", "Pillow quantize, no dither", no_dither, must
        yield f"palette random, {n}", "Pillow quantize, no dither", no_dither, must
        yield (
            f"palette ordered, {n}",
            "numpy argmin",
            lambda n=n: np_palette_ordered(rgb, npal[n]),
            0.15,
        )
        yield (
            f"palette random, {n}",
            "numpy argmin",
            lambda n=n: np_palette_random(rgb, npal[n]),
            0.15,
        )
    for n, must in ((16, 0.6), (256, 1.2)):
        yield (
            f"palette FS, {n}",
            "Pillow quantize FS",
            lambda n=n: prgb.quantize(palette=ppal[n], dither=FS),
            must,
        )
    yield (
        "palette JJN, 256",
        "Pillow quantize FS",
        lambda: prgb.quantize(palette=ppal[256], dither=FS),
        1.4,
    )
    for n in (16, 256):
        yield (
            f"palette nearest, {n}",
            "Pillow quantize, no dither",
            lambda n=n: prgb.quantize(palette=ppal[n], dither=Image.Dither.NONE),
            None,
        )
    yield "palette nearest, 4096", None, None, None
    calls = tonalis_calls(gray, rgb)
    if not env.quick or size <= 2048:
        yield "palette FS, 4096", "tonalis palette FS, 256", calls["palette FS, 256"], 1.5
    # Serpentine rows stay on one thread (each row starts where the last ended).
    yield (
        "palette FS serpentine, 256",
        "Pillow quantize FS",
        lambda: prgb.quantize(palette=ppal[256], dither=FS),
        None,
    )
    if not env.quick:
        yield (
            "palette FS serpentine, 4096",
            "tonalis palette FS, 4096",
            calls["palette FS, 4096"],
            None,
        )
    for work in isa_calls(gray, rgb):
        yield work, "tonalis, TONALIS_ISA=baseline", env.baseline.call(size, work), 1.0
    if env.magick:
        for work, img, label, ops in (
            ("FS 2-level, gray", gray, "-monochrome", ["-dither", "FloydSteinberg", "-monochrome"]),
            (
                "palette FS, 16",
                rgb,
                "-remap, FS",
                ["-dither", "FloydSteinberg", "-remap", "pal16.ppm"],
            ),
            ("ordered 8x8, gray", gray, "-ordered-dither o8x8", ["-ordered-dither", "o8x8"]),
            ("ordered 8x8, RGB", rgb, "-ordered-dither o8x8", ["-ordered-dither", "o8x8"]),
        ):
            yield work, f"IM {label}", env.magick.timed(img, ops), 0.15


# ---------------------------------------------------------------- instruction sets
# Calls whose engines are compiled once per instruction set (the palette
# searches, the threshold engines' vector passes, the level passes of error
# diffusion). Each row times the call with the widest instruction set
# against the same call with TONALIS_ISA=baseline, both in child processes
# on one thread (TONALIS_NUM_THREADS=1), so that how the threads happen to
# be scheduled does not enter: a ratio below 1 is what the per-target code
# gains.
def isa_calls(gray, rgb):
    pal256 = make_palette(256)
    od, rd, ed = tonalis.ordered_dither, tonalis.random_dither, tonalis.error_diffusion
    return {
        "ordered 8x8, gray": lambda: od(gray),
        "ordered 8x8, RGB": lambda: od(rgb),
        "random, RGB": lambda: rd(rgb, seed=1),
        "palette ordered, 256": lambda: od(rgb, palette=pal256),
        "palette FS, 256": lambda: ed(rgb, palette=pal256),
        "FS 4-level, gray": lambda: ed(gray, levels=4),
        "FS 4-level, RGB": lambda: ed(rgb, levels=4),
    }


class Child:
    """This script in a child process started with some switches (TONALIS_ISA=baseline
    and one thread for isa_calls, one thread for tonalis_calls and isa_calls),
    running one call per request and answering with the seconds it took."""

    def __init__(self, switches, serve):
        env = dict(os.environ, **switches)
        self.proc = subprocess.Popen(
            [sys.executable, __file__, serve],
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )

    def call(self, size, work):
        def run():
            self.proc.stdin.write(f"{size}\t{work}\n")
            self.proc.stdin.flush()
            return SelfTimed(self.proc.stdout.readline())

        return run

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def serve(make_calls):
    """The child's loop: 'size<TAB>work' in, seconds out."""
    calls = {}
    for line in sys.stdin:
        size, work = line.rstrip("\n").split("\t")
        if size not in calls:
            calls = {size: make_calls(make_image(int(size), 1), make_image(int(size), 3))}
        t0 = time.perf_counter()
        calls[size][work]()
        print(time.perf_counter() - t0, flush=True)


class Env:
    def __init__(self, tmp, use_magick, quick):
        self.tmp, self.cache, self.quick = tmp, {}, quick
        self.baseline = Child(
            {"TONALIS_ISA": "baseline", "TONALIS_NUM_THREADS": "1"}, "--serve-baseline"
        )
        self.single = Child({"TONALIS_NUM_THREADS": "1"}, "--serve-single")
        self.serial_fs = load_serial_fs(tmp)
        found = find_magick() if use_magick else None
        self.magick_version = found[1] if found else None
        self.magick = Magick(found[0], tmp) if found else None

    def images(self, size):
        if size not in self.cache:
            self.cache = {size: (make_image(size, 1), make_image(size, 3))}
        return self.cache[size]


# Rows also timed on 4096² images (unless --quick, or 4096 is among the
# sizes anyway): the ones whose working buffers outgrow the caches.
LARGE = 4096
LARGE_WORKS = (
    "FS 2-level, gray",
    "FS 2-level, RGB",
    "palette FS, 256",
    "palette FS, 4096",
    "palette FS serpentine, 256",
)


def run_rows(sizes, rounds, repeat, budget, fill, env):
    """Every row of a size is measured `rounds` times, the rows taken in turn
    each time, so that a row's samples spread over the whole run rather than
    one stretch of it; then the size's rows are reported."""
    results = []
    plan = [(size, None) for size in sizes]
    if not env.quick and LARGE not in sizes:
        plan.append((LARGE, LARGE_WORKS))
    for size, only in plan:
        gray, rgb = env.images(size)
        calls = tonalis_calls(gray, rgb)
        timed = []
        for work, peer, theirs, must in rows(size, env):
            if only is not None and (work not in only or "TONALIS_ISA" in (peer or "")):
                continue
            by_isa = "TONALIS_ISA" in (peer or "")
            mine = env.single.call(size, work) if by_isa else calls[work]
            fns = [mine] if theirs is None else [mine, theirs]
            # The same call on one thread, in the child, beside each row
            # whose call may use several.
            single = not by_isa
            if single:
                fns.append(env.single.call(size, work))
            timed.append(
                dict(
                    work=work,
                    peer=peer,
                    theirs=theirs,
                    must=must,
                    single=single,
                    fns=fns,
                    times=[[] for _ in fns],
                )
            )
        for k in range(rounds):
            print(f"  {size}²: round {k + 1} of {rounds}", file=sys.stderr, flush=True)
            for entry in timed:
                for t, more in zip(entry["times"], measure(entry["fns"], repeat, budget, fill)):
                    t.extend(more)
        for entry in timed:
            row = row_result(size, entry)
            results.append(row)
            print(format_row(row), flush=True)
    return results


def row_result(size, entry):
    """A row's figures from its samples: best times, and medians beside them."""
    times, theirs = entry["times"], entry["theirs"]
    startup = getattr(theirs, "startup", None) or 0.0
    best = [min(t) for t in times]
    medians = [statistics.median(t) for t in times]
    t_mine = best[0]
    t_peer = None if theirs is None else best[1] - startup
    t_single = best[-1] if entry["single"] else None
    ratio = None if t_peer is None else t_mine / t_peer
    median_ratio = None if theirs is None else medians[0] / (medians[1] - startup)
    must = entry["must"]
    return dict(
        work=entry["work"],
        size=size,
        peer=entry["peer"],
        tonalis_ms=1e3 * t_mine,
        single_ms=None if t_single is None else 1e3 * t_single,
        peer_ms=None if t_peer is None else 1e3 * t_peer,
        peer_startup_ms=None if theirs is None or startup == 0.0 else 1e3 * startup,
        tonalis_mps=size * size / 1e6 / t_mine,
        ratio=ratio,
        median_ratio=median_ratio,
        median_ms=[1e3 * m for m in medians],
        must=must,
        holds=None if must is None or ratio is None else ratio <= must,
        samples=len(times[0]),
    )


# ---------------------------------------------------------------- report
COLUMNS = (
    "work",
    "size",
    "peer",
    "tonalis ms",
    "1 thread ms",
    "peer ms",
    "tonalis MP/s",
    "ratio",
    "median ratio",
    "must",
    "holds",
    "n",
)
WIDTHS = (21, 4, 38, 10, 11, 8, 12, 7, 12, 4, 5, 2)


def format_row(r):
    def num(v, fmt):
        return "—" if v is None else format(v, fmt)

    peer = r["peer"] or "—"
    if r["peer_startup_ms"] is not None:
        peer += f", −{r['peer_startup_ms']:.0f} ms start"
    cells = (
        r["work"],
        str(r["size"]),
        peer,
        num(r["tonalis_ms"], ".1f"),
        num(r["single_ms"], ".1f"),
        num(r["peer_ms"], ".1f"),
        num(r["tonalis_mps"], ".1f"),
        num(r["ratio"], ".3f"),
        num(r["median_ratio"], ".3f"),
        num(r["must"], "g"),
        "—" if r["holds"] is None else ("yes" if r["holds"] else "NO"),
        str(r["samples"]),
    )
    return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, WIDTHS)) + " |"


def header():
    line = "| " + " | ".join(c.ljust(w) for c, w in zip(COLUMNS, WIDTHS)) + " |"
    rule = "|" + "|".join("-" * (w + 2) for w in WIDTHS) + "|"
    return line + "\n" + rule


def machine(env):
    return {
        **report.machine(),
        "numpy": np.__version__,
        "pillow": PIL.__version__,
        "tonalis": getattr(tonalis, "__version__", "?"),
        "imagemagick": env.magick_version,
        "serial_fs": "g++ -O2 -ffp-contract=off" if env.serial_fs else None,
        "platform": platform.platform(),
    }


def memory_rows():
    """Peak extra memory of single calls on a 4096² RGB image."""
    rgb = make_image(4096, 3)
    pal16, pal256 = make_palette(16), make_palette(256)
    calls = (
        ("FS 2-level", lambda im: tonalis.error_diffusion(im)),
        ("ordered 8x8", lambda im: tonalis.ordered_dither(im)),
        ("random", lambda im: tonalis.random_dither(im, seed=1)),
        ("palette FS, 16", lambda im: tonalis.error_diffusion(im, palette=pal16)),
        ("palette ordered, 256", lambda im: tonalis.ordered_dither(im, palette=pal256)),
    )
    return [dict(work=w, size=4096, multiple=peak_extra(fn, rgb)) for w, fn in calls]


def main():
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument(
        "--sizes",
        help="comma-separated square image sides (default 1024,2048, "
        "then a few rows at 4096²; 4096 works but is slow)",
    )
    ap.add_argument(
        "--rounds",
        type=int,
        help="times every row is measured, the rows taken in turn each time (default 3, --quick 2)",
    )
    ap.add_argument(
        "--repeat", type=int, help="timed calls per function, row and round, at least (default 2)"
    )
    ap.add_argument(
        "--budget",
        type=float,
        help="seconds of timed calls per row and round before "
        "it gets fewer repetitions (default 3, --quick 1)",
    )
    ap.add_argument(
        "--fill",
        type=float,
        help="seconds of timed calls per round that a fast row "
        f"fills with more repetitions, up to {MAX_TURNS} (default "
        "0.7, --quick 0.25)",
    )
    ap.add_argument("--json", help="also write the results to this file")
    ap.add_argument(
        "--quick",
        action="store_true",
        help="2048² only, 2 rounds, 1 s per row and "
        "round, no 4096-colour FS, no 4096² "
        "rows and no memory rows",
    )
    ap.add_argument("--no-magick", action="store_true", help="skip the ImageMagick rows")
    ap.add_argument("--serve-baseline", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--serve-single", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve_baseline:
        serve(isa_calls)
        return
    if args.serve_single:
        serve(lambda gray, rgb: {**isa_calls(gray, rgb), **tonalis_calls(gray, rgb)})
        return
    sizes = [int(s) for s in (args.sizes or ("2048" if args.quick else "1024,2048")).split(",")]
    if any(s < 8 or s % 8 for s in sizes):
        sys.exit("bench: sizes must be multiples of 8")
    args.rounds = max(1, args.rounds or (2 if args.quick else 3))
    repeat = args.repeat or 2
    args.budget = args.budget or (1.0 if args.quick else 3.0)
    args.fill = min(
        args.budget, args.fill if args.fill is not None else (0.25 if args.quick else 0.7)
    )

    scratch = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="tonalis-bench-", dir=scratch) as tmp:
        env = Env(tmp, not args.no_magick, args.quick)
        info = machine(env)
        started = datetime.datetime.now().astimezone()
        print(f"tonalis benchmark, {started:%Y-%m-%d %H:%M %Z}")
        for k, v in info.items():
            print(f"  {k}: {v if v is not None else 'not available (rows skipped)'}")
        print(
            f"  sizes: {sizes}, rounds: {args.rounds}, repeat: {repeat}, fill: {args.fill:g} s; "
            "ratio = tonalis / peer (best times), "
            "must is for 2048²\n"
        )
        print(header())
        try:
            results = run_rows(sizes, args.rounds, repeat, args.budget, args.fill, env)
        finally:
            env.baseline.close()
            env.single.close()
    memory = []
    if not args.quick:
        memory = memory_rows()
        print(
            "\nPeak extra memory of one call on a 4096² RGB image, × the image's bytes "
            "(the output is 1×):"
        )
        for m in memory:
            print(f"  {m['work']:<22} {m['multiple']:.3f}×")
    failing = [r for r in results if r["holds"] is False and r["size"] == 2048]
    print(
        f"\n{len(failing)} row(s) at 2048² miss their must-reach ratio"
        + "".join(
            f"\n  {r['work']} vs {r['peer']}: {r['ratio']:.3f} > {r['must']}" for r in failing
        )
    )
    if args.json:
        report.write(
            args.json,
            results,
            started=started.isoformat(timespec="seconds"),
            machine=info,
            sizes=sizes,
            repeat=repeat,
            environment={k: v for k, v in os.environ.items() if k.startswith("TONALIS_")},
            memory=memory,
        )


if __name__ == "__main__":
    main()
