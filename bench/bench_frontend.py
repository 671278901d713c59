"""glent.Glent on a 640x480 moving-camera sequence with ground truth, next to a competent OpenCV
front end (FAST threshold 10 on the half-resolution frame filling empty 20-px cells, LK forward
and backward with the same 0.4 px^2 check, winSize 21 and 11, maxLevel 3), frame by frame in
one run; plus glent.StereoGlent on the bundled Middlebury stereo pair next to the same OpenCV
admission step (left corners tracked into the right image and back).

    python bench/bench_frontend.py [--frames 120] [--photo astronaut] [--stereo-rounds 10]
                                   [--threads 1] [--json]

--threads 1 sets GLENT_NUM_THREADS=1 (read when glent's worker pool starts) and
cv2.setNumThreads(1); without it both libraries use every logical CPU.  --json runs only the
sequence and prints its per-frame medians as one JSON line (bench/run.py uses it for the
one-thread figures).
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import glent  # noqa: E402
from opencv_frontend import OpenCVFrontEnd, stereo_match  # noqa: E402
from glent_sequences import CameraSequence, render_sequence, stereo_pair, track_errors  # noqa: E402
from timing import fmt_time, interleaved  # noqa: E402

Points = dict[int, tuple[float, float]]


class GlentFrontEnd:
    def __init__(self, levels: int = 4, grid_size: int = 20) -> None:
        self.tracker = glent.Glent(levels=levels, grid_size=grid_size)
        self.points: Points = {}

    def process_frame(self, image: np.ndarray) -> None:
        # Reading the tracks is part of every real frame loop, so it is timed too.
        self.tracker.process_frame(image)
        self.points = self.tracker.get_track_points()

    def get_track_points(self) -> Points:
        return self.points


def run_sequence(seq: CameraSequence, levels: int = 4, grid_size: int = 20) -> dict[str, Any]:
    """Run glent and OpenCV (win 21, 11) over `seq`, interleaved frame by frame."""
    runners: dict[str, Any] = {
        "glent": GlentFrontEnd(levels, grid_size),
        "opencv21": OpenCVFrontEnd(win=21, grid_size=grid_size),
        "opencv11": OpenCVFrontEnd(win=11, grid_size=grid_size),
    }
    names = list(runners)
    times: dict[str, list[float]] = {n: [] for n in names}
    history: dict[str, list[Points]] = {n: [] for n in names}
    for k, frame in enumerate(seq.frames):
        shift = k % len(names)
        for name in names[shift:] + names[:shift]:
            runner = runners[name]
            t0 = time.perf_counter()
            runner.process_frame(frame)
            times[name].append(time.perf_counter() - t0)
        for name in names:
            history[name].append(runners[name].get_track_points())
    out: dict[str, Any] = {"frames": len(seq), "photo": seq.photo}
    for name in names:
        t = np.array(times[name][1:])  # the first frame only detects
        live = np.array([len(h) for h in history[name]])
        acc = track_errors(seq, history[name])
        steps = acc["steps"]
        out[name] = {
            "times": np.array(times[name]),
            "median_time": float(np.median(t)),
            "live": live,
            "median_live": float(np.median(live[1:])),
            "us_per_track": float(np.median(t / np.maximum(live[1:], 1))) * 1e6,
            "step_median": float(np.median(steps)),
            "step_p90": float(np.percentile(steps, 90)),
            "step_over_1px": float(np.mean(steps > 1.0)),
            "drift10": float(np.median(acc["drift10"])) if len(acc["drift10"]) else float("nan"),
            "drift50": float(np.median(acc["drift50"])) if len(acc["drift50"]) else float("nan"),
            "tracks": acc["tracks"],
            "false_rate": acc["false_tracks"] / max(acc["tracks"], 1),
            "mean_length": float(np.mean(acc["lengths"])),
            "steps": steps,
        }
    return out


def run_stereo(levels: int = 4, grid_size: int = 20, rounds: int = 10) -> dict[str, Any]:
    """First stereo pair: glent.StereoGlent's admitted matches vs the OpenCV admission step."""
    pair = stereo_pair()

    def glent_pair() -> tuple[Points, Points]:
        tracker = glent.StereoGlent(levels=levels, grid_size=grid_size)
        tracker.process_frame(pair.left, pair.right)
        return tracker.get_track_points()

    times = interleaved(
        {
            "glent": glent_pair,
            "opencv21": lambda: stereo_match(pair.left, pair.right, 21),
            "opencv11": lambda: stereo_match(pair.left, pair.right, 11),
        },
        rounds,
        warmup=1,
    )
    left, right = glent_pair()
    ids = sorted(set(left) & set(right))
    results: dict[str, Any] = {"pair": pair.name, "size": pair.left.shape[::-1]}
    matches = {
        "glent": (
            np.array([left[i] for i in ids]).reshape(-1, 2),
            np.array([right[i] for i in ids]).reshape(-1, 2),
        ),
        "opencv21": stereo_match(pair.left, pair.right, 21),
        "opencv11": stereo_match(pair.left, pair.right, 11),
    }
    for name, (pl, pr) in matches.items():
        truth = pair.right_position(pl)
        known = np.isfinite(truth[:, 0])
        err = np.abs((pl[:, 0] - pr[:, 0]) - (pl[:, 0] - truth[:, 0]))[known]
        results[name] = {
            "median_time": float(np.median(times[name])),
            "matches": len(pl),
            "with_truth": int(known.sum()),
            "disp_median_error": float(np.median(err)) if len(err) else float("nan"),
            "disp_p90_error": float(np.percentile(err, 90)) if len(err) else float("nan"),
            "disp_over_1px": float(np.mean(err > 1.0)) if len(err) else float("nan"),
            "y_median_error": float(np.median(np.abs(pr[:, 1] - pl[:, 1]))) if len(pr) else 0.0,
        }
    return results


