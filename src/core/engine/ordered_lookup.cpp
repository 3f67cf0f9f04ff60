// Bisection and sorted walks over a fit's labels in label order.
#include "core/engine/ordered_lookup.hpp"

#include <oneapi/tbb/blocked_range.h>

#include <atomic>
#include <vector>

#include "core/engine/pool.hpp"
#include "core/engine/prefix_sort.hpp"
#include "core/labels/labels.hpp"

namespace colenc {
namespace {

// Sorted entries per task of the walk; each task first bisects for its start.
constexpr std::size_t kWalkRows = std::size_t{1} << 16;

}  // namespace

std::size_t OrderedLabels::lower_bound(std::string_view text, std::size_t from) const {
  // Doubling strides find a stretch [from, to) whose end is not less than text.
  std::size_t to = from;
  for (std::size_t stride = 1; to < coded_ && label_less(label(to), text); stride *= 2) {
    from = to + 1;
    to = to + stride < coded_ ? to + stride : coded_;
  }
  while (from < to) {
    const std::size_t middle = from + (to - from) / 2;
    if (label_less(label(middle), text)) {
      from = middle + 1;
    } else {
      to = middle;
    }
  }
  return from;
}

double OrderedLabels::value_at(std::size_t at, std::string_view text, bool& unknown) const {
  if (at < coded_ && label(at) == text) return static_cast<double>(at);
  if (is_missing_label(text)) return missing_code_value();
  unknown = true;
  return unknown_value_;
}

bool bisect_entries(const TextColumn& texts, const OrderedLabels& labels,
                    std::span<double> entry_codes) {
  bool unknown = false;
  texts.for_each_entry(0, texts.entry_count(), [&](std::size_t k, std::string_view text) {
    entry_codes[k] = labels.value_at(labels.lower_bound(text), text, unknown);
  });
  return unknown;
}

bool merge_entries(const TextColumn& texts, const OrderedLabels& labels,
                   std::span<double> entry_codes) {
  const std::size_t entries = texts.entry_count();
  const std::vector<PrefixedIndex> order = sorted_entries(texts);
  const std::span<const PrefixedIndex> sorted(order);

  std::atomic<bool> unknown{false};
  pool_for(tbb::blocked_range<std::size_t>(0, entries, kWalkRows),
           [&](const tbb::blocked_range<std::size_t>& range) {
             bool seen = false;
             std::size_t at = 0;
             double value = 0.0;
             std::string_view last;
             for (std::size_t k = range.begin(); k != range.end(); ++k) {
               prefetch_sorted_walk(texts, sorted, entry_codes, k, range.end());
               const std::string_view text = texts.entry(order[k].index);
               if (k == range.begin() || text != last) {
                 at = labels.lower_bound(text, at);
                 value = labels.value_at(at, text, seen);
                 last = text;
               }
               entry_codes[order[k].index] = value;
             }
             if (seen) unknown.store(true, std::memory_order_relaxed);
           });
  return unknown.load();
}

}  // namespace colenc
