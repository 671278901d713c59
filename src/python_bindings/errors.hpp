#pragma once
// The single place where C++ failures become Python exceptions.
//
// Every function the interpreter calls runs its body through `guarded`, which never lets a C++
// exception escape into the interpreter:
//   PythonError            -> the Python exception already set is returned as is (NULL / -1);
//   FatalError             -> a diagnostic line on stderr, then the fatal-error exception;
//   PyramidTooDeep         -> MemoryError with its text;
//   other std::bad_alloc   -> MemoryError;
//   anything else          -> the fatal-error exception (it is an internal failure too).

#include "python_bindings/py_ref.hpp"

#include <exception>
#include <type_traits>
#include <utility>

namespace glent::py {

// The process-wide fatal-error exception class, created on first need (derived directly from
// BaseException, so `except Exception` does not catch it). Null only if creating it failed,
// in which case that failure's exception is set.
PyObject* fatal_error_type() noexcept;

// Sets the Python exception matching the C++ exception currently being handled.
// Must be called from inside a catch block.
void set_error_from_current_exception() noexcept;

// Takes the Python exception currently set (normalised; clears the indicator), or null if none.
Ref take_raised_exception() noexcept;

// Sets `exception` (an exception instance, as taken above) as the current Python exception.
void set_raised_exception(Ref exception) noexcept;

// Raises `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
// Same, formatting like PyErr_Format.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Runs `body` (returning a value of type R) and maps every failure to `error_value`, with the
// Python exception set.
template <class R, class Body>
R guarded(R error_value, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    return error_value;
  }
}

// The common case: a body returning a new reference (Ref or PyObject*), failing with NULL.
template <class Body>
PyObject* guarded_object(Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto result = std::forward<Body>(body)();
    if constexpr (std::is_same_v<decltype(result), Ref>) {
      return result.release();
    } else {
      return result;
    }
  });
}

}  // namespace glent::py
