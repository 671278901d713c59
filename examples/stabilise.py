"""Stabilise a shaking camera with glent's tracks.

Between two frames, the tracks they share give the camera's motion: a similarity transform
(shift, rotation and scale) fitted to them with RANSAC (OpenCV's estimateAffinePartial2D), so
that the odd false track or a track on something that moves by itself does not pull it. Chaining
these transforms gives the camera's path; each frame is then warped to undo it, back to the view
of the first frame (the default: the picture holds still), or with --smooth N to the path
averaged over 2N+1 frames (a deliberate pan stays, the shake goes).

With no arguments it stabilises the demo's synthetic sequence, whose true camera motion is known,
and prints how much motion the camera had and how much is left after stabilising, in pixels per
frame (median and 90th percentile over the frames, each frame's figure the mean over a grid of
points across it). With --video FILE it stabilises your video, and the motion before and after
is measured on the tracks themselves. Writes into the output folder:

  stabilised.gif   the input (left) and the stabilised output (right) side by side
  stabilised.png   the motion per frame before and after stabilising, as a plot

Needs the examples extra:  pip install ".[examples]"
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

import glent
from demo import RGB, Gray, frames_from_video, muted, save_png, shown, with_caption, write_gif
from glent_sequences import PHOTOS, CameraSequence, render_sequence

Matrix = npt.NDArray[np.float64]  # 3x3, acting on (x, y, 1) columns
Floats = npt.NDArray[np.float64]


def fit_steps(frames: list[Gray], levels: int, grid_size: int
              ) -> tuple[list[Matrix], list[dict[int, tuple[float, float]]], int]:
    """Tracks the frames; for every frame k > 0 the similarity transform that carries frame k's
    pixels to frame k-1 (the identity when too few tracks are shared). Returns those transforms,
    the tracks of every frame and the number of frames without a fit."""
    from tqdm import tqdm

    tracker = glent.Glent(levels=levels, grid_size=grid_size)
    steps: list[Matrix] = [np.eye(3)]
    history: list[dict[int, tuple[float, float]]] = []
    unfitted = 0
    for k, frame in enumerate(tqdm(frames, unit="frame", desc="tracking", dynamic_ncols=True)):
        tracker.process_frame(frame)
        points = tracker.get_track_points()
        history.append(points)
        if k == 0:
            continue
        shared = [t for t in points if t in history[k - 1]]
        step = None
        if len(shared) >= 3:
            now = np.array([points[t] for t in shared], np.float32)
            before = np.array([history[k - 1][t] for t in shared], np.float32)
            step, _ = cv2.estimateAffinePartial2D(now, before, method=cv2.RANSAC,
                                                  ransacReprojThreshold=1.0)
        if step is None:
            unfitted += 1
            steps.append(np.eye(3))
        else:
            steps.append(np.vstack([step, [0.0, 0.0, 1.0]]))
    return steps, history, unfitted


def similarity(tx: float, ty: float, angle: float, log_scale: float) -> Matrix:
    c, s = np.exp(log_scale) * np.cos(angle), np.exp(log_scale) * np.sin(angle)
    return np.array([[c, -s, tx], [s, c, ty], [0.0, 0.0, 1.0]])


def corrections(steps: list[Matrix], smooth: int) -> list[Matrix]:
    """For every frame the transform from its pixels to the stabilised output's.

    The camera path maps frame k to frame 0: the product of the steps up to k. Without
    smoothing the output is frame 0's view; with it, the output follows the path averaged
    (as shift, angle and log scale) over 2 * smooth + 1 frames."""
    path = [steps[0]]
    for step in steps[1:]:
        path.append(path[-1] @ step)
    if smooth <= 0:
        return path
    params = np.array([[m[0, 2], m[1, 2], np.arctan2(m[1, 0], m[0, 0]),
                        np.log(np.hypot(m[0, 0], m[1, 0]))] for m in path])
    padded = np.pad(params, ((smooth, smooth), (0, 0)), mode="edge")
    kernel = np.ones(2 * smooth + 1) / (2 * smooth + 1)
    averaged = np.stack([np.convolve(padded[:, i], kernel, mode="valid") for i in range(4)], 1)
    return [np.linalg.inv(similarity(*q)) @ m for q, m in zip(averaged, path)]


def apply(m: npt.NDArray[Any], points: npt.NDArray[Any]) -> Floats:
    return np.asarray(points @ m[:2, :2].T + m[:2, 2])


def grid_points(width: int, height: int) -> Floats:
    ys, xs = np.mgrid[height * 0.1:height * 0.9:9j, width * 0.1:width * 0.9:12j]
    return np.stack([xs.ravel(), ys.ravel()], 1)


def motion_against_truth(seq: CameraSequence, warps: list[Matrix]) -> tuple[Floats, Floats]:
    """Per frame step, the mean distance a scene point moves, over a grid of points across the
    frame: in the input (the known camera motion) and in the stabilised output."""
    grid = grid_points(seq.width, seq.height)
    before, after = [], []
    for k in range(len(warps) - 1):
        before.append(np.mean(np.linalg.norm(seq.ground_truth(k, k + 1, grid) - grid, axis=1)))
        # The output pixel `grid` of frame k shows the input point u; the camera carries u to
        # u' in frame k + 1, which the output of frame k + 1 shows at warps[k + 1] u'.
        u = apply(np.linalg.inv(warps[k]), grid)
        moved = apply(warps[k + 1], seq.ground_truth(k, k + 1, u))
        after.append(np.mean(np.linalg.norm(moved - grid, axis=1)))
    return np.array(before), np.array(after)


def drift_against_truth(seq: CameraSequence, warps: list[Matrix]) -> float:
    """How far, on average over the grid, the last stabilised frame shows the scene from where
    the first one showed it."""
    grid = grid_points(seq.width, seq.height)
    last = len(warps) - 1
    moved = apply(warps[last], seq.ground_truth(0, last, apply(np.linalg.inv(warps[0]), grid)))
    return float(np.mean(np.linalg.norm(moved - grid, axis=1)))


def motion_on_tracks(history: list[dict[int, tuple[float, float]]], warps: list[Matrix]
                     ) -> tuple[Floats, Floats]:
    """Per frame step, the median distance the shared tracks move, in the input and in the
    stabilised output (for a video, whose true motion is unknown); NaN where none is shared."""
    before, after = [], []
    for k in range(len(history) - 1):
        shared = [t for t in history[k + 1] if t in history[k]]
        if not shared:
            before.append(np.nan)
            after.append(np.nan)
            continue
        a = np.array([history[k][t] for t in shared], np.float64)
        b = np.array([history[k + 1][t] for t in shared], np.float64)
        before.append(np.median(np.linalg.norm(b - a, axis=1)))
        after.append(np.median(np.linalg.norm(apply(warps[k + 1], b) - apply(warps[k], a),
                                              axis=1)))
    return np.array(before), np.array(after)


MARK = (255, 210, 0)  # the fixed marks drawn at the same place on every frame


def side_by_side(frame: Gray, warp: Matrix, scale: float, k: int, total: int,
                 left: float, right: float) -> RGB:
    """Input and stabilised frame next to each other, with fixed marks to judge motion by."""
    h, w = frame.shape
    out = cv2.warpAffine(frame, warp[:2], (w, h), flags=cv2.INTER_LINEAR,
                         borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    size = (round(w * scale), round(h * scale))
    panels = []
    for image, label, moved in ((frame, "input", left), (out, "stabilised", right)):
        panel = muted(np.asarray(cv2.resize(image, size, interpolation=cv2.INTER_AREA), np.uint8))
        for fx in (0.25, 0.5, 0.75):
            for fy in (0.25, 0.5, 0.75):
                cv2.drawMarker(panel, (round(size[0] * fx), round(size[1] * fy)), MARK,
                               cv2.MARKER_CROSS, 10, 1)
        text = label if np.isnan(moved) else f"{label}: moving {moved:.2f} px/frame"
        panels.append(with_caption(panel, [[("text", text)]], size=12))
    picture = np.hstack([panels[0], np.zeros((panels[0].shape[0], 4, 3), np.uint8), panels[1]])
    return with_caption(picture, [[("text", f"frame {k + 1} of {total}   "), ("cross", MARK),
                                   ("text", "fixed marks   black: outside the input frame")]], size=12)


def plot(path: Path, before: Floats, after: Floats, known: bool) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6.4, 3.0), dpi=100)
    frames = np.arange(1, len(before) + 1)
    what = "known camera motion" if known else "measured on the tracks"
    ax.plot(frames, before, color="tab:red",
            label=f"input ({what}): median {np.nanmedian(before):.2f} px")
    ax.plot(frames, after, color="tab:green",
            label=f"stabilised with glent's tracks: median {np.nanmedian(after):.3f} px")
    ax.set_yscale("log")
    ax.set_xlabel("frame")
    ax.set_ylabel("motion (px per frame)")
    ax.set_title("How far the picture moves from one frame to the next", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center right")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\nNeeds the")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--video", metavar="FILE", help="stabilise this video file instead")
    parser.add_argument("--frames", type=int, default=None,
                        help="number of frames (default: 120 synthetic, or the whole video)")
    parser.add_argument("--smooth", type=int, default=0, metavar="N",
                        help="follow the camera path averaged over 2N+1 frames instead of "
                        "holding the first frame's view (default %(default)s)")
    parser.add_argument("--levels", type=int, default=4, help="pyramid levels (default 4)")
    parser.add_argument("--grid-size", type=int, default=20,
                        help="detection cell side (default 20)")
    parser.add_argument("--photo", choices=PHOTOS, default="astronaut",
                        help="photo the synthetic sequence is rendered from (default %(default)s)")
    parser.add_argument("--seed", type=int, default=0,
                        help="seed of the synthetic sequence (default 0)")
    parser.add_argument("--gif-every", type=int, default=3,
                        help="put every n-th frame in the GIF (default %(default)s)")
    parser.add_argument("--gif-scale", type=float, default=0.5,
                        help="size of each GIF panel relative to the frames (default %(default)s)")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out",
                        help="output folder (default examples/out)")
    args = parser.parse_args(argv)
    if (args.frames is not None and args.frames < 2) or args.smooth < 0 or args.gif_every < 1:
        parser.error("--frames must be >= 2, --smooth >= 0 and --gif-every >= 1")
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    cv2.setNumThreads(1)  # OpenCV's threads would compete with glent's pool for the CPUs
    args.out.mkdir(parents=True, exist_ok=True)
    seq: CameraSequence | None = None
    if args.video:
        print(f"reading {args.video} (converted to gray)", flush=True)
        frames = list(frames_from_video(Path(args.video), args.frames))
        if len(frames) < 2:
            sys.exit("the video needs at least two frames")
    else:
        n = args.frames or 120
        print(f"rendering {n} frames of 640x480: a virtual camera pans and rolls over the "
              f"'{args.photo}' photo, so its motion is known ...", flush=True)
        seq = render_sequence(n, args.photo, seed=args.seed)
        frames = seq.frames
    t0 = time.perf_counter()
    steps, history, unfitted = fit_steps(frames, args.levels, args.grid_size)
    warps = corrections(steps, args.smooth)
    print(f"fitted the camera motion of {len(frames) - 1 - unfitted} of {len(frames) - 1} frame "
          f"steps to the tracks (median {np.median([len(p) for p in history]):.0f} tracks per "
          f"frame) in {time.perf_counter() - t0:.1f} s")
    if seq is not None:
        before, after = motion_against_truth(seq, warps)
        how = "known camera motion"
    else:
        before, after = motion_on_tracks(history, warps)
        how = "measured on the tracks"
    goal = ("the first frame's view" if args.smooth == 0
            else f"a path averaged over {2 * args.smooth + 1} frames")
    print(f"motion in the input ({how}): median {np.nanmedian(before):.3f} px/frame, "
          f"90% below {np.nanpercentile(before, 90):.3f} px/frame")
    print(f"motion left after stabilising to {goal}: median {np.nanmedian(after):.3f} px/frame, "
          f"90% below {np.nanpercentile(after, 90):.3f} px/frame")

    if seq is not None and args.smooth == 0:
        print(f"the last stabilised frame shows the scene {drift_against_truth(seq, warps):.2f} px "
              f"from where the first one did (drift over {len(frames)} frames)")
    # The motion from frame k - 1 to frame k, labelled on frame k.
    into = np.concatenate([[np.nan], before]), np.concatenate([[np.nan], after])
    gif = [side_by_side(frames[k], warps[k], args.gif_scale, k, len(frames), float(into[0][k]),
                        float(into[1][k]))
           for k in range(0, len(frames), args.gif_every)]
    written = [args.out / "stabilised.gif", args.out / "stabilised.png"]
    write_gif(written[0], gif, fps=8.0)
    plot(written[1], before, after, known=seq is not None)
    print("wrote " + ", ".join(f"{shown(p)} ({os.path.getsize(p) / 1e6:.2f} MB)" for p in written))


if __name__ == "__main__":
    main()