def print_sequence(r: dict[str, Any]) -> None:
    print(f"{r['frames']} frames of 640x480 ({r['photo']}), medians over frames 2..{r['frames']}")
    g = r["glent"]["median_time"]
    for name in ("glent", "opencv21", "opencv11"):
        c = r[name]
        print(
            f"  {name:9s} {fmt_time(c['median_time']):>9s}/frame ({c['median_time'] / g:4.2f}x)"
            f"  {c['us_per_track']:5.2f} µs/track  live {c['median_live']:5.0f}"
            f"  step err med {c['step_median']:.3f} p90 {c['step_p90']:.3f}"
            f" >1px {100 * c['step_over_1px']:.2f}%  drift10 {c['drift10']:.3f}"
            f" drift50 {c['drift50']:.3f}  false {100 * c['false_rate']:.2f}%"
            f"  length {c['mean_length']:.1f}"
        )


def print_stereo(r: dict[str, Any]) -> None:
    print(f"stereo pair {r['pair']} {r['size'][0]}x{r['size'][1]} (first pair: admission only)")
    for name in ("glent", "opencv21", "opencv11"):
        c = r[name]
        print(
            f"  {name:9s} {fmt_time(c['median_time']):>9s}  matches {c['matches']:4d}"
            f" (truth for {c['with_truth']})  disparity err med {c['disp_median_error']:.3f}"
            f" p90 {c['disp_p90_error']:.3f} >1px {100 * c['disp_over_1px']:.1f}%"
        )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=120)
    parser.add_argument("--photo", default="astronaut")
    parser.add_argument("--stereo-rounds", type=int, default=10)
    parser.add_argument("--threads", type=int, default=0, help="1 = single thread (0: all)")
    parser.add_argument("--json", action="store_true", help="sequence medians only, as JSON")
    args = parser.parse_args(argv)
    if args.threads:
        # Before glent's pool exists (it is created on the first frame that tracks).
        os.environ["GLENT_NUM_THREADS"] = str(args.threads)
        import cv2

        cv2.setNumThreads(args.threads)
    seq = run_sequence(render_sequence(args.frames, args.photo))
    if args.json:
        keys = ("median_time", "median_live", "us_per_track")
        print(json.dumps({n: {k: seq[n][k] for k in keys} for n in ("glent", "opencv21", "opencv11")}))
        return
    print_sequence(seq)
    print_stereo(run_stereo(rounds=args.stereo_rounds))


if __name__ == "__main__":
    main()
