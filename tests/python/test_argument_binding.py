"""Binding of arguments to parameters, the value conversions and their messages."""

import operator

import numpy as np
import pytest

import glent


@pytest.fixture
def pyramid(frame):
    return glent.build_image_pyramid(frame, 2)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: glent.track_points(p, p),
         "track_points() missing 1 required positional argument: 'points'"),
        (lambda p: glent.track_points(p),
         "track_points() missing 2 required positional arguments: 'pyramid1' and 'points'"),
        (lambda p: glent.track_points(),
         "track_points() missing 3 required positional arguments: 'pyramid0', 'pyramid1', and 'points'"),
        (lambda p: glent.track_points(p, points={}),
         "track_points() missing 1 required positional argument: 'pyramid1'"),
        (lambda p: glent.track_points(p, p, {}, 4),
         "track_points() takes 3 positional arguments but 4 were given"),
        (lambda p: glent.build_image_pyramid(),
         "build_image_pyramid() missing 2 required positional arguments: 'image' and 'levels'"),
        (lambda p: glent.Glent(1, 2, 3),
         "Glent.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda p: glent.StereoGlent(1, 2, 3, 4),
         "StereoGlent.__new__() takes from 0 to 2 positional arguments but 4 were given"),
        (lambda p: glent.Glent().process_frame(1, 2),
         "Glent.process_frame() takes 1 positional arguments but 2 were given"),
        (lambda p: glent.Glent().process_frame(),
         "Glent.process_frame() missing 1 required positional argument: 'image'"),
        (lambda p: glent.StereoGlent().process_frame(1, 2, 3),
         "StereoGlent.process_frame() takes 2 positional arguments but 3 were given"),
        (lambda p: glent.Glent(4, levels=5),
         "Glent.__new__() got multiple values for argument 'levels'"),
        (lambda p: glent.Glent(size=3),
         "Glent.__new__() got an unexpected keyword argument 'size'"),
        (lambda p: glent.Glent(grid_size=1, **{"grid_size2": 3}),
         "Glent.__new__() got an unexpected keyword argument 'grid_size2'"),
        (lambda p: glent.Glent().remove_id([1], ids=[2]),
         "Glent.remove_id() got multiple values for argument 'ids'"),
        (lambda p: glent.StereoGlent().remove_id(idz=[2]),
         "StereoGlent.remove_id() got an unexpected keyword argument 'idz'"),
        (lambda p: glent.Glent().add_points(),
         "Glent.add_points() missing 1 required positional argument: 'points'"),
        (lambda p: glent.track_points(p, p, pyramid0=p),
         "track_points() got multiple values for argument 'pyramid0'"),
    ],
)
def test_binding_errors(pyramid, call, message):
    with pytest.raises(TypeError) as info:
        call(pyramid)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_too_many_positional_checked_before_keywords():
    with pytest.raises(TypeError, match=r"takes from 0 to 2 positional arguments but 3 were given"):
        glent.Glent(1, 2, 3, bogus=1)


def test_every_parameter_binds_by_keyword(frame):
    p = glent.build_image_pyramid(levels=2, image=frame)
    assert glent.track_points(points={}, pyramid1=p, pyramid0=p) == {}
    g = glent.Glent(grid_size=10, levels=2)
    g.process_frame(image=frame)
    g.add_points(points=[(1.0, 2.0)])
    g.remove_id(ids=[])
    s = glent.StereoGlent(levels=1)
    s.process_frame(image1=frame, image0=frame)


@pytest.mark.parametrize("value", [0, 1, 4294967295, np.uint32(7), np.int64(3), True])
def test_u32_accepts_integers_in_range(value):
    glent.Glent(levels=value, grid_size=value)


@pytest.mark.parametrize("value", [-1, 4294967296, 2**63 - 1, -(2**63)])
def test_u32_out_of_range_is_overflow_without_prefix(value):
    with pytest.raises(OverflowError) as info:
        glent.Glent(levels=value)
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [2**64, -(2**64)])
def test_u32_beyond_64_bits_is_interpreters_overflow(value):
    with pytest.raises(OverflowError) as info:
        glent.Glent(grid_size=value)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize(
    "param, value",
    [("levels", 4.0), ("grid_size", "20"), ("levels", None), ("grid_size", [1]), ("levels", 1j)],
)
def test_u32_type_errors_carry_argument_prefix(param, value):
    with pytest.raises(TypeError) as plain:  # the interpreter's own message
        operator.index(value)
    with pytest.raises(TypeError) as info:
        glent.Glent(**{param: value})
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': {plain.value}"


