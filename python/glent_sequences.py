"""Test material with exact ground truth, shared by the benchmarks and the examples.

A plain Python module installed beside the glent extension (``import glent_sequences``), so that
the demo, the benchmarks and the worker processes of ``examples/track_many.py`` all find it
wherever glent is installed. It needs the ``examples`` (or ``bench``) extra: SciPy and
scikit-image.

``render_sequence`` films a photo that scikit-image ships with a virtual camera that pans and
rolls over it.  Every frame is rendered by sampling the photo through a cubic spline at the
sub-pixel positions the camera pose dictates, so the motion between any two frames is known
exactly: ``CameraSequence.ground_truth(k, j, points)`` maps level-0 pixel positions of frame k to
where the same scene points appear in frame j.  Sensor noise and a brightness flicker are added
after sampling; they do not move anything.

``stereo_pair`` loads the rectified stereo pair with ground-truth disparity that scikit-image
bundles (no download needed).

Coordinates follow glent's convention: pixel (i, j) of an image sits at the real position
(x=i, y=j), no half-pixel offset.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

try:
    from scipy import ndimage
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "glent_sequences renders frames with SciPy and scikit-image: "
        "pip install 'glent[examples]'"
    ) from error

FloatArray = npt.NDArray[np.float64]
GrayFrame = npt.NDArray[np.uint8]

PHOTOS = ("astronaut", "coffee", "camera", "rocket", "chelsea")


def load_photo(name: str = "astronaut") -> FloatArray:
    """A bundled scikit-image photo as float64 gray values in 0..255."""
    from skimage import color, data

    if name not in PHOTOS:
        raise ValueError(f"unknown photo {name!r}; choose one of {', '.join(PHOTOS)}")
    image = np.asarray(getattr(data, name)())
    if image.ndim == 3:
        image = color.rgb2gray(image[..., :3]) * 255.0
    return np.asarray(image, dtype=np.float64)


@dataclass(frozen=True)
class CameraPose:
    """Maps frame pixel x to photo position c + scale * R(angle) @ (x - frame_centre)."""

    cx: float
    cy: float
    angle: float  # radians
    scale: float  # photo pixels per frame pixel

    def matrix(self, frame_centre: tuple[float, float]) -> FloatArray:
        """2x3 affine map from frame coordinates to photo coordinates."""
        c, s = np.cos(self.angle), np.sin(self.angle)
        lin = self.scale * np.array([[c, -s], [s, c]])
        offset = np.array([self.cx, self.cy]) - lin @ np.asarray(frame_centre)
        return np.hstack([lin, offset[:, None]])


@dataclass
class CameraSequence:
    """Frames of a virtual camera moving over a photo, with their exact relative motion."""

    frames: list[GrayFrame]
    poses: list[CameraPose]
    width: int
    height: int
    photo: str
    _to_photo: list[FloatArray] = field(default_factory=list, repr=False)
    _from_photo: list[FloatArray] = field(default_factory=list, repr=False)

    def __post_init__(self) -> None:
        centre = ((self.width - 1) / 2.0, (self.height - 1) / 2.0)
        for pose in self.poses:
            forward = pose.matrix(centre)
            inverse = np.linalg.inv(np.vstack([forward, [0.0, 0.0, 1.0]]))[:2]
            self._to_photo.append(forward)
            self._from_photo.append(inverse)

    def __len__(self) -> int:
        return len(self.frames)

    def ground_truth(self, k: int, j: int, points: npt.ArrayLike) -> FloatArray:
        """Where the scene points at `points` (N x 2, x and y) of frame k appear in frame j."""
        p = np.asarray(points, dtype=np.float64).reshape(-1, 2)
        a, b = self._to_photo[k], self._from_photo[j]
        on_photo = p @ a[:, :2].T + a[:, 2]
        return np.asarray(on_photo @ b[:, :2].T + b[:, 2])

    def step_motion(self, k: int) -> tuple[float, float]:
        """Largest displacement (px) and rotation (degrees) between frames k and k+1."""
        h, w = self.height, self.width
        corners = np.array([[0, 0], [w - 1, 0], [0, h - 1], [w - 1, h - 1]], dtype=np.float64)
        moved = self.ground_truth(k, k + 1, corners)
        dist = float(np.max(np.hypot(*(moved - corners).T)))
        turn = np.degrees(self.poses[k + 1].angle - self.poses[k].angle)
        return dist, float(abs(turn))


def camera_path(n_frames: int, seed: int = 0) -> list[tuple[float, float, float]]:
    """A smooth hand-held looking path: (dx, dy) in frame pixels and roll in radians per frame.

    Pans of up to about 3 px per frame, a roll of up to about 0.16 degrees per frame and a
    small seeded jitter, so neither tracker gets a perfectly smooth trajectory.
    """
    rng = np.random.default_rng(seed)
    jitter = rng.uniform(-0.3, 0.3, size=(n_frames, 2))
    path = []
    for k in range(n_frames):
        dx = 70.0 * np.sin(2.0 * np.pi * k / 150.0) + jitter[k, 0]
        dy = 40.0 * np.sin(2.0 * np.pi * k / 110.0 + 0.7) + jitter[k, 1]
        roll = np.radians(2.5) * np.sin(2.0 * np.pi * k / 100.0 + 0.3)
        path.append((float(dx), float(dy), float(roll)))
    return path


def render_sequence(
    n_frames: int = 120,
    photo: str = "astronaut",
    width: int = 640,
    height: int = 480,
    seed: int = 0,
    noise_sigma: float = 1.5,
    flicker: float = 0.04,
) -> CameraSequence:
    """Render `n_frames` gray frames of a camera panning and rolling over a bundled photo."""
    source = load_photo(photo)
    src_h, src_w = source.shape
    path = camera_path(n_frames, seed)
    max_dx = max(abs(p[0]) for p in path)
    max_dy = max(abs(p[1]) for p in path)
    max_roll = max(abs(p[2]) for p in path)
    # Photo pixels per frame pixel: the largest value (at most 1, so the photo is never shrunk)
    # at which every frame stays inside the photo, with a few pixels to spare for the spline.
    need_w = (width + 2 * max_dx) * np.cos(max_roll) + height * np.sin(max_roll)
    need_h = (height + 2 * max_dy) * np.cos(max_roll) + width * np.sin(max_roll)
    scale = float(min(1.0, (src_w - 8) / need_w, (src_h - 8) / need_h))
    cx0, cy0 = (src_w - 1) / 2.0, (src_h - 1) / 2.0
    poses = [CameraPose(cx0 + scale * dx, cy0 + scale * dy, roll, scale) for dx, dy, roll in path]

    coeffs = ndimage.spline_filter(source, order=3, mode="mirror")
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    corners = np.array([[0, 0], [width - 1, 0], [0, height - 1], [width - 1, height - 1]], float)
    centre = ((width - 1) / 2.0, (height - 1) / 2.0)
    rng = np.random.default_rng(seed + 1)
    frames: list[GrayFrame] = []
    for k, pose in enumerate(poses):
        m = pose.matrix(centre)
        # An affine map reaches its extremes at the frame's corners.
        assert_inside(corners @ m[:, :2].T + m[:, 2], src_w, src_h)
        px = m[0, 0] * xx + m[0, 1] * yy + m[0, 2]
        py = m[1, 0] * xx + m[1, 1] * yy + m[1, 2]
        values = ndimage.map_coordinates(coeffs, [py, px], order=3, mode="mirror", prefilter=False)
        gain = 1.0 + flicker * np.sin(2.0 * np.pi * k / 23.0)
        offset = 4.0 * flicker / 0.04 * rng.uniform(-1.0, 1.0)
        values = gain * values + offset + noise_sigma * rng.standard_normal(values.shape)
        frames.append(np.clip(np.rint(values), 0, 255).astype(np.uint8))
    return CameraSequence(frames=frames, poses=poses, width=width, height=height, photo=photo)


def assert_inside(points: FloatArray, width: int, height: int) -> None:
    lo = points.min(axis=0)
    hi = points.max(axis=0)
    if lo[0] < 1 or lo[1] < 1 or hi[0] > width - 2 or hi[1] > height - 2:
        raise RuntimeError("camera path leaves the photo; shorten the path or enlarge the photo")


@dataclass(frozen=True)
class StereoPair:
    """A rectified pair: left (x, y) shows the same point as right (x - disparity[y, x], y)."""

    left: GrayFrame
    right: GrayFrame
    disparity: npt.NDArray[np.float32]  # non-finite where unknown (occluded)
    name: str

    def right_position(self, points: npt.ArrayLike) -> FloatArray:
        """Ground-truth right-image positions of left-image points (NaN where unknown).

        The disparity is read at the nearest pixel of each left position.
        """
        p = np.asarray(points, dtype=np.float64).reshape(-1, 2)
        h, w = self.disparity.shape
        xi = np.clip(np.rint(p[:, 0]).astype(np.int64), 0, w - 1)
        yi = np.clip(np.rint(p[:, 1]).astype(np.int64), 0, h - 1)
        d = self.disparity[yi, xi].astype(np.float64)
        d[~np.isfinite(d)] = np.nan
        return np.stack([p[:, 0] - d, p[:, 1]], axis=1)


def stereo_pair() -> StereoPair:
    """The Middlebury 'motorcycle' pair that scikit-image bundles, converted to gray."""
    from skimage import color, data

    left, right, disparity = data.stereo_motorcycle()

    def gray(rgb: Any) -> GrayFrame:
        return np.clip(np.rint(color.rgb2gray(rgb) * 255.0), 0, 255).astype(np.uint8)

    return StereoPair(gray(left), gray(right), np.asarray(disparity, np.float32), "motorcycle")


def track_errors(
    seq: CameraSequence, history: list[dict[int, tuple[float, float]]]
) -> dict[str, Any]:
    """Accuracy of a track history (one {id: (x, y)} per frame) against the ground truth.

    - step errors: for each track seen in frames k and k+1, the distance between its position in
      k+1 and where the ground truth carries its position in k;
    - drift after n frames: for tracks that lived n frames after their first sighting, the
      distance between their position then and where the ground truth carries the first one;
    - false tracks: tracks that at some frame sit more than FALSE_TRACK_PX from the ground-truth
      image of the point they were first seen on (they followed something else);
    - lengths: number of frames each track was seen in (tracks still alive at the end count
      with the length they reached).
    """
    birth: dict[int, tuple[int, float, float]] = {}
    last_frame: dict[int, int] = {}
    steps: list[float] = []
    drift: dict[int, list[float]] = {10: [], 50: []}
    false_ids: set[int] = set()
    for k, points in enumerate(history):
        if not points:
            continue
        ids = np.fromiter(points.keys(), dtype=np.int64, count=len(points))
        xy = np.array(list(points.values()), dtype=np.float64).reshape(-1, 2)
        prev = history[k - 1] if k > 0 else {}
        # Per-step error.
        both = [i for i, tid in enumerate(ids) if int(tid) in prev]
        if both:
            before = np.array([prev[int(ids[i])] for i in both], dtype=np.float64)
            expected = seq.ground_truth(k - 1, k, before)
            steps.extend(np.hypot(*(xy[both] - expected).T).tolist())
        # Error against the point each track was born on, grouped by birth frame.
        by_birth: dict[int, list[int]] = {}
        for i, tid in enumerate(ids):
            t = int(tid)
            if t not in birth:
                birth[t] = (k, float(xy[i, 0]), float(xy[i, 1]))
            last_frame[t] = k
            by_birth.setdefault(birth[t][0], []).append(i)
        for b, rows in by_birth.items():
            if b == k:
                continue
            starts = np.array([birth[int(ids[i])][1:] for i in rows])
            err = np.hypot(*(xy[rows] - seq.ground_truth(b, k, starts)).T)
            for i, e in zip(rows, err):
                if e > FALSE_TRACK_PX:
                    false_ids.add(int(ids[i]))
            if k - b in drift:
                drift[k - b].extend(err.tolist())
    lengths = np.array([last_frame[t] - birth[t][0] + 1 for t in birth], dtype=np.float64)
    return {
        "steps": np.array(steps),
        "drift10": np.array(drift[10]),
        "drift50": np.array(drift[50]),
        "tracks": len(birth),
        "false_tracks": len(false_ids),
        "lengths": lengths,
    }


FALSE_TRACK_PX = 3.0
