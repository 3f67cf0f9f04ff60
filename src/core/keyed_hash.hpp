// The hash maps of the engine and the keyed hash they use. Every map is keyed
// with SipHash (libsodium's crypto_shorthash) under a 128-bit key drawn once per
// process from the operating system's random source, so crafted labels cannot
// force collisions. Entry order is therefore unpredictable; nothing depends on it.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/labels.hpp"

namespace colenc {

// Returns the keyed hash of `bytes`; thread-safe, the key is made on first use.
std::size_t keyed_hash_bytes(const void* bytes, std::size_t size);

// Transparent keyed hasher: texts hash by their bytes (std::string and
// std::string_view alike), integers by their 8 little-endian bytes.
struct KeyedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::size_t operator()(const std::string& text) const {
    return keyed_hash_bytes(text.data(), text.size());
  }
  std::size_t operator()(std::uint64_t value) const {
    return keyed_hash_bytes(&value, sizeof value);
  }
};

struct TextEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// Label -> optional code; the code is absent exactly for missing-value labels.
using LabelToCode = absl::flat_hash_map<std::string, std::optional<Code>, KeyedHash, TextEq>;
// Code -> label.
using CodeToLabel = absl::flat_hash_map<Code, std::string, KeyedHash>;
// Column index -> per-column map.
template <class Inner>
using ColumnMap = absl::flat_hash_map<std::size_t, Inner, KeyedHash>;

}  // namespace colenc
