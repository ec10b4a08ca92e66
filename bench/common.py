"""Shared helpers for the benchmarks: corpus lookup and side-by-side timing.

Ratios, not absolute times, are what the benchmarks report: every contender
is timed in the same run, interleaved round by round, so that load on a
shared machine affects all of them alike.
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


def compare(contenders: dict[str, Callable[[], object]], budget: float = 1.0) -> dict[str, float]:
    """Median seconds per call of each contender, measured in interleaved rounds."""
    first = next(iter(contenders.values()))
    single = max(_time_once(first, 1), 1e-7)
    number = max(1, int(0.02 / single))  # each sample takes about 20 ms
    rounds = max(5, int(budget / (0.02 * len(contenders))))
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()  # warm caches (key caches included) before measuring
    # Every other round runs the contenders in reverse, so that none always
    # follows the same neighbour (its garbage, its cache footprint).
    order = list(contenders.items())
    for round_ in range(rounds):
        for name, fn in order if round_ % 2 == 0 else reversed(order):
            samples[name].append(_time_once(fn, number))
    return {name: statistics.median(times) for name, times in samples.items()}
