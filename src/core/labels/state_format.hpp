// The byte form of an Encoder's state (see the grammar in state_format.cpp):
// positional, little-endian, one-byte option tags, 64-bit sizes and a 32-bit
// strategy index. The unfitted state is the 5 bytes 00 00 00 00 00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/labels/encoding_info.hpp"

namespace colenc {

// Returns the exact number of bytes write_state produces for `state`.
// Throws std::length_error should the length not fit the size type.
std::size_t measure_state(const EncoderState& state);

// Returns the bytes of `state`: one buffer of exactly measure_state(state)
// bytes, filled front to back and never regrown. The outer maps appear in
// ascending column order, the entries of each column's map in that map's
// iteration order. Throws std::length_error as measure_state does,
// and std::logic_error should writing disagree with measuring (a broken
// invariant: the state changed under the writer).
std::vector<std::uint8_t> write_state(const EncoderState& state);

// The outcome of reading: the decoded state, or the detail text of the refusal
// (for example "io error: unexpected end of file").
struct StateReadError {
  std::string detail;
};
using StateReadResult = std::variant<EncoderState, StateReadError>;

// Decodes a state from `bytes` in place, checking before every read that
// enough bytes remain; bytes after the strategy index are ignored. Counts,
// text lengths and column indices above `max_size` (the platform's size type
// limit, and never more) are refused as they would be on a platform whose size
// type ends there; a smaller value lets a 64-bit host act as a 32-bit one.
// Reserves ahead at most 1 MiB of entries per collection, and never more
// entries than the bytes left could hold, so a forged count cannot force a
// large allocation; only texts are copied out. A later
// duplicate key in a map replaces the earlier entry. Never throws for any
// input, except std::bad_alloc when memory runs out.
StateReadResult read_state(std::span<const std::uint8_t> bytes,
                           std::uint64_t max_size = std::numeric_limits<std::size_t>::max());

}  // namespace colenc
