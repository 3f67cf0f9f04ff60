// SipHash-1-3: one compression round per 8-byte block and three finalization
// rounds, the keyed 64-bit hash that CPython uses for str and bytes. The engine
// hashes its texts with it under a random process-wide key (keyed_hash.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace colenc {

// A 128-bit SipHash key as two 64-bit words (k0 from key bytes 0..7 and k1 from
// bytes 8..15, each read little-endian).
struct SipKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// Returns SipHash-1-3 of the `size` bytes at `bytes` under `key`; `bytes` may
// be null when `size` is 0. The same value on every host.
std::uint64_t siphash13(const SipKey& key, const void* bytes, std::size_t size);

// Returns siphash13 of the 8 little-endian bytes of `value`, without going
// through memory.
std::uint64_t siphash13_u64(const SipKey& key, std::uint64_t value);

}  // namespace colenc
