#include "python_bindings/errors.hpp"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

#include "common/fatal_error.hpp"
#include "tracker/pyramid.hpp"

namespace glent::py {

namespace {

// Created under the interpreter lock; never released.
PyObject* g_fatal_error_type = nullptr;

constexpr const char* FATAL_ERROR_DOC =
    "Raised when native code called from Python fails fatally.\n\n"
    "It derives from BaseException, not Exception: like SystemExit, it typically propagates\n"
    "all the way up and ends the interpreter.";

void write_diagnostic(const char* line) noexcept {
  std::fputs(line, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void write_diagnostic(const std::string& line) noexcept { write_diagnostic(line.c_str()); }

void raise_fatal(const char* message) noexcept {
  PyObject* type = fatal_error_type();
  if (type == nullptr) return;  // the failure to create it is already set
  PyErr_SetString(type, message);
}

}  // namespace

PyObject* fatal_error_type() noexcept {
  if (g_fatal_error_type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc("glent.FatalError", FATAL_ERROR_DOC,
                                                   PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Creating a class can run arbitrary code (garbage collection); keep the first one made.
    if (g_fatal_error_type == nullptr) {
      g_fatal_error_type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return g_fatal_error_type;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "glent: error reported without an exception set");
    }
  } catch (const FatalError& error) {
    try {
      write_diagnostic(error.diagnostic());
    } catch (...) {
      write_diagnostic(error.message());
    }
    raise_fatal(error.message().c_str());
  } catch (const PyramidTooDeep& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    write_diagnostic("glent: fatal error: unexpected internal exception");
    raise_fatal(error.what());
  } catch (...) {
    write_diagnostic("glent: fatal error: unexpected internal exception");
    raise_fatal("unexpected internal exception");
  }
}

Ref take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // The normalised value holds its own traceback once it is attached.
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void set_raised_exception(Ref exception) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError{};
}

}  // namespace glent::py
