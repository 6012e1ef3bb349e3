"""Error diffusion in raster order runs its rows on several threads when the
image is large enough: every kernel, level and palette mode must give the
same bytes on 1, 2, 3 and 8 threads (each count in a fresh interpreter,
since TONALIS_NUM_THREADS is read at import); so must ordered and random
dither, whose threads take bands of rows in turn. The images are large enough
for the threads to be used, with odd heights and widths; the core's C++
tests (tools/test_core.sh) compare the working values themselves."""

import os
import subprocess
import sys

import pytest

# Alone, not beside other test workers: many threads want the cores.
pytestmark = pytest.mark.serial

# Prints one digest per (kernel, mode, image) case. Each image is above the
# size from which the engine starts threads for its mode (about 3 ms of
# work on one thread), except the smaller RGBA one, which checks that the
# serial form agrees too.
PROBE = r"""
import hashlib, sys
import numpy as np
import tonalis

def image(h, w, c, salt):
    y, x = np.mgrid[0:h, 0:w]
    i = (np.arange(h * w * c, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
         + np.uint64(salt)).reshape((h, w, c))
    noise = ((i >> np.uint64(40)) % np.uint64(61)).astype(np.int64) - 30
    ramp = (255 * (x + 2 * y) // (w + 2 * h))[..., None] + np.arange(c) * 40
    a = np.clip(ramp + noise, 0, 255).astype(np.uint8)
    return a[..., 0] if c == 1 else a

def pal(n, salt):
    return [tuple(int(v) for v in row) for row in image(n, 1, 3, salt).reshape(n, 3)]

cases = {
    "gray 2": [(image(1201, 1037, 1, 1), {}), (image(1500, 900, 1, 2), {"strength": 0.6})],
    "gray 4": [(image(1201, 1037, 1, 3), {"levels": 4})],
    "gray 256 linear": [(image(1100, 1111, 1, 4), {"levels": 256, "linear": True})],
    "rgb 2": [(image(1201, 1037, 3, 5), {})],
    "rgba 3": [(image(1100, 1111, 4, 6), {"levels": 3}),
               (image(599, 611, 4, 7), {"levels": 3, "preserve_alpha": False})],
    "five channels": [(image(800, 811, 5, 8), {})],
    "palette 16": [(image(601, 587, 3, 9), {"palette": pal(16, 1)})],
    "palette 300": [(image(401, 389, 4, 10), {"palette": pal(300, 2), "linear": True})],
    "palette gray ramp": [
        (image(601, 587, 3, 11), {"palette": [(v, v, v) for v in range(0, 256, 5)]})
    ],
}
for method in tonalis.available_methods():
    for mode, images in cases.items():
        for n, (img, kwargs) in enumerate(images):
            out = tonalis.error_diffusion(img, method, **kwargs)
            print(method, mode.replace(" ", "_"), n, hashlib.sha256(out.tobytes()).hexdigest())

# Threshold passes long enough to be cut into bands of rows, several per thread.
threshold = {
    "palette_300": (image(1301, 1203, 3, 12), {"palette": pal(300, 3)}),
    "palette_40_rgba": (image(1203, 1301, 4, 13), {"palette": pal(40, 4), "linear": True}),
    "gray_3_linear": (image(2001, 1801, 1, 14), {"levels": 3, "linear": True}),
}
for mode, (img, kwargs) in threshold.items():
    for name, out in (("ordered", tonalis.ordered_dither(img, **kwargs)),
                      ("random", tonalis.random_dither(img, seed=5, **kwargs))):
        print(name, mode, 0, hashlib.sha256(out.tobytes()).hexdigest())
"""


def digests(threads):
    env = {k: v for k, v in os.environ.items() if k != "TONALIS_NUM_THREADS"}
    env["TONALIS_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run(
        [sys.executable, "-c", PROBE], capture_output=True, text=True, env=env, timeout=600
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.split("\n")
    return dict(line.rsplit(" ", 1) for line in lines if line)


@pytest.fixture(scope="module")
def one_thread():
    return digests(1)


@pytest.mark.parametrize("threads", [2, 3, 8])
def test_threads_give_the_bytes_of_one(threads, one_thread):
    mine = digests(threads)
    assert len(one_thread) == 9 * 11 + 3 * 2
    differing = sorted(case for case in one_thread if mine.get(case) != one_thread[case])
    assert differing == []


# Counts the threads of this process (Linux's /proc) while calls run on
# another, and prints the most it saw besides those before them. The
# watcher samples while the workers run, and on a busy machine it may not
# be scheduled while all of them are alive: a few calls give it the chance,
# and no number of calls can show more threads than were started.
WATCH = r"""
import os, threading
import numpy as np
import tonalis

def count():
    return len(os.listdir("/proc/self/task"))

img = np.tile(np.arange(2048, dtype=np.uint8)[None, :] * 31, (2048, 1))
done = threading.Event()
most = [0]
def watch():
    while not done.is_set():
        most[0] = max(most[0], count())
watcher = threading.Thread(target=watch)
watcher.start()
before = count()
for _ in range(5):
    tonalis.error_diffusion(img, "floyd_steinberg")
done.set()
watcher.join()
print(max(0, most[0] - before))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs Linux's /proc")
@pytest.mark.parametrize("threads, extra", [(None, 0), (3, 2), (8, 7)])
def test_a_chosen_thread_count_runs_even_beyond_the_cores(threads, extra):
    # Without the switch rows are not pipelined; with it the chosen count
    # runs, however few cores this machine has.
    env = {k: v for k, v in os.environ.items() if k != "TONALIS_NUM_THREADS"}
    if threads is not None:
        env["TONALIS_NUM_THREADS"] = str(threads)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run(
        [sys.executable, "-c", WATCH], capture_output=True, text=True, env=env, timeout=300
    )
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) == extra
