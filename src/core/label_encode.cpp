// Fitting and transforming one text column. Rows are never sorted: chunks of
// rows find their distinct texts in parallel, hashing views into the column's
// own buffer once per row; only those distinct views are sorted; each chunk then
// looks its distinct texts up in the fitted map and translates its rows through
// that small table. No text is copied except each distinct label, once.
#include "core/label_encode.hpp"

#include <absl/container/flat_hash_map.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "core/internal_error.hpp"
#include "core/labels.hpp"

namespace colenc {
namespace {

// A view with its hash computed once, so that growing a set never hashes a
// text again and a mismatched probe rarely reaches the byte comparison.
struct HashedView {
  std::string_view text;
  std::size_t hash;
};
struct HashedViewHash {
  std::size_t operator()(const HashedView& view) const { return view.hash; }
};
struct HashedViewEq {
  bool operator()(const HashedView& a, const HashedView& b) const {
    return a.hash == b.hash && a.text == b.text;
  }
};
// Keyed like every map of the engine, so crafted labels cannot force collisions.
using LocalIds = absl::flat_hash_map<HashedView, std::size_t, HashedViewHash, HashedViewEq>;

// Chunks smaller than this cost more in set overhead than they gain.
constexpr std::size_t kMinChunkRows = std::size_t{1} << 14;

// One contiguous range of rows and its distinct texts, each numbered by its
// first appearance in the range (its local id).
struct Chunk {
  std::size_t first_row = 0;
  std::size_t end_row = 0;
  std::vector<std::string_view> distinct;  // indexed by local id
};

// Splits the rows into chunks, finds each chunk's distinct texts in parallel
// and leaves every row's local id in `codes[row]` (exact: ids stay far below
// 2^53).
std::vector<Chunk> number_chunk_labels(const TextColumn& texts, std::vector<double>& codes) {
  const std::size_t rows = texts.size();
  const auto max_chunks = static_cast<std::size_t>(4 * tbb::this_task_arena::max_concurrency());
  const std::size_t chunk_count = std::clamp<std::size_t>(rows / kMinChunkRows, 1, max_chunks);
  std::vector<Chunk> chunks(chunk_count);
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, chunk_count, 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        const KeyedHash hash;
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
          Chunk& chunk = chunks[c];
          chunk.first_row = rows * c / chunk_count;
          chunk.end_row = rows * (c + 1) / chunk_count;
          LocalIds ids;
          for (std::size_t i = chunk.first_row; i != chunk.end_row; ++i) {
            const std::string_view text = texts[i];
            const auto [entry, inserted] =
                ids.try_emplace(HashedView{text, hash(text)}, chunk.distinct.size());
            if (inserted) chunk.distinct.push_back(text);
            codes[i] = static_cast<double>(entry->second);
          }
        }
      },
      tbb::simple_partitioner());
  return chunks;
}

// Returns the column's distinct texts in label order. The chunks' lists repeat
// a label at most once per chunk, so this sorts about (distinct labels x
// chunks) views, never one per row.
std::vector<std::string_view> sorted_distinct_views(const std::vector<Chunk>& chunks) {
  std::size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.distinct.size();
  std::vector<std::string_view> views;
  views.reserve(total);
  for (const Chunk& chunk : chunks) {
    views.insert(views.end(), chunk.distinct.begin(), chunk.distinct.end());
  }
  tbb::parallel_sort(views.begin(), views.end(),
                     [](std::string_view a, std::string_view b) { return label_less(a, b); });
  views.erase(std::unique(views.begin(), views.end()), views.end());
  return views;
}

// Returns the fitted map: the distinct labels in label order get 0, 1, 2, ...,
// the missing-value labels get no code and do not advance the counter.
LabelToCode fit_labels(const std::vector<std::string_view>& distinct) {
  LabelToCode label_to_code;
  label_to_code.reserve(distinct.size());
  Code next = 0;
  for (const std::string_view label : distinct) {
    if (is_missing_label(label)) {
      label_to_code.emplace(std::string(label), std::nullopt);
    } else {
      label_to_code.emplace(std::string(label), next++);
    }
  }
  return label_to_code;
}

// Replaces every row's local id in `codes` by the float64 of its label's code
// (NaN for a missing-value label). Each chunk looks its distinct texts up in
// the fitted map once, then translates its rows through that small table.
void translate_local_ids(const std::vector<Chunk>& chunks, const LabelToCode& label_to_code,
                         std::vector<double>& codes) {
  tbb::parallel_for(
      tbb::blocked_range<std::size_t>(0, chunks.size(), 1),
      [&](const tbb::blocked_range<std::size_t>& range) {
        std::vector<double> code_of_id;
        for (std::size_t c = range.begin(); c != range.end(); ++c) {
          const Chunk& chunk = chunks[c];
          code_of_id.resize(chunk.distinct.size());
          for (std::size_t id = 0; id != chunk.distinct.size(); ++id) {
            const auto entry = label_to_code.find(chunk.distinct[id]);
            if (entry == label_to_code.end()) throw InternalError("no entry found for key");
            code_of_id[id] =
                entry->second ? static_cast<double>(*entry->second) : missing_code_value();
          }
          for (std::size_t i = chunk.first_row; i != chunk.end_row; ++i) {
            codes[i] = code_of_id[static_cast<std::size_t>(codes[i])];
          }
        }
      },
      tbb::simple_partitioner());
}

}  // namespace

std::pair<std::vector<double>, LabelToCode> label_encode_column(const TextColumn& texts) {
  std::vector<double> codes(texts.size());
  if (texts.empty()) return {std::move(codes), LabelToCode()};
  const std::vector<Chunk> chunks = number_chunk_labels(texts, codes);
  LabelToCode label_to_code = fit_labels(sorted_distinct_views(chunks));
  translate_local_ids(chunks, label_to_code, codes);
  return {std::move(codes), std::move(label_to_code)};
}

CodeToLabel invert_label_map(const LabelToCode& label_to_code) {
  const auto coded = static_cast<std::size_t>(
      std::count_if(label_to_code.begin(), label_to_code.end(),
                    [](const auto& entry) { return entry.second.has_value(); }));
  CodeToLabel code_to_label;
  code_to_label.reserve(coded);
  for (const auto& [label, code] : label_to_code) {
    if (!code) continue;
    if (!code_to_label.emplace(*code, label).second) {
      throw InternalError("two labels share the code " + std::to_string(*code));
    }
  }
  return code_to_label;
}

}  // namespace colenc
