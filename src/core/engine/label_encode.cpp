// Fitting and transforming one text column. Chunks of the column's entries
// find their distinct texts in parallel, hashing views into the column's own
// buffer once per entry; only those distinct views are sorted, and the sort
// hands each chunk its codes per local id, through which its entries are then
// translated. A long column whose first rows repeat a few texts fits those
// first, and chunks that meet no other text write their codes in their one
// pass. A long column whose entries are nearly all distinct skips the chunks
// and sorts its entries directly. A column whose rows share entries by
// id gets each row's code from its entry's. No text is copied except each
// distinct label, once, into the label map, whose texts the inverse shares.
#include "core/engine/label_encode.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/engine/pool.hpp"
#include "core/engine/prefix_sort.hpp"
#include "core/hashing/hash_map.hpp"
#include "core/hashing/recent_texts.hpp"
#include "core/internal_error.hpp"
#include "core/labels/labels.hpp"

namespace colenc {
namespace {

// Each chunk numbers its distinct texts in a memo table (hash_map.hpp) keyed
// like every table of the engine, so crafted labels cannot force collisions;
// the table keeps each text's hash, so that growing it never hashes a text
// again, a mismatched probe rarely reaches the byte comparison, and the fitted
// map reuses the hash.

// Entries ahead of the current one whose map slots are requested early: the
// maps of a column with many labels are far larger than the caches.
constexpr std::size_t kPrefetchAhead = 16;

// Chunks smaller than this cost more in set overhead than they gain: each
// chunk numbers every distinct text it meets once more, and the fit sorts
// them all.
constexpr std::size_t kMinChunkRows = std::size_t{1} << 16;
// Rows per task of the plain loops over a column.
constexpr std::size_t kGrainRows = std::size_t{1} << 14;

// Rows whose sets in RecentTexts are requested together, ahead of the lookups.
constexpr std::size_t kBatchRows = 16;

// A row of a batch: its text and where RecentTexts keeps it.
struct Batched {
  std::string_view text;
  RecentTexts::Ends ends;
  std::size_t slot = 0;
};

// The one rule of every fit: labels arrive in ascending byte order, one run
// of equal labels after another; each new run gets the next code, except the
// run of a missing-value label, which gets none (its rows hold NaN) and is
// held back until finish(), so that the fitted map lists label i with code i
// and the inverse can share its texts. `add(label, code)` receives each label
// once: a coded one as its run starts, the missing-value ones at finish().
template <class Label>
class RunCoder {
 public:
  // Starts the run of `label`, whose text is `text`; returns the value of its
  // rows: its code, or NaN for a missing-value label.
  template <class Add>
  double start_run(const Label& label, std::string_view text, Add&& add) {
    if (is_missing_label(text)) {
      missing_.push_back(label);
      return missing_code_value();
    }
    add(label, std::optional<Code>(next_));
    return static_cast<double>(next_++);
  }

  // Adds the missing-value labels held back, in the order met; returns how
  // many labels got a code.
  template <class Add>
  Code finish(Add&& add) {
    for (const Label& label : missing_) add(label, std::optional<Code>());
    return next_;
  }

