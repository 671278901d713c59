// NumPy's C interface is reached through the function table in the `_ARRAY_API` capsule of its
// multiarray module. The table is looked up on first use (not at import), so importing glent
// does not import NumPy, and the same binary works with NumPy 1.2x and 2.x: only table entries
// and array fields that both share are used.

#include "python_bindings/numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
// The table pointer is ours to set; NumPy's own import routine is not compiled in.
#define PY_ARRAY_UNIQUE_SYMBOL glent_numpy_array_api
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/fatal_error.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/once.hpp"

// The definitions behind the extern declarations of the NumPy header (named through its
// macros). The runtime feature version is read from the table, as the headers expect.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace glent::py {

namespace {

OnceLatch g_numpy_latch;

// The text of the Python exception currently set, which is cleared.
std::string take_error_text() {
  if (!PyErr_Occurred()) return "unknown error";
  Ref value = take_raised_exception();
  std::string text = "unknown error";
  if (value) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                                                 "__name__"));
    Ref message = Ref::steal(PyObject_Str(value.get()));
    const char* name_text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    const char* message_text = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    PyErr_Clear();
    text = std::string(name_text ? name_text : "Exception") + ": " +
           (message_text ? message_text : "");
  }
  PyErr_Clear();
  return text;
}

[[noreturn]] void fail_numpy_setup(const std::string& reason) {
  GLENT_FATAL("Failed to access NumPy array API capsule: " + reason);
}

void** lookup_array_api() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) fail_numpy_setup(take_error_text());
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) fail_numpy_setup(take_error_text());

  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) fail_numpy_setup(take_error_text());
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) fail_numpy_setup(take_error_text());
  Ref major_object = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_object) fail_numpy_setup(take_error_text());
  const long major = PyLong_AsLong(major_object.get());
  if (major == -1 && PyErr_Occurred()) fail_numpy_setup(take_error_text());

  const char* multiarray_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  Ref multiarray = Ref::steal(PyImport_ImportModule(multiarray_name));
  if (!multiarray) fail_numpy_setup(take_error_text());
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) fail_numpy_setup(take_error_text());
  if (!PyCapsule_CheckExact(capsule.get())) fail_numpy_setup("_ARRAY_API is not a capsule");
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) fail_numpy_setup(take_error_text());
  // The capsule's module is kept alive by sys.modules; the table lives as long as the process.
  return static_cast<void**>(table);
}

// The table, looked up on first use.
void ensure_numpy() {
  g_numpy_latch.run([] {
    void** table = lookup_array_api();
    PyArray_API = table;
    if (PyArray_GetNDArrayCVersion() > NPY_VERSION) {
      PyArray_API = nullptr;
      fail_numpy_setup("the running NumPy has an incompatible ABI version");
    }
    const int feature_version = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (feature_version < NPY_FEATURE_VERSION) {
      PyArray_API = nullptr;
      fail_numpy_setup("the running NumPy is older than 1.21");
    }
    PyArray_RUNTIME_VERSION = feature_version;
  });
}

// The uint8 descriptor (a new reference).
Ref uint8_descriptor() {
  return Ref::steal_checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_UBYTE)));
}

// A NumPy array (or subclass) of `ndim` dimensions whose element type is uint8.
bool is_byte_array(PyObject* object, int ndim, PyObject* byte_descriptor) {
  if (!PyObject_TypeCheck(object, &PyArray_Type)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim) return false;
  PyArray_Descr* descriptor = PyArray_DESCR(array);
  auto* byte = reinterpret_cast<PyArray_Descr*>(byte_descriptor);
  return descriptor == byte || PyArray_EquivTypes(descriptor, byte) != 0;
}

constexpr const char* NOT_AN_IMAGE =
    "image must be a numpy array with shape (H, W) or (H, W, 1) and dtype uint8";

}  // namespace

