"""glent demo: track features through a moving-camera sequence and draw what it found.

With no arguments it films a photo that scikit-image ships with a virtual camera that pans and
rolls over it (so the true motion is known exactly), tracks the frames with glent.Glent, prints a
summary and writes into the output folder:

  tracks.png   the last frame with every live track's recent trail, one colour per track id
  tracks.gif   an animation of the run

--video FILE tracks your own video instead (converted to gray with OpenCV); --stereo runs
glent.StereoGlent on the Middlebury stereo pair that scikit-image ships and draws the matches,
coloured by their error against that pair's ground-truth disparity (stereo.png).

Needs the examples extra:  pip install ".[examples]"
"""

from __future__ import annotations

import argparse
import sys
import time
from collections import deque
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

import glent
from glent_sequences import PHOTOS, CameraSequence, render_sequence, stereo_pair

Gray = npt.NDArray[np.uint8]
Points = dict[int, tuple[float, float]]

GOLDEN = 0.618033988749895


def colour(track_id: int) -> tuple[int, int, int]:
    """A bright BGR colour per id; neighbouring ids get very different hues."""
    hue = int(((track_id * GOLDEN) % 1.0) * 180.0)
    hsv = np.array([[[hue, 220, 255]]], dtype=np.uint8)
    b, g, r = cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR)[0, 0]
    return int(b), int(g), int(r)


GIF_TRAIL = 6  # frames of trail drawn in the animation
SHIFT = 4  # sub-pixel bits for cv2 drawing
ONE = 1 << SHIFT


def fixed(points: Any) -> npt.NDArray[np.int32]:
    return np.asarray(np.rint(np.asarray(points, np.float64) * ONE), dtype=np.int32)


