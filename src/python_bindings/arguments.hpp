#pragma once
// Argument binding and value conversion shared by every callable of the module.
//
// Each callable declares its parameters once, as a Signature. Binding matches positional and
// keyword arguments to those names (with the interpreter's usual TypeError wording) and holds a
// strong reference to every bound value, so Python code run by a later conversion cannot free
// an argument that is still to be converted. Conversions throw PythonError with the exception
// set; `convert_argument` adds the "argument 'name': " prefix to exact TypeErrors.

#include "python_bindings/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tracker/point_map.hpp"

namespace glent::py {

struct Signature {
  const char* display_name;           // "track_points()", "Glent.__new__()"
  std::span<const char* const> names; // every parameter is positional-or-keyword
  std::size_t required;               // the first `required` names have no default
};

template <std::size_t N>
using BoundArguments = std::array<Ref, N>;

// Vectorcall convention: `args` holds the positional arguments followed by the values of the
// keywords named in `kwnames` (a tuple, or null). `out` has one slot per parameter; unbound
// optional ones stay empty.
void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, std::span<Ref> out);

// Tuple-and-dict convention of __new__ (`kwargs` may be null).
void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                std::span<Ref> out);

// Adds the "argument '{name}': " prefix when the exception set is exactly a TypeError.
void prefix_argument_error(const char* name) noexcept;

template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_argument_error(name);
    throw;
  }
}

// "'{type}' object is not an instance of '{expected}'" (or "'None' is not an instance of ...").
[[noreturn]] void raise_not_instance(PyObject* object, const char* expected);

// `levels`, `grid_size`: an integer in 0 .. 2^32-1.
std::uint32_t to_u32(PyObject* object);
// `index`: a signed 64-bit integer.
std::int64_t to_index(PyObject* object);
// Track ids: an unsigned 64-bit integer.
std::uint64_t to_u64(PyObject* object);
// A coordinate, rounded to the nearest float (out-of-range values become infinities).
float to_f32(PyObject* object);
// A 2-tuple of coordinates.
Point to_pair(PyObject* object);

// The largest capacity a length hint may reserve up front; longer inputs grow as they are read,
// so a lying __len__ cannot make us reserve absurd amounts.
inline constexpr std::size_t MAX_RESERVED_LIST_ITEMS = 1u << 16;

// A sequence (not a str) of track ids, in iteration order.
std::vector<TrackId> to_id_list(PyObject* object);
// A sequence (not a str) of points, in iteration order.
std::vector<Point> to_point_list(PyObject* object);
// A dict of track id -> point, as a point map in ascending id order (each point starting as the
// identity transform at its position). Two keys that convert to the same id keep the later one.
PointMap to_point_map(PyObject* object);

}  // namespace glent::py
