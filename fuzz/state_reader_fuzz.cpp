// libFuzzer target of the state reader. Every input must be read or refused
// without a fault; every accepted state must re-write to exactly the measured
// number of bytes, and those bytes must read back to an equal state.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <variant>

#include "core/labels/state_format.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "state_reader_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using colenc::EncoderState;
  const std::span<const std::uint8_t> input(data, size);
  const colenc::StateReadResult result = colenc::read_state(input);

  // A 32-bit size type only narrows what is accepted, never what is decoded.
  const colenc::StateReadResult narrow = colenc::read_state(input, 4294967295u);
  if (const auto* narrow_state = std::get_if<EncoderState>(&narrow)) {
    const auto* wide_state = std::get_if<EncoderState>(&result);
    if (wide_state == nullptr || !(*wide_state == *narrow_state)) {
      fail("accepted with a 32-bit size type but not alike with a 64-bit one");
    }
  }

  const auto* state = std::get_if<EncoderState>(&result);
  if (state == nullptr) {
    if (std::get<colenc::StateReadError>(result).detail.empty()) fail("refusal without detail");
    return 0;
  }
  const std::vector<std::uint8_t> bytes = colenc::write_state(*state);
  if (bytes.size() != colenc::measure_state(*state)) fail("written length differs from measured length");
  if (bytes.size() > size) fail("re-written state is longer than its input");
  const colenc::StateReadResult again = colenc::read_state(bytes);
  const auto* reread = std::get_if<EncoderState>(&again);
  if (reread == nullptr) fail("re-written state is refused");
  if (!(*reread == *state)) fail("re-written state reads back different");
  return 0;
}
