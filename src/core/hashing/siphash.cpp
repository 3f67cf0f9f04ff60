// SipHash-1-3 over a byte string: 8-byte little-endian blocks, then a last
// block holding the remaining bytes and the length's low byte on top.
#include "core/hashing/siphash.hpp"

#include <bit>
#include <cstring>

namespace colenc {
namespace {

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void absorb(std::uint64_t block) {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

std::uint64_t load_le64(const unsigned char* at) {
  std::uint64_t value;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
  return value;
}

SipState start(const SipKey& key) {
  return SipState{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                  key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
}

std::uint64_t finish(SipState& s) {
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

std::uint64_t siphash13(const SipKey& key, const void* bytes, std::size_t size) {
  SipState s = start(key);
  const auto* in = static_cast<const unsigned char*>(bytes);
  const std::size_t whole = size & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(in + i));

  std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
  for (std::size_t i = whole; i < size; ++i) {
    last |= static_cast<std::uint64_t>(in[i]) << (8 * (i - whole));
  }
  s.absorb(last);
  return finish(s);
}

std::uint64_t siphash13_u64(const SipKey& key, std::uint64_t value) {
  SipState s = start(key);
  s.absorb(value);
  s.absorb(std::uint64_t{8} << 56);  // no bytes left; the length's low byte
  return finish(s);
}

}  // namespace colenc
