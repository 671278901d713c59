// The Glent and StereoGlent classes.

#include <new>
#include <utility>
#include <vector>

#include "python_bindings/arguments.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/in_use.hpp"
#include "python_bindings/numpy_api.hpp"
#include "python_bindings/objects.hpp"
#include "tracker/tracker.hpp"

namespace glent::py {

namespace {

constexpr std::uint32_t DEFAULT_LEVELS = 4;
constexpr std::uint32_t DEFAULT_GRID_SIZE = 20;

template <class State>
struct TrackerObject {
  PyObject_HEAD
  UseCounter use;
  State state;
};

using GlentObject = TrackerObject<Tracker>;
using StereoGlentObject = TrackerObject<StereoTracker>;

template <class State>
TrackerObject<State>* as_tracker(PyObject* self) {
  return reinterpret_cast<TrackerObject<State>*>(self);
}

constexpr const char* NEW_NAMES[] = {"levels", "grid_size"};

template <class State>
PyObject* tracker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                      const Signature& signature) {
  return guarded_object([&] {
    BoundArguments<2> bound;
    bind_tuple(signature, args, kwargs, bound);
    const std::uint32_t levels =
        bound[0] ? convert_argument("levels", [&] { return to_u32(bound[0].get()); })
                 : DEFAULT_LEVELS;
    const std::uint32_t grid_size =
        bound[1] ? convert_argument("grid_size", [&] { return to_u32(bound[1].get()); })
                 : DEFAULT_GRID_SIZE;
    State state(levels, grid_size);
    Ref self = Ref::steal_checked(type->tp_alloc(type, 0));
    auto* object = as_tracker<State>(self.get());
    new (&object->use) UseCounter();
    new (&object->state) State(std::move(state));
    return self;
  });
}

template <class State>
void tracker_dealloc(PyObject* self) {
  auto* object = as_tracker<State>(self);
  object->state.~State();
  object->use.~UseCounter();
  free_instance(self);
}

template <class State>
PyObject* tracker_remove_id(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames, const Signature& signature) {
  return guarded_object([&] {
    BoundArguments<1> bound;
    bind_fastcall(signature, args, nargsf, kwnames, bound);
    ExclusiveUse use(self, as_tracker<State>(self)->use);
    const std::vector<TrackId> ids =
        convert_argument("ids", [&] { return to_id_list(bound[0].get()); });
    as_tracker<State>(self)->state.remove_id(ids);
    return Ref::borrow(Py_None);
  });
}

// ---- Glent ----

constexpr Signature GLENT_NEW{"Glent.__new__()", NEW_NAMES, 0};
constexpr const char* IMAGE_NAMES[] = {"image"};
constexpr Signature GLENT_PROCESS_FRAME{"Glent.process_frame()", IMAGE_NAMES, 1};
constexpr const char* POINTS_NAMES[] = {"points"};
constexpr Signature GLENT_ADD_POINTS{"Glent.add_points()", POINTS_NAMES, 1};
constexpr const char* IDS_NAMES[] = {"ids"};
constexpr Signature GLENT_REMOVE_ID{"Glent.remove_id()", IDS_NAMES, 1};

PyObject* glent_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tracker_new<Tracker>(type, args, kwargs, GLENT_NEW);
}

PyObject* glent_process_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded_object([&] {
    BoundArguments<1> bound;
    bind_fastcall(GLENT_PROCESS_FRAME, args, nargsf, kwnames, bound);
    ExclusiveUse use(self, as_tracker<Tracker>(self)->use);
    GrayImage image = gray_image_from_array(bound[0].get());
    as_tracker<Tracker>(self)->state.process_frame(std::move(image));
    return Ref::borrow(Py_None);
  });
}

PyObject* glent_get_track_points(PyObject* self, PyObject* /*unused*/) {
  return guarded_object([&] {
    SharedUse use(self, as_tracker<Tracker>(self)->use);
    return points_to_dict(as_tracker<Tracker>(self)->state.get_track_points());
  });
}

PyObject* glent_add_points(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return guarded_object([&] {
    BoundArguments<1> bound;
    bind_fastcall(GLENT_ADD_POINTS, args, nargsf, kwnames, bound);
    ExclusiveUse use(self, as_tracker<Tracker>(self)->use);
    const std::vector<Point> points =
        convert_argument("points", [&] { return to_point_list(bound[0].get()); });
    as_tracker<Tracker>(self)->state.add_points(points);
    return Ref::borrow(Py_None);
  });
}

PyObject* glent_remove_id(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return tracker_remove_id<Tracker>(self, args, nargsf, kwnames, GLENT_REMOVE_ID);
}

PyObject* glent_repr(PyObject* self) {
  return guarded_object([&] {
    SharedUse use(self, as_tracker<Tracker>(self)->use);
    return Ref::steal_checked(PyUnicode_FromFormat("Glent(tracked_points=%zu)",
                                                   as_tracker<Tracker>(self)->state.size()));
  });
}

constexpr const char* REMOVE_ID_DOC =
    "remove_id($self, ids)\n--\n\n"
    "Remove tracked points by id.\n\n"
    "Args:\n"
    "    ids: List of track ids to remove.";

