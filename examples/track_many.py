"""Track many streams at once on Dask distributed: one stream (a video, or a synthetic sequence)
per task.

glent's unit of work is one stream: a tracker follows one camera frame by frame, and its worker
pool spreads each frame's points over the CPUs of its process. Many recordings (a dataset for
structure from motion, a fleet of cameras) are then tracked by running many streams side by side,
one per Dask task, on a local cluster of worker processes (--workers N, default 2) or on an
existing cluster (--scheduler ADDRESS). Each worker process sizes glent's pool to its share of the
CPUs of its machine before its first tracking call, so that the workers of one machine do not
oversubscribe it.

Every stream's tracks go to one compressed file in the output folder, STREAM.npz, with the arrays
frame (uint32), id (uint64), x and y (float32): one row per live track and frame. With no videos
given, a few synthetic sequences like the demo's are rendered inside the workers. At the end the
throughput is printed in streams per minute; with several counts (--workers 1 2) the set is
tracked once per count, for comparison.

Needs the examples extra:  pip install ".[examples]"
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

Gray = npt.NDArray[np.uint8]


def synthetic_frames(name: str, frames: int, width: int, height: int) -> Iterator[Gray]:
    """Frames of "synthetic:PHOTO:SEED", rendered like the demo's sequence."""
    from glent_sequences import render_sequence

    _, photo, seed = name.split(":")
    yield from render_sequence(frames, photo, width=width, height=height, seed=int(seed)).frames


def video_frames(path: str, frames: int | None) -> Iterator[Gray]:
    """The frames of a video file, converted to gray (OpenCV decodes them)."""
    import cv2

    cv2.setNumThreads(1)  # the CPUs are glent's; decoding threads would compete with its pool
    capture = cv2.VideoCapture(path)
    if not capture.isOpened():
        raise OSError(f"cannot open video {path}")
    try:
        count = 0
        while frames is None or count < frames:
            ok, image = capture.read()
            if not ok:
                break
            yield np.ascontiguousarray(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
            count += 1
    finally:
        capture.release()


def stream_name(source: str) -> str:
    return source.replace(":", "_") if source.startswith("synthetic:") else Path(source).stem


def track_stream(source: str, out: str, frames: int | None, size: tuple[int, int], levels: int,
                 grid_size: int) -> dict[str, Any]:
    """One task: tracks one stream with glent.Glent and writes its tracks to OUT/STREAM.npz."""
    import glent

    start = time.perf_counter()
    if source.startswith("synthetic:"):
        images = synthetic_frames(source, frames or 60, *size)
    else:
        images = video_frames(source, frames)
    tracker = glent.Glent(levels=levels, grid_size=grid_size)
    frame_index: list[npt.NDArray[np.uint32]] = []
    ids: list[npt.NDArray[np.uint64]] = []
    xy: list[npt.NDArray[np.float32]] = []
    count = 0
    for k, image in enumerate(images):
        tracker.process_frame(image)
        points = tracker.get_track_points()
        frame_index.append(np.full(len(points), k, np.uint32))
        ids.append(np.fromiter(points.keys(), np.uint64, len(points)))
        xy.append(np.array(list(points.values()), np.float32).reshape(-1, 2))
        count = k + 1
    positions = np.concatenate(xy) if xy else np.zeros((0, 2), np.float32)
    path = Path(out) / f"{stream_name(source)}.npz"
    np.savez_compressed(path, frame=np.concatenate(frame_index or [np.zeros(0, np.uint32)]),
                        id=np.concatenate(ids or [np.zeros(0, np.uint64)]),
                        x=positions[:, 0], y=positions[:, 1])
    return {"stream": stream_name(source), "frames": count, "path": str(path),
            "tracks": int(np.unique(np.concatenate(ids)).size) if ids else 0,
            "seconds": time.perf_counter() - start,
            "pool_threads": os.environ.get("GLENT_NUM_THREADS", "default")}


def share_cpus(workers_per_host: dict[str, int], dask_worker: Any = None) -> str:
    """Runs once in every worker process: its share of its machine's CPUs becomes the size of
    glent's pool there. The pool is created at the first tracking call, so this precedes it."""
    from urllib.parse import urlparse

    host = urlparse(dask_worker.address).hostname if dask_worker is not None else None
    sharing = max(1, workers_per_host.get(host or "", 1))
    threads_per_process = getattr(getattr(dask_worker, "state", None), "nthreads", 1) or 1
    share = max(1, len(os.sched_getaffinity(0)) // (sharing * threads_per_process))
    os.environ["GLENT_NUM_THREADS"] = str(share)
    return os.environ["GLENT_NUM_THREADS"]


def progress(total: int, label: str) -> Any:
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=label, unit="stream")


def run(client: Any, sources: list[str], args: argparse.Namespace) -> tuple[float, list[dict[str, Any]]]:
    """Tracks every source on the client's cluster; returns the seconds taken and the results."""
    from distributed import as_completed
    from urllib.parse import urlparse

    workers = client.scheduler_info()["workers"]
    per_host: dict[str, int] = {}
    for address in workers:
        host = urlparse(address).hostname or ""
        per_host[host] = per_host.get(host, 0) + 1
    client.run(share_cpus, per_host)
    start = time.perf_counter()
    futures = [client.submit(track_stream, s, str(args.out), args.frames, (args.width, args.height),
                             args.levels, args.grid_size, key=f"track-{i}-{stream_name(s)}", pure=False)
               for i, s in enumerate(sources)]
    bar = progress(len(futures), f"{len(workers)} worker(s)")
    results = []
    for future in as_completed(futures):
        results.append(future.result())
        if bar is not None:
            bar.update(1)
        else:
            print(f"{len(results)}/{len(futures)} streams done", flush=True)
    if bar is not None:
        bar.close()
    return time.perf_counter() - start, results


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\nNeeds the")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("videos", nargs="*", help="video files, one stream each (default: synthetic)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, nargs="+", default=[2], metavar="N",
                       help="worker processes of a local cluster; several counts run the set once "
                       "per count (default 2)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="use the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    parser.add_argument("--streams", type=int, default=6,
                        help="synthetic sequences when no video is given (default %(default)s)")
    parser.add_argument("--frames", type=int, default=None,
                        help="frames per stream (default: 60 synthetic, or whole videos)")
    parser.add_argument("--width", type=int, default=640, help="synthetic frame width (default 640)")
    parser.add_argument("--height", type=int, default=480, help="synthetic frame height (default 480)")
    parser.add_argument("--levels", type=int, default=4, help="pyramid levels (default 4)")
    parser.add_argument("--grid-size", type=int, default=20, help="detection cell side (default 20)")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out" / "many",
                        help="output folder (default examples/out/many)")
    args = parser.parse_args(argv)
    if args.streams < 1 or (args.frames is not None and args.frames < 1) or min(args.workers) < 1:
        parser.error("--streams, --frames and --workers must be >= 1")
    if args.width < 32 or args.height < 32:
        parser.error("--width and --height must be >= 32")
    return args


