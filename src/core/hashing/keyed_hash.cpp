// The process-wide hash key, drawn on first use from the operating system's
// random source through getentropy(3), which glibc (2.25 and later) and macOS
// both offer; on Linux it reads the pool behind /dev/urandom and waits only
// until that pool is first seeded, early in boot.
#include "core/hashing/keyed_hash.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace colenc {
namespace {

// getentropy(3) gives at most this many bytes a call.
constexpr std::size_t kEntropyChunk = 256;

// Fills `out` with `size` random bytes. A refusal is a failure
// (std::system_error, which the method boundary reports), since hashing under
// a guessable key would let labels force collisions. A standard exception
// rather than InternalError keeps this file buildable by the fuzzer's clang.
void fill_random(void* out, std::size_t size) {
  auto* at = static_cast<unsigned char*>(out);
  while (size > 0) {
    const std::size_t chunk = std::min(size, kEntropyChunk);
    if (getentropy(at, chunk) != 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getentropy");
    }
    at += chunk;
    size -= chunk;
  }
}

SipKey make_key() {
  SipKey key;
  fill_random(&key.k0, sizeof key.k0);
  fill_random(&key.k1, sizeof key.k1);
  return key;
}

}  // namespace

const SipKey& process_hash_key() {
  static const SipKey key = make_key();  // thread-safe initialisation
  return key;
}

}  // namespace colenc
