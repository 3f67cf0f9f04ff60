// The keyed hashes of everything an input chooses: texts, and codes read from
// a state or a matrix. Both hash with SipHash-1-3 (siphash.hpp) under one
// 128-bit key drawn once per process from the operating system's random
// source, so crafted labels or codes cannot force collisions. Entry order of
// a table keyed this way is therefore unpredictable; nothing depends on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/hashing/siphash.hpp"

namespace colenc {

// Returns the process's key, made on first use; thread-safe. Throws
// std::system_error should the OS give no key.
const SipKey& process_hash_key();

// Returns SipHash-1-3 of `bytes` under the process's key.
inline std::uint64_t keyed_hash_bytes(const void* bytes, std::size_t size) {
  return siphash13(process_hash_key(), bytes, size);
}

// A text with its keyed hash already computed (hash == KeyedHash()(text)), so
// that a text hashed once can be looked up, inserted and prefetched in any
// table keyed by text without being hashed again.
struct PrehashedText {
  std::string_view text;
  std::uint64_t hash;
  operator std::string_view() const { return text; }  // NOLINT: a text is expected
};

// The keyed hasher: texts by their bytes, codes as their 8 little-endian bytes.
struct KeyedHash {
  std::uint64_t operator()(const PrehashedText& text) const { return text.hash; }
  std::uint64_t operator()(std::string_view text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::uint64_t operator()(const std::string& text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::uint64_t operator()(std::uint64_t value) const {
    return siphash13_u64(process_hash_key(), value);
  }
};

}  // namespace colenc
