// ImagePyramid, build_image_pyramid and track_points.

#include <cinttypes>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "python_bindings/arguments.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/in_use.hpp"
#include "python_bindings/numpy_api.hpp"
#include "python_bindings/objects.hpp"
#include "tracker/pyramid.hpp"
#include "tracker/point_map_tracking.hpp"

namespace glent::py {

namespace {

struct ImagePyramidObject {
  PyObject_HEAD
  UseCounter use;
  Pyramid levels;
};

ImagePyramidObject* as_pyramid(PyObject* self) { return reinterpret_cast<ImagePyramidObject*>(self); }

PyObject* g_image_pyramid_type = nullptr;

Ref new_image_pyramid(Pyramid levels) {
  auto* type = reinterpret_cast<PyTypeObject*>(image_pyramid_type());
  Ref self = Ref::steal_checked(type->tp_alloc(type, 0));
  auto* object = as_pyramid(self.get());
  new (&object->use) UseCounter();
  new (&object->levels) Pyramid(std::move(levels));
  return self;
}

void pyramid_dealloc(PyObject* self) {
  auto* object = as_pyramid(self);
  object->levels.~Pyramid();
  object->use.~UseCounter();
  free_instance(self);
}

Py_ssize_t pyramid_length(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&] {
    SharedUse use(self, as_pyramid(self)->use);
    return static_cast<Py_ssize_t>(as_pyramid(self)->levels.size());
  });
}

PyObject* pyramid_subscript(PyObject* self, PyObject* key) {
  return guarded_object([&] {
    SharedUse use(self, as_pyramid(self)->use);
    const std::int64_t index = convert_argument("index", [&] { return to_index(key); });
    const Pyramid& levels = as_pyramid(self)->levels;
    const auto count = static_cast<std::int64_t>(levels.size());
    // Compared as unsigned, so an index still negative after adding the count is out of range.
    const std::uint64_t position =
        static_cast<std::uint64_t>(index) + static_cast<std::uint64_t>(index < 0 ? count : 0);
    if (position >= levels.size()) {
      raise_format(PyExc_ValueError, "index %" PRId64 " out of range for pyramid with %zu levels",
                   index, levels.size());
    }
    return array_from_gray_image(levels[static_cast<std::size_t>(position)]);
  });
}

// Iteration and PySequence_GetItem come here; the position goes to the subscript unchanged.
PyObject* pyramid_item(PyObject* self, Py_ssize_t position) {
  Ref key = Ref::steal(PyLong_FromSsize_t(position));
  if (!key) return nullptr;
  return pyramid_subscript(self, key.get());
}

