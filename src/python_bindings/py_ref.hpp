#pragma once
// Owning references to Python objects and the "a Python error is already set" signal.
//
// Every new reference this layer receives goes straight into a Ref, so that each exit path,
// including a C++ exception, releases it exactly once. Raw Py_DECREF bookkeeping is not used.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace glent::py {

// Thrown when a CPython call failed and left its exception set. The entry wrapper turns it
// into a NULL return, so the interpreter sees that exception unchanged.
struct PythonError {};

// Throws PythonError when `result` is null (the CPython convention for "exception set").
template <class T>
T* check(T* result) {
  if (result == nullptr) throw PythonError{};
  return result;
}

// Move-only owner of one strong reference.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes over a new reference, throwing PythonError when the call that produced it failed.
  static Ref steal_checked(PyObject* object) { return Ref(check(object)); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for returning to the interpreter or to a stealing API).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace glent::py