 private:
  std::vector<Label> missing_;
  Code next_ = 0;
};

// The `add` of a RunCoder of texts that appends each label to `labels`.
auto append_to(LabelToCode::Builder& labels) {
  return [&labels](std::string_view text, std::optional<Code> code) { labels.append(text, code); };
}

// One contiguous range of rows and its distinct texts, each numbered by its
// first appearance in the range (its local id), after the seed's texts.
struct Chunk {
  std::size_t first_row = 0;
  std::size_t end_row = 0;
  std::vector<PrehashedText> distinct;  // indexed by local id
};

// The distinct texts of a column's first rows, fitted before the chunks
// start: coded labels in byte order, then the missing-value labels. Every
// chunk numbers these texts first, with local ids equal to their codes, and
// writes their codes (NaN for a missing-value label) where it would write
// local ids. When no chunk meets a text the seed lacks, those are the
// column's codes and the fit is the seed's: no sort, and no second pass over
// the codes.
struct Seed {
  std::vector<PrehashedText> texts;
  std::vector<double> values;  // per text: its code, or NaN
  Code coded = 0;
};

// Numbers the rows of `chunk` starting from `seed`, leaving each row's value
// in `codes`: its code for a text of the seed, its local id for any other
// (exact: ids stay far below 2^53).
void assign_local_ids(const TextColumn& texts, const Seed& seed, Chunk& chunk,
                      std::span<double> codes) {
  const KeyedHash hash;
  TextIds ids;
  const auto text_of = [&distinct = chunk.distinct](std::uint64_t id) { return distinct[id].text; };
  chunk.distinct = seed.texts;
  for (std::size_t id = 0; id < seed.texts.size(); ++id)
    ids.try_emplace(seed.texts[id], id, text_of);
  const std::size_t seeded = seed.values.size();
  RecentTexts recent(chunk.end_row - chunk.first_row);
  const char* const readable = texts.bytes_end();
  // Rows go in batches: the set of every row of a batch is requested before
  // the first is looked up, so that the lookups do not wait on the memory
  // one after another.
  std::array<Batched, kBatchRows> batch;
  for (std::size_t first = chunk.first_row; first < chunk.end_row; first += kBatchRows) {
    const std::size_t end = std::min(first + kBatchRows, chunk.end_row);
    texts.for_each_entry(first, end, [&](std::size_t i, std::string_view text) {
      Batched& row = batch[i - first];
      row.text = text;
      row.ends = RecentTexts::ends_of(text, readable);
      row.slot = recent.slot_of(row.ends, text.size());
      recent.prefetch(row.slot);
    });
    for (std::size_t i = first; i != end; ++i) {
      const Batched& row = batch[i - first];
      std::size_t id;
      if (!recent.find(row.slot, row.ends, row.text, id)) {
        const PrehashedText key{row.text, hash(row.text)};
        const auto [found, inserted] = ids.try_emplace(key, chunk.distinct.size(), text_of);
        // Should this fail, the table names a text it lacks; the exception
        // drops both with the chunk.
        if (inserted) chunk.distinct.push_back(key);
        id = static_cast<std::size_t>(found);
        recent.remember(row.slot, row.ends, row.text, id);
      }
      codes[i] = id < seeded ? seed.values[id] : static_cast<double>(id);
    }
  }
}

// Rows whose distinct texts make the seed, and how many rows a column needs
// before one is tried: numbering them a second time costs at most 1/16 of the
// column when the seed is not taken.
constexpr std::size_t kSeedRows = std::size_t{1} << 14;
constexpr std::size_t kSeedFromRows = 16 * kSeedRows;
// The seed is taken when the first rows repeat their texts at least this
// many times on average, as columns of categories do.
constexpr std::size_t kSeedRepeats = 8;

// Numbers the first rows of a long column, and makes their distinct texts
// the seed when they repeat enough: then their rows get their codes and the
// seed's rows are returned. Otherwise the seed stays empty and 0 is returned.
std::size_t seed_from_first_rows(const TextColumn& texts, std::span<double> codes, Seed& seed) {
  if (texts.entry_count() < kSeedFromRows) return 0;
  Chunk first{0, kSeedRows, {}};
  assign_local_ids(texts, seed, first, codes);
  if (first.distinct.size() * kSeedRepeats > kSeedRows) return 0;
  std::vector<std::uint32_t> order(first.distinct.size());
  for (std::size_t id = 0; id < order.size(); ++id) order[id] = static_cast<std::uint32_t>(id);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return label_less(first.distinct[a].text, first.distinct[b].text);
  });
  // The seed's texts in the fitted map's order: coded labels, then the
  // missing-value labels.
  const auto add = [&](std::uint32_t id, std::optional<Code> code) {
    seed.texts.push_back(first.distinct[id]);
    seed.values.push_back(code ? static_cast<double>(*code) : missing_code_value());
  };
  RunCoder<std::uint32_t> runs;
  std::vector<double> value_of_id(order.size());
  for (const std::uint32_t id : order) {
    value_of_id[id] = runs.start_run(id, first.distinct[id].text, add);
  }
  seed.coded = runs.finish(add);
  for (std::size_t i = 0; i < kSeedRows; ++i) {
    codes[i] = value_of_id[static_cast<std::size_t>(codes[i])];
  }
  return kSeedRows;
}