def draw_tracks(
    frame: Gray,
    trails: dict[int, deque[tuple[float, float]]],
    scale: float = 1.0,
    length: int | None = None,
) -> Any:
    """The frame in colour with each trail (its last `length` positions) as a line and the
    current position as a dot."""
    canvas = cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR)
    if scale != 1.0:
        canvas = cv2.resize(canvas, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    for track_id, trail in trails.items():
        c = colour(track_id)
        recent = list(trail)[-length:] if length else list(trail)
        pts = fixed(np.array(recent) * scale)
        if len(pts) > 1:
            cv2.polylines(canvas, [pts.reshape(-1, 1, 2)], False, c, 1, cv2.LINE_AA, SHIFT)
        x, y = pts[-1]
        cv2.circle(canvas, (int(x), int(y)), 3 * ONE // 2, c, -1, cv2.LINE_AA, SHIFT)
    return canvas


def frames_from_video(path: Path, limit: int | None) -> Iterator[Gray]:
    capture = cv2.VideoCapture(str(path))
    if not capture.isOpened():
        sys.exit(f"cannot open video {path}")
    count = 0
    try:
        while limit is None or count < limit:
            ok, frame = capture.read()
            if not ok:
                break
            if frame.ndim == 3:
                frame = cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY)
            yield np.ascontiguousarray(frame, dtype=np.uint8)
            count += 1
    finally:
        capture.release()


def video_length(path: Path) -> int | None:
    capture = cv2.VideoCapture(str(path))
    n = int(capture.get(cv2.CAP_PROP_FRAME_COUNT))
    capture.release()
    return n if n > 0 else None


def track(
    frames: Iterator[Gray],
    total: int | None,
    args: argparse.Namespace,
    gif_every: int,
) -> tuple[list[Points], list[float], Gray | None, dict[int, deque[tuple[float, float]]], list[Any]]:
    """Run Glent over the frames; returns the per-frame tracks, timings and drawing material."""
    from tqdm import tqdm

    tracker = glent.Glent(levels=args.levels, grid_size=args.grid_size)
    history: list[Points] = []
    times: list[float] = []
    trails: dict[int, deque[tuple[float, float]]] = {}
    gif: list[Any] = []
    last: Gray | None = None
    for k, frame in enumerate(tqdm(frames, total=total, unit="frame", desc="tracking")):
        t0 = time.perf_counter()
        tracker.process_frame(frame)
        points = tracker.get_track_points()
        times.append(time.perf_counter() - t0)
        history.append(points)
        for gone in trails.keys() - points.keys():
            del trails[gone]
        for track_id, xy in points.items():
            trails.setdefault(track_id, deque(maxlen=args.trail)).append(xy)
        if gif_every and k % gif_every == 0:
            # Shorter trails than in the still picture keep the moving picture readable.
            canvas = draw_tracks(frame, trails, args.gif_scale, GIF_TRAIL)
            gif.append(cv2.cvtColor(canvas, cv2.COLOR_BGR2RGB))
        last = frame
    return history, times, last, trails, gif


def track_lengths(history: list[Points]) -> npt.NDArray[np.float64]:
    first: dict[int, int] = {}
    latest: dict[int, int] = {}
    for k, points in enumerate(history):
        for track_id in points:
            first.setdefault(track_id, k)
            latest[track_id] = k
    return np.array([latest[t] - first[t] + 1 for t in first], dtype=np.float64)


def step_errors(seq: CameraSequence, history: list[Points]) -> npt.NDArray[np.float64]:
    """Distance of each track step from where the known camera motion puts it."""
    errors: list[float] = []
    for k in range(1, len(history)):
        common = [t for t in history[k] if t in history[k - 1]]
        if not common:
            continue
        before = np.array([history[k - 1][t] for t in common])
        after = np.array([history[k][t] for t in common])
        expected = seq.ground_truth(k - 1, k, before)
        errors.extend(np.hypot(*(after - expected).T).tolist())
    return np.array(errors)


def summary(history: list[Points], times: list[float]) -> list[str]:
    steady = np.array(times[1:] or times)
    live = [len(p) for p in history]
    lengths = track_lengths(history)
    return [
        f"frames              {len(history)}",
        f"tracking speed      {1.0 / np.median(steady):.0f} frames/s"
        f" (median {np.median(steady) * 1e3:.2f} ms per frame, reading the tracks included)",
        f"live tracks         {live[-1]} at the end, {np.mean(live[1:] or live):.0f} on average",
        f"tracks started      {len(lengths)}, mean length {np.mean(lengths):.1f} frames",
    ]


def save_outputs(out: Path, stem: str, canvas: Any, gif: list[Any], fps: float) -> None:
    import imageio.v3 as iio

    png = out / f"{stem}.png"
    cv2.imwrite(str(png), canvas)
    print(f"wrote {png}")
    if gif:
        path = out / f"{stem}.gif"
        iio.imwrite(path, np.stack(gif), duration=1000.0 / fps, loop=0)
        print(f"wrote {path}")


def run_mono(args: argparse.Namespace) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    seq: CameraSequence | None = None
    if args.video:
        path = Path(args.video)
        frames = frames_from_video(path, args.frames)
        total = args.frames or video_length(path)
        stem = f"{path.stem}_tracks"
        print(f"tracking {path} (gray)")
    else:
        n = args.frames or 120
        t0 = time.perf_counter()
        seq = render_sequence(n, args.photo, seed=args.seed)
        print(f"rendered {n} frames of 640x480 from the '{args.photo}' photo with known camera "
              f"motion in {time.perf_counter() - t0:.1f} s")
        frames, total, stem = iter(seq.frames), n, "tracks"
    gif_every = 0 if args.no_gif else max(1, args.gif_every)
    history, times, last, trails, gif = track(frames, total, args, gif_every)
    if last is None:
        sys.exit("no frames")
    for line in summary(history, times):
        print(line)
    if seq is not None:
        err = step_errors(seq, history)
        print(f"error vs known motion  median {np.median(err):.3f} px, 90% below "
              f"{np.percentile(err, 90):.3f} px, {100 * np.mean(err > 1.0):.2f}% above 1 px "
              f"({len(err)} track steps)")
    save_outputs(out, stem, draw_tracks(last, trails), gif, fps=12.0)


def run_stereo(args: argparse.Namespace) -> None:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    pair = stereo_pair()
    tracker = glent.StereoGlent(levels=args.levels, grid_size=args.grid_size)
    t0 = time.perf_counter()
    tracker.process_frame(pair.left, pair.right)
    left, right = tracker.get_track_points()
    elapsed = time.perf_counter() - t0
    ids = sorted(left.keys() & right.keys())
    pl = np.array([left[i] for i in ids]).reshape(-1, 2)
    pr = np.array([right[i] for i in ids]).reshape(-1, 2)
    truth = pair.right_position(pl)
    err = np.abs(pr[:, 0] - truth[:, 0])
    known = np.isfinite(err)
    print(f"stereo pair '{pair.name}' {pair.left.shape[1]}x{pair.left.shape[0]}: "
          f"{len(ids)} matched features in {elapsed * 1e3:.1f} ms")
    if known.any():
        e = err[known]
        print(f"disparity error vs ground truth ({known.sum()} with known disparity): "
              f"median {np.median(e):.3f} px, 90% below {np.percentile(e, 90):.3f} px, "
              f"{100 * np.mean(e > 1.0):.1f}% above 1 px")
    # Top: the left image, each match drawn as its disparity vector (left position -> right
    # position). Bottom: the right image with the matched positions.
    h = pair.left.shape[0]
    top = cv2.cvtColor(pair.left, cv2.COLOR_GRAY2BGR)
    bottom = cv2.cvtColor(pair.right, cv2.COLOR_GRAY2BGR)
    for (xl, yl), (xr, yr), e in zip(pl, pr, err):
        if not np.isfinite(e):
            c = (160, 160, 160)  # no ground truth here (occluded)
        elif e < 0.5:
            c = (80, 220, 80)
        elif e < 1.0:
            c = (0, 210, 255)
        else:
            c = (40, 40, 255)
        a, b = fixed((xl, yl)), fixed((xr, yr))
        cv2.line(top, (int(a[0]), int(a[1])), (int(b[0]), int(b[1])), c, 1, cv2.LINE_AA, SHIFT)
        cv2.circle(top, (int(a[0]), int(a[1])), 2 * ONE, c, -1, cv2.LINE_AA, SHIFT)
        cv2.circle(bottom, (int(b[0]), int(b[1])), 2 * ONE, c, -1, cv2.LINE_AA, SHIFT)
    legend = "disparity error: green < 0.5 px, yellow < 1 px, red >= 1 px, grey unknown"
    cv2.rectangle(top, (0, h - 30), (600, h), (0, 0, 0), -1)
    cv2.putText(top, legend, (8, h - 10), cv2.FONT_HERSHEY_SIMPLEX, 0.5, (255, 255, 255), 1,
                cv2.LINE_AA)
    canvas = np.vstack([top, bottom])
    path = out / "stereo.png"
    cv2.imwrite(str(path), canvas)
    print(f"wrote {path}")


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\nNeeds the")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--video", metavar="FILE", help="track this video file instead")
    source.add_argument("--stereo", action="store_true",
                        help="run StereoGlent on the bundled Middlebury stereo pair")
    parser.add_argument("--levels", type=int, default=4,
                        help="pyramid levels: more follow faster motion, cost a little more "
                        "(default %(default)s)")
    parser.add_argument("--grid-size", type=int, default=20,
                        help="detection cell side in pixels: smaller gives more tracks "
                        "(default %(default)s)")
    parser.add_argument("--frames", type=int, default=None,
                        help="number of frames (default: 120 synthetic, or the whole video)")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out",
                        help="output folder (default examples/out)")
    parser.add_argument("--photo", choices=PHOTOS, default="astronaut",
                        help="photo the synthetic sequence is rendered from (default %(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the synthetic sequence (default 0)")
    parser.add_argument("--trail", type=int, default=20, help="trail length in frames (default %(default)s)")
    parser.add_argument("--gif-every", type=int, default=2, help="put every n-th frame in the GIF (default 2)")
    parser.add_argument("--gif-scale", type=float, default=0.75, help="GIF size relative to frames (default 0.75)")
    parser.add_argument("--no-gif", action="store_true", help="skip the animation")
    args = parser.parse_args(argv)
    if args.levels < 0 or args.grid_size < 1 or (args.frames is not None and args.frames < 1):
        parser.error("--levels must be >= 0, --grid-size and --frames >= 1")
    if args.trail < 1:
        parser.error("--trail must be >= 1")
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    # OpenCV only draws and decodes here; its idle worker threads would otherwise keep spinning
    # on the cores that glent's worker pool is tracking on.
    cv2.setNumThreads(1)
    if args.stereo:
        run_stereo(args)
    else:
        run_mono(args)


if __name__ == "__main__":
    main()
