// UTF-8 from fixed-width code units; surrogates become three U+FFFD each.
#include "core/formats/utf8.hpp"

namespace colenc {
namespace {

bool is_surrogate(std::uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

template <class Unit>
std::size_t utf8_size(const Unit* units, std::size_t count) {
  std::size_t bytes = count;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t c = units[k];
    bytes += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000) + 6 * is_surrogate(c);
  }
  return bytes;
}

template <class Unit>
void append_units(const Unit* units, std::size_t count, std::string& out) {
  // Sized first, so that a long text grows the buffer once and by no more
  // than it needs.
  const std::size_t start = out.size();
  out.resize(start + utf8_size(units, count));
  char* at = out.data() + start;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t c = units[k];
    if (c < 0x80) {
      *at++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *at++ = static_cast<char>(0xC0 | (c >> 6));
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (is_surrogate(c)) {
      for (int r = 0; r < 3; ++r) {
        *at++ = '\xEF';
        *at++ = '\xBF';
        *at++ = '\xBD';
      }
    } else if (c < 0x10000) {
      *at++ = static_cast<char>(0xE0 | (c >> 12));
      *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *at++ = static_cast<char>(0xF0 | (c >> 18));
      *at++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *at++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *at++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

}  // namespace

void append_utf8(const void* units, std::size_t count, unsigned unit_bytes, std::string& out) {
  switch (unit_bytes) {
    case 1: append_units(static_cast<const std::uint8_t*>(units), count, out); break;
    case 2: append_units(static_cast<const std::uint16_t*>(units), count, out); break;
    default: append_units(static_cast<const std::uint32_t*>(units), count, out); break;
  }
}

}  // namespace colenc
