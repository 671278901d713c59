#pragma once
// Everything that touches NumPy: finding its C interface at run time, reading frames out of
// arrays and handing pyramid levels back as arrays.

#include "python_bindings/py_ref.hpp"

#include "image_utilities/gray_image.hpp"

namespace glent::py {

// Copies a uint8 array of shape (H, W) or (H, W, 1) into a new image whose pixel (x, y) is
// a[y, x]. Raises ValueError (PythonError) for anything else. The array is only read, and no
// reference to it or its memory is kept.
GrayImage gray_image_from_array(PyObject* object);

// A new, writeable, C-ordered uint8 array of shape (height, width) holding a copy of `image`.
Ref array_from_gray_image(const GrayImage& image);

}  // namespace glent::py
