"""Hostile and re-entrant input: nothing crashes, leaks or changes state when a call is refused."""

import gc
import sys

import numpy as np
import pytest

import glent

# ---- the fatal-error exception ----


def fatal_call():
    g = glent.Glent(levels=0, grid_size=0)
    g.process_frame(np.zeros((32, 32), np.uint8))


def test_fatal_error_is_base_exception_not_exception(capfd):
    with pytest.raises(BaseException) as info:
        try:
            fatal_call()
        except Exception:  # must not catch it
            pytest.fail("the fatal error was caught by `except Exception`")
    exc_type = type(info.value)
    assert exc_type.__bases__ == (BaseException,)
    assert not issubclass(exc_type, Exception)
    assert str(info.value) == "attempt to divide by zero"
    assert exc_type.__doc__ and "SystemExit" in exc_type.__doc__
    assert not any(getattr(glent, n) is exc_type for n in dir(glent))
    err = capfd.readouterr().err
    assert "attempt to divide by zero" in err and "main" in err


def test_fatal_error_class_is_one_per_process():
    types = set()
    for _ in range(2):
        try:
            fatal_call()
        except BaseException as e:  # noqa: B036
            types.add(type(e))
    assert len(types) == 1


def test_object_usable_after_fatal_error(frame):
    g = glent.Glent(levels=2, grid_size=0)
    g.add_points([(5.0, 5.0)])
    with pytest.raises(BaseException, match="attempt to divide by zero"):
        g.process_frame(frame)
    # The use was given back: shared and exclusive calls work again.
    assert repr(g) == "Glent(tracked_points=1)"
    g.add_points([(6.0, 6.0)])
    g.remove_id([0])
    assert list(g.get_track_points()) == [1]
    # And the module as a whole keeps working.
    assert len(glent.build_image_pyramid(frame, 2)) == 2


def test_fatal_error_on_pyramids_of_different_depth(frame):
    a = glent.build_image_pyramid(frame, 3)
    b = glent.build_image_pyramid(frame, 4)
    with pytest.raises(BaseException) as info:
        glent.track_points(a, b, {0: (10.0, 10.0)})
    assert str(info.value) == "assertion failed: levels == image_pyramid1.len() as u32"
    assert not isinstance(info.value, Exception)
    assert glent.track_points(a, b, {}) == {}
    assert len(a) == 3 and len(b) == 4  # both uses given back


def test_stereo_fatal_error_leaves_object_usable(frame):
    s = glent.StereoGlent(levels=2, grid_size=0)
    with pytest.raises(BaseException, match="attempt to divide by zero"):
        s.process_frame(frame, frame)
    assert s.get_track_points() == ({}, {})
    assert repr(s) == "StereoGlent(tracked_points=0)"


# ---- refused calls leave state unchanged ----


def snapshot(obj):
    return repr(obj), obj.get_track_points()


BAD_FRAMES = [np.zeros((40, 40), np.float32), np.zeros((40, 40, 3), np.uint8),
              np.zeros((40, 80), np.uint8)[:, ::2], "frame", None]


@pytest.mark.parametrize("bad", BAD_FRAMES, ids=["float", "rgb", "strided", "str", "None"])
def test_refused_frame_leaves_glent_as_its_twin(frames, bad):
    g, twin = glent.Glent(levels=2, grid_size=16), glent.Glent(levels=2, grid_size=16)
    g.process_frame(frames[0])
    twin.process_frame(frames[0])
    with pytest.raises(ValueError):
        g.process_frame(bad)
    assert snapshot(g) == snapshot(twin)
    for f in frames[1:]:
        g.process_frame(f)
        twin.process_frame(f)
        assert snapshot(g) == snapshot(twin)


@pytest.mark.parametrize("bad_first", [True, False])
def test_refused_stereo_pair_leaves_tracker_as_its_twin(frames, bad_first):
    s, twin = glent.StereoGlent(levels=2, grid_size=16), glent.StereoGlent(levels=2, grid_size=16)
    s.process_frame(frames[0], frames[0])
    twin.process_frame(frames[0], frames[0])
    bad = np.zeros((40, 40), np.int8)
    with pytest.raises(ValueError):
        if bad_first:
            s.process_frame(bad, frames[1])
        else:
            s.process_frame(frames[1], bad)
    assert snapshot(s) == snapshot(twin)
    s.process_frame(frames[1], frames[1])
    twin.process_frame(frames[1], frames[1])
    assert snapshot(s) == snapshot(twin)


def test_huge_levels_fails_with_memory_error_at_first_frame(frame):
    g = glent.Glent(levels=2**32 - 1)
    g.add_points([(1.0, 2.0)])
    with pytest.raises(MemoryError):
        g.process_frame(frame)
    assert g.get_track_points() == {0: (1.0, 2.0)}
    s = glent.StereoGlent(levels=2**32 - 1)
    with pytest.raises(MemoryError):
        s.process_frame(frame, frame)
    assert s.get_track_points() == ({}, {})


