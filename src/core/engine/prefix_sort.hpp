// prefix_sort: orders the texts of a column by their bytes without a
// comparison sort of whole texts. (8-byte big-endian prefix, index) pairs are
// sorted in place by an MSD radix sort of the prefix; runs of equal prefixes
// that are long go through the next 8 bytes the same way, and only short runs
// are compared text by text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "core/labels/labels.hpp"

namespace colenc {

// One text to be sorted: 8 of its bytes as a big-endian integer, and where
// the caller finds the whole text.
struct PrefixedIndex {
  std::uint64_t prefix;
  std::uint64_t index;
};

// Returns bytes [from, from + 8) of `text` as a big-endian integer, missing
// bytes as zero. Integer order of these values never contradicts label order
// of texts that agree before `from`; equal values may still be unequal texts.
inline std::uint64_t byte_prefix(std::string_view text, std::size_t from = 0) {
  std::uint64_t prefix = 0;
  if (from >= text.size()) return 0;
  const std::size_t n = std::min<std::size_t>(text.size() - from, 8);
  for (std::size_t k = 0; k < n; ++k) {
    prefix |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[from + k]))
              << (56 - 8 * k);
  }
  return prefix;
}

// Sorts `items` by prefix alone, in place (an MSD radix sort, parallel over
// the buckets of large ranges). The order of equal prefixes is unspecified.
void sort_by_prefix(std::span<PrefixedIndex> items);

// Runs of equal prefixes longer than this are sorted by their next 8 bytes
// rather than by comparing texts.
inline constexpr std::size_t kCompareRunMax = 32;
// Runs that still agree this far into their texts are compared text by text:
// it bounds the recursion (a run of texts that all agree on a prefix is walked
// down in a loop, not by recursion).
inline constexpr std::size_t kRadixDepthMax = 512;

// Asks early for what a walk of the column `texts` (a TextColumn) in sorted
// `order`, writing `codes` by entry, needs some steps after step k (of a walk
// that ends at `end`): sorted order scatters the reads over the column. An
// entry's offsets are asked for twice as far ahead as its bytes, whose
// address they give.
template <class Texts>
void prefetch_sorted_walk(const Texts& texts, std::span<const PrefixedIndex> order,
                          std::span<double> codes, std::size_t k, std::size_t end) {
  constexpr std::size_t kAhead = 16;
  if (k + 2 * kAhead < end) __builtin_prefetch(texts.entry_locator(order[k + 2 * kAhead].index));
  if (k + kAhead < end) {
    const std::uint64_t ahead = order[k + kAhead].index;
    __builtin_prefetch(texts.entry(ahead).data());
    __builtin_prefetch(&codes[ahead], 1);
  }
}

// Sorts `items` into label order of text_of(index), equal texts adjacent.
// REQUIRES: every item's prefix is byte_prefix(text_of(index), depth), and all
// texts agree on their first `depth` bytes (zero-padded). Afterwards equal
// texts still hold equal prefixes, though not necessarily from `depth`.
template <class TextOf>
void sort_by_text(std::span<PrefixedIndex> items, const TextOf& text_of, std::size_t depth = 0) {
  const auto text_less = [&](const PrefixedIndex& a, const PrefixedIndex& b) {
    return label_less(text_of(a.index), text_of(b.index));
  };
  // Returns true when a text of `run` goes on past the 8 bytes at `depth`.
  // Texts that all end within them agree on them padded with zeros and
  // differ, if at all, only by their length: there are no further bytes.
  const auto goes_on = [&](std::span<const PrefixedIndex> run, std::size_t from) {
    return std::any_of(run.begin(), run.end(), [&](const PrefixedIndex& item) {
      return text_of(item.index).size() > from + 8;
    });
  };
  if (items.size() < 2) return;
  if (items.size() <= kCompareRunMax || depth >= kRadixDepthMax) {
    std::sort(items.begin(), items.end(), text_less);
    return;
  }
  sort_by_prefix(items);
  // A shared prefix is stepped over here rather than by recursion.
  while (items.front().prefix == items.back().prefix) {
    if (!goes_on(items, depth) || depth + 8 >= kRadixDepthMax) {
      std::sort(items.begin(), items.end(), text_less);
      return;
    }
    depth += 8;
    for (PrefixedIndex& item : items) item.prefix = byte_prefix(text_of(item.index), depth);
    sort_by_prefix(items);
  }
  std::size_t start = 0;
  while (start < items.size()) {
    std::size_t end = start + 1;
    while (end < items.size() && items[end].prefix == items[start].prefix) ++end;
    const std::span<PrefixedIndex> run = items.subspan(start, end - start);
    start = end;
    if (run.size() < 2) continue;
    if (run.size() > kCompareRunMax && goes_on(run, depth)) {
      for (PrefixedIndex& item : run) item.prefix = byte_prefix(text_of(item.index), depth + 8);
      sort_by_text(run, text_of, depth + 8);
    } else {
      std::sort(run.begin(), run.end(), text_less);
    }
  }
}

// Returns the entries of `texts` in label order of their texts, equal texts
// adjacent, each with its prefix (see sort_by_text); the prefixes are taken
// in parallel on the current arena.
std::vector<PrefixedIndex> sorted_entries(const TextColumn& texts);

}  // namespace colenc