// Splits the entries from `first_row` on into chunks and numbers each from
// the seed, in parallel.
std::vector<Chunk> assign_local_ids_by_chunk(const TextColumn& texts, const Seed& seed,
                                             std::size_t first_row, std::span<double> codes) {
  const std::size_t rows = texts.entry_count() - first_row;
  const auto max_chunks = static_cast<std::size_t>(4 * current_concurrency());
  const std::size_t chunk_count = std::clamp<std::size_t>(rows / kMinChunkRows, 1, max_chunks);
  std::vector<Chunk> chunks(chunk_count);
  pool_for(
      tbb::blocked_range<std::size_t>(0, chunk_count, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
          chunks[c].first_row = first_row + rows * c / chunk_count;
          chunks[c].end_row = first_row + rows * (c + 1) / chunk_count;
          assign_local_ids(texts, seed, chunks[c], codes);
        }
      },
      tbb::simple_partitioner());
  return chunks;
}

// One distinct text of one chunk, with the first 8 bytes of the text as a
// big-endian integer so that most comparisons of the sort are one integer
// comparison.
struct SortEntry {
  std::uint64_t prefix;
  PrehashedText label;
  std::uint32_t chunk;
  std::uint32_t local_id;
};

bool entry_less(const SortEntry& a, const SortEntry& b) {
  // Zero padding keeps prefix order equal to byte order; equal prefixes fall
  // back to the full texts.
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return label_less(a.label.text, b.label.text);
}

// Returns true when two sorted entries hold the same text. Texts of a column
// are spread over its buffer; different hashes settle most pairs without
// reading either.
bool same_label(const SortEntry& a, const SortEntry& b) {
  return a.label.hash == b.label.hash && a.label.text == b.label.text;
}

// Fits the column: sorts the chunks' distinct texts (about distinct labels x
// chunks entries, never one per row), codes their runs (RunCoder), inserts
// each label once into the fitted map, and records every chunk's code per
// local id in `code_of_id`.
LabelToCode fit_labels(const std::vector<Chunk>& chunks,
                       std::vector<std::vector<double>>& code_of_id) {
  std::size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.distinct.size();
  std::vector<SortEntry> entries;
  entries.reserve(total);
  code_of_id.resize(chunks.size());
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    const auto& distinct = chunks[c].distinct;
    code_of_id[c].resize(distinct.size());
    for (std::size_t id = 0; id < distinct.size(); ++id) {
      entries.push_back(SortEntry{byte_prefix(distinct[id].text), distinct[id],
                                  static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(id)});
    }
  }
  pool_sort(entries.begin(), entries.end(), entry_less);

  std::size_t distinct_count = 0;
  std::size_t distinct_bytes = 0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (k == 0 || !same_label(entries[k], entries[k - 1])) {
      ++distinct_count;
      distinct_bytes += entries[k].label.text.size();
    }
  }
  LabelToCode::Builder labels;
  labels.reserve(distinct_count, distinct_bytes);
  const auto add = append_to(labels);
  RunCoder<std::string_view> runs;
  double value = 0.0;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (k + kPrefetchAhead < entries.size()) {
      __builtin_prefetch(entries[k + kPrefetchAhead].label.text.data());  // copied below
    }
    const SortEntry& entry = entries[k];
    if (k == 0 || !same_label(entry, entries[k - 1])) {
      value = runs.start_run(entry.label.text, entry.label.text, add);
    }
    code_of_id[entry.chunk][entry.local_id] = value;
  }
  runs.finish(add);
  return std::move(labels).finish();
}

// Returns the inverse of the coded entries of `label_to_code`. A fitted map
// holds its labels in code order with the missing-value labels last, so the
// inverse shares its texts; any other layout is a broken fit.
CodeToLabel invert_label_map(const LabelToCode& label_to_code) {
  std::optional<CodeToLabel> inverse = label_to_code.positional_inverse();
  if (!inverse) throw InternalError("a fitted label map is not in code order");
  return std::move(*inverse);
}

