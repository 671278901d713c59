"""glent.track_points on ~1000 points next to OpenCV's calcOpticalFlowPyrLK forward plus
backward on the same points (winSize 21 and 11, maxLevel 3), interleaved in one run.

    python bench/bench_track_points.py [--threads 1] [--points 1000] [--rounds 60] [--json]

--threads 1 sets GLENT_NUM_THREADS=1 (read when glent's worker pool starts) and
cv2.setNumThreads(1); without it both libraries use every logical CPU.

glent gets its pyramids prebuilt (build_image_pyramid, 4 levels), as a program that tracks a
stream reuses them.  OpenCV's Python binding cannot take prebuilt pyramids
(cv2.calcOpticalFlowPyrLK refuses the list that cv2.buildOpticalFlowPyramid returns), so each LK
call builds the pyramids of both frames itself; the cost of that is measured separately and
printed, so it can be subtracted.
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import sys
from pathlib import Path
from typing import Any

import numpy as np


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=0, help="1 = single thread (0: all)")
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=60)
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    return parser.parse_args(argv)


def corner_points(frame: np.ndarray, n: int, margin: int = 24) -> np.ndarray:
    """The n strongest FAST corners (non-max suppressed) away from the border."""
    import cv2

    kps = cv2.FastFeatureDetector.create(10, True).detect(frame)
    kps = sorted(kps, key=lambda k: -k.response)
    h, w = frame.shape
    pts = [k.pt for k in kps if margin <= k.pt[0] < w - margin and margin <= k.pt[1] < h - margin]
    return np.array(pts[:n], dtype=np.float32)


def run(points: int = 1000, rounds: int = 60) -> dict[str, Any]:
    import cv2

    import glent
    from glent_sequences import render_sequence
    from timing import interleaved

    seq = render_sequence(2)
    f0, f1 = seq.frames
    p = corner_points(f0, points)
    truth = seq.ground_truth(0, 1, p)
    p0, p1 = glent.build_image_pyramid(f0, 4), glent.build_image_pyramid(f1, 4)
    start = {i: (float(x), float(y)) for i, (x, y) in enumerate(p)}

    def lk(win: int) -> tuple[np.ndarray, np.ndarray]:
        fwd, st1, _ = cv2.calcOpticalFlowPyrLK(f0, f1, p, None, winSize=(win, win), maxLevel=3)
        back, st2, _ = cv2.calcOpticalFlowPyrLK(f1, f0, fwd, None, winSize=(win, win), maxLevel=3)
        keep = (st1[:, 0] == 1) & (st2[:, 0] == 1) & (np.sum((p - back) ** 2, axis=1) < 0.4)
        return fwd, keep

    times = interleaved(
        {
            "glent": lambda: glent.track_points(p0, p1, start),
            "cv21": lambda: lk(21),
            "cv11": lambda: lk(11),
            "cvpyr21": lambda: (
                cv2.buildOpticalFlowPyramid(f0, (21, 21), 3, withDerivatives=True),
                cv2.buildOpticalFlowPyramid(f1, (21, 21), 3, withDerivatives=False),
            ),
        },
        rounds,
    )
    result: dict[str, Any] = {
        "points": len(p),
        "threads": os.environ.get("GLENT_NUM_THREADS", str(os.cpu_count())),
        "rounds": rounds,
    }
    survivors = glent.track_points(p0, p1, start)
    ids = np.array(sorted(survivors), dtype=np.int64)
    got = np.array([survivors[int(i)] for i in ids]).reshape(-1, 2)
    err = np.hypot(*(got - truth[ids]).T)
    result["glent"] = summary(times["glent"], len(p), len(ids), err)
    for win in (21, 11):
        fwd, keep = lk(win)
        err = np.hypot(*(fwd[keep] - truth[keep]).T)
        result[f"cv{win}"] = summary(times[f"cv{win}"], len(p), int(keep.sum()), err)
    # One forward plus one backward LK call build two pyramids with derivatives and two without.
    result["cv_pyramids"] = 2.0 * float(np.median(times["cvpyr21"]))
    return result


def summary(t: np.ndarray, n: int, survivors: int, err: np.ndarray) -> dict[str, float]:
    med = float(np.median(t))
    return {
        "median": med,
        "per_point": med / n,
        "survivors": survivors,
        "median_error": float(np.median(err)) if len(err) else float("nan"),
    }


def main(argv: list[str] | None = None) -> None:
    args = parse(argv)
    if args.threads:
        os.environ["GLENT_NUM_THREADS"] = str(args.threads)
    import cv2

    if args.threads:
        cv2.setNumThreads(args.threads)
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    r = run(args.points, args.rounds)
    if args.json:
        print(json.dumps(r))
        return
    from timing import fmt_time

    print(f"{r['points']} points, threads={r['threads']}, medians of {r['rounds']} rounds")
    g = r["glent"]
    for name in ("glent", "cv21", "cv11"):
        c = r[name]
        print(
            f"  {name:6s} {fmt_time(c['median']):>10s}  {c['per_point'] * 1e6:6.2f} µs/point"
            f"  ratio to glent {c['median'] / g['median']:5.2f}  survivors {c['survivors']}"
            f"  median error {c['median_error']:.3f} px"
        )
    print(f"  OpenCV pyramid building inside one fwd+bwd pair (est.): {fmt_time(r['cv_pyramids'])}")


if __name__ == "__main__":
    main()
