"""Glent and StereoGlent end to end: ids, positions, editing, determinism."""

import numpy as np
import pytest
from scipy import ndimage  # installed with scikit-image
from skimage import data as skdata

import glent



@pytest.fixture(scope="module")
def photo(sample_photos):
    return ndimage.gaussian_filter(skdata.camera().astype(np.float64), 1.0)


def frame_at(photo, dx=0.0, dy=0.0):
    moved = ndimage.shift(photo, (dy, dx), order=3, mode="nearest") if dx or dy else photo
    return np.clip(np.round(moved), 0, 255).astype(np.uint8)


def test_new_tracker_is_empty():
    assert glent.Glent().get_track_points() == {}
    assert glent.StereoGlent().get_track_points() == ({}, {})
    assert repr(glent.Glent()) == "Glent(tracked_points=0)"
    assert repr(glent.StereoGlent()) == "StereoGlent(tracked_points=0)"


def test_add_points_then_report_exactly():
    g = glent.Glent()
    assert g.add_points([(10.0, 20.0), (30.5, 40.25)]) is None
    assert repr(g) == "Glent(tracked_points=2)"
    assert g.get_track_points() == {0: (10.0, 20.0), 1: (30.5, 40.25)}


def test_empty_edits_change_nothing():
    g = glent.Glent()
    g.add_points([(1.0, 1.0)])
    assert g.add_points([]) is None
    assert g.remove_id([]) is None
    assert g.remove_id([99]) is None
    assert g.get_track_points() == {0: (1.0, 1.0)}


