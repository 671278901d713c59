"""How the module reaches NumPy: lazily, once per process, safe under threads."""

import subprocess
import sys
import textwrap


def run(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result


def test_importing_glent_does_not_import_numpy():
    out = run("""
        import sys
        import glent
        print("numpy" in sys.modules)
    """).stdout
    assert out.strip() == "False"


def test_missing_numpy_is_a_fatal_error_and_later_use_retries():
    result = run("""
        import sys
        import glent
        saved = sys.modules.pop("numpy", None)
        sys.modules["numpy"] = None  # makes `import numpy` fail
        try:
            glent.build_image_pyramid([[1, 2], [3, 4]], 1)
        except Exception:
            print("caught as Exception")
        except BaseException as e:
            print(type(e).__name__, "|", e)
        del sys.modules["numpy"]
        import numpy as np
        p = glent.build_image_pyramid(np.ones((2, 2), np.uint8), 2)
        print(repr(p), p[1].tolist())
    """)
    lines = result.stdout.splitlines()
    name, message = lines[0].split(" | ")
    assert name == "FatalError"
    assert message.startswith("Failed to access NumPy array API capsule")
    assert lines[1] == "ImagePyramid([2x2, 1x1]) [[1]]"
    assert "Failed to access NumPy array API capsule" in result.stderr


def test_first_use_from_many_threads_at_once():
    out = run("""
        import threading
        import numpy as np
        import glent
        frame = np.arange(64 * 64, dtype=np.uint8).reshape(64, 64)
        start = threading.Barrier(8)
        results = []
        def work():
            start.wait()
            for _ in range(20):
                p = glent.build_image_pyramid(frame, 3)
                results.append(int(p[2].sum()))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(results), len(set(results)))
    """).stdout
    assert out.split() == ["160", "1"]
