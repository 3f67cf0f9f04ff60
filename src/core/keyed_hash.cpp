// The process-wide hash keys, drawn from the OS random source on first use.
#include "core/keyed_hash.hpp"

#include <sodium.h>

#include <cstring>

namespace colenc {
namespace {

// Fills `out` from the operating system's random source.
void fill_random(void* out, std::size_t size) {
  // sodium_init picks the OS random source; it is idempotent and thread-safe.
  if (sodium_init() < 0) {
    // randombytes_buf still reads the OS source directly.
  }
  randombytes_buf(out, size);
}

struct HashKey {
  unsigned char bytes[crypto_shorthash_KEYBYTES];
  HashKey() { fill_random(bytes, sizeof bytes); }
};

const HashKey& hash_key() {
  static const HashKey key;  // thread-safe initialisation
  return key;
}

}  // namespace

std::uint64_t random_seed() {
  std::uint64_t seed;
  fill_random(&seed, sizeof seed);
  return seed;
}

std::size_t keyed_hash_bytes(const void* bytes, std::size_t size) {
  unsigned char out[crypto_shorthash_BYTES];
  crypto_shorthash(out, static_cast<const unsigned char*>(bytes), size, hash_key().bytes);
  std::uint64_t value;
  std::memcpy(&value, out, sizeof value);
  return static_cast<std::size_t>(value);
}

}  // namespace colenc
