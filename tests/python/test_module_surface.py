import inspect

import pytest

import glent

EXPORTS = ["Glent", "StereoGlent", "ImagePyramid", "build_image_pyramid", "track_points"]


def test_all_lists_exports_in_registration_order():
    assert glent.__all__ == EXPORTS
    assert list(vars(glent))[-len(EXPORTS):] == EXPORTS


def test_module_docstring_is_empty_string():
    assert glent.__doc__ == ""


@pytest.mark.parametrize("name", ["Glent", "StereoGlent", "ImagePyramid"])
def test_classes_report_builtins_module(name):
    cls = getattr(glent, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__base__ is object


@pytest.mark.parametrize("name", ["build_image_pyramid", "track_points"])
def test_functions_belong_to_glent(name):
    assert getattr(glent, name).__module__ == "glent"
    assert getattr(glent, name).__self__ is glent


@pytest.mark.parametrize(
    "obj, signature, doc_start",
    [
        (glent.Glent, "(levels=4, grid_size=20)", "Single-camera glent."),
        (glent.StereoGlent, "(levels=4, grid_size=20)", "Stereo-camera glent."),
        (glent.Glent.process_frame, "($self, image)", "Process a new frame."),
        (glent.Glent.get_track_points, "($self)", "Return currently tracked points."),
        (glent.Glent.add_points, "($self, points)", "Manually add points to the tracker."),
        (glent.Glent.remove_id, "($self, ids)", "Remove tracked points by id."),
        (glent.StereoGlent.process_frame, "($self, image0, image1)", "Process a new stereo frame pair."),
        (glent.StereoGlent.get_track_points, "($self)", "Return currently tracked points for both cameras."),
        (glent.StereoGlent.remove_id, "($self, ids)", "Remove tracked points by id."),
        (glent.build_image_pyramid, "(image, levels)", "Build an image pyramid from a grayscale numpy array."),
        (glent.track_points, "(pyramid0, pyramid1, points)", "Track points from one image pyramid to another."),
    ],
)
def test_text_signatures_and_docstrings(obj, signature, doc_start):
    assert obj.__text_signature__ == signature
    assert obj.__doc__.startswith(doc_start)
    assert "--" not in obj.__doc__.splitlines()[0]
    inspect.signature(obj)  # parses


def test_exact_docstrings():
    assert glent.Glent.__doc__ == "Single-camera glent."
    assert glent.ImagePyramid.__doc__ == (
        "An image pyramid: a list of grayscale images at successive half-resolution levels."
    )
    assert glent.Glent.add_points.__doc__ == (
        "Manually add points to the tracker.\n\nArgs:\n    points: List of (x, y) pixel coordinates."
    )
    assert glent.StereoGlent.get_track_points.__doc__ == (
        "Return currently tracked points for both cameras.\n\nReturns:\n"
        "    Tuple of two dicts, each mapping track id (int) to (x, y) coordinates.\n"
        "    The same id in both dicts refers to the same stereo-matched feature."
    )
    assert glent.track_points.__doc__.endswith(
        "Returns:\n    Dict mapping surviving track ids to new ``(x, y)`` coordinates in pyramid1."
    )


def test_method_tables_in_declared_order():
    glent_methods = [n for n in vars(glent.Glent) if not n.startswith("__")]
    assert glent_methods == ["process_frame", "get_track_points", "remove_id", "add_points"]
    stereo_methods = [n for n in vars(glent.StereoGlent) if not n.startswith("__")]
    assert stereo_methods == ["process_frame", "get_track_points", "remove_id"]
    assert not hasattr(glent.StereoGlent, "add_points")


def test_image_pyramid_cannot_be_instantiated():
    with pytest.raises(TypeError):
        glent.ImagePyramid()


@pytest.mark.parametrize("name", ["Glent", "StereoGlent", "ImagePyramid"])
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(glent, name),), {})


@pytest.mark.parametrize("make", [glent.Glent, glent.StereoGlent])
def test_instances_take_no_new_attributes(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")
    assert not hasattr(obj, "__weakref__")


def test_str_equals_repr():
    g = glent.Glent()
    assert str(g) == repr(g) == "Glent(tracked_points=0)"
    s = glent.StereoGlent()
    assert str(s) == repr(s) == "StereoGlent(tracked_points=0)"


def test_instances_compare_and_hash_by_identity():
    a, b = glent.Glent(), glent.Glent()
    assert a != b and a == a
    assert hash(a) != hash(b)
