"""FAST-9 alone on a 320x240 image (level 1 of a 640x480 sequence frame): glent's detector,
timed by the C++ micro-benchmark bench_fast9, next to cv2.FastFeatureDetector (threshold 10,
non-max suppression off) on the same image, alternating between the two a few times.

    python bench/bench_fast9.py [--binary build/bench/bench_fast9]

Build the C++ benchmark with
    cmake -S . -B build/bench -G Ninja -DGLENT_BUILD_PYTHON=OFF -DGLENT_BUILD_BENCH=ON
    cmake --build build/bench --target bench_fast9
glent's detector is not exposed to Python, so its time is measured in C++; OpenCV's is measured
from Python and so includes building the list of KeyPoint objects.
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def find_binary(explicit: str | None = None) -> Path | None:
    candidates = [explicit, os.environ.get("GLENT_BENCH_FAST9")]
    candidates += [str(p) for p in sorted(ROOT.glob("build/*/bench_fast9"))]
    for c in candidates:
        if c and Path(c).is_file() and os.access(c, os.X_OK):
            return Path(c)
    return None


def write_pgm(path: Path, image: np.ndarray) -> None:
    h, w = image.shape
    path.write_bytes(f"P5\n{w} {h}\n255\n".encode() + np.ascontiguousarray(image).tobytes())


def run(binary: str | None = None, alternations: int = 3, reps: int = 300) -> dict[str, Any] | None:
    exe = find_binary(binary)
    if exe is None:
        return None
    import cv2

    import glent

    sys.path.insert(0, str(HERE))
    from glent_sequences import render_sequence

    image = glent.build_image_pyramid(render_sequence(1).frames[0], 2)[1]
    detector = cv2.FastFeatureDetector.create(10, False)
    glent_us: list[float] = []
    cv_s: list[float] = []
    corners = 0
    with tempfile.TemporaryDirectory() as tmp:
        pgm = Path(tmp) / "level1.pgm"
        write_pgm(pgm, image)
        for _ in range(alternations):
            out = subprocess.run([str(exe), str(pgm), str(reps)], check=True,
                                 capture_output=True, text=True).stdout
            match = re.search(r"^fast9_detect:\s+([0-9.]+) us", out, re.MULTILINE)
            count = re.search(r"([0-9]+) corners", out)
            if match is None or count is None:
                raise RuntimeError(f"unexpected output of {exe}:\n{out}")
            glent_us.append(float(match.group(1)))
            corners = int(count.group(1))
            for _ in range(reps):
                t0 = time.perf_counter()
                detector.detect(image)
                cv_s.append(time.perf_counter() - t0)
    return {
        "size": image.shape[::-1],
        "glent": float(np.median(glent_us)) * 1e-6,
        "glent_corners": corners,
        "opencv": float(np.median(cv_s)),
        "opencv_corners": len(detector.detect(image)),
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", help="path of bench_fast9 (default: build/*/bench_fast9)")
    args = parser.parse_args(argv)
    r = run(args.binary)
    if r is None:
        sys.exit("bench_fast9 not found; build it first (see --help)")
    print(f"FAST-9, threshold 10, {r['size'][0]}x{r['size'][1]}, no non-max suppression")
    print(f"  glent (C++)   {r['glent'] * 1e6:8.1f} µs  {r['glent_corners']} corners")
    print(f"  OpenCV (Py)   {r['opencv'] * 1e6:8.1f} µs  {r['opencv_corners']} corners"
          f"  ({r['opencv'] / r['glent']:.1f}x)")


if __name__ == "__main__":
    main()
