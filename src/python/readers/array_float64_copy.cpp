// The float64 copy: one memcpy for a C-contiguous array, else cell by cell
// through its strides.
#include "python/readers/array_float64_copy.hpp"

#include <cstring>

#include "python/runtime/numpy_api.hpp"

namespace colenc::py {

bool is_float64_matrix(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
  Py_DECREF(float64);
  return equivalent;
}

Matrix copy_float64_matrix(PyObject* obj) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  Matrix matrix;
  matrix.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  matrix.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
  matrix.data = CellBuffer::uninitialized(matrix.rows * matrix.cols);  // all copied below
  const char* base = PyArray_BYTES(array);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  double* out = matrix.data.data();
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    if (!matrix.data.empty()) std::memcpy(out, base, matrix.data.size() * sizeof(double));
    return matrix;
  }
  for (std::size_t r = 0; r < matrix.rows; ++r) {
    const char* row = base + static_cast<npy_intp>(r) * row_stride;
    for (std::size_t c = 0; c < matrix.cols; ++c) {
      std::memcpy(out++, row + static_cast<npy_intp>(c) * col_stride, sizeof(double));
    }
  }
  return matrix;
}

}  // namespace colenc::py
