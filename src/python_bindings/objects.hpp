#pragma once
// The module's classes and functions, as the module's execution step registers them.

#include "python_bindings/py_ref.hpp"

#include <span>
#include <vector>

#include "tracker/point_map.hpp"

namespace glent::py {

// The type objects, created on first use from their PyType_Spec tables and kept for the life of
// the process (borrowed references; PythonError if creation failed).
PyObject* glent_type();
PyObject* stereo_glent_type();
PyObject* image_pyramid_type();

// Definitions of the module-level functions.
extern PyMethodDef build_image_pyramid_def;
extern PyMethodDef track_points_def;

// A new dict {id: (x, y)} built in the order of `points` (ascending ids).
Ref points_to_dict(std::span<const ReportedPoint> points);

// Casts a C function of any calling convention to the PyCFunction stored in a method table.
template <class Function>
PyCFunction as_method(Function* function) {
  // Through void(*)(void), the generic function pointer type, so no incompatible-cast warning.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Casts a slot function to the void* a PyType_Slot holds.
template <class Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

// Frees an instance of one of our heap types after its payload has been destroyed.
void free_instance(PyObject* self) noexcept;

}  // namespace glent::py
