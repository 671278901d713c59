"""The benchmark report: glent next to OpenCV on the same material, in one command.

    python bench/run.py [--quick] [--out bench/out]

Runs, each interleaved so that machine noise hits both sides alike:
  - build_image_pyramid vs numpy.copy of a 640x480 frame;
  - track_points on 1000 corners vs cv2.calcOpticalFlowPyrLK forward+backward (all threads, and
    one thread in a child process with GLENT_NUM_THREADS=1 / cv2.setNumThreads(1));
  - Glent vs an OpenCV front end on a 640x480 moving-camera sequence with exact ground truth
    (all threads in this process, one thread in a child process);
  - StereoGlent vs the same OpenCV admission step on the bundled Middlebury pair;
  - FAST-9 alone on a 320x240 image vs cv2.FastFeatureDetector (when the C++ bench is built);
  - a memory soak of Glent over 2000 frames (child process).
Prints a Markdown table and writes it with a plot (error CDFs, time per frame) to --out.
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_fast9  # noqa: E402
import bench_frontend  # noqa: E402
import bench_pyramid  # noqa: E402
import bench_track_points  # noqa: E402
from glent_sequences import render_sequence  # noqa: E402
from timing import fmt_time, machine  # noqa: E402

NAMES = {"glent": "glent", "opencv21": "OpenCV LK win 21", "opencv11": "OpenCV LK win 11"}


def child_json(script: str, *args: str, env: dict[str, str] | None = None) -> dict[str, Any]:
    cmd = [sys.executable, str(HERE / script), "--json", *args]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True,
                         env={**os.environ, **(env or {})})
    result: dict[str, Any] = json.loads(out.stdout.strip().splitlines()[-1])
    return result


def ms(t: float) -> str:
    return fmt_time(t)


def table(r: dict[str, Any]) -> str:
    seq, st, tp, tp1 = r["sequence"], r["stereo"], r["track_points"], r["track_points_1"]
    g = seq["glent"]
    rows: list[tuple[str, list[str]]] = []

    def add(label: str, fn: Any) -> None:
        rows.append((label, [fn(name) for name in NAMES]))

    def vs(t: float, base: float, name: str) -> str:
        return ms(t) if name == "glent" else f"{ms(t)} ({t / base:.1f}x)"

    seq1 = r["sequence_1"]
    add("time per frame, median, all threads (x glent)",
        lambda n: vs(seq[n]["median_time"], g["median_time"], n))
    add("time per frame, median, 1 thread (x glent)",
        lambda n: vs(seq1[n]["median_time"], seq1["glent"]["median_time"], n))
    add("time per live track", lambda n: f"{seq[n]['us_per_track']:.2f} µs")
    add("live tracks, median", lambda n: f"{seq[n]['median_live']:.0f}")
    add("track length, mean (frames)", lambda n: f"{seq[n]['mean_length']:.1f}")
    add("per-step error, median / p90",
        lambda n: f"{seq[n]['step_median']:.3f} / {seq[n]['step_p90']:.3f} px")
    add("per-step error > 1 px", lambda n: f"{100 * seq[n]['step_over_1px']:.2f} %")
    add("drift after 10 / 50 frames, median",
        lambda n: f"{seq[n]['drift10']:.3f} / {seq[n]['drift50']:.3f} px")
    add("false tracks (> 3 px off their start point)",
        lambda n: f"{100 * seq[n]['false_rate']:.2f} % of {seq[n]['tracks']}")
    key = {"glent": "glent", "opencv21": "cv21", "opencv11": "cv11"}
    for label, res in (("all threads", tp), ("1 thread", tp1)):
        base = res["glent"]["median"]
        add(f"track_points, {res['points']} points, {label}: per point (x glent)",
            lambda n, res=res, base=base: (
                f"{res[key[n]]['per_point'] * 1e6:.2f} µs"
                + ("" if n == "glent" else f" ({res[key[n]]['median'] / base:.1f}x)")))
    add("track_points survivors, median error",
        lambda n: f"{tp[key[n]]['survivors']}, {tp[key[n]]['median_error']:.3f} px")
    add(f"stereo pair {st['pair']}: matches (with truth)",
        lambda n: f"{st[n]['matches']} ({st[n]['with_truth']})")
    add("stereo disparity error, median / p90",
        lambda n: f"{st[n]['disp_median_error']:.3f} / {st[n]['disp_p90_error']:.3f} px")
    add("stereo disparity error > 1 px", lambda n: f"{100 * st[n]['disp_over_1px']:.1f} %")
    add("stereo first pair (x glent)",
        lambda n: vs(st[n]["median_time"], st["glent"]["median_time"], n))
    lines = ["| | " + " | ".join(NAMES.values()) + " |", "|---|" + "---|" * len(NAMES)]
    lines += [f"| {label} | " + " | ".join(cells) + " |" for label, cells in rows]
    return "\n".join(lines)


def ratios(r: dict[str, Any]) -> dict[str, float]:
    """glent's time over OpenCV's (below 1: glent is faster), per frame and per point."""
    out: dict[str, float] = {}
    for label, seq in (("all threads", r["sequence"]), ("1 thread", r["sequence_1"])):
        for win in (11, 21):
            out[f"per frame, {label}, glent / LK{win}"] = (
                seq["glent"]["median_time"] / seq[f"opencv{win}"]["median_time"])
    for label, tp in (("all threads", r["track_points"]), ("1 thread", r["track_points_1"])):
        for win in (11, 21):
            out[f"track_points per point, {label}, glent / LK{win} fwd+bwd"] = (
                tp["glent"]["median"] / tp[f"cv{win}"]["median"])
    return out


def notes(r: dict[str, Any]) -> str:
    p, m, tp = r["pyramid"], r["memory"], r["track_points"]
    mib = 1024.0 * 1024.0
    out = [
        "- Ratios, glent's median time over OpenCV's (below 1.00: glent faster): "
        + "; ".join(f"{k} {v:.2f}" for k, v in ratios(r).items()) + ".",
        f"- build_image_pyramid, 640x480, 4 levels: {ms(p['pyramid'])} median vs numpy.copy "
        f"{ms(p['copy'])} ({p['ratio']:.2f}x the copy).",
        f"- OpenCV builds its pyramids inside every LK call (its Python binding refuses prebuilt "
        f"ones); for one forward+backward pair that is about {ms(tp['cv_pyramids'])} of the "
        f"{ms(tp['cv21']['median'])} (win 21, all threads).",
    ]
    if r.get("fast"):
        f = r["fast"]
        out.append(f"- FAST-9 alone on a 320x240 image: glent {ms(f['glent'])}, "
                   f"cv2.FastFeatureDetector (threshold 10, non-max suppression off) "
                   f"{ms(f['opencv'])} ({f['opencv'] / f['glent']:.1f}x).")
    else:
        out.append("- FAST-9 alone: skipped (build the C++ benchmarks to include it).")
    out.append(
        f"- Memory soak, {m['frames']} frames (up to {m['max_tracks']} tracks): resident "
        f"{m['after_warmup'] / mib:.1f} MiB after 200 frames, {m['end'] / mib:.1f} MiB at the "
        f"end ({m['growth'] / mib:+.2f} MiB).")
    return "\n".join(out)


def plot(r: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    seq = r["sequence"]
    fig, (ax0, ax1) = plt.subplots(1, 2, figsize=(12, 4.5))
    for name, label in NAMES.items():
        steps = np.sort(seq[name]["steps"])
        ax0.plot(steps, np.arange(1, len(steps) + 1) / len(steps), label=label)
        ax1.plot(np.arange(len(seq[name]["times"])), seq[name]["times"] * 1e3, label=label)
    ax0.set_xscale("log")
    ax0.set_xlim(1e-3, 10)
    ax0.set_xlabel("per-step error vs ground truth (px)")
    ax0.set_ylabel("share of track steps")
    ax0.set_title("Error CDF")
    ax0.grid(True, which="both", alpha=0.3)
    ax0.legend()
    ax1.set_xlabel("frame")
    ax1.set_ylabel("time per frame (ms)")
    ax1.set_title("Time per frame")
    ax1.grid(True, alpha=0.3)
    ax1.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer frames and rounds")
    parser.add_argument("--out", type=Path, default=HERE / "out")
    parser.add_argument("--frames", type=int, default=None, help="sequence length (default 120)")
    args = parser.parse_args(argv)
    quick = args.quick
    frames = args.frames or (60 if quick else 120)
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    r: dict[str, Any] = {}
    print("pyramid ...", flush=True)
    r["pyramid"] = bench_pyramid.run(300 if quick else 2000)
    print("track_points ...", flush=True)
    rounds = "20" if quick else "60"
    r["track_points"] = child_json("bench_track_points.py", "--rounds", rounds)
    r["track_points_1"] = child_json("bench_track_points.py", "--rounds", rounds, "--threads", "1",
                                     env={"GLENT_NUM_THREADS": "1"})
    print(f"sequence of {frames} frames ...", flush=True)
    r["sequence"] = bench_frontend.run_sequence(render_sequence(frames))
    print(f"sequence of {frames} frames, 1 thread ...", flush=True)
    r["sequence_1"] = child_json("bench_frontend.py", "--frames", str(frames), "--threads", "1",
                                 env={"GLENT_NUM_THREADS": "1"})
    print("stereo ...", flush=True)
    r["stereo"] = bench_frontend.run_stereo(rounds=4 if quick else 10)
    print("FAST ...", flush=True)
    r["fast"] = bench_fast9.run()
    print("memory soak ...", flush=True)
    r["memory"] = child_json("bench_memory.py", "--frames", "500" if quick else "2000")
    elapsed = time.perf_counter() - started

    header = (f"Machine: {machine()}. Command: `python bench/run.py"
              f"{' --quick' if quick else ''}`; {frames}-frame 640x480 sequence; "
              f"run took {elapsed:.0f} s.")
    report = f"{header}\n\n{table(r)}\n\n{notes(r)}\n"
    print()
    print(report)
    (args.out / "report.md").write_text(report)
    plot(r, args.out / "report.png")
    print(f"wrote {args.out / 'report.md'} and {args.out / 'report.png'}")


if __name__ == "__main__":
    main()
