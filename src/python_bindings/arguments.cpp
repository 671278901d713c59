#include "python_bindings/arguments.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/fatal_error.hpp"
#include "python_bindings/errors.hpp"

namespace glent::py {

namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t total = signature.names.size();
  if (signature.required == total) {
    raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 signature.display_name, total, given, was_or_were(given));
  }
  raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
               signature.display_name, signature.required, total, given, was_or_were(given));
}

// Binds one keyword argument; `name` is the keyword as passed.
void bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<Ref> out) {
  if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "keywords must be strings");
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
      if (out[i]) {
        raise_format(PyExc_TypeError, "%s got multiple values for argument '%U'",
                     signature.display_name, name);
      }
      out[i] = Ref::borrow(value);
      return;
    }
  }
  raise_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               signature.display_name, name);
}

void check_required(const Signature& signature, std::span<Ref> out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!out[i]) missing.push_back(signature.names[i]);
  }
  if (missing.empty()) return;
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        list += " and ";
      } else if (i + 1 == missing.size()) {
        list += ", and ";
      } else {
        list += ", ";
      }
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  raise_format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               signature.display_name, missing.size(),
               missing.size() == 1 ? "argument" : "arguments", list.c_str());
}

// The qualified name of `object`'s type ("list", "ndarray", "generator").
Ref type_qualname(PyObject* object) {
  return Ref::steal_checked(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
}

// Rounds a double to the nearest float. The plain conversion is only defined within the float
// range; beyond it IEEE rounding gives the largest float up to half an ulp past it, infinity
// from there on.
float round_to_float(double value) {
  if (std::isnan(value) || std::fabs(value) <= static_cast<double>(FLT_MAX)) {
    return static_cast<float>(value);
  }
  // FLT_MAX + half its ulp: 2^128 - 2^103. The tie rounds to even, which is infinity.
  constexpr double OVERFLOW_THRESHOLD = 340282356779733661637539395458142568448.0;
  const float magnitude =
      std::fabs(value) >= OVERFLOW_THRESHOLD ? std::numeric_limits<float>::infinity() : FLT_MAX;
  return value < 0.0 ? -magnitude : magnitude;
}

// Iterates a sequence, converting each item with `element`.
template <class T, class Element>
std::vector<T> to_list(PyObject* object, Element&& element) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_not_instance(object, "Sequence");

  std::vector<T> result;
  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    result.reserve(std::min(static_cast<std::size_t>(hint), MAX_RESERVED_LIST_ITEMS));
  }

  Ref iterator = Ref::steal_checked(PyObject_GetIter(object));
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) throw PythonError{};
      break;
    }
    result.push_back(element(item.get()));
  }
  return result;
}

}  // namespace

void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, std::span<Ref> out) {
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (static_cast<std::size_t>(positional) > signature.names.size()) {
    raise_too_many_positional(signature, positional);
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    out[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[positional + k], out);
    }
  }
  check_required(signature, out);
}

void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                std::span<Ref> out) {
  const Py_ssize_t positional = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(positional) > signature.names.size()) {
    raise_too_many_positional(signature, positional);
  }
  for (Py_ssize_t i = 0; i < positional; ++i) {
    out[static_cast<std::size_t>(i)] = Ref::borrow(PyTuple_GET_ITEM(args, i));
  }
  if (kwargs != nullptr) {
    // Hold each key and value while binding: comparing names runs no Python code, but the
    // dict belongs to the caller and we must not rely on its entries beyond this loop.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      Ref held_key = Ref::borrow(key);
      bind_keyword(signature, held_key.get(), value, out);
    }
  }
  check_required(signature, out);
}