def main(argv: list[str] | None = None) -> list[dict[str, Any]]:
    args = parse_args(argv)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        sys.exit('track_many.py needs Dask distributed: pip install "dask[distributed]"')
    from glent_sequences import PHOTOS

    args.out.mkdir(parents=True, exist_ok=True)
    sources = list(args.videos) or [f"synthetic:{PHOTOS[i % len(PHOTOS)]}:{i}"
                                    for i in range(args.streams)]
    results: list[dict[str, Any]] = []
    if args.scheduler:
        with Client(args.scheduler) as client:
            seconds, results = run(client, sources, args)
        print(f"{len(sources)} streams in {seconds:.1f} s: {60 * len(sources) / seconds:.1f} "
              f"streams per minute on {args.scheduler}")
        return results
    figures = []
    for n in args.workers:
        # Loopback only; one task at a time per process (glent parallelises inside the stream).
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1",
                          dashboard_address=None) as cluster, Client(cluster) as client:
            seconds, results = run(client, sources, args)
        figures.append((n, seconds))
    pools = sorted({r["pool_threads"] for r in results})
    print(f"wrote {len(results)} track files to {args.out}")
    for n, seconds in figures:
        print(f"{n} worker(s): {len(sources)} streams in {seconds:.1f} s = "
              f"{60 * len(sources) / seconds:.1f} streams per minute")
    print(f"(glent pool threads per worker in the last run: {', '.join(pools)}; machine shared "
          "with other work, so figures are noisy)")
    return results


if __name__ == "__main__":
    main()