@pytest.mark.parametrize(
    "points",
    [[(1.0, 2.0), [3.0, 4.0]], [(1.0, 2.0), (1.0, 2.0, 3.0)], [(1.0, 2.0), ("a", 1.0)], "xy", 7],
)
def test_refused_add_points_adds_nothing(points):
    g = glent.Glent()
    g.add_points([(9.0, 9.0)])
    with pytest.raises((TypeError, ValueError)):
        g.add_points(points)
    assert snapshot(g) == ("Glent(tracked_points=1)", {0: (9.0, 9.0)})
    g.add_points([(8.0, 8.0)])
    assert list(g.get_track_points()) == [0, 1]  # the refused call used no id


@pytest.mark.parametrize("make", [glent.Glent, glent.StereoGlent])
@pytest.mark.parametrize("ids", [[0, -1], [0, "1"], [0, 2**64], "0"])
def test_refused_remove_id_removes_nothing(make, frame, ids):
    t = make(levels=2, grid_size=16)
    if make is glent.Glent:
        t.add_points([(9.0, 9.0), (10.0, 10.0)])
    else:
        t.process_frame(frame, frame)
    before = snapshot(t)
    with pytest.raises((TypeError, OverflowError)):
        t.remove_id(ids)
    assert snapshot(t) == before


# ---- hostile conversions ----


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index failed")


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("float failed")


class RaisingIter(list):
    def __iter__(self):
        raise ZeroDivisionError("iter failed")


class FailsMidway(list):
    def __iter__(self):
        yield (1.0, 2.0)
        raise ZeroDivisionError("midway")


@pytest.mark.parametrize(
    "call",
    [
        lambda g, p: g.remove_id([RaisingIndex()]),
        lambda g, p: g.add_points([(RaisingFloat(), 1.0)]),
        lambda g, p: g.add_points([(1.0, RaisingIndex())]),
        lambda g, p: g.add_points(RaisingIter([(1.0, 2.0)])),
        lambda g, p: g.add_points(FailsMidway()),
        lambda g, p: glent.Glent(levels=RaisingIndex()),
        lambda g, p: p[RaisingIndex()],
        lambda g, p: glent.track_points(p, p, {RaisingIndex(): (1.0, 2.0)}),
        lambda g, p: glent.track_points(p, p, {1: (RaisingFloat(), 2.0)}),
    ],
)
def test_raising_dunder_methods_propagate_their_error(frame, call):
    g = glent.Glent()
    p = glent.build_image_pyramid(frame, 2)
    with pytest.raises(ZeroDivisionError):
        call(g, p)
    assert g.get_track_points() == {}
    g.add_points([(1.0, 1.0)])  # the use was given back


