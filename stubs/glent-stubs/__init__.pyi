# Type information for the glent extension module, shipped as a stub-only package beside it.

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__ = ["Glent", "StereoGlent", "ImagePyramid", "build_image_pyramid", "track_points"]

# A frame: shape (H, W) or (H, W, 1), dtype uint8, one contiguous block.
_GrayImage = npt.NDArray[np.uint8]
# One coordinate: anything float() accepts (float, int, NumPy scalars, ...).
_Coordinate = SupportsFloat | SupportsIndex
# One point: a tuple (x, y); lists and arrays are refused at run time.
_Point = tuple[_Coordinate, _Coordinate]
# Track ids are unsigned 64-bit integers.
_TrackIds = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]
_TrackPoints = dict[int, tuple[float, float]]

@final
class Glent:
    """Single-camera glent."""

    def __new__(cls, levels: SupportsIndex = 4, grid_size: SupportsIndex = 20) -> Glent: ...
    def process_frame(self, image: _GrayImage) -> None:
        """Process a new frame. Tracks existing points and detects new ones.

        Args:
            image: Grayscale image as numpy array, shape (H, W) or (H, W, 1), dtype uint8.
        """

    def get_track_points(self) -> _TrackPoints:
        """Return currently tracked points.

        Returns:
            dict mapping track id (int) to (x, y) pixel coordinates (float, float).
        """

    def remove_id(self, ids: _TrackIds) -> None:
        """Remove tracked points by id.

        Args:
            ids: List of track ids to remove.
        """

    def add_points(self, points: Sequence[_Point]) -> None:
        """Manually add points to the tracker.

        Args:
            points: List of (x, y) pixel coordinates.
        """

@final
class StereoGlent:
    """Stereo-camera glent."""

    def __new__(cls, levels: SupportsIndex = 4, grid_size: SupportsIndex = 20) -> StereoGlent: ...
    def process_frame(self, image0: _GrayImage, image1: _GrayImage) -> None:
        """Process a new stereo frame pair.

        Args:
            image0: Left grayscale image, shape (H, W) or (H, W, 1), dtype uint8.
            image1: Right grayscale image, shape (H, W) or (H, W, 1), dtype uint8.
        """

    def get_track_points(self) -> tuple[_TrackPoints, _TrackPoints]:
        """Return currently tracked points for both cameras.

        Returns:
            Tuple of two dicts, each mapping track id (int) to (x, y) coordinates.
            The same id in both dicts refers to the same stereo-matched feature.
        """

    def remove_id(self, ids: _TrackIds) -> None:
        """Remove tracked points by id.

        Args:
            ids: List of track ids to remove.
        """

@final
class ImagePyramid:
    """An image pyramid: a list of grayscale images at successive half-resolution levels."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> npt.NDArray[np.uint8]: ...

def build_image_pyramid(image: _GrayImage, levels: SupportsIndex) -> ImagePyramid:
    """Build an image pyramid from a grayscale numpy array.

    Args:
        image: Grayscale image, shape (H, W) or (H, W, 1), dtype uint8.
        levels: Number of pyramid levels.

    Returns:
        ImagePyramid with `levels` images, each half the resolution of the previous.
    """

def track_points(
    pyramid0: ImagePyramid, pyramid1: ImagePyramid, points: _TrackPoints
) -> _TrackPoints:
    """Track points from one image pyramid to another.

    This is a lower-level function. For typical use, prefer ``Glent``.

    Args:
        pyramid0: Source image pyramid (previous frame).
        pyramid1: Target image pyramid (current frame).
        points: Dict mapping track id to ``(x, y)`` coordinates in pyramid0.

    Returns:
        Dict mapping surviving track ids to new ``(x, y)`` coordinates in pyramid1.
    """
