"""Helpers for the tests that call the engines from many threads and watch
for leaks: the same calls from threads that start together, and memory
measured over repeated rounds."""

import gc
import threading
import tracemalloc


def run_all(calls, rounds, expected=()):
    """Every call `rounds` times; exceptions of the `expected` types pass."""
    for _ in range(rounds):
        for call in calls:
            try:
                call()
            except expected:
                pass


def assert_same_from_threads(calls, outcome, threads, rounds, stride=1):
    """Runs the calls from `threads` threads released together, each walking
    them `rounds` times from its own starting point, and asserts that every
    outcome equals the sequential one."""
    expected = [outcome(call) for call in calls]
    barrier = threading.Barrier(threads)
    results = [None] * threads

    def work(slot):
        barrier.wait()
        mine = []
        for i in range(rounds):
            order = [(j + stride * slot + i) % len(calls) for j in range(len(calls))]
            mine.append({j: outcome(calls[j]) for j in order})
        results[slot] = mine

    workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for mine in results:
        assert mine is not None, "a worker died"
        for round_results in mine:
            assert [round_results[j] for j in range(len(calls))] == expected


def traced_growth(run_round, limit, attempts=3):
    """Bytes traced memory grew by over one run_round(), in up to `attempts`
    rounds until one stays below `limit` (the interpreter's own caches
    settle within a round or two); the last round's growth."""
    gc.collect()
    tracemalloc.start()
    try:
        rounds = []
        for _ in range(attempts):
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            run_round()
            gc.collect()
            rounds.append(tracemalloc.get_traced_memory()[0] - start)
            if rounds[-1] < limit:
                break
    finally:
        tracemalloc.stop()
    return rounds


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def sanitized():
    """Under AddressSanitizer freed memory is held back, so RSS says nothing."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()
