"""ImagePyramid and build_image_pyramid as Python sees them."""

import numpy as np
import pytest

import glent


def box_mean(a):
    a = a.astype(np.uint32)
    return ((a[0::2, 0::2] + a[0::2, 1::2] + a[1::2, 0::2] + a[1::2, 1::2] + 2) >> 2).astype(np.uint8)


@pytest.fixture
def photo():
    rng = np.random.default_rng(7)
    return rng.integers(0, 256, size=(480, 640), dtype=np.uint8)


def test_even_levels_are_exact_2x2_means(photo):
    p = glent.build_image_pyramid(photo, 4)
    assert len(p) == 4
    assert repr(p) == "ImagePyramid([640x480, 320x240, 160x120, 80x60])"
    expected = photo
    for k in range(4):
        np.testing.assert_array_equal(p[k], expected)
        expected = box_mean(expected)


@pytest.mark.parametrize(
    "pixels, expected", [([[0, 1], [1, 0]], 1), ([[1, 1], [1, 0]], 1), ([[255, 255], [255, 255]], 255),
                         ([[1, 2], [1, 2]], 2), ([[0, 0], [0, 1]], 0)]
)
def test_2x2_mean_rounds_halves_up(pixels, expected):
    p = glent.build_image_pyramid(np.array(pixels, np.uint8), 2)
    assert p[1].tolist() == [[expected]]


@pytest.mark.parametrize("levels", [0, 1])
def test_zero_or_one_level_is_a_copy(photo, levels):
    p = glent.build_image_pyramid(photo, levels)
    assert len(p) == 1
    np.testing.assert_array_equal(p[0], photo)


@pytest.mark.parametrize(
    "shape, levels, text",
    [
        ((481, 641), 3, "ImagePyramid([641x481, 320x240, 160x120])"),
        ((5, 5), 5, "ImagePyramid([5x5, 2x2, 1x1, 0x0, 0x0])"),
        ((1, 1), 3, "ImagePyramid([1x1, 0x0, 0x0])"),
        ((6, 1), 3, "ImagePyramid([1x6, 0x3, 0x1])"),
        ((4, 7), 2, "ImagePyramid([7x4, 3x2])"),
        ((0, 0), 2, "ImagePyramid([0x0, 0x0])"),
    ],
)
def test_level_sizes_and_repr(shape, levels, text):
    p = glent.build_image_pyramid(np.zeros(shape, np.uint8), levels)
    assert repr(p) == text
    assert str(p) == text
    for k in range(levels):
        level = p[k]
        w, h = text[len("ImagePyramid(["):-2].split(", ")[k].split("x")
        assert level.shape == (int(h), int(w))


@pytest.mark.parametrize("shape", [(4, 7), (5, 5), (481, 641), (9, 3)])
def test_odd_sizes_keep_a_constant_image_constant(shape):
    p = glent.build_image_pyramid(np.full(shape, 77, np.uint8), 3)
    for k in range(3):
        assert (p[k] == 77).all()


def test_odd_5x5_point_spreads_evenly():
    a = np.zeros((5, 5), np.uint8)
    a[2, 2] = 255
    level = glent.build_image_pyramid(a, 2)[1]
    assert level.shape == (2, 2)
    assert len(set(level.ravel().tolist())) == 1 and level[0, 0] > 0


def test_odd_height_level_then_even_level():
    a = np.random.default_rng(1).integers(0, 256, size=(481, 640), dtype=np.uint8)
    p = glent.build_image_pyramid(a, 3)
    assert repr(p) == "ImagePyramid([640x481, 320x240, 160x120])"
    np.testing.assert_array_equal(p[2], box_mean(p[1]))


def test_tiny_image_indexes_to_empty_arrays():
    p = glent.build_image_pyramid(np.zeros((5, 5), np.uint8), 5)
    last = p[4]
    assert last.shape == (0, 0) and last.dtype == np.uint8
    assert last.flags.c_contiguous and last.flags.writeable


def test_levels_are_fresh_writeable_copies(photo):
    p = glent.build_image_pyramid(photo, 2)
    a = p[1]
    assert a.shape == (240, 320) and a.dtype == np.uint8
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert type(a) is np.ndarray and a.base is not None
    original = a.copy()
    a[:] = 0
    np.testing.assert_array_equal(p[1], original)
    assert p[1] is not p[1]


def test_level_arrays_outlive_their_pyramid(photo):
    level = glent.build_image_pyramid(photo, 2)[0]
    import gc

    gc.collect()
    np.testing.assert_array_equal(level, photo)


@pytest.mark.parametrize("index, level", [(0, 0), (3, 3), (-1, 3), (-4, 0), (np.int64(2), 2), (True, 1)])
def test_indexing_in_range(photo, index, level):
    p = glent.build_image_pyramid(photo, 4)
    assert p[index].shape == (480 >> level, 640 >> level)


@pytest.mark.parametrize("index", [4, 5, -5, -6, 2**63 - 1, -(2**63)])
def test_out_of_range_index_is_value_error_with_callers_index(photo, index):
    p = glent.build_image_pyramid(photo, 4)
    with pytest.raises(ValueError) as info:
        p[index]
    assert str(info.value) == f"index {index} out of range for pyramid with 4 levels"


@pytest.mark.parametrize("index", [slice(0, 2), 1.0, "0", None, (0,)])
def test_non_integer_index_is_prefixed_type_error(photo, index):
    p = glent.build_image_pyramid(photo, 2)
    with pytest.raises(TypeError) as info:
        p[index]
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'index': ")


def test_index_beyond_64_bits_is_overflow(photo):
    p = glent.build_image_pyramid(photo, 2)
    with pytest.raises(OverflowError):
        p[2**64]


def test_iteration_yields_every_level_then_raises_value_error(photo):
    p = glent.build_image_pyramid(photo, 4)
    seen = []
    with pytest.raises(ValueError, match=r"^index 4 out of range for pyramid with 4 levels$"):
        for level in p:
            seen.append(level.shape)
    assert seen == [(480, 640), (240, 320), (120, 160), (60, 80)]
    with pytest.raises(ValueError, match=r"^index 4 out of range for pyramid with 4 levels$"):
        list(p)


def test_huge_levels_is_memory_error(photo):
    for levels in (2**32 - 1, 2**20):
        with pytest.raises(MemoryError):
            glent.build_image_pyramid(photo, levels)


def test_deep_but_supported_pyramid_is_built():
    p = glent.build_image_pyramid(np.zeros((4, 4), np.uint8), 40)
    assert len(p) == 40
    assert p[-1].shape == (0, 0)


def test_no_methods_and_no_len_of_its_own_beyond_slots():
    assert [n for n in vars(glent.ImagePyramid) if not n.startswith("__")] == []
    assert not hasattr(glent.ImagePyramid, "__iter__")
