"""Memory soak: glent.Glent over thousands of 640x480 frames; resident memory before and after.

    python bench/bench_memory.py [--frames 3000]

The frames cycle back and forth through a rendered moving-camera sequence, so tracks are lost
and seeded all the time.  A tracker holds its last pyramid, its tracks and the patches kept
for them (slots reused from frame to frame), nothing more: after the warm-up its resident memory
must stay flat.
"""

from __future__ import annotations

import os

# numpy's BLAS worker threads spin after each call and would compete for the cores being
# measured; the benchmarks need none of them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import gc
import json
import sys
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import glent  # noqa: E402
from glent_sequences import render_sequence  # noqa: E402


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(frames: int = 3000, cycle: int = 40, warmup: int = 200) -> dict[str, Any]:
    seq = render_sequence(cycle)
    order = list(range(cycle)) + list(range(cycle - 2, 0, -1))  # there and back again
    gc.collect()
    before_tracker = rss_bytes()
    tracker = glent.Glent()
    samples = []
    max_tracks = 0
    for k in range(frames):
        tracker.process_frame(seq.frames[order[k % len(order)]])
        max_tracks = max(max_tracks, len(tracker.get_track_points()))
        if k + 1 == warmup:
            after_warmup = rss_bytes()
        if (k + 1) % 100 == 0:
            samples.append(rss_bytes())
    at_end = rss_bytes()
    del tracker
    gc.collect()
    released = rss_bytes()
    return {
        "frames": frames,
        "before": before_tracker,
        "after_warmup": after_warmup,
        "end": at_end,
        "growth": at_end - after_warmup,
        "peak": max(samples),
        "after_del": released,
        "max_tracks": max_tracks,
    }


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=3000)
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    args = parser.parse_args(argv)
    r = run(args.frames)
    if args.json:
        print(json.dumps(r))
        return
    mib = 1024.0 * 1024.0
    print(f"{r['frames']} frames, up to {r['max_tracks']} live tracks")
    rows = [
        ("resident before the tracker", r["before"], ""),
        ("after 200 frames (warm-up)", r["after_warmup"], ""),
        (f"after {r['frames']} frames", r["end"], f"  (growth {r['growth'] / mib:+.2f} MiB)"),
        ("after dropping the tracker", r["after_del"], ""),
    ]
    for label, value, note in rows:
        print(f"  {label:30s} {value / mib:8.1f} MiB{note}")


if __name__ == "__main__":
    main()
