"""Running the command's work: the progress bar, the thread pool, signals."""

from __future__ import annotations

import queue
import signal
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future
from contextlib import contextmanager
from types import FrameType
from typing import IO

from ..io.imagefile import (
    WriteGuard,
)
from .parser import Cancelled, T, Terminated, U


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02}:{seconds:02}" if hours else f"{minutes}:{seconds:02}"


class Progress:
    """A one-line progress bar on a text stream: `[#####-----]  5/10 files, 0:07 left`."""

    def __init__(self, total: int, stream: IO[str], enabled: bool, width: int = 30) -> None:
        self.total, self.stream, self.enabled, self.width = total, stream, enabled, width
        self.done = 0
        self.started = time.monotonic()
        self._line = 0
        if enabled:
            self._draw()

    def _draw(self) -> None:
        filled = self.width * self.done // max(self.total, 1)
        bar = "#" * filled + "-" * (self.width - filled)
        text = f"[{bar}] {self.done:>{len(str(self.total))}}/{self.total} files"
        if 0 < self.done < self.total:
            elapsed = time.monotonic() - self.started
            text += f", {_clock(elapsed / self.done * (self.total - self.done))} left"
        self.stream.write("\r" + text.ljust(self._line))
        self.stream.flush()
        self._line = len(text)

    def step(self) -> None:
        self.done += 1
        if self.enabled:
            self._draw()

    def message(self, text: str) -> None:
        """Print a line without breaking the bar."""
        if self._line:
            self.stream.write("\r" + " " * self._line + "\r")
            self._line = 0
        self.stream.write(text + "\n")
        if self.enabled:
            self._draw()
        self.stream.flush()

    def close(self) -> None:
        if self._line:
            self.stream.write("\n")
            self.stream.flush()
            self._line = 0


_WORKER = "tonalis-worker-"


def _run_all(
    work: Callable[[T, threading.Event], U],
    items: Sequence[T],
    jobs: int,
    done: Callable[[Future[U]], None],
) -> list[Future[U]]:
    """Run `work(item, stop)` for every item on `jobs` threads, calling `done`
    in this thread as each finishes.

    On Ctrl-C or SIGTERM, items not started are cancelled, `stop` tells
    running ones to give up at their next step, their unfinished files are
    removed, and the exception is raised at once: the threads are daemons,
    so a long dither still running does not hold up the exit, and what it
    would write later is refused (finished files are kept).
    """
    stop = threading.Event()
    guard = WriteGuard()
    futures: list[Future[U]] = [Future() for _ in items]
    waiting = list(zip(futures, items))[::-1]
    lock = threading.Lock()
    finished: queue.SimpleQueue[Future[U]] = queue.SimpleQueue()

    def worker() -> None:
        guard.attach()
        while not stop.is_set():
            with lock:
                if not waiting:
                    return
                future, item = waiting.pop()
            if not future.set_running_or_notify_cancel():
                continue
            try:
                future.set_result(work(item, stop))
            except BaseException as exc:  # handed to the main thread
                future.set_exception(exc)
            finished.put(future)

    threads = [
        threading.Thread(target=worker, name=f"{_WORKER}{n}", daemon=True)
        for n in range(max(1, min(jobs, len(items))))
    ]
    try:
        for thread in threads:
            thread.start()
        for _ in futures:
            done(_wait(finished))
        for thread in threads:
            thread.join()
        return futures
    except BaseException:
        stop.set()
        with lock:
            for future, _ in waiting:
                future.cancel()
            waiting.clear()
        guard.abandon()
        raise


def _wait(finished: queue.SimpleQueue[Future[U]]) -> Future[U]:
    """The next finished future; Ctrl-C still gets through while waiting."""
    while True:
        try:
            return finished.get(timeout=0.1)
        except queue.Empty:
            continue


def _checkpoint(stop: threading.Event) -> None:
    if stop.is_set():
        raise Cancelled


@contextmanager
def _sigterm_stops() -> Iterator[None]:
    """SIGTERM raises Terminated in the main thread, so it stops a batch like Ctrl-C."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        raise Terminated

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