def test_build_image_pyramid_converts_levels_before_image():
    with pytest.raises(OverflowError):
        glent.build_image_pyramid("not an image", -1)
    with pytest.raises(TypeError, match=r"^argument 'levels': "):
        glent.build_image_pyramid("not an image", 4.0)


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_index_objects_are_accepted_for_integers(frame):
    g = glent.Glent(levels=IndexLike(2), grid_size=IndexLike(10))
    g.add_points([(1.0, 1.0), (2.0, 2.0)])
    g.remove_id([IndexLike(0)])
    assert list(g.get_track_points()) == [1]
    p = glent.build_image_pyramid(frame, IndexLike(3))
    assert len(p) == 3
    assert p[IndexLike(2)].shape == p[2].shape


class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_only_exact_type_errors_get_the_prefix():
    with pytest.raises(TypeErrorSubclass) as info:
        glent.Glent(levels=RaisingIndex(TypeErrorSubclass("custom")))
    assert str(info.value) == "custom"
    with pytest.raises(ValueError, match=r"^boom$"):
        glent.Glent(levels=RaisingIndex(ValueError("boom")))


def test_prefixed_error_keeps_the_original_cause():
    cause = KeyError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        glent.Glent(grid_size=RaisingIndex(err))
    assert str(info.value) == "argument 'grid_size': inner"
    assert info.value.__cause__ is cause


def test_unprintable_type_error_passes_unprefixed():
    class BadStr:
        def __str__(self):
            raise RuntimeError("no str")

    err = TypeError(BadStr())
    with pytest.raises(TypeError) as info:
        glent.Glent(levels=RaisingIndex(err))
    assert info.value is err


# ---- ids: List conversion with U64 elements ----


@pytest.mark.parametrize(
    "ids, message",
    [
        ("12", "argument 'ids': Can't extract `str` to `Vec`"),
        (5, "argument 'ids': 'int' object is not an instance of 'Sequence'"),
        (None, "argument 'ids': 'None' is not an instance of 'Sequence'"),
        ({1, 2}, "argument 'ids': 'set' object is not an instance of 'Sequence'"),
        ({1: 2}, "argument 'ids': 'dict' object is not an instance of 'Sequence'"),
        ((x for x in [1, 2]), "argument 'ids': 'generator' object is not an instance of 'Sequence'"),
        (iter([1, 2]), "argument 'ids': 'list_iterator' object is not an instance of 'Sequence'"),
    ],
)
@pytest.mark.parametrize("make", [glent.Glent, glent.StereoGlent])
def test_ids_refused_with_exact_messages(make, ids, message):
    with pytest.raises(TypeError) as info:
        make().remove_id(ids)
    assert str(info.value) == message


@pytest.mark.parametrize("ids", [[1.0], ["3"], [None], [1, 2, 1.5]])
def test_non_integer_ids_are_prefixed_type_errors(ids):
    with pytest.raises(TypeError, match=r"^argument 'ids': "):
        glent.Glent().remove_id(ids)


@pytest.mark.parametrize("ids", [[-1], [2**64], [0, -(2**70)]])
def test_out_of_range_ids_are_unprefixed_overflow(ids):
    with pytest.raises(OverflowError) as info:
        glent.Glent().remove_id(ids)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "ids",
    [[0, 2], (0, 2), np.array([0, 2]), np.array([0, 2], dtype=np.uint64), [False, 2], [2**64 - 1, 0, 2],
     range(0, 3, 2), bytearray([0, 2])],
)
def test_id_sequences_accepted(ids):
    g = glent.Glent()
    g.add_points([(1.0, 1.0), (2.0, 2.0), (3.0, 3.0)])
    g.remove_id(ids)
    assert list(g.get_track_points()) == [1]


# ---- points: List conversion with Pair elements ----


