"""Shared helpers for the benchmarks: corpus lookup and side-by-side timing.

Ratios, not absolute times, are what the benchmarks report. Every contender
is timed in the same run, back to back within each round and in an order
that rotates from round to round, and a ratio is the median over rounds of
the per-round ratio: load on a shared machine that drifts during a run
then cancels out of each round's ratio instead of skewing one contender's
median.
"""

from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def corpus_or_exit() -> Path:
    if not CORPUS.is_dir():
        print(f"corpus folder {CORPUS} not found; nothing to benchmark")
        sys.exit(0)
    return CORPUS


def _time_once(fn: Callable[[], object], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


class Timings(dict):
    """Median seconds per call of each contender, and the per-round samples
    behind them for paired ratios."""

    def __init__(self, samples: dict[str, list[float]]):
        super().__init__({name: statistics.median(times) for name, times in samples.items()})
        self.samples = samples

    def ratio(self, name: str, base: str) -> float:
        """Median over rounds of time(name) / time(base) in the same round."""
        return statistics.median(a / b for a, b in zip(self.samples[name], self.samples[base]))


def compare(contenders: dict[str, Callable[[], object]], budget: float = 1.0,
            sample_seconds: float = 0.02) -> Timings:
    """Times every contender in interleaved rounds; each sample repeats the
    call for about `sample_seconds`, the first contender setting the count."""
    first = next(iter(contenders.values()))
    single = max(_time_once(first, 1), 1e-7)
    number = max(1, int(sample_seconds / single))
    rounds = max(7, int(budget / (sample_seconds * len(contenders))))
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()  # warm caches (key caches included) before measuring
    order = list(contenders.items())
    for round_ in range(rounds):
        shift = round_ % len(order)
        for name, fn in order[shift:] + order[:shift]:
            samples[name].append(_time_once(fn, number))
    return Timings(samples)
