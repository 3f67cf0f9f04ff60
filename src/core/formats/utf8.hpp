// UTF-8 from fixed-width code units (1, 2 or 4 bytes each, as a Python str
// stores its text). A surrogate code point, which UTF-8 cannot hold, becomes
// three U+FFFD: what a lenient decoder makes of its three-byte form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace colenc {

// Appends the UTF-8 form of `count` code units of `unit_bytes` bytes each (1,
// 2 or 4) at `units` to `out`. Requires every unit below 0x110000.
void append_utf8(const void* units, std::size_t count, unsigned unit_bytes, std::string& out);

}  // namespace colenc