def test_first_frame_seeds_consecutive_ids_at_integer_positions(photo):
    g = glent.Glent(levels=3, grid_size=32)
    assert g.process_frame(frame_at(photo)) is None
    points = g.get_track_points()
    assert len(points) > 20
    assert list(points) == list(range(len(points)))
    assert repr(g) == f"Glent(tracked_points={len(points)})"
    for x, y in points.values():
        assert x == int(x) and y == int(y)
        assert 0 <= x < 512 and 0 <= y < 512
    # At most one new point per grid cell.
    cells = {(int(x) // 32, int(y) // 32) for x, y in points.values()}
    assert len(cells) == len(points)


def test_points_follow_a_known_shift(photo):
    g = glent.Glent(levels=3, grid_size=32)
    g.process_frame(frame_at(photo))
    start = g.get_track_points()
    g.process_frame(frame_at(photo, 1.5, -0.75))
    moved = g.get_track_points()
    survivors = [i for i in start if i in moved]
    assert len(survivors) >= 0.7 * len(start)
    errors = [np.hypot(moved[i][0] - start[i][0] - 1.5, moved[i][1] - start[i][1] + 0.75) for i in survivors]
    assert np.median(errors) < 0.1
    # Ids handed out in this frame continue the sequence and are never reused.
    new_ids = sorted(set(moved) - set(start))
    assert new_ids == list(range(len(start), len(start) + len(new_ids)))


def test_ids_are_never_reused(photo):
    g = glent.Glent(levels=3, grid_size=32)
    g.process_frame(frame_at(photo))
    first = g.get_track_points()
    g.remove_id(list(first))
    assert g.get_track_points() == {}
    g.process_frame(frame_at(photo))
    second = g.get_track_points()
    assert second and min(second) >= len(first)
    g.add_points([(100.0, 100.0)])
    assert max(g.get_track_points()) == max(second) + 1


def test_added_points_are_tracked_with_the_frame(photo):
    g = glent.Glent(levels=3, grid_size=512)
    g.add_points([(300.0, 300.0)])
    g.process_frame(frame_at(photo))  # first frame: added points stay as they are
    assert g.get_track_points()[0] == (300.0, 300.0)


def test_same_frames_give_same_tracks(photo):
    a, b = glent.Glent(levels=3, grid_size=24), glent.Glent(levels=3, grid_size=24)
    for dx in (0.0, 0.6, 1.4):
        a.process_frame(frame_at(photo, dx, 0.3 * dx))
        b.process_frame(frame_at(photo, dx, 0.3 * dx))
        assert a.get_track_points() == b.get_track_points()
        assert list(a.get_track_points()) == sorted(a.get_track_points())


def test_repeated_reports_are_equal(photo):
    g = glent.Glent()
    g.process_frame(frame_at(photo))
    assert g.get_track_points() == g.get_track_points()


def test_frame_shapes_accepted_alike(photo):
    a, b = glent.Glent(levels=2), glent.Glent(levels=2)
    frame = frame_at(photo)
    a.process_frame(frame)
    b.process_frame(frame[:, :, None])
    assert a.get_track_points() == b.get_track_points()


def test_stereo_first_pair_has_same_ids_in_both_cameras(photo):
    s = glent.StereoGlent(levels=3, grid_size=32)
    s.process_frame(frame_at(photo), frame_at(photo, -3.5, 0.0))
    left, right = s.get_track_points()
    assert left and set(left) == set(right)
    assert repr(s) == f"StereoGlent(tracked_points={len(left)})"
    assert sorted(left) == list(range(len(left)))
    errors = []
    for i, (x, y) in left.items():
        assert x == int(x) and y == int(y)
        rx, ry = right[i]
        errors.append(np.hypot(rx - (x - 3.5), ry - y))
    assert np.median(errors) < 0.1 and max(errors) < 0.5


def test_stereo_tracks_both_cameras_over_time(photo):
    s = glent.StereoGlent(levels=3, grid_size=32)
    s.process_frame(frame_at(photo), frame_at(photo, -2.0, 0.0))
    left0, right0 = s.get_track_points()
    s.process_frame(frame_at(photo, 1.0, 0.5), frame_at(photo, -1.0, 0.5))
    left1, right1 = s.get_track_points()
    for before, after, expected in ((left0, left1, (1.0, 0.5)), (right0, right1, (1.0, 0.5))):
        common = set(before) & set(after)
        assert len(common) >= 0.7 * len(before)
        errors = [np.hypot(after[i][0] - before[i][0] - expected[0], after[i][1] - before[i][1] - expected[1])
                  for i in common]
        assert np.median(errors) < 0.1 and max(errors) < 0.5


def test_stereo_remove_id_removes_from_both_cameras(photo):
    s = glent.StereoGlent(levels=3, grid_size=32)
    s.process_frame(frame_at(photo), frame_at(photo))
    left, right = s.get_track_points()
    victim = sorted(left)[1]
    assert s.remove_id([victim, 10**9]) is None
    left2, right2 = s.get_track_points()
    assert victim not in left2 and victim not in right2
    assert len(left2) == len(left) - 1 and len(right2) == len(right) - 1


def test_stereo_pair_without_matches_adds_nothing(photo):
    s = glent.StereoGlent(levels=3, grid_size=32)
    # Every candidate lies outside the tiny right image, so none can be matched.
    s.process_frame(frame_at(photo), np.zeros((8, 8), np.uint8))
    assert s.get_track_points() == ({}, {})
    # No id was used up by the unmatched candidates.
    s.process_frame(frame_at(photo), frame_at(photo))
    assert min(s.get_track_points()[0]) == 0


@pytest.mark.resident_memory
def test_tracker_state_is_released_with_the_object(photo):
    import gc

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4

    frame = frame_at(photo)
    for _ in range(5):  # warm up the allocator
        glent.StereoGlent().process_frame(frame, frame)
    gc.collect()
    before = rss_kib()
    for _ in range(40):
        g = glent.Glent()
        g.process_frame(frame)
        g.get_track_points()
        s = glent.StereoGlent()
        s.process_frame(frame, frame)
        del g, s
    gc.collect()
    # Each round holds three 512 x 512 pyramids (about 1 MiB): keeping them would show as 40 MiB.
    assert rss_kib() - before < 8 * 1024


def test_many_streams_example_writes_each_stream_as_tracked_alone(tmp_path):
    # examples/track_many.py on a local Dask cluster (loopback): one task per stream, and every
    # stream's file holds exactly what one tracker gives on the same frames in this process.
    pytest.importorskip("distributed")
    sequences = pytest.importorskip("glent_sequences")
    import subprocess
    import sys
    from pathlib import Path

    script = Path(__file__).resolve().parents[2] / "examples" / "track_many.py"
    if not script.exists():
        pytest.skip("the examples are not in this tree")
    out = tmp_path / "tracks"
    result = subprocess.run(
        [sys.executable, str(script), "--workers", "2", "--streams", "2", "--frames", "4",
         "--width", "160", "--height", "120", "--out", str(out)],
        capture_output=True, text=True, timeout=240, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "streams per minute" in result.stdout
    for i, photo in enumerate(sequences.PHOTOS[:2]):
        saved = np.load(out / f"synthetic_{photo}_{i}.npz")
        g = glent.Glent()
        rows = []
        for k, image in enumerate(sequences.render_sequence(4, photo, width=160, height=120,
                                                            seed=i).frames):
            g.process_frame(image)
            rows += [(k, t, x, y) for t, (x, y) in g.get_track_points().items()]
        assert len(rows) > 0
        assert saved["frame"].tolist() == [r[0] for r in rows]
        assert saved["id"].tolist() == [r[1] for r in rows]
        assert saved["x"].tolist() == [np.float32(r[2]) for r in rows]
        assert saved["y"].tolist() == [np.float32(r[3]) for r in rows]


@pytest.mark.parametrize("args, written", [
    (["demo.py", "--frames", "7"], {"tracks.png": 1, "tracks.gif": 3}),
    (["demo.py", "--stereo"], {"stereo.png": 1}),
    (["stabilise.py", "--frames", "7"], {"stabilised.gif": 3, "stabilised.png": 1}),
], ids=["demo", "demo_stereo", "stabilise"])
def test_example_runs_from_one_command_and_writes_its_pictures(tmp_path, args, written):
    # The examples as README runs them, on a few frames, into a fresh folder: each succeeds,
    # writes its pictures (the animations with one frame in three), ends by naming them, and
    # its figures show that the tracks did their job.
    import re
    import subprocess
    import sys
    from pathlib import Path

    for module in ("cv2", "PIL", "tqdm", "matplotlib", "glent_sequences"):
        pytest.importorskip(module, reason=f"the examples need {module}: the examples extra")
    from PIL import Image

    script = Path(__file__).resolve().parents[2] / "examples" / args[0]
    if not script.exists():
        pytest.skip("the examples are not in this tree")
    result = subprocess.run([sys.executable, str(script), *args[1:], "--out", str(tmp_path)],
                            capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(written)
    for name, frames in written.items():
        with Image.open(tmp_path / name) as picture:
            assert getattr(picture, "n_frames", 1) == frames, name
    last = result.stdout.strip().splitlines()[-1]
    assert last.startswith("wrote ") and all(name in last for name in written), last
    if "--stereo" in args:
        # The default levels follow the pair's largest disparity, which 4 levels do not reach.
        matches = int(re.search(r"(\d+) matched features", result.stdout).group(1))
        assert matches >= 300, result.stdout
    elif args[0] == "stabilise.py":
        before, after = (float(m) for m in re.findall(r"median ([\d.]+) px/frame", result.stdout))
        assert before > 1.0 and after < 0.05 * before, result.stdout
    else:
        error = float(re.search(r"known motion +median ([\d.]+) px", result.stdout).group(1))
        assert error < 0.2, result.stdout