@pytest.mark.parametrize(
    "points, exc, message",
    [
        ([[1.0, 2.0]], TypeError, "argument 'points': 'list' object is not an instance of 'tuple'"),
        ([(1.0, 2.0), [3.0, 4.0]], TypeError, "argument 'points': 'list' object is not an instance of 'tuple'"),
        ([None], TypeError, "argument 'points': 'None' is not an instance of 'tuple'"),
        ([np.array([1.0, 2.0])], TypeError, "argument 'points': 'ndarray' object is not an instance of 'tuple'"),
        ([(1.0, 2.0, 3.0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ("ab", TypeError, "argument 'points': Can't extract `str` to `Vec`"),
        ((p for p in [(1.0, 2.0)]), TypeError, "argument 'points': 'generator' object is not an instance of 'Sequence'"),
        ([("1", 2.0)], TypeError, None),
        ([(1.0, None)], TypeError, None),
    ],
)
def test_points_refused_and_nothing_added(points, exc, message):
    g = glent.Glent()
    with pytest.raises(exc) as info:
        g.add_points(points)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is TypeError:
        assert str(info.value).startswith("argument 'points': ")
    assert g.get_track_points() == {}
    assert repr(g) == "Glent(tracked_points=0)"


class FloatLike:
    def __float__(self):
        return 2.5


class TupleSubclass(tuple):
    pass


def test_point_coordinates_pass_through_float32():
    g = glent.Glent()
    g.add_points([(0.1, 0.2), (1, 2), (FloatLike(), IndexLike(7)), TupleSubclass((3.0, 4.0)),
                  (np.float64(0.5), np.int16(-3))])
    assert g.get_track_points() == {
        0: (0.10000000149011612, 0.20000000298023224),
        1: (1.0, 2.0),
        2: (2.5, 7.0),
        3: (3.0, 4.0),
        4: (0.5, -3.0),
    }


@pytest.mark.parametrize(
    "value, expected",
    [
        (1e39, float("inf")),
        (-1e39, float("-inf")),
        (3.4028235e38, 3.4028234663852886e38),  # past the largest float by less than half an ulp
        (-3.4028235e38, -3.4028234663852886e38),
        (3.4028235677973366e38, float("inf")),  # exactly half an ulp past: ties to even
        (2.0**128, float("inf")),
        (1e-50, 0.0),
        (16777217.0, 16777216.0),  # ties to even
    ],
)
def test_coordinates_round_to_nearest_float(value, expected):
    g = glent.Glent()
    g.add_points([(value, 0.0)])
    assert g.get_track_points()[0][0] == expected


def test_nan_coordinate_is_kept_as_nan():
    g = glent.Glent()
    g.add_points([(float("nan"), 1.0)])
    x, y = g.get_track_points()[0]
    assert x != x and y == 1.0


# ---- points of track_points: Dict conversion ----


@pytest.mark.parametrize(
    "points, exc, message",
    [
        ([(1.0, 2.0)], TypeError, "argument 'points': 'list' object is not an instance of 'dict'"),
        (None, TypeError, "argument 'points': 'None' is not an instance of 'dict'"),
        ({1: [1.0, 2.0]}, TypeError, "argument 'points': 'list' object is not an instance of 'tuple'"),
        ({1: (1.0,)}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ({-1: (1.0, 2.0)}, OverflowError, None),
        ({2**64: (1.0, 2.0)}, OverflowError, None),
        ({1.0: (1.0, 2.0)}, TypeError, None),
        ({"a": (1.0, 2.0)}, TypeError, None),
        ({1: ("x", 2.0)}, TypeError, None),
    ],
)
def test_track_points_dict_refusals(pyramid, points, exc, message):
    with pytest.raises(exc) as info:
        glent.track_points(pyramid, pyramid, points)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is TypeError:
        assert str(info.value).startswith("argument 'points': ")
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros((4, 4), np.uint8), "P", {}),
         "argument 'pyramid0': 'ndarray' object is not an instance of 'ImagePyramid'"),
        (("P", None, {}), "argument 'pyramid1': 'None' is not an instance of 'ImagePyramid'"),
        (("P", glent.Glent(), {}), "argument 'pyramid1': 'Glent' object is not an instance of 'ImagePyramid'"),
    ],
)
def test_track_points_pyramid_refusals(pyramid, args, message):
    args = tuple(pyramid if isinstance(a, str) else a for a in args)
    with pytest.raises(TypeError) as info:
        glent.track_points(*args)
    assert str(info.value) == message


def test_dict_subclass_accepted(pyramid):
    class D(dict):
        pass

    assert glent.track_points(pyramid, pyramid, D()) == {}
