"""track_points end to end on a real photograph, and its independence of threads and forks."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import ndimage  # installed with scikit-image
from skimage import data as skdata

import glent



def smooth_photo():
    return ndimage.gaussian_filter(skdata.camera().astype(np.float64), 1.5)


def to_frame(image):
    return np.clip(np.round(image), 0, 255).astype(np.uint8)


def shifted(image, dx, dy):
    """The picture moved by (dx, dy): content at (x, y) appears at (x + dx, y + dy)."""
    return ndimage.shift(image, (dy, dx), order=3, mode="nearest")


def strong_corners(image, count=60, margin=40, spacing=24):
    """Positions with a large smallest structure-tensor eigenvalue, spread over the frame."""
    gy, gx = np.gradient(image)
    sxx = ndimage.uniform_filter(gx * gx, 7)
    syy = ndimage.uniform_filter(gy * gy, 7)
    sxy = ndimage.uniform_filter(gx * gy, 7)
    score = (sxx + syy) / 2 - np.sqrt(((sxx - syy) / 2) ** 2 + sxy**2)
    score[:margin] = score[-margin:] = 0
    score[:, :margin] = score[:, -margin:] = 0
    chosen = []
    for flat in np.argsort(score, axis=None)[::-1]:
        y, x = divmod(int(flat), image.shape[1])
        if all(abs(x - cx) >= spacing or abs(y - cy) >= spacing for cx, cy in chosen):
            chosen.append((x, y))
            if len(chosen) == count:
                break
    return chosen


@pytest.fixture(scope="module")
def photo(sample_photos):
    return smooth_photo()


@pytest.mark.parametrize("dx, dy", [(0.25, 0.0), (0.0, -0.5), (0.75, 0.4), (-1.3, 2.6), (5.5, -3.25)])
def test_known_subpixel_shift_is_recovered(photo, dx, dy):
    p0 = glent.build_image_pyramid(to_frame(photo), 4)
    p1 = glent.build_image_pyramid(to_frame(shifted(photo, dx, dy)), 4)
    corners = strong_corners(photo)
    points = {i: (float(x), float(y)) for i, (x, y) in enumerate(corners)}
    result = glent.track_points(p0, p1, points)
    assert len(result) >= 0.8 * len(points)
    errors = np.array([np.hypot(x - points[i][0] - dx, y - points[i][1] - dy) for i, (x, y) in result.items()])
    assert np.median(errors) < 0.06
    assert np.percentile(errors, 90) < 0.15
    assert errors.max() < 0.5


def test_unchanged_frame_keeps_every_point_in_place(photo):
    p = glent.build_image_pyramid(to_frame(photo), 3)
    points = {i: (float(x), float(y)) for i, (x, y) in enumerate(strong_corners(photo, count=20))}
    result = glent.track_points(p, p, points)
    assert set(result) == set(points)
    for i, (x, y) in result.items():
        assert abs(x - points[i][0]) < 0.02 and abs(y - points[i][1]) < 0.02


def test_results_are_python_floats_in_ascending_id_order(photo):
    p = glent.build_image_pyramid(to_frame(photo), 3)
    corners = strong_corners(photo, count=10)
    ids = [2**63 + 5, 7, 2**64 - 1, 0, 123456789, 3, 1, 99, 2**40, 5]
    result = glent.track_points(p, p, {i: (float(x), float(y)) for i, (x, y) in zip(ids, corners)})
    assert list(result) == sorted(ids)
    for x, y in result.values():
        assert type(x) is float and type(y) is float


def test_lost_points_are_simply_absent(photo):
    p = glent.build_image_pyramid(to_frame(photo), 3)
    x, y = strong_corners(photo, count=1)[0]
    result = glent.track_points(p, p, {0: (-50.0, -50.0), 1: (float(x), float(y)), 2: (1e9, 5.0),
                                       3: (float("nan"), 5.0), 4: (float("inf"), float("-inf"))})
    assert list(result) == [1]


@pytest.mark.parametrize("x", [-3.0, -1.0, 0.0, 1.0, 1.6, 510.0, 511.5, 513.0])
def test_points_on_the_frame_edge_are_lost_not_frozen(photo, x):
    # Their patches hang over the border, so they can never be compared with the new frame; a
    # point that merely stayed where it was must not be reported as tracked.
    p0 = glent.build_image_pyramid(to_frame(photo), 4)
    p1 = glent.build_image_pyramid(to_frame(shifted(photo, 3.0, 0.0)), 4)
    points = {i: (x, float(y)) for i, y in enumerate(range(60, 460, 20))}
    assert glent.track_points(p0, p1, points) == {}
    assert glent.track_points(p0, p0, points) == {}


@pytest.mark.parametrize("levels0, levels1", [(2, 2), (3, 4), (1, 5)])
def test_empty_points_give_empty_dict_whatever_the_depths(photo, levels0, levels1):
    frame = to_frame(photo)
    p0 = glent.build_image_pyramid(frame, levels0)
    p1 = glent.build_image_pyramid(frame, levels1)
    assert glent.track_points(p0, p1, {}) == {}


def test_pyramids_are_not_modified(photo):
    frame = to_frame(photo)
    p0 = glent.build_image_pyramid(frame, 3)
    p1 = glent.build_image_pyramid(to_frame(shifted(photo, 1.5, 0.5)), 3)
    before = [p0[k].copy() for k in range(3)] + [p1[k].copy() for k in range(3)]
    glent.track_points(p0, p1, {i: (float(x), float(y)) for i, (x, y) in enumerate(strong_corners(photo))})
    after = [p0[k] for k in range(3)] + [p1[k] for k in range(3)]
    for a, b in zip(before, after):
        np.testing.assert_array_equal(a, b)


def test_tracking_is_independent_of_input_order(photo):
    p0 = glent.build_image_pyramid(to_frame(photo), 4)
    p1 = glent.build_image_pyramid(to_frame(shifted(photo, 2.25, -1.5)), 4)
    items = [(i, (float(x), float(y))) for i, (x, y) in enumerate(strong_corners(photo))]
    forward = glent.track_points(p0, p1, dict(items))
    backward = glent.track_points(p0, p1, dict(reversed(items)))
    assert forward == backward


DETERMINISM_SCRIPT = """
import sys
sys.path.insert(0, {here!r})
import numpy as np
import glent
from test_track_points import smooth_photo, to_frame, shifted, strong_corners
photo = smooth_photo()
p0 = glent.build_image_pyramid(to_frame(photo), 4)
p1 = glent.build_image_pyramid(to_frame(shifted(photo, 1.75, -0.6)), 4)
points = {{i: (float(x), float(y)) for i, (x, y) in enumerate(strong_corners(photo, count=200, spacing=8))}}
print(sorted(glent.track_points(p0, p1, points).items()))
g = glent.Glent(levels=3, grid_size=16)
for dx in (0.0, 0.8, 1.9, 3.1):
    g.process_frame(to_frame(shifted(photo, dx, dx / 2)))
