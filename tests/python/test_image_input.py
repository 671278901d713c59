"""Frames handed in as NumPy arrays: what is accepted, what is refused and with which message."""

import sys

import numpy as np
import pytest

import glent

NOT_AN_IMAGE = "image must be a numpy array with shape (H, W) or (H, W, 1) and dtype uint8"
NOT_GRAY = "3D array must have shape (H, W, 1) for grayscale"
NOT_CONTIGUOUS = "Array must be contiguous: The given array is not contiguous or is misaligned."


def level0(image):
    return glent.build_image_pyramid(image, 1)[0]


def picture(height=48, width=64):
    return (np.arange(height * width, dtype=np.uint32) * 7919 % 251).astype(np.uint8).reshape(height, width)


@pytest.mark.parametrize(
    "make",
    [
        lambda a: a.astype(np.float32),
        lambda a: a.astype(np.int8),
        lambda a: a.astype(np.uint16),
        lambda a: a.astype(bool),
        lambda a: a.tolist(),
        lambda a: a.tobytes(),
        lambda a: a.ravel(),
        lambda a: a[None, :, :, None],
        lambda a: np.uint8(3),
        lambda a: np.zeros((), np.uint8),
        lambda a: None,
        lambda a: memoryview(a),
        lambda a: a.view(np.dtype([("v", np.uint8)])),
    ],
    ids=["float32", "int8", "uint16", "bool", "list", "bytes", "1d", "4d", "scalar", "0d", "None",
         "memoryview", "structured"],
)
def test_non_images_refused(make):
    with pytest.raises(ValueError) as info:
        level0(make(picture()))
    assert str(info.value) == NOT_AN_IMAGE


@pytest.mark.parametrize("channels", [0, 2, 3, 4])
@pytest.mark.parametrize("contiguous", [True, False])
def test_colour_images_refused_before_contiguity(channels, contiguous):
    image = np.zeros((8, 10, channels), np.uint8)
    if not contiguous:
        image = np.zeros((8, 20, channels), np.uint8)[:, ::2]
    with pytest.raises(ValueError) as info:
        level0(image)
    assert str(info.value) == NOT_GRAY


@pytest.mark.parametrize(
    "view",
    [
        lambda a: a[:, ::2],
        lambda a: a[::-1],
        lambda a: a[::2],
        lambda a: np.stack([a, a, a], axis=-1)[..., :1],
        lambda a: np.broadcast_to(a[:1], a.shape),
        lambda a: np.frombuffer(b"\0" + a.tobytes(), np.uint8, offset=1).reshape(a.shape)[1:, 1:],
    ],
    ids=["column-step", "reversed", "row-step", "channel-cut", "broadcast", "sub-window"],
)
def test_strided_views_refused(view):
    with pytest.raises(ValueError) as info:
        level0(view(picture()))
    assert str(info.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize(
    "view", [lambda a: a[:, ::2], lambda a: a[::-1]], ids=["column-step", "reversed"]
)
def test_contiguous_copy_of_a_view_is_accepted(view):
    a = np.ascontiguousarray(view(picture()))
    np.testing.assert_array_equal(level0(a), a)


def test_image_pixels_are_the_array():
    a = picture(480, 640)
    out = level0(a)
    assert out.shape == (480, 640) and out.dtype == np.uint8
    np.testing.assert_array_equal(out, a)
    np.testing.assert_array_equal(level0(a[:, :, None]), a)


@pytest.mark.parametrize("shape", [(48, 64), (5, 7), (1, 9), (9, 1)])
def test_fortran_ordered_array_is_read_as_its_picture(shape):
    a = picture(*shape)
    f = np.asfortranarray(a)
    np.testing.assert_array_equal(level0(f), a)
    np.testing.assert_array_equal(level0(np.asfortranarray(a[:, :, None])), a)
    np.testing.assert_array_equal(level0(a.T.copy().T), a)


def test_fortran_ordered_frame_tracks_like_c_ordered(frame):
    c = glent.Glent(levels=2, grid_size=10)
    f = glent.Glent(levels=2, grid_size=10)
    for shift in (0, 1):
        image = np.roll(frame, shift, axis=1)
        c.process_frame(image)
        f.process_frame(np.asfortranarray(image))
    assert c.get_track_points() == f.get_track_points()


@pytest.mark.parametrize(
    "shape, expected",
    [((0, 640), (0, 640)), ((480, 0), (480, 0)), ((0, 0), (0, 0)), ((0, 5, 1), (0, 5)), ((7, 0, 1), (7, 0))],
)
def test_zero_size_arrays_give_empty_images(shape, expected):
    out = level0(np.zeros(shape, np.uint8))
    assert out.shape == expected


def test_zero_size_view_needs_no_contiguity():
    a = np.zeros((0, 20), np.uint8)[:, ::2]
    assert level0(a).shape == (0, 10)


def test_read_only_array_accepted():
    a = picture()
    a.setflags(write=False)
    np.testing.assert_array_equal(level0(a), a)


@pytest.mark.parametrize(
    "make",
    [
        lambda a: np.ma.masked_array(a, mask=np.zeros_like(a, bool)),
        lambda a: np.asmatrix(a),
        lambda a: a.view(type("Sub", (np.ndarray,), {})),
        lambda a: a.astype(np.dtype("B")),
        lambda a: a.astype(np.dtype("=u1")),
        lambda a: a.astype(np.dtype(">u1")),
    ],
    ids=["masked", "matrix", "subclass", "B", "native-u1", "big-endian-u1"],
)
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_array_subclasses_and_uint8_spellings_accepted(make):
    a = picture()
    np.testing.assert_array_equal(level0(make(a)), a)


def test_misaligned_uint8_is_never_the_issue():
    # uint8 has alignment 1, so any offset into a buffer is aligned.
    buf = np.zeros(48 * 64 + 1, np.uint8)
    a = buf[1:].reshape(48, 64)
    a[:] = picture()
    np.testing.assert_array_equal(level0(a), picture())


def test_callers_array_neither_kept_nor_written():
    a = picture()
    before = a.copy()
    refs = sys.getrefcount(a)
    p = glent.build_image_pyramid(a, 3)
    g = glent.Glent(levels=2)
    g.process_frame(a)
    assert sys.getrefcount(a) == refs
    np.testing.assert_array_equal(a, before)
    a[:] = 0  # changing the array afterwards changes nothing already converted
    np.testing.assert_array_equal(p[0], before)


@pytest.mark.parametrize("bad", [np.zeros((10, 10), np.float32), np.zeros((10, 10, 3), np.uint8),
                                 np.zeros((10, 20), np.uint8)[:, ::2]])
def test_image_errors_have_no_argument_prefix(bad):
    for call in (lambda: glent.Glent().process_frame(bad),
                 lambda: glent.StereoGlent().process_frame(bad, bad),
                 lambda: glent.build_image_pyramid(bad, 2)):
        with pytest.raises(ValueError) as info:
            call()
        assert not str(info.value).startswith("argument")
