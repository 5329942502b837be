"""Medians of repeated runs.

The collector is paused while a sample runs, as timeit does, so that a
collection triggered by one peer's allocations does not land in another's
figure. Short calls are looped until a sample lasts `min_time`, and the
sample is divided by the loop count.
"""

from __future__ import annotations

import gc
import math
import statistics
import time
from dataclasses import dataclass
from typing import Any, Callable


@dataclass
class Timing:
    median: float       # seconds per call
    best: float
    samples: list[float]
    loops: int

    def as_dict(self) -> dict:
        return {"median_s": self.median, "best_s": self.best, "runs": len(self.samples),
                "loops": self.loops, "samples_s": self.samples}


class _CollectorPaused:
    def __enter__(self):
        self.enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self.enabled:
            gc.enable()


def time_calls(fn: Callable[[], Any], repeat: int, min_time: float) -> tuple[Timing, Any]:
    """Times `fn` after one warm-up call, whose result is returned with the timing."""
    with _CollectorPaused():
        start = time.perf_counter()
        result = fn()
        first = time.perf_counter() - start
        loops = 1 if first >= min_time else min(math.ceil(min_time / max(first, 1e-7)), 1_000_000)
        samples = []
        for _ in range(max(1, repeat)):
            start = time.perf_counter()
            for _ in range(loops):
                fn()
            samples.append((time.perf_counter() - start) / loops)
    return Timing(statistics.median(samples), min(samples), samples, loops), result


def time_each(fn: Callable[[], Any], repeat: int) -> Timing:
    """Times every call of a costly `fn` (a build), without warm-up or loops."""
    samples = []
    for _ in range(max(1, repeat)):
        gc.collect()
        with _CollectorPaused():
            start = time.perf_counter()
            fn()
            samples.append(time.perf_counter() - start)
    return Timing(statistics.median(samples), min(samples), samples, 1)
