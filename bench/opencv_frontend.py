"""A competent OpenCV tracking front end that does the same job as glent.Glent.

Per frame: track the live points forward with pyramidal Lucas-Kanade and back again, keep those
whose back-tracked position lands within the same squared distance glent uses (0.4 px^2), then
run FAST (threshold 10) on the half-resolution frame (cv2.pyrDown) and put the strongest corner
into every empty cell of a 20-px grid, with the same 19-px border margin.  Ids are never reused.

OpenCV's Python binding cannot hand prebuilt pyramids (cv2.buildOpticalFlowPyramid) to
cv2.calcOpticalFlowPyrLK (the call refuses the list: opencv/opencv issue 4777), so each LK call
builds the pyramids of its two frames itself.  `pyramid_cost` measures what that costs, so the
benchmark can report it beside the totals.
"""

from __future__ import annotations

from typing import Any

import cv2
import numpy as np
import numpy.typing as npt

MAX_RECOVERED_DIST2 = 0.4
BORDER_MARGIN = 19


def free_cell_corners(
    width: int,
    height: int,
    grid_size: int,
    corners: npt.NDArray[np.float32],
    scores: npt.NDArray[np.float32],
    existing: npt.NDArray[np.float32],
) -> npt.NDArray[np.float32]:
    """Strongest corner (level-0 x, y) in each grid cell that holds no existing point.

    The grid is centred on the frame like glent's; corners closer than BORDER_MARGIN to an edge
    are ignored.
    """
    cells_x, cells_y = width // grid_size, height // grid_size
    off_x, off_y = (width % grid_size) // 2, (height % grid_size) // 2
    occupied = np.zeros(cells_x * cells_y, dtype=bool)
    if len(existing):
        # Rounded half away from zero; negative positions count as 0, like glent's occupancy.
        e = np.maximum(np.floor(np.abs(existing) + 0.5) * np.sign(existing), 0.0)
        cx = np.floor((e[:, 0] - off_x) / grid_size).astype(np.int64)
        cy = np.floor((e[:, 1] - off_y) / grid_size).astype(np.int64)
        ok = (e[:, 0] >= off_x) & (e[:, 1] >= off_y) & (cx < cells_x) & (cy < cells_y)
        occupied[cy[ok] * cells_x + cx[ok]] = True
    if not len(corners):
        return np.empty((0, 2), np.float32)
    x, y = corners[:, 0], corners[:, 1]
    inside = (x >= BORDER_MARGIN) & (x <= width - BORDER_MARGIN)
    inside &= (y >= BORDER_MARGIN) & (y <= height - BORDER_MARGIN)
    inside &= (x >= off_x) & (y >= off_y)
    cx = ((x - off_x) // grid_size).astype(np.int64)
    cy = ((y - off_y) // grid_size).astype(np.int64)
    inside &= (cx < cells_x) & (cy < cells_y)
    cell = cy * cells_x + cx
    inside[inside] &= ~occupied[cell[inside]]
    idx = np.nonzero(inside)[0]
    idx = idx[np.argsort(-scores[idx], kind="stable")]
    _, first = np.unique(cell[idx], return_index=True)
    chosen = idx[np.sort(first)]
    return np.ascontiguousarray(corners[chosen], dtype=np.float32)


class OpenCVFrontEnd:
    """FAST + forward/backward pyramidal LK with the same bookkeeping as glent.Glent."""

    def __init__(
        self,
        win: int = 21,
        max_level: int = 3,
        grid_size: int = 20,
        fast_threshold: int = 10,
        nonmax: bool = True,
    ) -> None:
        self.win = (win, win)
        self.max_level = max_level
        self.grid_size = grid_size
        self.fast = cv2.FastFeatureDetector.create(fast_threshold, nonmax)
        self.prev_frame: Any = None
        self.points = np.empty((0, 2), np.float32)
        self.ids = np.empty(0, np.int64)
        self.next_id = 0

    def track(self, img0: Any, img1: Any, points: npt.NDArray[np.float32]) -> tuple[Any, Any]:
        """Forward-backward LK from img0 to img1: (positions in img1, survivor mask)."""
        if not len(points):
            return points, np.zeros(0, bool)
        fwd, st1, _ = cv2.calcOpticalFlowPyrLK(
            img0, img1, points, None, winSize=self.win, maxLevel=self.max_level
        )
        back, st2, _ = cv2.calcOpticalFlowPyrLK(
            img1, img0, fwd, None, winSize=self.win, maxLevel=self.max_level
        )
        d2 = np.sum((points - back) ** 2, axis=1)
        keep = (st1[:, 0] == 1) & (st2[:, 0] == 1) & (d2 < MAX_RECOVERED_DIST2)
        return fwd, keep

    def detect(self, image: npt.NDArray[np.uint8]) -> npt.NDArray[np.float32]:
        """Corners of the half-resolution frame in free grid cells, in level-0 coordinates."""
        # pyrDown's pixel (i, j) sits at level-0 (2i, 2j).
        keypoints = self.fast.detect(cv2.pyrDown(image))
        corners = np.asarray(cv2.KeyPoint.convert(keypoints), np.float32).reshape(-1, 2) * 2.0
        scores = np.array([k.response for k in keypoints], dtype=np.float32)
        height, width = image.shape[:2]
        return free_cell_corners(width, height, self.grid_size, corners, scores, self.points)

    def process_frame(self, image: npt.NDArray[np.uint8]) -> None:
        if self.prev_frame is not None and len(self.points):
            moved, keep = self.track(self.prev_frame, image, self.points)
            self.points = np.ascontiguousarray(moved[keep])
            self.ids = self.ids[keep]
        new = self.detect(image)
        if len(new):
            self.points = np.concatenate([self.points, new])
            self.ids = np.concatenate([self.ids, np.arange(self.next_id, self.next_id + len(new))])
            self.next_id += len(new)
        self.prev_frame = image

    def get_track_points(self) -> dict[int, tuple[float, float]]:
        return {int(i): (float(p[0]), float(p[1])) for i, p in zip(self.ids, self.points)}


def stereo_match(
    left: npt.NDArray[np.uint8], right: npt.NDArray[np.uint8], win: int = 21, max_level: int = 3
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """New-point admission of a stereo front end: grid corners of `left` tracked into `right`."""
    fe = OpenCVFrontEnd(win=win, max_level=max_level)
    corners = fe.detect(left)
    moved, keep = fe.track(left, right, corners)
    return corners[keep], np.asarray(moved[keep])


def pyramid_cost(image: npt.NDArray[np.uint8], win: int = 21, max_level: int = 3) -> Any:
    """The work one LK call spends on the pyramid of one frame (image levels and derivatives)."""
    return cv2.buildOpticalFlowPyramid(image, (win, win), max_level)
