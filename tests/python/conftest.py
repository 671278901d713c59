import os

import numpy as np
import pytest

# Set by scripts/test_python_sanitized.sh: glent is built with AddressSanitizer there, whose
# allocator keeps freed memory in quarantine, so the resident size says nothing about leaks.
SANITIZED = os.environ.get("GLENT_SANITIZED") == "1"


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="measures resident memory; meaningless under AddressSanitizer")
    for item in items:
        if item.get_closest_marker("resident_memory"):
            item.add_marker(skip)


def textured_frame(height=120, width=160, seed=0):
    """A smooth random texture with plenty of corners, as uint8."""
    rng = np.random.default_rng(seed)
    coarse = rng.integers(0, 256, size=(height // 8 + 2, width // 8 + 2)).astype(np.float32)
    # Bilinear upsampling of the coarse noise gives blobs and corners at several scales.
    ys = np.linspace(0, coarse.shape[0] - 1.001, height)
    xs = np.linspace(0, coarse.shape[1] - 1.001, width)
    y0 = ys.astype(int)
    x0 = xs.astype(int)
    fy = (ys - y0)[:, None]
    fx = (xs - x0)[None, :]
    top = coarse[y0][:, x0] * (1 - fx) + coarse[y0][:, x0 + 1] * fx
    bottom = coarse[y0 + 1][:, x0] * (1 - fx) + coarse[y0 + 1][:, x0 + 1] * fx
    image = top * (1 - fy) + bottom * fy
    return np.clip(image, 0, 255).astype(np.uint8)


@pytest.fixture(scope="session")
def sample_photos():
    """Skips the test where scikit-image cannot read the photos it ships.

    It reads them with Pillow, which a distribution does not always build for every interpreter
    it has (a new CPython can come before the packages built for it)."""
    try:
        import PIL.Image  # noqa: F401
    except ImportError as error:
        pytest.skip(f"scikit-image reads its sample photos with Pillow, not importable here: {error}")


@pytest.fixture
def frame():
    return textured_frame()


@pytest.fixture
def frames():
    return [textured_frame(seed=s) for s in range(3)]
