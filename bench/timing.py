"""Interleaved timing: every case runs once per round, in a rotating order, so that machine
noise (other processes, frequency changes) hits all cases alike."""

from __future__ import annotations

import os
import platform
import time
from collections.abc import Callable

import numpy as np
import numpy.typing as npt


def interleaved(
    cases: dict[str, Callable[[], object]], rounds: int, warmup: int = 3
) -> dict[str, npt.NDArray[np.float64]]:
    """Seconds per call of each case, one sample per round."""
    names = list(cases)
    for _ in range(warmup):
        for name in names:
            cases[name]()
    samples: dict[str, list[float]] = {name: [] for name in names}
    for r in range(rounds):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            fn = cases[name]
            t0 = time.perf_counter()
            fn()
            samples[name].append(time.perf_counter() - t0)
    return {name: np.array(v) for name, v in samples.items()}


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e3:.2f} ms"


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} logical CPUs, Python {platform.python_version()}"
