// ColumnMap: column index -> per-column map, as a vector of (column, map)
// pairs kept in ascending column order. A table has few text columns next to
// its labels, so a binary search is all a lookup needs, and iteration gives
// the state writer its order (ascending columns) for free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <stdexcept>
#include <utility>
#include <vector>

namespace colenc {

template <class Inner>
class ColumnMap {
 public:
  using value_type = std::pair<std::size_t, Inner>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using iterator = typename std::vector<value_type>::iterator;

  ColumnMap() = default;
  // Takes `entries` in any order; of entries with the same column the last
  // one counts, as if each had been assigned in turn.
  explicit ColumnMap(std::vector<value_type> entries) {
    const auto ascending = [](const value_type& a, const value_type& b) { return a.first >= b.first; };
    if (std::adjacent_find(entries.begin(), entries.end(), ascending) == entries.end()) {
      entries_ = std::move(entries);  // already in order, each column once (as written)
      return;
    }
    // Positions ordered by column, then by position: the last of each run wins.
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return entries[a].first != entries[b].first ? entries[a].first < entries[b].first : a < b;
    });
    entries_.reserve(entries.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      const bool replaced =
          k + 1 < order.size() && entries[order[k + 1]].first == entries[order[k]].first;
      if (!replaced) entries_.push_back(std::move(entries[order[k]]));
    }
  }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  const_iterator find(std::size_t column) const {
    const auto at = lower_bound(column);
    return at != entries_.end() && at->first == column ? at : entries_.end();
  }
  bool contains(std::size_t column) const { return find(column) != end(); }
  // Throws std::out_of_range when `column` has no entry.
  const Inner& at(std::size_t column) const {
    const auto found = find(column);
    if (found == end()) throw std::out_of_range("no entry for this column");
    return found->second;
  }

  // Adds (column, inner) unless `column` has an entry; returns whether it was
  // added. Appending past the last column costs no search. Should memory run
  // out, the map is unchanged.
  bool emplace(std::size_t column, Inner&& inner) {
    const auto at = lower_bound(column);
    if (at != entries_.end() && at->first == column) return false;
    entries_.emplace(at, column, std::move(inner));
    return true;
  }
  // Adds or replaces the entry of `column`.
  void insert_or_assign(std::size_t column, Inner&& inner) {
    const auto at = lower_bound(column);
    if (at != entries_.end() && at->first == column) {
      at->second = std::move(inner);
    } else {
      entries_.emplace(at, column, std::move(inner));
    }
  }
  // Returns the entry of `column`, added empty when missing.
  Inner& operator[](std::size_t column) {
    auto at = lower_bound(column);
    if (at == entries_.end() || at->first != column) at = entries_.emplace(at, column, Inner());
    return at->second;
  }

  bool operator==(const ColumnMap&) const = default;

 private:
  static bool column_less(const value_type& a, const value_type& b) { return a.first < b.first; }

  iterator lower_bound(std::size_t column) {
    if (entries_.empty() || entries_.back().first < column) return entries_.end();
    return std::lower_bound(entries_.begin(), entries_.end(), column,
                            [](const value_type& entry, std::size_t c) { return entry.first < c; });
  }
  const_iterator lower_bound(std::size_t column) const {
    return const_cast<ColumnMap*>(this)->lower_bound(column);
  }

  std::vector<value_type> entries_;  // ascending by column, each column once
};

}  // namespace colenc
