// The glent module: multi-phase initialisation with a single execution step that registers the
// three classes and the two functions, in the order of __all__.

#include <string>

#include "common/fatal_error.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/objects.hpp"

namespace glent::py {

void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(type);
}

Ref points_to_dict(std::span<const ReportedPoint> points) {
  Ref dict = Ref::steal_checked(PyDict_New());
  for (const ReportedPoint& entry : points) {
    Ref key = Ref::steal_checked(PyLong_FromUnsignedLongLong(entry.id));
    Ref x = Ref::steal_checked(PyFloat_FromDouble(static_cast<double>(entry.point.x)));
    Ref y = Ref::steal_checked(PyFloat_FromDouble(static_cast<double>(entry.point.y)));
    Ref value = Ref::steal_checked(PyTuple_Pack(2, x.get(), y.get()));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PythonError{};
  }
  return dict;
}

namespace {

// Adds `value` as attribute `name` of the module and appends the name to its __all__.
void add_exported(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = Ref::steal_checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
  }
  Ref name_object = Ref::steal_checked(PyUnicode_FromString(name));
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name_object.get()) < 0) {
    PyErr_Clear();
    GLENT_FATAL(std::string("could not append __name__ to __all__: ") + name);
  }
  if (PyObject_SetAttr(module, name_object.get(), value) < 0) throw PythonError{};
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  Ref function = Ref::steal_checked(PyCMethod_New(definition, module, module_name, nullptr));
  add_exported(module, definition->ml_name, function.get());
}

int module_exec(PyObject* module) {
  return guarded<int>(-1, [&] {
    if (!PyModule_Check(module)) {
      raise(PyExc_SystemError, "glent: the execution step was given an object that is not a module");
    }
    add_exported(module, "Glent", glent_type());
    add_exported(module, "StereoGlent", stereo_glent_type());
    add_exported(module, "ImagePyramid", image_pyramid_type());
    Ref module_name = Ref::steal_checked(PyModule_GetNameObject(module));
    add_function(module, module_name.get(), &build_image_pyramid_def);
    add_function(module, module_name.get(), &track_points_def);
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "glent",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace glent::py

PyMODINIT_FUNC PyInit_glent() { return PyModuleDef_Init(&glent::py::module_definition); }