PyObject* pyramid_repr(PyObject* self) {
  return guarded_object([&] {
    SharedUse use(self, as_pyramid(self)->use);
    std::string text = "ImagePyramid([";
    bool first = true;
    for (const GrayImage& level : as_pyramid(self)->levels) {
      if (!first) text += ", ";
      first = false;
      text += std::to_string(level.width);
      text += 'x';
      text += std::to_string(level.height);
    }
    text += "])";
    return Ref::steal_checked(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

// An ImagePyramid argument, held in shared use for as long as this object lives.
class PyramidArgument {
 public:
  PyramidArgument(PyObject* object) {
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(image_pyramid_type()))) {
      raise_not_instance(object, "ImagePyramid");
    }
    use_.emplace(object, as_pyramid(object)->use);
    levels_ = &as_pyramid(object)->levels;
  }
  const Pyramid& levels() const { return *levels_; }

 private:
  std::optional<SharedUse> use_;
  const Pyramid* levels_ = nullptr;
};

constexpr const char* IMAGE_PYRAMID_DOC =
    "An image pyramid: a list of grayscale images at successive half-resolution levels.";

PyType_Slot image_pyramid_slots[] = {
    {Py_mp_length, as_slot(&pyramid_length)},
    {Py_mp_subscript, as_slot(&pyramid_subscript)},
    {Py_tp_repr, as_slot(&pyramid_repr)},
    {Py_sq_item, as_slot(&pyramid_item)},
    {Py_tp_dealloc, as_slot(&pyramid_dealloc)},
    {Py_tp_doc, const_cast<char*>(IMAGE_PYRAMID_DOC)},
    {0, nullptr},
};

PyType_Spec image_pyramid_spec = {
    "builtins.ImagePyramid",
    static_cast<int>(sizeof(ImagePyramidObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    image_pyramid_slots,
};

constexpr const char* BUILD_NAMES[] = {"image", "levels"};
constexpr Signature BUILD_SIGNATURE{"build_image_pyramid()", BUILD_NAMES, 2};

PyObject* build_image_pyramid(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded_object([&] {
    BoundArguments<2> bound;
    bind_fastcall(BUILD_SIGNATURE, args, nargsf, kwnames, bound);
    const std::uint32_t levels =
        convert_argument("levels", [&] { return to_u32(bound[1].get()); });
    GrayImage image = gray_image_from_array(bound[0].get());
    return new_image_pyramid(build_pyramid(std::move(image), levels));
  });
}

constexpr const char* TRACK_NAMES[] = {"pyramid0", "pyramid1", "points"};
constexpr Signature TRACK_SIGNATURE{"track_points()", TRACK_NAMES, 3};

PyObject* track_points(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return guarded_object([&] {
    BoundArguments<3> bound;
    bind_fastcall(TRACK_SIGNATURE, args, nargsf, kwnames, bound);
    PyramidArgument pyramid0 =
        convert_argument("pyramid0", [&] { return PyramidArgument(bound[0].get()); });
    PyramidArgument pyramid1 =
        convert_argument("pyramid1", [&] { return PyramidArgument(bound[1].get()); });
    const PointMap points = convert_argument("points", [&] { return to_point_map(bound[2].get()); });

    const PointMap survivors = track_point_map(pyramid0.levels(), pyramid1.levels(), points);
    std::vector<ReportedPoint> reported;
    reported.reserve(survivors.size());
    for (const TrackedPoint& point : survivors) {
      reported.push_back(ReportedPoint{point.id, Point{point.transform.tx(), point.transform.ty()}});
    }
    return points_to_dict(reported);
  });
}

}  // namespace

PyObject* image_pyramid_type() {
  if (g_image_pyramid_type == nullptr) {
    g_image_pyramid_type = check(PyType_FromSpec(&image_pyramid_spec));
  }
  return g_image_pyramid_type;
}

PyMethodDef build_image_pyramid_def = {
    "build_image_pyramid", as_method(&build_image_pyramid), METH_FASTCALL | METH_KEYWORDS,
    "build_image_pyramid(image, levels)\n--\n\n"
    "Build an image pyramid from a grayscale numpy array.\n\n"
    "Args:\n"
    "    image: Grayscale image, shape (H, W) or (H, W, 1), dtype uint8.\n"
    "    levels: Number of pyramid levels.\n\n"
    "Returns:\n"
    "    ImagePyramid with `levels` images, each half the resolution of the previous."};

PyMethodDef track_points_def = {
    "track_points", as_method(&track_points), METH_FASTCALL | METH_KEYWORDS,
    "track_points(pyramid0, pyramid1, points)\n--\n\n"
    "Track points from one image pyramid to another.\n\n"
    "This is a lower-level function. For typical use, prefer ``Glent``.\n\n"
    "Args:\n"
    "    pyramid0: Source image pyramid (previous frame).\n"
    "    pyramid1: Target image pyramid (current frame).\n"
    "    points: Dict mapping track id to ``(x, y)`` coordinates in pyramid0.\n\n"
    "Returns:\n"
    "    Dict mapping surviving track ids to new ``(x, y)`` coordinates in pyramid1."};

}  // namespace glent::py
