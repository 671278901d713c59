"""The type information shipped with glent: the glent-stubs package that mypy and pyright read.

These run the type checkers as a user's editor would, against the installed package. They skip
when mypy (or pyright, with the node runtime it needs) is not installed.
"""

from __future__ import annotations

import ast
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

glent = pytest.importorskip("glent")

ROOT = Path(__file__).resolve().parents[2]


def installed_stub() -> Path:
    for entry in sys.path:
        candidate = Path(entry or ".") / "glent-stubs" / "__init__.pyi"
        if candidate.is_file():
            return candidate
    pytest.fail("the glent-stubs package is not installed")


def needs_mypy() -> None:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")


def run_mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # From an empty directory, so that only the installed package can be found.
    cmd = [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
           "--show-error-codes", "--no-error-summary", "--python-version",
           f"{sys.version_info.major}.{sys.version_info.minor}", *args]
    return subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=600)


USAGE = textwrap.dedent(
    """
    import numpy as np
    import glent

    frame = np.zeros((480, 640), dtype=np.uint8)
    tracker = glent.Glent(levels=4, grid_size=20)
    tracker.process_frame(frame)
    tracker.add_points([(1.0, 2.0), (3, 4), (np.float32(5.0), 6.5)])
    tracker.remove_id([0, np.uint64(1)])
    tracker.remove_id(np.array([2, 3]))
    reveal_type(tracker.get_track_points())
    stereo = glent.StereoGlent()
    stereo.process_frame(image0=frame, image1=frame)
    reveal_type(stereo.get_track_points())
    pyramid = glent.build_image_pyramid(frame, 4)
    reveal_type(pyramid)
    reveal_type(pyramid[1])
    reveal_type(len(pyramid))
    reveal_type(glent.track_points(pyramid, pyramid, {7: (1.0, 2.0)}))
    """
)

MISUSE = textwrap.dedent(
    """
    import numpy as np
    import glent

    frame = np.zeros((480, 640), dtype=np.uint8)
    tracker = glent.Glent()
    tracker.add_points([[1.0, 2.0]])
    tracker.add_points([(1.0, 2.0, 3.0)])
    tracker.process_frame("frame.png")
    tracker.remove_id("12")
    glent.StereoGlent().add_points([(1.0, 2.0)])
    glent.track_points(frame, frame, {0: (1.0, 2.0)})
    glent.Glent(size=3)
    x: str = tracker.get_track_points()[0][0]
    class Mine(glent.Glent): ...
    """
)
MISUSE_LINES = [7, 8, 9, 10, 11, 12, 13, 14, 15]


def test_stub_package_is_installed_beside_the_module() -> None:
    stub = installed_stub()
    assert stub.parent.parent == Path(glent.__file__).resolve().parent


def test_stub_names_and_docstrings_match_the_module() -> None:
    tree = ast.parse(installed_stub().read_text())
    stub_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", "") == "__all__"
    )
    assert stub_all == glent.__all__
    checked = 0
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            runtime = getattr(glent, node.name)
            assert ast.get_docstring(node) == runtime.__doc__, node.name
            checked += 1
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
                    method = getattr(runtime, item.name)
                    assert ast.get_docstring(item) == method.__doc__, f"{node.name}.{item.name}"
                    checked += 1
    # Glent has 4 methods, StereoGlent 3, plus 3 classes and 2 functions.
    assert checked == 12


def test_stubtest_finds_no_difference_to_the_installed_module(tmp_path: Path) -> None:
    needs_mypy()
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "glent"],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_infers_the_types_of_results(tmp_path: Path) -> None:
    needs_mypy()
    (tmp_path / "usage.py").write_text(USAGE)
    result = run_mypy(tmp_path, "--strict", "usage.py")
    # Older mypy versions spell builtin types with a "builtins." prefix.
    revealed = [t.replace("builtins.", "")
                for t in re.findall(r'Revealed type is "(.*)"', result.stdout)]
    points = "dict[int, tuple[float, float]]"
    assert len(revealed) == 6, result.stdout + result.stderr
    assert revealed[0] == points
    assert revealed[1] == f"tuple[{points}, {points}]"
    assert revealed[2] == "glent.ImagePyramid"
    assert "numpy.unsignedinteger" in revealed[3] or "numpy.uint8" in revealed[3]
    assert revealed[4] == "int"
    assert revealed[5] == points
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert errors == [], result.stdout


def test_mypy_reports_each_misuse(tmp_path: Path) -> None:
    needs_mypy()
    (tmp_path / "misuse.py").write_text(MISUSE)
    result = run_mypy(tmp_path, "misuse.py")
    lines = sorted({int(m) for m in re.findall(r"misuse\.py:(\d+): error", result.stdout)})
    assert lines == MISUSE_LINES, result.stdout + result.stderr


def test_mypy_accepts_the_examples_and_benchmarks(tmp_path: Path) -> None:
    needs_mypy()
    files = [str(p) for p in sorted((ROOT / "examples").glob("*.py"))]
    files += [str(p) for p in sorted((ROOT / "bench").glob("*.py"))]
    files += [str(p) for p in sorted((ROOT / "python").glob("*.py"))]
    if not files:
        pytest.skip("examples and benchmarks are not in this tree")
    result = run_mypy(tmp_path, "--ignore-missing-imports", "--check-untyped-defs",
                      "--disallow-untyped-defs", "--warn-unused-ignores", *files)
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_reads_the_stub(tmp_path: Path) -> None:
    if shutil.which("pyright") is None or shutil.which("node") is None:
        pytest.skip("pyright (with a node runtime on PATH) is not installed")
    (tmp_path / "usage.py").write_text(USAGE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    cmd = ["pyright", "--pythonpath", sys.executable, "--outputjson"]
    good = subprocess.run([*cmd, "usage.py"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)
    assert '"errorCount": 0' in good.stdout, good.stdout + good.stderr
    assert 'dict[int, tuple[float, float]]' in good.stdout
    bad = subprocess.run([*cmd, "misuse.py"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=600)
    flagged = sorted({int(m) + 1 for m in re.findall(r'"line": (\d+)', bad.stdout)})
    assert set(MISUSE_LINES) <= set(flagged), bad.stdout
