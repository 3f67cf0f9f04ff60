// The strs of the labels that an Encoder's decodes have made, kept per text
// column so that later decodes share them instead of making them again, as a
// fitted pandas or scikit-learn encoder holds its labels as str objects. The
// Encoder drops them whenever its fitted state changes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// The str of every code of one column, indexed by code; never changed once
// built, and kept alive by each decode that reads it.
using LabelStrs = std::vector<PyRef>;

// Read and written only with the interpreter lock held, by decodes that hold
// the Encoder shared, and cleared under an exclusive hold. Two decodes may
// build the same column's strs side by side: the first to finish keeps them.
class LabelStrCache {
 public:
  std::shared_ptr<const LabelStrs> find(std::size_t column) const {
    for (const auto& [kept, strs] : columns_) {
      if (kept == column) return strs;
    }
    return nullptr;
  }

  void keep(std::size_t column, std::shared_ptr<const LabelStrs> strs) {
    if (!find(column)) columns_.emplace_back(column, std::move(strs));
  }

  void clear() {
    // Swapped out first: releasing the strs runs no Python code, but the
    // cache is left whole and empty before any reference goes.
    std::vector<std::pair<std::size_t, std::shared_ptr<const LabelStrs>>> old;
    old.swap(columns_);
  }

 private:
  std::vector<std::pair<std::size_t, std::shared_ptr<const LabelStrs>>> columns_;
};

}  // namespace colenc::py
