"""build_image_pyramid of a 640x480 frame (4 levels, conversion included) next to numpy.copy
of the same frame, interleaved in one run.

    python bench/bench_pyramid.py [--rounds N]
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import glent  # noqa: E402
from glent_sequences import render_sequence  # noqa: E402
from timing import fmt_time, interleaved  # noqa: E402


def run(rounds: int = 2000, levels: int = 4) -> dict[str, Any]:
    frame = render_sequence(1).frames[0]
    times = interleaved(
        {
            "build_image_pyramid": lambda: glent.build_image_pyramid(frame, levels),
            "numpy.copy": lambda: np.copy(frame),
        },
        rounds,
        warmup=50,
    )
    pyr = float(np.median(times["build_image_pyramid"]))
    copy = float(np.median(times["numpy.copy"]))
    return {"levels": levels, "rounds": rounds, "pyramid": pyr, "copy": copy, "ratio": pyr / copy}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2000)
    args = parser.parse_args(argv)
    r = run(args.rounds)
    print(f"640x480 frame, {r['levels']} levels, medians of {r['rounds']} interleaved rounds")
    print(f"  build_image_pyramid  {fmt_time(r['pyramid'])}")
    print(f"  numpy.copy           {fmt_time(r['copy'])}")
    print(f"  ratio                {r['ratio']:.2f}x the copy")


if __name__ == "__main__":
    main()
