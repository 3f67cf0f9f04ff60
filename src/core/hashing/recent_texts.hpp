// RecentTexts: a small direct-mapped memory of texts already numbered, put in
// front of a keyed hash set so that a column of few distinct texts mostly
// skips the keyed hash.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/hashing/mix_bits.hpp"

namespace colenc {

// A direct-mapped memory of the texts a chunk has met, in front of its keyed
// set: a text found here skips the keyed hash and the probe of the set. Slots
// are picked by an unkeyed mix of the text's length and first and last 8
// bytes, and a hit is confirmed by comparing the bytes, so crafted texts can
// only make it miss, which costs what the set alone costs. A slot keeps those
// 16 bytes itself, which settles texts of up to 16 bytes without reading the
// column's buffer where the text was first met.
class RecentTexts {
 public:
  // The ends of one text, as a slot keeps and compares them.
  struct Ends {
    std::uint64_t head = 0;  // the first 8 bytes, zero-padded
    std::uint64_t tail = 0;  // the last 8 bytes of a text of 8 or more
  };

  // Sized for a chunk of `rows` entries: one set per 8 rows, up to 8,192
  // sets (512 KiB), which stays in a core's own level-2 cache. Fewer sets cost
  // more than they save: with 4,096, a column of 1,000 texts already has a
  // few sets that three frequent texts share and keep evicting each other
  // from, and each such miss pays the keyed hash.
  explicit RecentTexts(std::size_t rows) {
    while (bits_ < kMaxBits && (std::size_t{2} << bits_) * 4 < rows) ++bits_;
    sets_.resize(std::size_t{1} << bits_);
  }

  // Number of sets, each holding two texts.
  std::size_t set_count() const { return sets_.size(); }
  // True while a memory sized for more rows would have more sets.
  bool can_grow() const { return bits_ < kMaxBits; }

  // The `readable` of texts that have 8 readable bytes from their start
  // whatever their size (those of Arrow string views: a short text lies
  // inside its 16-byte view, a longer one is longer than 8 bytes). Only
  // compared with, never read nor subtracted from.
  static const char* eight_readable() {
    return reinterpret_cast<const char*>(~std::uintptr_t{0});
  }
  // The `readable` of texts whose 8 bytes ending where the text ends may be
  // read whatever their size (a short text that lies at the end of an
  // object's header, as a Python str's own bytes do). Only compared with,
  // never read nor subtracted from.
  static const char* eight_readable_before() {
    return reinterpret_cast<const char*>(~std::uintptr_t{1});
  }

  // Returns the ends of `text`, whose bytes may be read up to `readable`:
  // the end of the buffer it lies in, eight_readable(), or null when no
  // byte beyond the text is known to be readable. A text with 8 readable
  // bytes from its start is read in one or two loads and masked.
  // REQUIRES: readable != eight_readable_before() (see ends_ending_readable).
  static Ends ends_of(std::string_view text, const char* readable) {
    Ends ends;
    const std::size_t n = text.size();
    if (std::endian::native == std::endian::little && n != 0 && readable != nullptr &&
        (readable == eight_readable() || readable - text.data() >= 8)) {
      // Masks in place of a branch on the length, which in most columns
      // varies from row to row and so would be mispredicted half the time:
      // `all` is all ones for a text of 8 bytes or more, which keeps its
      // whole first load and loads its last 8 bytes; a shorter text keeps
      // only its own bytes and a zero tail. 50 texts of 3 to 10 bytes in 5M
      // rows: 39 to 28 ms.
      const auto all = std::uint64_t{0} - static_cast<std::uint64_t>(n >= 8);
      const std::uint64_t own = (std::uint64_t{1} << (8 * std::min<std::size_t>(n, 7))) - 1;
      std::memcpy(&ends.head, text.data(), 8);
      ends.head &= own | all;
      std::memcpy(&ends.tail, text.data() + ((n - 8) & all), 8);
      ends.tail &= all;
    } else if (n >= 8) {
      std::memcpy(&ends.head, text.data(), 8);
      std::memcpy(&ends.tail, text.data() + n - 8, 8);
    } else {
      // Byte by byte, in the order a little-endian load gives.
      for (std::size_t k = 0; k < n; ++k) {
        ends.head |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
      }
    }
    return ends;
  }

