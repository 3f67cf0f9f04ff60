// The hash maps of the engine and the keyed hashes they use. Texts hash with
// SipHash-1-3 (siphash.hpp) under a 128-bit key drawn once per process from the
// operating system's random source, so crafted labels cannot force collisions.
// Integer keys (codes, column indices) hash with Abseil's hash of the pair
// (random 64-bit seed from the same source, value): a fraction of SipHash's cost. Entry order is therefore unpredictable; nothing depends on it.
#pragma once

#include <absl/hash/hash.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/hash_map.hpp"
#include "core/labels.hpp"
#include "core/siphash.hpp"

namespace colenc {

// Returns SipHash-1-3 of `bytes` under the process's text key; thread-safe, the
// key is made on first use. Throws std::system_error should the OS give no key.
std::size_t keyed_hash_bytes(const void* bytes, std::size_t size);

// Returns a 64-bit value from the operating system's random source; throws
// std::system_error should it refuse.
std::uint64_t random_seed();

// The process's seed for integer keys, drawn on first use.
inline std::uint64_t integer_hash_seed() {
  static const std::uint64_t seed = random_seed();
  return seed;
}

// A text with its keyed hash already computed (hash == KeyedHash()(text)), so
// that a text hashed once can be looked up, inserted and prefetched in any map
// keyed by text without being hashed again.
struct PrehashedText {
  std::string_view text;
  std::size_t hash;
  operator std::string_view() const { return text; }  // NOLINT: a text is expected
};

// Transparent keyed hasher: texts hash by their bytes (std::string and
// std::string_view alike), integers through Abseil's hash with the process seed.
struct KeyedHash {
  using is_transparent = void;
  std::size_t operator()(const PrehashedText& text) const { return text.hash; }
  std::size_t operator()(std::string_view text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::size_t operator()(const std::string& text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::size_t operator()(std::uint64_t value) const {
    return absl::HashOf(integer_hash_seed(), value);
  }
};

struct TextEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// Column index -> per-column map.
template <class Inner>
using ColumnMap = HashMap<std::size_t, Inner, KeyedHash>;

}  // namespace colenc