class LyingLen(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


@pytest.mark.parametrize("length", [2**62, 2**63 - 1, 0, 10**30, -1, ValueError("no len")])
def test_lying_len_is_only_a_hint(length):
    g = glent.Glent()
    g.add_points(LyingLen([(1.0, 2.0), (3.0, 4.0)], length))
    assert g.get_track_points() == {0: (1.0, 2.0), 1: (3.0, 4.0)}
    g.remove_id(LyingLen([0], length))
    assert list(g.get_track_points()) == [1]


def test_long_sequences_convert_completely():
    g = glent.Glent()
    n = 70_000  # beyond the capacity reserved from a length hint
    g.add_points([(float(i), 0.0) for i in range(n)])
    assert repr(g) == f"Glent(tracked_points={n})"
    g.remove_id(range(0, n, 7000))
    assert repr(g) == f"Glent(tracked_points={n - 10})"


# ---- re-entrancy ----


def test_iterator_calling_back_into_same_tracker_is_refused():
    g = glent.Glent()

    class Sneaky(list):
        def __iter__(self):
            g.get_track_points()
            return super().__iter__()

    with pytest.raises(RuntimeError) as info:
        g.add_points(Sneaky([(1.0, 2.0)]))
    assert str(info.value) == "Already mutably borrowed"
    assert repr(g) == "Glent(tracked_points=0)"


def frame_for(t):
    return [np.zeros((8, 8), np.uint8)] * (2 if isinstance(t, glent.StereoGlent) else 1)


CALLBACKS = [
    (lambda t: t.get_track_points(), "Already mutably borrowed"),
    (lambda t: repr(t), "Already mutably borrowed"),
    (lambda t: t.remove_id([]), "Already borrowed"),
    (lambda t: t.process_frame(*frame_for(t)), "Already borrowed"),
]


@pytest.mark.parametrize(
    "make, inner, message",
    [(make, inner, message) for make in (glent.Glent, glent.StereoGlent) for inner, message in CALLBACKS]
    + [(glent.Glent, lambda t: t.add_points([]), "Already borrowed")],
)
def test_index_calling_back_during_remove_id_is_refused(make, inner, message):
    t = make()
    seen = []

    class CallsBack:
        def __index__(self):
            try:
                inner(t)
            except RuntimeError as e:
                seen.append(str(e))
                raise
            return 0

    with pytest.raises(RuntimeError) as info:
        t.remove_id([CallsBack()])
    assert str(info.value) == message == seen[0]
    repr(t)
    t.remove_id([])  # free again


def test_caught_reentry_lets_outer_call_finish():
    g = glent.Glent()
    inner_errors = []

    class Polite(list):
        def __iter__(self):
            try:
                g.add_points([(0.0, 0.0)])
            except RuntimeError as e:
                inner_errors.append(str(e))
            return super().__iter__()

    g.add_points(Polite([(1.0, 2.0)]))
    assert inner_errors == ["Already borrowed"]
    assert g.get_track_points() == {0: (1.0, 2.0)}


def test_shared_uses_of_a_pyramid_nest(frame):
    p = glent.build_image_pyramid(frame, 3)

    class Reads:
        def __index__(self):
            assert len(p) == 3
            repr(p)
            p[0]
            return 1

    assert p[Reads()].shape == p[1].shape
    assert glent.track_points(p, p, {Reads(): (-50.0, -50.0)}) == {}


def test_tracker_kept_alive_while_in_use():
    holder = {"g": glent.Glent()}

    class Drops(list):
        def __iter__(self):
            holder.clear()
            gc.collect()
            return super().__iter__()

    g = holder["g"]
    g.add_points(Drops([(1.0, 2.0)]))
    del g
    gc.collect()


def test_dict_resized_during_conversion_is_fatal(frame):
    p = glent.build_image_pyramid(frame, 2)
    points = {}

    class Grows:
        def __index__(self):
            points[10**6 + len(points)] = (0.0, 0.0)
            return 1

    points[Grows()] = (1.0, 2.0)
    points[2] = (3.0, 4.0)
    with pytest.raises(BaseException) as info:
        glent.track_points(p, p, points)
    assert str(info.value) == "dictionary changed size during iteration"
    assert not isinstance(info.value, Exception)
    assert len(p) == 2


def test_dict_entry_replaced_during_conversion_is_safe(frame):
    p = glent.build_image_pyramid(frame, 2)
    points = {}

    class Swaps:
        def __index__(self):
            # Same size afterwards, but this key and its value are gone from the dict.
            del points[self]
            points[("new", id(self))] = (0.0, 0.0)
            return 1

    points[Swaps()] = (1.0, 2.0)
    points[2] = (3.0, 4.0)
    try:
        glent.track_points(p, p, points)
    except TypeError:
        pass  # the tuple key inserted by Swaps is not an integer
    except BaseException as e:  # a fatal "keys changed" error is fine too
        assert "during iteration" in str(e)


def test_equal_ids_from_distinct_keys_keep_the_later_entry(frame):
    class OtherOne(int):
        def __hash__(self):
            return 12345

        def __eq__(self, other):
            return self is other

    p = glent.build_image_pyramid(frame, 2)
    points = {1: (60.0, 50.0), OtherOne(1): (100.0, 70.0)}
    assert len(points) == 2
    result = glent.track_points(p, p, points)
    assert list(result) == [1]  # both positions track on their own
    x, y = result[1]
    assert abs(x - 100.0) < 1.0 and abs(y - 70.0) < 1.0


# ---- leaks ----


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def hammer(frame, rounds):
    p = glent.build_image_pyramid(frame, 2)
    g = glent.Glent(levels=2)
    bad_frame = np.zeros((64, 64, 3), np.uint8)
    for _ in range(rounds):
        for call in (
            lambda: g.process_frame(bad_frame),
            lambda: g.add_points([(1.0, 2.0), [3.0, 4.0]]),
            lambda: g.remove_id([1, -1]),
            lambda: g.remove_id("x"),
            lambda: glent.Glent(levels=4.0),
            lambda: glent.Glent(1, 2, 3),
            lambda: glent.track_points(p, p, {1: (1.0, "y")}),
            lambda: glent.track_points(p, "p", {}),
            lambda: p[99],
            lambda: p["x"],
            lambda: glent.build_image_pyramid(frame, 2**32 - 1),
        ):
            try:
                call()
            except (TypeError, ValueError, OverflowError, MemoryError):
                pass
        p[0]
        glent.build_image_pyramid(frame, 2)
        g.add_points([(1.0, 2.0)])
        g.get_track_points()
        g.remove_id([0])


@pytest.mark.resident_memory
def test_refused_calls_do_not_leak(frame):
    hammer(frame, 1000)  # warm up caches and allocator pools
    gc.collect()
    blocks = sys.getallocatedblocks()
    before = rss_kib()
    hammer(frame, 2000)
    gc.collect()
    # 22000 refused calls: one leaked object per call would show as tens of thousands of blocks.
    assert sys.getallocatedblocks() - blocks < 1000
    assert rss_kib() - before < 4096


def test_arguments_hold_no_extra_references(frame):
    points = [(1.0, 2.0)]
    ids = [0]
    d = {0: (1.0, 2.0)}
    p = glent.build_image_pyramid(frame, 2)
    counts = [sys.getrefcount(o) for o in (points, ids, d, p, frame)]
    g = glent.Glent()
    for _ in range(100):
        g.add_points(points)
        g.remove_id(ids)
        glent.track_points(p, p, d)
        glent.build_image_pyramid(frame, 1)
        try:
            g.add_points([points])
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in (points, ids, d, p, frame)] == counts
