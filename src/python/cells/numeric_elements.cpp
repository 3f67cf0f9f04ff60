// The numeric element readers: a column of a bool, integer or float16/32/64
// ndarray read straight from its buffer into float64, each element as float()
// of its NumPy scalar would give it.
#include "python/cells/numeric_elements.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace colenc::py {
namespace {

// An IEEE 754 binary16 value, read by its bits: no compiler type needed
// (_Float16 is not everywhere). Every half converts to float64 exactly; a NaN
// keeps its sign and payload as NumPy's own conversion keeps them.
struct Half {
  std::uint16_t bits;
  explicit operator double() const {
    const std::uint64_t sign = std::uint64_t{bits & 0x8000u} << 48;
    const unsigned exponent = (bits >> 10) & 0x1F;
    const std::uint64_t fraction = bits & 0x3FFu;
    if (exponent == 0x1F) {  // infinity or NaN
      return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) | (fraction << 42));
    }
    const double magnitude =
        exponent == 0 ? std::ldexp(static_cast<double>(fraction), -24)  // zero or subnormal
                      : std::ldexp(static_cast<double>(fraction | 0x400u),
                                   static_cast<int>(exponent) - 25);
    return sign != 0 ? -magnitude : magnitude;
  }
};
static_assert(sizeof(Half) == 2);

// Reads one element of a numeric array as float64, exactly as float() of the
// NumPy scalar that subscription would return.
template <class T>
double read_element(const char* at, bool swapped) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, at, sizeof(T));
  if (swapped) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return static_cast<double>(value);
}

template <class T>
void read_column(const char* first, npy_intp stride, bool swapped, std::size_t rows, double* out) {
  if constexpr (std::is_same_v<T, double>) {
    if (!swapped && stride == sizeof(double)) {
      if (rows > 0) std::memcpy(out, first, rows * sizeof(double));  // bit for bit
      return;
    }
  }
  for (std::size_t i = 0; i < rows; ++i) {
    out[i] = read_element<T>(first + static_cast<npy_intp>(i) * stride, swapped);
  }
}

void read_bool_column(const char* first, npy_intp stride, bool, std::size_t rows, double* out) {
  for (std::size_t i = 0; i < rows; ++i) {
    out[i] = first[static_cast<npy_intp>(i) * stride] != 0 ? 1.0 : 0.0;
  }
}

}  // namespace

ColumnReader numeric_reader(int type_num) {
  switch (type_num) {
    case NPY_BOOL: return read_bool_column;
    case NPY_BYTE: return read_column<npy_byte>;
    case NPY_UBYTE: return read_column<npy_ubyte>;
    case NPY_SHORT: return read_column<npy_short>;
    case NPY_USHORT: return read_column<npy_ushort>;
    case NPY_INT: return read_column<npy_int>;
    case NPY_UINT: return read_column<npy_uint>;
    case NPY_LONG: return read_column<npy_long>;
    case NPY_ULONG: return read_column<npy_ulong>;
    case NPY_LONGLONG: return read_column<npy_longlong>;
    case NPY_ULONGLONG: return read_column<npy_ulonglong>;
    case NPY_HALF: return read_column<Half>;
    case NPY_FLOAT: return read_column<float>;
    case NPY_DOUBLE: return read_column<double>;
    default: return nullptr;
  }
}

}  // namespace colenc::py