// Returns the fitted map of a seed that every chunk kept to.
LabelToCode seed_labels(const Seed& seed) {
  std::size_t bytes = 0;
  for (const PrehashedText& text : seed.texts) bytes += text.text.size();
  LabelToCode::Builder labels;
  labels.reserve(seed.texts.size(), bytes);
  for (std::size_t k = 0; k < seed.texts.size(); ++k) {
    labels.append(seed.texts[k].text,
                  k < seed.coded ? std::optional<Code>(static_cast<Code>(k)) : std::nullopt);
  }
  return std::move(labels).finish();
}

// Replaces every row's value in `codes` by its code, through its chunk's
// table of codes per local id: a seed text's value is its local id too, and
// NaN (a missing-value label) stays. The seed's own `seed_rows` rows hold
// only seed values, which any chunk's table turns into codes.
void translate_local_ids(const std::vector<Chunk>& chunks,
                         const std::vector<std::vector<double>>& code_of_id, std::size_t seed_rows,
                         std::span<double> codes) {
  const std::size_t parts = chunks.size() + (seed_rows != 0 ? 1 : 0);
  pool_for(
      tbb::blocked_range<std::size_t>(0, parts, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
          const bool seed_part = c == chunks.size();
          const std::vector<double>& table = code_of_id[seed_part ? 0 : c];
          const std::size_t first = seed_part ? 0 : chunks[c].first_row;
          const std::size_t end = seed_part ? seed_rows : chunks[c].end_row;
          for (std::size_t i = first; i != end; ++i) {
            if (std::isnan(codes[i])) continue;
            const auto id = static_cast<std::size_t>(codes[i]);
            if (id >= table.size()) throw InternalError("no entry found for key");
            codes[i] = table[id];
          }
        }
      },
      tbb::simple_partitioner());
}

// Columns with at least this many entries are sampled to see whether they
// are mostly distinct; smaller ones always go through the chunks.
constexpr std::size_t kSampleFromEntries = std::size_t{1} << 17;
// The sample: runs of consecutive entries spread evenly over the column, read
// in order rather than one cache miss per entry.
constexpr std::size_t kSampleRuns = 64;
constexpr std::size_t kSampleRunEntries = 64;
constexpr std::size_t kSampleSize = kSampleRuns * kSampleRunEntries;
// More repeats than this in the sample and the column is not mostly distinct.
constexpr std::size_t kMaxSampleRepeats = kSampleSize / 20;

}  // namespace

// Chunk sets of a mostly distinct column would hold almost every entry, and
// sorting the entries themselves is cheaper in time and far cheaper in
// memory. A column of repeated texts is told apart within its first few
// hundred samples.
bool mostly_distinct(const TextColumn& texts) {
  const std::size_t entries = texts.entry_count();
  if (entries < kSampleFromEntries) return false;
  const KeyedHash hash;
  std::vector<std::string_view> sample;
  sample.reserve(kSampleSize);
  const auto sampled = [&sample](std::uint64_t k) { return sample[k]; };
  TextIds seen;
  seen.reserve(kSampleSize);
  std::size_t repeats = 0;
  for (std::size_t run = 0; run < kSampleRuns && repeats <= kMaxSampleRepeats; ++run) {
    const std::size_t first = entries / kSampleRuns * run;
    texts.for_each_entry(first, first + kSampleRunEntries, [&](std::size_t, std::string_view text) {
      if (seen.try_emplace(PrehashedText{text, hash(text)}, sample.size(), sampled).second) {
        sample.push_back(text);
      } else {
        ++repeats;
      }
    });
  }
  return repeats <= kMaxSampleRepeats;
}