PyMethodDef glent_methods[] = {
    {"process_frame", as_method(&glent_process_frame), METH_FASTCALL | METH_KEYWORDS,
     "process_frame($self, image)\n--\n\n"
     "Process a new frame. Tracks existing points and detects new ones.\n\n"
     "Args:\n"
     "    image: Grayscale image as numpy array, shape (H, W) or (H, W, 1), dtype uint8."},
    {"get_track_points", as_method(&glent_get_track_points), METH_NOARGS,
     "get_track_points($self)\n--\n\n"
     "Return currently tracked points.\n\n"
     "Returns:\n"
     "    dict mapping track id (int) to (x, y) pixel coordinates (float, float)."},
    {"remove_id", as_method(&glent_remove_id), METH_FASTCALL | METH_KEYWORDS, REMOVE_ID_DOC},
    {"add_points", as_method(&glent_add_points), METH_FASTCALL | METH_KEYWORDS,
     "add_points($self, points)\n--\n\n"
     "Manually add points to the tracker.\n\n"
     "Args:\n"
     "    points: List of (x, y) pixel coordinates."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot glent_slots[] = {
    {Py_tp_new, as_slot(&glent_new)},
    {Py_tp_dealloc, as_slot(&tracker_dealloc<Tracker>)},
    {Py_tp_repr, as_slot(&glent_repr)},
    {Py_tp_methods, glent_methods},
    {Py_tp_doc, const_cast<char*>("Glent(levels=4, grid_size=20)\n--\n\nSingle-camera glent.")},
    {0, nullptr},
};

PyType_Spec glent_spec = {
    "builtins.Glent", static_cast<int>(sizeof(GlentObject)), 0, Py_TPFLAGS_DEFAULT, glent_slots,
};

PyObject* g_glent_type = nullptr;

// ---- StereoGlent ----

constexpr Signature STEREO_NEW{"StereoGlent.__new__()", NEW_NAMES, 0};
constexpr const char* IMAGE_PAIR_NAMES[] = {"image0", "image1"};
constexpr Signature STEREO_PROCESS_FRAME{"StereoGlent.process_frame()", IMAGE_PAIR_NAMES, 2};
constexpr Signature STEREO_REMOVE_ID{"StereoGlent.remove_id()", IDS_NAMES, 1};

PyObject* stereo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tracker_new<StereoTracker>(type, args, kwargs, STEREO_NEW);
}

PyObject* stereo_process_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return guarded_object([&] {
    BoundArguments<2> bound;
    bind_fastcall(STEREO_PROCESS_FRAME, args, nargsf, kwnames, bound);
    ExclusiveUse use(self, as_tracker<StereoTracker>(self)->use);
    GrayImage image0 = gray_image_from_array(bound[0].get());
    GrayImage image1 = gray_image_from_array(bound[1].get());
    as_tracker<StereoTracker>(self)->state.process_frame(std::move(image0), std::move(image1));
    return Ref::borrow(Py_None);
  });
}

PyObject* stereo_get_track_points(PyObject* self, PyObject* /*unused*/) {
  return guarded_object([&] {
    SharedUse use(self, as_tracker<StereoTracker>(self)->use);
    const auto [points0, points1] = as_tracker<StereoTracker>(self)->state.get_track_points();
    Ref dict0 = points_to_dict(points0);
    Ref dict1 = points_to_dict(points1);
    return Ref::steal_checked(PyTuple_Pack(2, dict0.get(), dict1.get()));
  });
}

PyObject* stereo_remove_id(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
  return tracker_remove_id<StereoTracker>(self, args, nargsf, kwnames, STEREO_REMOVE_ID);
}

PyObject* stereo_repr(PyObject* self) {
  return guarded_object([&] {
    SharedUse use(self, as_tracker<StereoTracker>(self)->use);
    return Ref::steal_checked(PyUnicode_FromFormat(
        "StereoGlent(tracked_points=%zu)", as_tracker<StereoTracker>(self)->state.size()));
  });
}

PyMethodDef stereo_methods[] = {
    {"process_frame", as_method(&stereo_process_frame), METH_FASTCALL | METH_KEYWORDS,
     "process_frame($self, image0, image1)\n--\n\n"
     "Process a new stereo frame pair.\n\n"
     "Args:\n"
     "    image0: Left grayscale image, shape (H, W) or (H, W, 1), dtype uint8.\n"
     "    image1: Right grayscale image, shape (H, W) or (H, W, 1), dtype uint8."},
    {"get_track_points", as_method(&stereo_get_track_points), METH_NOARGS,
     "get_track_points($self)\n--\n\n"
     "Return currently tracked points for both cameras.\n\n"
     "Returns:\n"
     "    Tuple of two dicts, each mapping track id (int) to (x, y) coordinates.\n"
     "    The same id in both dicts refers to the same stereo-matched feature."},
    {"remove_id", as_method(&stereo_remove_id), METH_FASTCALL | METH_KEYWORDS, REMOVE_ID_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stereo_slots[] = {
    {Py_tp_new, as_slot(&stereo_new)},
    {Py_tp_dealloc, as_slot(&tracker_dealloc<StereoTracker>)},
    {Py_tp_repr, as_slot(&stereo_repr)},
    {Py_tp_methods, stereo_methods},
    {Py_tp_doc,
     const_cast<char*>("StereoGlent(levels=4, grid_size=20)\n--\n\nStereo-camera glent.")},
    {0, nullptr},
};

PyType_Spec stereo_spec = {
    "builtins.StereoGlent", static_cast<int>(sizeof(StereoGlentObject)), 0, Py_TPFLAGS_DEFAULT,
    stereo_slots,
};

PyObject* g_stereo_glent_type = nullptr;

}  // namespace

PyObject* glent_type() {
  if (g_glent_type == nullptr) g_glent_type = check(PyType_FromSpec(&glent_spec));
  return g_glent_type;
}

PyObject* stereo_glent_type() {
  if (g_stereo_glent_type == nullptr) g_stereo_glent_type = check(PyType_FromSpec(&stereo_spec));
  return g_stereo_glent_type;
}

}  // namespace glent::py
