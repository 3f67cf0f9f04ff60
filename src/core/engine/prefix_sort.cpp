// The radix half of prefix_sort: an in-place MSD radix sort of 64-bit
// prefixes, one byte a level (American flag sort), with the buckets of large
// ranges sorted in parallel. It needs no second buffer, so fitting a column
// of a million distinct texts costs no more memory than the pairs themselves.
#include "core/engine/prefix_sort.hpp"

#include <oneapi/tbb/blocked_range.h>

#include <array>
#include <utility>

#include "core/engine/pool.hpp"

namespace colenc {
namespace {

// Ranges this short are finished by a comparison sort of the prefixes.
constexpr std::size_t kInsertionMax = 48;
// Ranges this long sort their buckets in parallel.
constexpr std::size_t kParallelMin = std::size_t{1} << 15;

void sort_level(PrefixedIndex* first, std::size_t count, int byte) {
  while (true) {
    if (count <= kInsertionMax) {
      std::sort(first, first + count, [](const PrefixedIndex& a, const PrefixedIndex& b) {
        return a.prefix < b.prefix;
      });
      return;
    }
    const int shift = 56 - 8 * byte;
    const auto digit = [shift](const PrefixedIndex& item) {
      return static_cast<std::size_t>((item.prefix >> shift) & 0xFF);
    };
    std::array<std::size_t, 256> counts{};
    for (std::size_t i = 0; i < count; ++i) ++counts[digit(first[i])];
    // A byte that all items share orders nothing: go on to the next one.
    if (counts[digit(first[0])] == count) {
      if (byte == 7) return;
      ++byte;
      continue;
    }
    std::array<std::size_t, 256> heads{};
    std::array<std::size_t, 256> ends{};
    std::size_t offset = 0;
    for (std::size_t b = 0; b < 256; ++b) {
      heads[b] = offset;
      offset += counts[b];
      ends[b] = offset;
    }
    // Each item is swapped straight into the next free place of its bucket.
    for (std::size_t b = 0; b < 256; ++b) {
      while (heads[b] < ends[b]) {
        PrefixedIndex item = first[heads[b]];
        std::size_t d = digit(item);
        while (d != b) {
          std::swap(item, first[heads[d]++]);
          d = digit(item);
        }
        first[heads[b]++] = item;
      }
    }
    if (byte == 7) return;
    const auto sort_bucket = [&](std::size_t b) {
      const std::size_t size = counts[b];
      if (size > 1) sort_level(first + ends[b] - size, size, byte + 1);
    };
    if (count >= kParallelMin) {
      pool_for_each_index(std::size_t{0}, std::size_t{256}, sort_bucket);
    } else {
      for (std::size_t b = 0; b < 256; ++b) sort_bucket(b);
    }
    return;
  }
}

}  // namespace

void sort_by_prefix(std::span<PrefixedIndex> items) {
  if (items.size() < 2) return;
  sort_level(items.data(), items.size(), 0);
}

std::vector<PrefixedIndex> sorted_entries(const TextColumn& texts) {
  constexpr std::size_t kGrainRows = std::size_t{1} << 14;
  const std::size_t entries = texts.entry_count();
  std::vector<PrefixedIndex> order(entries);
  pool_for(tbb::blocked_range<std::size_t>(0, entries, kGrainRows),
           [&](const tbb::blocked_range<std::size_t>& range) {
             for (std::size_t i = range.begin(); i != range.end(); ++i) {
               order[i] = PrefixedIndex{byte_prefix(texts.entry(i)), i};
             }
           });
  sort_by_text(std::span<PrefixedIndex>(order),
               [&texts](std::uint64_t entry) { return texts.entry(entry); });
  return order;
}

}  // namespace colenc