GrayImage gray_image_from_array(PyObject* object) {
  ensure_numpy();
  {
    Ref byte = uint8_descriptor();
    if (!is_byte_array(object, 2, byte.get())) {
      if (!is_byte_array(object, 3, byte.get())) raise(PyExc_ValueError, NOT_AN_IMAGE);
      if (PyArray_DIMS(reinterpret_cast<PyArrayObject*>(object))[2] != 1) {
        raise(PyExc_ValueError, "3D array must have shape (H, W, 1) for grayscale");
      }
    }
  }
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  const npy_intp* shape = PyArray_DIMS(array);
  const auto rows = static_cast<std::uint64_t>(shape[0]);
  const auto columns = static_cast<std::uint64_t>(shape[1]);
  // Shape values beyond 32 bits are outside the supported range: only their low bits count.
  const auto width = static_cast<std::uint32_t>(columns);
  const auto height = static_cast<std::uint32_t>(rows);

  // NumPy keeps the byte size of every array within npy_intp, so this cannot overflow.
  const std::uint64_t bytes = rows * columns;
  if (bytes == 0) {
    if (width == 0 || height == 0) return GrayImage(width, height);
    raise(PyExc_ValueError, "Failed to create image from array");
  }

  const int flags = PyArray_FLAGS(array);
  const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0;
  const bool c_order = (flags & NPY_ARRAY_C_CONTIGUOUS) != 0;
  const bool fortran_order = (flags & NPY_ARRAY_F_CONTIGUOUS) != 0;
  const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(array));
  if (!aligned || !(c_order || fortran_order) || data == nullptr) {
    raise(PyExc_ValueError,
          "Array must be contiguous: The given array is not contiguous or is misaligned.");
  }
  const std::uint64_t pixel_count = std::uint64_t{width} * height;
  if (bytes < pixel_count) raise(PyExc_ValueError, "Failed to create image from array");

  const auto count = static_cast<std::size_t>(pixel_count);
  std::vector<std::uint8_t> pixels;
  if (c_order || pixel_count != bytes) {
    // Row-major memory is the picture as it is: one pass, no zero-fill first. (Shapes past
    // 32 bits, where pixel_count is smaller than the block, take the leading bytes.)
    pixels.assign(data, data + count);
  } else {
    // Column-major memory holds a[y, x] at x * H + y: transpose while copying, so the image
    // is the array's picture whatever its memory order.
    pixels.resize(count);
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint8_t* column = data + std::size_t{x} * height;
      for (std::uint32_t y = 0; y < height; ++y) {
        pixels[std::size_t{y} * width + x] = column[y];
      }
    }
  }
  return GrayImage(width, height, std::move(pixels));
}

namespace {

void free_level_buffer(PyObject* capsule) {
  delete[] static_cast<std::uint8_t*>(PyCapsule_GetPointer(capsule, "glent.level_buffer"));
}

}  // namespace

Ref array_from_gray_image(const GrayImage& image) {
  ensure_numpy();
  const std::size_t size = image.size();
  GLENT_CHECK(image.pixels.size() == size, "level buffer does not hold width * height bytes");

  // The array's own copy of the pixels, owned by a capsule that becomes the array's base and
  // frees it when the array goes away. (At least one byte, so the capsule pointer is never null.)
  auto* buffer = new std::uint8_t[size == 0 ? 1 : size];
  if (size != 0) std::memcpy(buffer, image.pixels.data(), size);
  Ref holder = Ref::steal(PyCapsule_New(buffer, "glent.level_buffer", free_level_buffer));
  if (!holder) {
    delete[] buffer;
    throw PythonError{};
  }

  npy_intp shape[2] = {static_cast<npy_intp>(image.height), static_cast<npy_intp>(image.width)};
  npy_intp strides[2] = {static_cast<npy_intp>(image.width), 1};
  if (size == 0) strides[0] = strides[1] = 0;
  Ref descriptor = uint8_descriptor();
  // PyArray_NewFromDescr takes over the descriptor reference, also when it fails.
  Ref array = Ref::steal_checked(PyArray_NewFromDescr(
      &PyArray_Type, reinterpret_cast<PyArray_Descr*>(descriptor.release()), 2, shape, strides,
      buffer, NPY_ARRAY_WRITEABLE, nullptr));
  // PyArray_SetBaseObject takes over the holder reference, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
    throw PythonError{};
  }
  return array;
}

}  // namespace glent::py