namespace {

// Fits a mostly distinct column by sorting its entries: each run of equal
// texts is coded (RunCoder), every entry of the run gets its value, and the
// run's text one hash and one map entry. The sort
// is a radix sort of 8-byte prefixes (prefix_sort.hpp): whole texts are
// compared only where many share a prefix.
LabelToCode fit_by_sort(const TextColumn& texts, std::span<double> entry_codes) {
  const std::size_t entries = texts.entry_count();
  std::vector<PrefixedIndex> order = sorted_entries(texts);

  // Each run of equal texts: its text is copied into the map once, and every
  // entry of the run gets its code. Sorted order scatters the reads over the
  // column, so the texts of entries ahead are requested early.
  LabelToCode::Builder labels;
  labels.reserve(entries, texts.byte_size());
  const auto add = append_to(labels);
  RunCoder<std::string_view> runs;
  double value = 0.0;
  std::string_view last;
  for (std::size_t k = 0; k < entries; ++k) {
    prefetch_sorted_walk(texts, std::span<const PrefixedIndex>(order), entry_codes, k, entries);
    const std::string_view text = texts.entry(order[k].index);
    if (k == 0 || order[k].prefix != order[k - 1].prefix || text != last) {
      value = runs.start_run(text, text, add);
      last = text;
    }
    entry_codes[order[k].index] = value;
  }
  std::vector<PrefixedIndex>().swap(order);
  runs.finish(add);
  return std::move(labels).finish();
}

// Fits the column's entries, leaves each entry's code in `entry_codes` and
// the way taken in `path`.
ColumnLabels encode_entries(const TextColumn& texts, std::span<double> entry_codes, FitPath& path) {
  ColumnLabels labels;
  if (mostly_distinct(texts)) {
    path = FitPath::kSortedEntries;
    labels.label_to_code = fit_by_sort(texts, entry_codes);
    labels.code_to_label = invert_label_map(labels.label_to_code);
    return labels;
  }
  {
    Seed seed;
    const std::size_t seed_rows = seed_from_first_rows(texts, entry_codes, seed);
    const std::vector<Chunk> chunks =
        assign_local_ids_by_chunk(texts, seed, seed_rows, entry_codes);
    const bool kept_to_seed =
        seed_rows != 0 && std::all_of(chunks.begin(), chunks.end(), [&](const Chunk& chunk) {
          return chunk.distinct.size() == seed.texts.size();
        });
    if (kept_to_seed) {
      path = FitPath::kSeed;
      labels.label_to_code = seed_labels(seed);
    } else {
      path = seed_rows != 0 ? FitPath::kSeedAndChunks : FitPath::kChunks;
      std::vector<std::vector<double>> code_of_id;
      labels.label_to_code = fit_labels(chunks, code_of_id);
      translate_local_ids(chunks, code_of_id, seed_rows, entry_codes);
    }
  }
  // The inverse is made once the sort's and the chunks' memory is given back:
  // on a column of a million labels that is a third of the peak.
  labels.code_to_label = invert_label_map(labels.label_to_code);
  return labels;
}

// Sets codes[row] to the code of the row's entry, for every row.
void gather_row_codes(const std::vector<TextColumn::EntryId>& row_ids,
                      const std::vector<double>& entry_codes, std::span<double> codes) {
  pool_for(tbb::blocked_range<std::size_t>(0, row_ids.size(), kGrainRows),
           [&](const tbb::blocked_range<std::size_t>& range) {
             for (std::size_t i = range.begin(); i != range.end(); ++i) {
               const std::size_t id = row_ids[i];
               if (id >= entry_codes.size()) {
                 throw InternalError("no entry found for key");
               }
               codes[i] = entry_codes[id];
             }
           });
}

}  // namespace

ColumnLabels label_encode_column(const TextColumn& texts, std::span<double> codes, FitPath* path) {
  if (codes.size() != texts.size()) {
    throw InternalError("code buffer of " + std::to_string(codes.size()) + " cells for " +
                        std::to_string(texts.size()) + " texts");
  }
  FitPath taken = FitPath::kEmpty;
  ColumnLabels labels;
  if (!texts.empty() && !texts.has_row_ids()) {
    labels = encode_entries(texts, codes, taken);
  } else if (!texts.empty()) {
    // Each entry is fitted once however many rows share it.
    std::vector<double> entry_codes(texts.entry_count());
    labels = encode_entries(texts, entry_codes, taken);
    gather_row_codes(texts.row_ids(), entry_codes, codes);
  }
  if (path != nullptr) *path = taken;
  return labels;
}

std::pair<std::vector<double>, ColumnLabels> label_encode_column(const TextColumn& texts,
                                                                 FitPath* path) {
  std::vector<double> codes(texts.size());
  ColumnLabels labels = label_encode_column(texts, codes, path);
  return {std::move(codes), std::move(labels)};
}

}  // namespace colenc
