// mix_bits: the one unkeyed mix of the core, for keys that no input chooses
// (object addresses) and for picking the sets of the small memories of
// recent texts and keys, whose hits are confirmed by comparing the key.
#pragma once

#include <cstdint>

namespace colenc {

// Returns `x` times 2^64 / phi (Fibonacci hashing). Its top bits, which pick a
// key's home slot, depend on every bit of the key, and it is a bijection:
// distinct keys never share a mix.
inline std::uint64_t mix_bits(std::uint64_t x) { return x * 0x9E3779B97F4A7C15ULL; }

}  // namespace colenc
