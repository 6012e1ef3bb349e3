"""The golden corpus (tests/golden/corpus.txt): a few thousand calls through
tonalis and tonalis_tools, each of which must give the output bytes whose
FNV-1a 64-bit hash x86-64 recorded. The core's own driver
(tests/core/golden_corpus.cpp) checks the same lines on every processor;
tools/golden_corpus.py writes the file."""

import os
import subprocess
import sys
from collections import defaultdict

import golden_calls as golden
import numpy as np
import pytest

ENTRIES = golden.read_corpus()
# Calls of this many samples and more form groups of their own, so that the
# test workers share them; they are also the ones long enough for threads.
LARGE = 100_000


def samples(call):
    dims = golden.parse_dims(call.words["image"].split(".")[2])
    return dims[0] * dims[1] * (dims[2] if len(dims) == 3 else 1)


def grouped():
    groups = defaultdict(list)
    for entry in ENTRIES:
        call = entry[1]
        groups["large" if samples(call) >= LARGE else call.family].append(entry)
    large = groups.pop("large")
    for i in range(3):
        groups[f"large{i}"] = large[i::3]
    return dict(groups)


GROUPS = grouped()


def report(bad, total):
    shown = "\n".join(bad[:12])
    return f"{len(bad)} of {total} calls differ from the corpus, the first:\n{shown}"


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_outputs_hash_as_recorded(group):
    entries = GROUPS[group]
    bad = golden.mismatches(entries)
    if bad:
        pytest.fail(report(bad, len(entries)), pytrace=False)


# Makes the named calls in a fresh interpreter (the thread switch is read at
# import) and prints the lines that differ.
PROBE = r"""
import sys
import golden_calls as golden
wanted = set(sys.stdin.read().splitlines())
entries = [e for e in golden.read_corpus() if e[1].text in wanted]
assert len(entries) == len(wanted), "calls missing from the corpus"
for line in golden.mismatches(entries):
    print(line)
print("DONE", len(entries))
"""


@pytest.mark.serial
def test_large_calls_with_the_thread_count_set():
    """Once the thread count is set, error diffusion of large images runs its
    rows on several threads at once: the bytes must not change."""
    large = [call.text for _, call in ENTRIES if samples(call) >= LARGE]
    env = {k: v for k, v in os.environ.items() if k != "TONALIS_NUM_THREADS"}
    env["TONALIS_NUM_THREADS"] = "3"
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    run = subprocess.run(
        [sys.executable, "-c", PROBE],
        input="\n".join(large),
        capture_output=True,
        text=True,
        env=env,
        timeout=600,
        cwd=os.path.dirname(os.path.abspath(__file__)),
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[-1] == f"DONE {len(large)}"
    if lines[:-1]:
        pytest.fail(report(lines[:-1], len(large)), pytrace=False)


def test_refined_calls_without_refinements_recorded_as_their_plain_twins():
    """tonalis_tools.diffuse, ordered and random with every refinement off
    give tonalis's bytes: a refined line and the plain line of the same
    arguments carry the same hash."""
    plain = {"diffuse": "error_diffusion", "ordered": "ordered_dither", "random": "random_dither"}
    recorded = {call.text: digest for digest, call in ENTRIES}
    pairs = 0
    for digest, call in ENTRIES:
        w = call.words
        if w["f"] not in plain or {"limit", "mask", "distance"} & set(w):
            continue
        twin = golden.format_call(plain[w["f"]], **{k: v for k, v in w.items() if k != "f"})
        if twin in recorded:
            pairs += 1
            assert recorded[twin] == digest, f"{call.text}\n{twin}"
    assert pairs >= 30


def test_recorded_filters_are_the_ones_tonalis_tools_makes():
    """The core's driver runs direct binary search with the taps recorded in
    dbs_filters.txt: they must be the bits of the package's own filters, on
    this machine as on the one that recorded them."""
    recorded = golden.read_filters()
    used = golden.dbs_filter_words(call for _, call in ENTRIES)
    assert used and used <= set(recorded)
    for word, taps in recorded.items():
        made = golden.filter_taps(word)
        assert made.dtype == np.float32 and made.tobytes() == taps.tobytes(), word
