"""glent demo: track features through a moving-camera sequence and draw what it found.

With no arguments it films a photo that scikit-image ships with a virtual camera that pans and
rolls over it (so the true motion is known exactly), tracks the frames with glent.Glent, prints a
summary and writes into the output folder:

  tracks.png   the last frame: a dot on every feature glent follows, coloured by how many
               frames it has been followed, and for the oldest track in each 40x40-pixel
               block the path it took over the last frames; a caption explains the marks
  tracks.gif   the run as an animation, with the same marks and the frame number, the live
               tracks and glent's speed on every frame

--video FILE tracks your own video instead (converted to gray with OpenCV); --stereo runs
glent.StereoGlent on the Middlebury stereo pair that scikit-image ships and draws the matches in
the left and the right image, coloured by their error against that pair's ground-truth
disparity (stereo.png).

Needs the examples extra:  pip install ".[examples]"
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections import deque
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

import glent
from glent_sequences import PHOTOS, CameraSequence, render_sequence, stereo_pair

Gray = npt.NDArray[np.uint8]
RGB = npt.NDArray[np.uint8]  # (H, W, 3)
Points = dict[int, tuple[float, float]]
Trails = dict[int, deque[tuple[float, float]]]
Colour = tuple[int, int, int]  # RGB

SHIFT = 4  # sub-pixel bits for cv2 drawing
ONE = 1 << SHIFT

# Track age (frames followed so far) as a colour: red for a track found in this frame, through
# yellow and green to cyan for tracks followed AGE_FULL frames or more.
AGE_FULL = 60


def _age_table() -> list[Colour]:
    hues = np.rint(np.linspace(0.0, 90.0, AGE_FULL)).astype(np.uint8)  # OpenCV hue: 0..180
    hsv = np.stack([hues, np.full(AGE_FULL, 255, np.uint8), np.full(AGE_FULL, 255, np.uint8)], 1)
    rgb = cv2.cvtColor(hsv[None], cv2.COLOR_HSV2RGB)[0]
    return [(int(r), int(g), int(b)) for r, g, b in rgb]


AGE_COLOURS = _age_table()

CELL = 40  # side of the blocks of the frame in which the oldest track is drawn with its path


def age_colour(age: int) -> Colour:
    return AGE_COLOURS[min(max(age, 1), AGE_FULL) - 1]


def fixed(points: Any) -> npt.NDArray[np.int32]:
    return np.asarray(np.rint(np.asarray(points, np.float64) * ONE), dtype=np.int32)


# The pictures show the frames with less contrast, grays 40 to 218, so that coloured marks
# stand out on dark and bright parts alike.
MUTED_GAIN, MUTED_OFFSET = 0.7, 40.0


def muted(frame: Gray, scale: float = 1.0) -> RGB:
    """The frame, resized by `scale`, as a colour image of lower contrast."""
    small: Any = frame
    if scale != 1.0:
        small = cv2.resize(frame, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    soft = cv2.convertScaleAbs(small, alpha=MUTED_GAIN, beta=MUTED_OFFSET)
    return np.ascontiguousarray(cv2.cvtColor(soft, cv2.COLOR_GRAY2RGB))


def draw_tracks(frame: Gray, trails: Trails, ages: dict[int, int], scale: float,
                length: int, cell: float) -> RGB:
    """Every live track as a dot coloured by its age; the oldest track of every `cell`-pixel
    square also as a line through its last `length` positions (all of them would cover the
    picture where features are dense)."""
    canvas = muted(frame, scale)
    oldest: dict[tuple[int, int], int] = {}
    for track_id, trail in trails.items():
        x, y = trail[-1]
        key = (int(x // cell), int(y // cell))
        if key not in oldest or ages[track_id] > ages[oldest[key]]:
            oldest[key] = track_id
    for track_id in oldest.values():
        recent = list(trails[track_id])[-length:]
        if len(recent) > 1:
            pts = fixed(np.array(recent) * scale).reshape(-1, 1, 2)
            cv2.polylines(canvas, [pts], False, age_colour(ages[track_id]), 1, cv2.LINE_AA, SHIFT)
    radius = max(2, round(2 * ONE * scale))
    for track_id, trail in trails.items():
        x, y = fixed(np.array(trail[-1]) * scale)
        cv2.circle(canvas, (int(x), int(y)), radius, age_colour(ages[track_id]), -1, cv2.LINE_AA,
                   SHIFT)
    return canvas


# ------------------------------------------------------------------------------------------
# Captions: rows of text, coloured dots, line samples and colour ramps under a picture.

# ("text", str) | ("dot", Colour) | ("line", Colour) | ("cross", Colour) | ("ramp", [Colour])
Item = tuple[str, Any]


def font(size: int) -> Any:
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)  # a scalable font (Pillow >= 10.1)
    except (TypeError, OSError, ImportError):
        return ImageFont.load_default()


def with_caption(canvas: RGB, rows: Sequence[Sequence[Item]], size: int = 14,
                 above: bool = False) -> RGB:
    """The picture with a dark strip below it (or above it) holding the rows."""
    from PIL import Image, ImageDraw

    face = font(size)
    line_h = round(size * 1.5)
    pad = size // 2
    width = canvas.shape[1]
    strip = Image.new("RGB", (width, 2 * pad + line_h * len(rows)), (28, 28, 28))
    draw = ImageDraw.Draw(strip)
    for r, row in enumerate(rows):
        x = float(pad)
        top = pad + r * line_h
        mid = top + line_h // 2
        for kind, value in row:
            if kind == "text":
                draw.text((x, top + (line_h - size) // 2 - 1), value, font=face,
                          fill=(235, 235, 235))
                x += draw.textlength(value, font=face)
            elif kind == "dot":
                d = size // 3
                draw.ellipse([x + 2, mid - d, x + 2 + 2 * d, mid + d], fill=value)
                x += 2 * d + 6
            elif kind == "line":
                draw.line([(x + 2, mid + size // 4), (x + size, mid), (x + 2 * size - 2,
                           mid - size // 4)], fill=value, width=2)
                x += 2 * size + 4
            elif kind == "cross":
                d = size // 3
                draw.line([(x + 2, mid), (x + 2 + 2 * d, mid)], fill=value, width=1)
                draw.line([(x + 2 + d, mid - d), (x + 2 + d, mid + d)], fill=value, width=1)
                x += 2 * d + 6
            elif kind == "ramp":
                step = max(1, (6 * size) // len(value))
                for k, c in enumerate(value):
                    draw.rectangle([x + k * step, mid - size // 3, x + (k + 1) * step,
                                    mid + size // 3], fill=c)
                x += step * len(value) + 6
    return np.vstack([np.asarray(strip), canvas] if above else [canvas, np.asarray(strip)])


def age_legend(length: int) -> list[list[Item]]:
    sample = AGE_COLOURS[AGE_FULL // 2]
    return [
        [("dot", sample), ("text", "a feature glent follows; colour: frames followed so far  1 "),
         ("ramp", AGE_COLOURS[::3]), ("text", f" {AGE_FULL}+")],
        [("line", sample), ("text", f"its path over the last {length} frames (the oldest track "
                                    f"of each {CELL}-px block)")],
    ]


# ------------------------------------------------------------------------------------------
# Animations

GIF_FPS = 8.0

def gif_palette() -> Any:
    """A fixed palette: 16 grays over the range of the muted frames, 48 saturated hues and the
    caption's colours. One palette for every frame and no dithering keep the file small: the
    image noise does not turn into flickering dither patterns."""
    from PIL import Image

    grays = np.rint(np.linspace(MUTED_OFFSET, MUTED_OFFSET + 255 * MUTED_GAIN, 16)).astype(int)
    colours = [(int(g), int(g), int(g)) for g in grays] + [(0, 0, 0), (255, 255, 255)]
    hsv = np.stack([np.arange(0, 180, 180 // 48)[:48], np.full(48, 255), np.full(48, 255)],
                   1).astype(np.uint8)
    hues = cv2.cvtColor(hsv[None], cv2.COLOR_HSV2RGB)[0]
    colours += [(int(r), int(g), int(b)) for r, g, b in hues]
    colours += [(28, 28, 28), (235, 235, 235)]
    flat = [v for c in colours for v in c]
    palette = Image.new("P", (1, 1))
    palette.putpalette(flat + [0] * (768 - len(flat)))
    return palette


def write_gif(path: Path, frames: Sequence[RGB], fps: float) -> None:
    from PIL import Image

    palette = gif_palette()
    images = [Image.fromarray(f).quantize(palette=palette, dither=Image.Dither.NONE)
              for f in frames]
    images[0].save(path, save_all=True, append_images=images[1:], loop=0,
                   duration=round(1000.0 / fps), optimize=False)


def save_png(path: Path, picture: RGB) -> None:
    from PIL import Image

    Image.fromarray(picture).save(path, optimize=True)


def shown(path: Path) -> str:
    """The path relative to the working directory when it is below it."""
    try:
        return str(path.resolve().relative_to(Path.cwd().resolve()))
    except ValueError:
        return str(path)


# ------------------------------------------------------------------------------------------
# Tracking

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
) -> tuple[list[Points], list[float], Gray | None, Trails, dict[int, int], list[RGB]]:
    """Run Glent over the frames; returns the per-frame tracks, timings and drawing material."""
    from tqdm import tqdm

    tracker = glent.Glent(levels=args.levels, grid_size=args.grid_size)
    history: list[Points] = []
    times: list[float] = []
    trails: Trails = {}
    born: dict[int, int] = {}
    gif: list[RGB] = []
    last: Gray | None = None
    bar = tqdm(frames, total=total, unit="frame", desc="tracking", dynamic_ncols=True)
    for k, frame in enumerate(bar):
        t0 = time.perf_counter()
        tracker.process_frame(frame)
        points = tracker.get_track_points()
        times.append(time.perf_counter() - t0)
        history.append(points)
        for gone in trails.keys() - points.keys():
            del trails[gone]
        for track_id, xy in points.items():
            trails.setdefault(track_id, deque(maxlen=args.trail)).append(xy)
            born.setdefault(track_id, k)
        fps = 1.0 / float(np.median(times[1:][-15:] or times))  # the first frame only detects
        bar.set_postfix_str(f"{len(points)} live tracks, glent alone {fps:.0f} frames/s",
                            refresh=False)
        if gif_every and k % gif_every == 0:
            ages = {t: k - born[t] + 1 for t in trails}
            # Shorter trails than in the still picture keep the moving picture readable.
            canvas = draw_tracks(frame, trails, ages, args.gif_scale, args.gif_trail, CELL)
            title = (f"frame {k + 1}{f' of {total}' if total else ''}   {len(points)} live tracks"
                     f"   glent: {fps:.0f} frames/s")
            rows = [[("text", title)]] + age_legend(args.gif_trail)
            gif.append(with_caption(canvas, rows, size=12))
        last = frame
    bar.close()
    ages = {t: len(history) - born[t] for t in trails}
    return history, times, last, trails, ages, gif


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


def tracking_speed(times: list[float]) -> float:
    """Frames per second from the median time per frame (the first frame, which also starts
    glent's worker pool, left out)."""
    steady = np.array(times[1:] or times)
    return 1.0 / float(np.median(steady))


def summary(history: list[Points], times: list[float]) -> list[str]:
    live = [len(p) for p in history]
    lengths = track_lengths(history)
    fps = tracking_speed(times)
    return [
        f"frames              {len(history)}",
        f"tracking speed      {fps:.0f} frames/s"
        f" (median {1e3 / fps:.2f} ms per frame, reading the tracks included)",
        f"live tracks         {live[-1]} at the end, {np.mean(live[1:] or live):.0f} on average",
        f"tracks started      {len(lengths)}, mean length {np.mean(lengths):.1f} frames",
    ]


def run_mono(args: argparse.Namespace) -> list[Path]:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    seq: CameraSequence | None = None
    if args.video:
        path = Path(args.video)
        frames = frames_from_video(path, args.frames)
        total = args.frames or video_length(path)
        stem = f"{path.stem}_tracks"
        print(f"tracking {path} (converted to gray)", flush=True)
    else:
        n = args.frames or 120
        print(f"rendering {n} frames of 640x480: a virtual camera pans and rolls over the "
              f"'{args.photo}' photo, so the true motion is known ...", flush=True)
        t0 = time.perf_counter()
        seq = render_sequence(n, args.photo, seed=args.seed)
        print(f"rendered in {time.perf_counter() - t0:.1f} s", flush=True)
        frames, total, stem = iter(seq.frames), n, "tracks"
    gif_every = 0 if args.no_gif else max(1, args.gif_every)
    history, times, last, trails, ages, gif = track(frames, total, args, gif_every)
    if last is None:
        sys.exit("no frames")
    for line in summary(history, times):
        print(line)
    if seq is not None:
        err = step_errors(seq, history)
        print(f"error vs known motion  median {np.median(err):.3f} px, 90% below "
              f"{np.percentile(err, 90):.3f} px, {100 * np.mean(err > 1.0):.2f}% above 1 px "
              f"({len(err)} track steps)")
    title = (f"glent: frame {len(history)} of {len(history)}   {len(trails)} live tracks   "
             f"tracking {tracking_speed(times):.0f} frames/s")
    picture = with_caption(draw_tracks(last, trails, ages, 1.0, args.trail, CELL),
                           [[("text", title)]] + age_legend(args.trail))
    written = [out / f"{stem}.png"]
    save_png(written[0], picture)
    if gif:
        written.append(out / f"{stem}.gif")
        write_gif(written[-1], gif, fps=GIF_FPS)
    return written


def stereo_levels(disparity: npt.NDArray[np.float32], shape: tuple[int, ...]) -> tuple[int, float]:
    """Pyramid levels that follow the pair's largest disparity: each level doubles the motion a
    track follows (about 2 px with one level), as long as the coarsest level stays at least 8
    pixels on its short side. Returns the levels and that disparity."""
    known = disparity[np.isfinite(disparity)]
    largest = float(known.max()) if known.size else 16.0
    wanted = max(4, math.ceil(math.log2(max(largest, 2.0))))
    fits = int(math.floor(math.log2(min(shape[:2]) / 8.0))) + 1
    return max(1, min(wanted, fits)), largest


def run_stereo(args: argparse.Namespace) -> list[Path]:
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    pair = stereo_pair()
    if args.levels is None:
        levels, largest = stereo_levels(pair.disparity, pair.left.shape)
        print(f"levels {levels}: the disparities of this pair reach {largest:.0f} px, and each "
              f"pyramid level doubles the reach (--levels to choose)")
    else:
        levels = args.levels
    tracker = glent.StereoGlent(levels=levels, grid_size=args.grid_size)
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
    good, fair, bad, unknown = (60, 200, 60), (255, 200, 0), (255, 50, 50), (170, 170, 170)
    top, bottom = muted(pair.left), muted(pair.right)
    for (xl, yl), (xr, yr), e in zip(pl, pr, err):
        c = unknown if not np.isfinite(e) else good if e < 0.5 else fair if e < 1.0 else bad
        a, b = fixed((xl, yl)), fixed((xr, yr))
        cv2.line(top, (int(a[0]), int(a[1])), (int(b[0]), int(b[1])), c, 1, cv2.LINE_AA, SHIFT)
        cv2.circle(top, (int(a[0]), int(a[1])), 2 * ONE, c, -1, cv2.LINE_AA, SHIFT)
        cv2.circle(bottom, (int(b[0]), int(b[1])), 2 * ONE, c, -1, cv2.LINE_AA, SHIFT)
    top = with_caption(top, [[("text", f"LEFT camera: {len(ids)} features found in both images "
                                       f"(levels {levels})")],
                             [("dot", good), ("text", "a feature in the left image   "),
                              ("line", good), ("text", "to where it is in the right image "
                                                       "(its disparity)")]], above=True)
    bottom = with_caption(bottom, [
        [("text", "RIGHT camera:   "), ("dot", good),
         ("text", "where glent found the same feature in the right image")]], above=True)
    bottom = with_caption(bottom, [
        [("text", "colour: error against the true disparity   "), ("dot", good),
         ("text", "< 0.5 px   "), ("dot", fair), ("text", "< 1 px   "), ("dot", bad),
         ("text", ">= 1 px   "), ("dot", unknown), ("text", "unknown (occluded)")]])
    path = out / "stereo.png"
    save_png(path, np.vstack([top, bottom]))
    return [path]


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=(__doc__ or "").split("\nNeeds the")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--video", metavar="FILE", help="track this video file instead")
    source.add_argument("--stereo", action="store_true",
                        help="run StereoGlent on the bundled Middlebury stereo pair")
    parser.add_argument("--levels", type=int, default=None,
                        help="pyramid levels: more follow faster motion, cost a little more "
                        "(default 4; with --stereo, enough for the pair's largest disparity)")
    parser.add_argument("--grid-size", type=int, default=20,
                        help="detection cell side in pixels: smaller gives more tracks "
                        "(default %(default)s)")
    parser.add_argument("--frames", type=int, default=None,
                        help="number of frames (default: 120 synthetic, or the whole video)")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "out",
                        help="output folder (default examples/out)")
    parser.add_argument("--photo", choices=PHOTOS, default="astronaut",
                        help="photo the synthetic sequence is rendered from (default %(default)s)")
    parser.add_argument("--seed", type=int, default=0,
                        help="seed of the synthetic sequence (default 0)")
    parser.add_argument("--trail", type=int, default=12,
                        help="frames of path drawn in tracks.png (default %(default)s)")
    parser.add_argument("--gif-trail", type=int, default=6,
                        help="frames of path drawn in the animation (default %(default)s)")
    parser.add_argument("--gif-every", type=int, default=3,
                        help="put every n-th frame in the GIF (default %(default)s)")
    parser.add_argument("--gif-scale", type=float, default=0.7,
                        help="GIF size relative to the frames (default %(default)s)")
    parser.add_argument("--no-gif", action="store_true", help="skip the animation")
    args = parser.parse_args(argv)
    if args.levels is not None and args.levels < 0:
        parser.error("--levels must be >= 0")
    if args.grid_size < 1 or (args.frames is not None and args.frames < 1):
        parser.error("--grid-size and --frames must be >= 1")
    if args.trail < 1 or args.gif_trail < 1:
        parser.error("--trail and --gif-trail must be >= 1")
    if not args.stereo and args.levels is None:
        args.levels = 4
    return args


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    # OpenCV only draws and decodes here; its idle worker threads would otherwise keep spinning
    # on the cores that glent's worker pool is tracking on.
    cv2.setNumThreads(1)
    written = run_stereo(args) if args.stereo else run_mono(args)
    print("wrote " + ", ".join(f"{shown(p)} ({os.path.getsize(p) / 1e6:.1f} MB)" for p in written))


if __name__ == "__main__":
    main()
