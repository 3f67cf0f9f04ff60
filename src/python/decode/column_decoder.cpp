#include "python/decode/column_decoder.hpp"

#include "python/runtime/panic.hpp"

namespace colenc::py {
namespace {

// Returns a new reference to the str of `label`.
PyRef make_text(std::string_view label) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "replace"));
  throw_if(!text);
  return text;
}

// Adds `count` references to `label`, leaving an immortal object (None, a
// one-character str) as it is.
void add_references(PyObject* label, Py_ssize_t count) {
  Py_SET_REFCNT(label, Py_REFCNT(label) + count);
}

}  // namespace

ColumnDecoder::ColumnDecoder(const CodeToLabel& labels, PyObject* missing, std::size_t cells,
                             LabelStrCache* cache, std::size_t column)
    : labels_(labels), missing_(missing) {
  if (cache != nullptr) full_ = cache->find(column);
  if (full_) return;
  if (cells < labels.size()) {
    dense_.resize(labels.size());
    return;
  }
  auto table = std::make_shared<LabelStrs>(labels.size());
  for (const auto& [code, label] : labels) {
    if (code < table->size()) (*table)[code] = make_text(label);
  }
  // A stored map may skip codes: those decode as missing, which differs
  // between the array and the frame form, so such a table is not kept.
  bool every_code = true;
  for (PyRef& slot : *table) {
    if (slot) continue;
    slot = PyRef::borrow(missing_);
    every_code = false;
  }
  if (every_code && cache != nullptr) cache->keep(column, table);
  full_ = std::move(table);
}

PyObject* ColumnDecoder::decode(double cell) {
  if (std::isnan(cell)) return missing_;
  const Code key = code_key(cell);
  if (full_ && key < full_->size()) return (*full_)[key].get();
  if (key < dense_.size()) {
    PyRef& slot = dense_[key];
    if (!slot) slot = make(key);
    return slot.get();
  }
  auto cached = sparse_.find(key);
  if (cached != sparse_.end()) return cached->second;
  // The str is owned by sparse_owned_, so that the table, whose slots are
  // moved as bytes, holds plain pointers.
  sparse_owned_.push_back(make(key));
  PyObject* text = sparse_owned_.back().get();
  sparse_.emplace(key, text);
  return text;
}

PyRef ColumnDecoder::make(Code key) {
  auto label = labels_.find(key);
  if (label == labels_.end()) return PyRef::borrow(missing_);
  return make_text(label->second);
}

LabelTally::~LabelTally() {
  for (std::size_t k = 0; k < counts_.size(); ++k) {
    if (counts_[k] != 0) add_references(table_[k].get(), counts_[k]);
  }
  for (Code key : full_counts_) add_references(table_[key].get(), kMaxCount);
}

}  // namespace colenc::py