void prefix_argument_error(const char* name) noexcept {
  if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
  Ref original = Ref::steal(PyErr_GetRaisedException());
  auto restore = [&] { PyErr_SetRaisedException(original.release()); };
#else
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  if (raw_traceback != nullptr && raw_value != nullptr) {
    PyException_SetTraceback(raw_value, raw_traceback);
  }
  Ref type_ref = Ref::steal(raw_type);
  Ref original = Ref::steal(raw_value);
  Ref traceback_ref = Ref::steal(raw_traceback);
  auto restore = [&] {
    PyErr_Restore(type_ref.release(), original.release(), traceback_ref.release());
  };
#endif
  if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore();
    return;
  }
  Ref message = Ref::steal(PyObject_Str(original.get()));
  if (!message) {
    // The message itself could not be produced: keep the original error, unprefixed.
    PyErr_Clear();
    restore();
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
  Ref replacement = take_raised_exception();
  if (!replacement) {
    restore();
    return;
  }
  // The replacement carries the original's cause and traceback.
  PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  if (PyObject* traceback = PyException_GetTraceback(original.get())) {
    PyException_SetTraceback(replacement.get(), traceback);
    Py_DECREF(traceback);
  }
  set_raised_exception(std::move(replacement));
}

void raise_not_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    raise_format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  }
  Ref name = type_qualname(object);
  raise_format(PyExc_TypeError, "'%S' object is not an instance of '%s'", name.get(), expected);
}

std::uint32_t to_u32(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 0 || static_cast<unsigned long>(value) > UINT32_MAX) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

std::int64_t to_index(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  return static_cast<std::int64_t>(value);
}

std::uint64_t to_u64(PyObject* object) {
  Ref integer = PyLong_Check(object) ? Ref::borrow(object)
                                     : Ref::steal_checked(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return static_cast<std::uint64_t>(value);
}

float to_f32(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return round_to_float(value);
}

Point to_pair(PyObject* object) {
  if (!PyTuple_Check(object)) raise_not_instance(object, "tuple");
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != 2) {
    raise_format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                 length);
  }
  // A tuple's items cannot change, and the caller holds the tuple.
  const float x = to_f32(PyTuple_GET_ITEM(object, 0));
  const float y = to_f32(PyTuple_GET_ITEM(object, 1));
  return Point{x, y};
}

std::vector<TrackId> to_id_list(PyObject* object) {
  return to_list<TrackId>(object, [](PyObject* item) { return to_u64(item); });
}

std::vector<Point> to_point_list(PyObject* object) {
  return to_list<Point>(object, [](PyObject* item) { return to_pair(item); });
}

PointMap to_point_map(PyObject* object) {
  if (!PyDict_Check(object)) raise_not_instance(object, "dict");
  const Py_ssize_t initial_size = PyDict_Size(object);
  PointMap points;
  points.reserve(static_cast<std::size_t>(initial_size));
  Py_ssize_t position = 0;
  Py_ssize_t visited = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (true) {
    GLENT_CHECK(PyDict_Size(object) == initial_size,
                "dictionary changed size during iteration");
    if (!PyDict_Next(object, &position, &key, &value)) break;
    ++visited;
    GLENT_CHECK(visited <= initial_size, "dictionary keys changed during iteration");
    // Converting a key may run Python code (__index__, __float__) that edits the dict; hold
    // the entry so it stays alive whatever happens to the dict.
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    const TrackId id = to_u64(held_key.get());
    const Point point = to_pair(held_value.get());
    points.push_back(TrackedPoint{id, Transform::at(point.x, point.y)});
  }
  // Ascending ids; of equal ids (distinct keys of the dict with one integer value) the later
  // entry wins, as it would when assigning them in order.
  std::stable_sort(points.begin(), points.end(),
                   [](const TrackedPoint& a, const TrackedPoint& b) { return a.id < b.id; });
  auto last_of_each = std::unique(points.rbegin(), points.rend(),
                                  [](const TrackedPoint& a, const TrackedPoint& b) {
                                    return a.id == b.id;
                                  });
  points.erase(points.begin(), last_of_each.base());
  return points;
}

}  // namespace glent::py