print(sorted(g.get_track_points().items()))
"""


def run_with_threads(threads):
    env = dict(os.environ)
    env.pop("GLENT_NUM_THREADS", None)
    if threads is not None:
        env["GLENT_NUM_THREADS"] = str(threads)
    script = DETERMINISM_SCRIPT.format(here=os.path.dirname(os.path.abspath(__file__)))
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                            timeout=300, cwd="/")
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_results_identical_for_one_thread_and_the_default_pool(sample_photos):
    single = run_with_threads(1)
    assert single == run_with_threads(None)
    assert single == run_with_threads(5)


POOL_THREADS_SCRIPT = """
import os
os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{cpus}])
import numpy as np
import glent

def threads():
    return len(os.listdir("/proc/self/task"))

frame = np.tile(np.arange(256, dtype=np.uint8), (256, 1)) ^ np.arange(256, dtype=np.uint8)[:, None]
p = glent.build_image_pyramid(frame, 3)
before = threads()
glent.track_points(p, p, {{i: (40.0 + i, 60.0 + i) for i in range(64)}})
print(threads() - before)
"""


@pytest.mark.parametrize("cpus, setting, workers", [(1, None, 0), (2, None, 1), (1, "3", 2)])
def test_pool_starts_one_worker_per_allowed_cpu_besides_the_caller(cpus, setting, workers):
    # The pool computes on the calling thread and size - 1 workers; by default its size is the
    # number of CPUs in the affinity mask, and GLENT_NUM_THREADS overrides that.
    if len(os.sched_getaffinity(0)) < cpus:
        pytest.skip(f"this process may use fewer than {cpus} CPUs")
    env = dict(os.environ)
    env.pop("GLENT_NUM_THREADS", None)
    if setting is not None:
        env["GLENT_NUM_THREADS"] = setting
    result = subprocess.run([sys.executable, "-c", POOL_THREADS_SCRIPT.format(cpus=cpus)], env=env,
                            capture_output=True, text=True, timeout=120, cwd="/")
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == workers


def track_in_child(frame0, frame1, points, queue):
    p0 = glent.build_image_pyramid(frame0, 4)
    p1 = glent.build_image_pyramid(frame1, 4)
    queue.put(glent.track_points(p0, p1, points))


def test_forked_child_gets_a_working_pool(photo):
    frame0 = to_frame(photo)
    frame1 = to_frame(shifted(photo, 0.5, 1.25))
    points = {i: (float(x), float(y)) for i, (x, y) in enumerate(strong_corners(photo, count=100, spacing=10))}
    # Use the pool in this process first, so the child inherits a started one.
    expected = glent.track_points(glent.build_image_pyramid(frame0, 4), glent.build_image_pyramid(frame1, 4),
                                  points)
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=track_in_child, args=(frame0, frame1, points, queue))
    child.start()
    try:
        got = queue.get(timeout=120)
    finally:
        child.join(timeout=120)
        if child.is_alive():
            child.kill()
    assert child.exitcode == 0
    assert got == expected
    # And the parent's pool still works.
    assert glent.track_points(glent.build_image_pyramid(frame0, 4), glent.build_image_pyramid(frame1, 4),
                              points) == expected
