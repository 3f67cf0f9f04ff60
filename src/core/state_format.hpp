// The byte form of an Encoder's state (see the grammar in state_format.cpp):
// positional, little-endian, one-byte option tags, 64-bit sizes and a 32-bit
// strategy index. The unfitted state is the 5 bytes 00 00 00 00 00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/encoding_info.hpp"

namespace colenc {

// Returns the exact number of bytes write_state produces for `state`.
std::size_t measure_state(const EncoderState& state);

// Returns the bytes of `state`, in one allocation of the measured length.
std::vector<std::uint8_t> write_state(const EncoderState& state);

// The outcome of reading: the decoded state, or the detail text of the refusal
// (for example "io error: unexpected end of file").
struct StateReadError {
  std::string detail;
};
using StateReadResult = std::variant<EncoderState, StateReadError>;

// Decodes a state from `bytes` in place; bytes after the strategy index are
// ignored. Never reads out of bounds; reserves ahead at most 1 MiB of entries
// per collection.
StateReadResult read_state(std::span<const std::uint8_t> bytes);

}  // namespace colenc