  // Returns the ends of `text`, whose 8 bytes ending where it ends may be
  // read whatever its size (eight_readable_before()). Masks and a pointer
  // pick in place of branches on the length, as in ends_of: the last 8 bytes
  // are loaded whatever the size, a shorter text's are its own at the top,
  // shifted down (none at all when empty); a longer text loads its first 8
  // bytes apart. Apart from ends_of, whose loops over a column's buffer
  // would pay for one more test on every row.
  static Ends ends_ending_readable(std::string_view text) {
    if constexpr (std::endian::native != std::endian::little) return ends_of(text, nullptr);
    Ends ends;
    const std::size_t n = text.size();
    const auto all = std::uint64_t{0} - static_cast<std::uint64_t>(n >= 8);
    const char* const last = text.data() + n - 8;
    std::uint64_t first_word;
    std::memcpy(&first_word, n >= 8 ? text.data() : last, 8);
    const auto drop = static_cast<unsigned>(8 * (8 - std::min<std::size_t>(n, 8)));
    const auto nonempty = std::uint64_t{0} - static_cast<std::uint64_t>(n != 0);
    ends.head = (first_word >> (drop & 63)) & nonempty;
    std::memcpy(&ends.tail, last, 8);
    ends.tail &= all;
    return ends;
  }

  std::size_t slot_of(const Ends& ends, std::size_t size) const {
    const std::uint64_t mixed = (ends.head ^ mix_bits(ends.tail) ^ size) * 0xBF58476D1CE4E5B9ULL;
    return static_cast<std::size_t>(mixed >> (64 - bits_));
  }

  // Asks for set `slot` to be brought into the cache ahead of its lookup.
  void prefetch(std::size_t slot) const { __builtin_prefetch(&sets_[slot]); }

  // Sets `id` and returns true when set `slot` remembers `text`. Each set
  // holds the last two texts that mapped to it, so that two frequent texts
  // sharing a set do not keep evicting each other; both lie in one cache line.
  bool find(std::size_t slot, const Ends& ends, std::string_view text, std::size_t& id) const {
    for (const Slot& way : sets_[slot].ways) {
      if (holds(way, ends, text)) {
        id = way.id;
        return true;
      }
    }
    return false;
  }

  // Remembers `text` in set `slot`, in place of the older of its two texts.
  // A text or id too large for a slot is not remembered.
  void remember(std::size_t slot, const Ends& ends, std::string_view text, std::size_t id) {
    if (text.size() > kMaxField || id > kMaxField) return;
    Slot* ways = sets_[slot].ways;
    ways[1] = ways[0];
    ways[0] = Slot{ends, text.data(), static_cast<std::uint32_t>(text.size()),
                   static_cast<std::uint32_t>(id)};
  }

 private:
  static constexpr unsigned kMaxBits = 13;
  static constexpr std::size_t kMaxField = UINT32_MAX;
  struct Slot {
    Ends ends;
    const char* data = nullptr;  // into the column's buffer, which outlives the fit
    std::uint32_t size = 0;
    std::uint32_t id = 0;
  };
  struct alignas(64) Set {
    Slot ways[2];  // the newer first
  };

  static bool holds(const Slot& entry, const Ends& ends, std::string_view text) {
    if (entry.data == nullptr || entry.size != text.size() || entry.ends.head != ends.head ||
        entry.ends.tail != ends.tail) {
      return false;
    }
    // Beyond 16 bytes the middle is still to be compared.
    return text.size() <= 16 || std::memcmp(entry.data + 8, text.data() + 8, text.size() - 16) == 0;
  }

  unsigned bits_ = 5;
  std::vector<Set> sets_;
};

}  // namespace colenc
