// Looking up a column's labels in its stored fit, in row ranges on the pool.
// Each range keeps a small memory of its recent texts (RecentTexts) in front
// of the map's keyed index, so that a column of few distinct texts mostly
// skips the keyed hash, as fitting does. A large fit in label order is not
// indexed for a few texts, nor for a long column of nearly distinct texts:
// those are bisected or walked beside the labels (ordered_lookup.hpp).
#include "core/engine/label_lookup.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "core/engine/label_encode.hpp"
#include "core/engine/ordered_lookup.hpp"
#include "core/engine/pool.hpp"
#include "core/formats/number_format.hpp"
#include "core/hashing/keyed_hash.hpp"
#include "core/hashing/recent_texts.hpp"
#include "core/internal_error.hpp"
#include "core/labels/labels.hpp"

namespace colenc {
namespace {

// Rows per task of a lookup; ranges below this many rows look up every text
// in the map alone, where a memory of recent texts would cost more to set up.
constexpr std::size_t kRangeRows = std::size_t{1} << 16;
constexpr std::size_t kRecentFromRows = std::size_t{1} << 10;
constexpr std::size_t kBatchRows = 16;
// Fits of fewer labels are always searched through their index, which is
// small and quickly made.
constexpr std::size_t kOrderedFromLabels = std::size_t{1} << 16;
// A large fit in label order bisects for at most one text per this many
// labels, rather than making its index.
constexpr std::size_t kLabelsPerBisection = 32;
// A column of at least this many entries per label of its fit reads its
// values from a table of every id's value (values_by_id).
constexpr std::size_t kRowsPerValue = 16;

// Returns the fit's labels in label order when the fit is large and in
// label order, and `wanted()` says the texts at hand are better looked up
// without its index.
template <class Wanted>
std::optional<OrderedLabels> ordered_labels(const ColumnLookup& lookup, Wanted&& wanted) {
  const LabelToCode& map = *lookup.label_to_code;
  if (map.size() < kOrderedFromLabels || !wanted()) return std::nullopt;
  const std::optional<std::size_t> coded = map.coded_in_label_order();
  if (!coded) return std::nullopt;
  return OrderedLabels(map, *coded, lookup.unknown_value);
}

// The memory holds, per text, a value id: an entry of the map, or one of
// these two past its end.
struct ValueIds {
  std::size_t unknown;  // a label the fit lacks
  std::size_t missing;  // a missing-value label the fit lacks
};

double value_of_id(const ColumnLookup& lookup, const ValueIds& ids, std::size_t id) {
  if (id == ids.unknown) return lookup.unknown_value;
  if (id == ids.missing) return missing_code_value();
  const std::optional<Code> code = lookup.label_to_code->entry(id).second;
  return code ? static_cast<double>(*code) : missing_code_value();
}

// The value of every id, for a column of far more rows than its fit has
// labels: a row then reads its value from this table rather than from the
// map's entry of its id.
std::vector<double> values_by_id(const ColumnLookup& lookup, const ValueIds& ids) {
  std::vector<double> values(ids.missing + 1);
  for (std::size_t id = 0; id < values.size(); ++id) values[id] = value_of_id(lookup, ids, id);
  return values;
}

std::size_t id_of_label(const ColumnLookup& lookup, const ValueIds& ids, std::string_view label) {
  const LabelToCode& map = *lookup.label_to_code;
  const LabelToCode::const_iterator found = map.find(label);
  if (found != map.end()) return found.position();
  return is_missing_label(label) ? ids.missing : ids.unknown;
}

// Looks up entries [begin, end) of `texts` into entry_codes; true when one
// was unknown. `values` is empty or values_by_id(lookup, ...).
bool look_up_range(const TextColumn& texts, const ColumnLookup& lookup, std::size_t begin,
                   std::size_t end, std::span<double> entry_codes,
                   std::span<const double> values) {
  const ValueIds ids{lookup.label_to_code->size(), lookup.label_to_code->size() + 1};
  const auto value_of = [&](std::size_t id) {
    return values.empty() ? value_of_id(lookup, ids, id) : values[id];
  };
  bool unknown = false;
  if (end - begin < kRecentFromRows) {
    texts.for_each_entry(begin, end, [&](std::size_t k, std::string_view text) {
      const std::size_t id = id_of_label(lookup, ids, text);
      unknown |= id == ids.unknown;
      entry_codes[k] = value_of(id);
    });
    return unknown;
  }
  struct Batched {
    std::string_view text;
    RecentTexts::Ends ends;
    std::size_t slot = 0;
    std::size_t id = 0;
    std::uint64_t hash = 0;
  };
  const LabelToCode& map = *lookup.label_to_code;
  const KeyedHash keyed;
  RecentTexts recent(end - begin);
  const char* const readable = texts.bytes_end();
  std::array<Batched, kBatchRows> batch;
  std::array<std::size_t, kBatchRows> missed;
  for (std::size_t first = begin; first < end; first += kBatchRows) {
    const std::size_t last = std::min(first + kBatchRows, end);
    texts.for_each_entry(first, last, [&](std::size_t k, std::string_view text) {
      Batched& row = batch[k - first];
      row.text = text;
      row.ends = RecentTexts::ends_of(text, readable);
      row.slot = recent.slot_of(row.ends, text.size());
      recent.prefetch(row.slot);
    });
    // A text the memory holds gets its value at once. The others are hashed,
    // and their slots of the map's index requested, before the first is
    // looked up: a column of many distinct texts then waits on its slots
    // together rather than one after another.
    std::size_t misses = 0;
    for (std::size_t k = first; k != last; ++k) {
      Batched& row = batch[k - first];
      if (recent.find(row.slot, row.ends, row.text, row.id)) {
        unknown |= row.id == ids.unknown;
        entry_codes[k] = value_of(row.id);
        continue;
      }
      row.hash = keyed(row.text);
      map.prefetch(PrehashedText{row.text, row.hash});
      missed[misses++] = k;
    }
    for (std::size_t m = 0; m != misses; ++m) {
      const std::size_t k = missed[m];
      Batched& row = batch[k - first];
      const LabelToCode::const_iterator found = map.find(PrehashedText{row.text, row.hash});
      if (found != map.end()) {
        row.id = found.position();
      } else {
        row.id = is_missing_label(row.text) ? ids.missing : ids.unknown;
      }
      recent.remember(row.slot, row.ends, row.text, row.id);
      unknown |= row.id == ids.unknown;
      entry_codes[k] = value_of(row.id);
    }
  }
  return unknown;
}

}  // namespace

double look_up_label(const ColumnLookup& lookup, std::string_view label) {
  const ValueIds ids{lookup.label_to_code->size(), lookup.label_to_code->size() + 1};
  return value_of_id(lookup, ids, id_of_label(lookup, ids, label));
}

bool look_up_entries(const TextColumn& texts, const ColumnLookup& lookup,
                     std::span<double> entry_codes, LookupPath* path) {
  LookupPath ignored;
  LookupPath& taken = path != nullptr ? *path : ignored;
  taken = LookupPath::kIndex;
  const std::size_t entries = texts.entry_count();
  if (entry_codes.size() != entries) {
    throw InternalError("code buffer of " + std::to_string(entry_codes.size()) + " cells for " +
                        std::to_string(entries) + " entries");
  }
  const bool few = entries * kLabelsPerBisection <= lookup.label_to_code->size();
  if (const std::optional<OrderedLabels> labels =
          ordered_labels(lookup, [&] { return few || mostly_distinct(texts); })) {
    taken = few ? LookupPath::kBisection : LookupPath::kSortedWalk;
    return few ? bisect_entries(texts, *labels, entry_codes)
               : merge_entries(texts, *labels, entry_codes);
  }
  const std::size_t labels = lookup.label_to_code->size();
  const std::vector<double> values =
      labels * kRowsPerValue <= entries ? values_by_id(lookup, ValueIds{labels, labels + 1})
                                        : std::vector<double>();
  if (entries <= kRangeRows) return look_up_range(texts, lookup, 0, entries, entry_codes, values);
  // As many ranges as fitting makes chunks: each range sets up its own
  // memory of recent texts and learns the column's texts afresh, so more
  // ranges than the pool can balance cost more than they give.
  const auto max_ranges = static_cast<std::size_t>(4 * current_concurrency());
  const std::size_t range_count = std::clamp<std::size_t>(entries / kRangeRows, 1, max_ranges);
  std::atomic<bool> unknown{false};
  pool_for(
      tbb::blocked_range<std::size_t>(0, range_count, 1),
      [&](const tbb::blocked_range<std::size_t>& ranges) {
        for (std::size_t r = ranges.begin(); r != ranges.end(); ++r) {
          if (look_up_range(texts, lookup, entries * r / range_count,
                            entries * (r + 1) / range_count, entry_codes, values)) {
            unknown.store(true, std::memory_order_relaxed);
          }
        }
      },
      tbb::simple_partitioner());
  return unknown.load();
}

bool look_up_rows(const TextColumn& texts, const ColumnLookup& lookup, std::span<double> codes) {
  if (codes.size() != texts.size()) {
    throw InternalError("code buffer of " + std::to_string(codes.size()) + " cells for " +
                        std::to_string(texts.size()) + " texts");
  }
  if (!texts.has_row_ids()) return look_up_entries(texts, lookup, codes);
  // Every entry of a column with row ids is some row's text.
  std::vector<double> entry_codes(texts.entry_count());
  const bool unknown = look_up_entries(texts, lookup, entry_codes);
  const std::vector<TextColumn::EntryId>& row_ids = texts.row_ids();
  pool_for(tbb::blocked_range<std::size_t>(0, row_ids.size(), kRangeRows),
           [&](const tbb::blocked_range<std::size_t>& range) {
             for (std::size_t i = range.begin(); i != range.end(); ++i) {
               const std::size_t id = row_ids[i];
               if (id >= entry_codes.size()) throw InternalError("no entry found for key");
               codes[i] = entry_codes[id];
             }
           });
  return unknown;
}

bool look_up_numbers(std::span<const double> numbers, const ColumnLookup& lookup,
                     std::span<double> codes) {
  if (codes.size() != numbers.size()) {
    throw InternalError("code buffer of " + std::to_string(codes.size()) + " cells for " +
                        std::to_string(numbers.size()) + " numbers");
  }
  const std::optional<OrderedLabels> labels = ordered_labels(lookup, [&] {
    return numbers.size() * kLabelsPerBisection <= lookup.label_to_code->size();
  });
  std::atomic<bool> unknown{false};
  pool_for(tbb::blocked_range<std::size_t>(0, numbers.size(), kRangeRows),
           [&](const tbb::blocked_range<std::size_t>& range) {
             const ValueIds ids{lookup.label_to_code->size(), lookup.label_to_code->size() + 1};
             std::string text;
             bool seen = false;
             for (std::size_t i = range.begin(); i != range.end(); ++i) {
               text.clear();
               append_number(text, numbers[i]);
               if (labels) {
                 codes[i] = labels->value_at(labels->lower_bound(text), text, seen);
                 continue;
               }
               const std::size_t id = id_of_label(lookup, ids, text);
               seen |= id == ids.unknown;
               codes[i] = value_of_id(lookup, ids, id);
             }
             if (seen) unknown.store(true, std::memory_order_relaxed);
           });
  return unknown.load();
}

}  // namespace colenc
