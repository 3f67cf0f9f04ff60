// The process-wide hash keys, drawn on first use from the kernel's random
// source through getrandom(2) (the pool behind /dev/urandom; it waits only
// until that pool is first seeded, early in boot).
#include "core/keyed_hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace colenc {
namespace {

// Fills `out` with `size` random bytes. A kernel that refuses is a failure
// (std::system_error, which the method boundary reports), since hashing under a
// guessable key would let labels force collisions. A standard exception rather
// than InternalError keeps this file buildable by the fuzzer's clang.
void fill_random(void* out, std::size_t size) {
  auto* at = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t got = getrandom(at, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    at += got;
    size -= static_cast<std::size_t>(got);
  }
}

SipKey make_text_key() {
  SipKey key;
  fill_random(&key.k0, sizeof key.k0);
  fill_random(&key.k1, sizeof key.k1);
  return key;
}

const SipKey& text_key() {
  static const SipKey key = make_text_key();  // thread-safe initialisation
  return key;
}

}  // namespace

std::uint64_t random_seed() {
  std::uint64_t seed;
  fill_random(&seed, sizeof seed);
  return seed;
}

std::size_t keyed_hash_bytes(const void* bytes, std::size_t size) {
  return static_cast<std::size_t>(siphash13(text_key(), bytes, size));
}

}  // namespace colenc
