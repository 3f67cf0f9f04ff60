// The two fitted maps of a column. Each insert appends to the parts of its
// map in turn and arms a Rollback after each, so that a failed allocation
// leaves the map whole.
#include "core/labels/label_maps.hpp"

#include <numeric>
#include <stdexcept>

#include "core/rollback.hpp"

namespace colenc {

// ---------------------------------------------------------------------------
// LabelToCode

LabelToCode::LabelToCode(std::initializer_list<value_type> entries) {
  for (const auto& [label, code] : entries) insert_or_assign(label, code);
}

LabelToCode::LabelToCode(const LabelToCode& other) {
  if (other.empty()) return;
  const Body& from = *other.body_;
  auto copy = std::make_unique<Body>();
  copy->texts = from.texts;
  copy->codes = from.codes;
  copy->coded = from.coded;
  body_ = std::move(copy);  // indexed when first searched
}

LabelToCode& LabelToCode::operator=(const LabelToCode& other) {
  if (this != &other) {
    LabelToCode copy(other);
    body_ = std::move(copy.body_);
  }
  return *this;
}

LabelToCode::~LabelToCode() = default;

LabelToCode::Body& LabelToCode::body() {
  if (!body_) body_ = std::make_unique<Body>();
  return *body_;
}

void LabelToCode::reserve(std::size_t count, std::size_t bytes) {
  Body& b = body();
  b.texts.reserve(count, bytes);
  b.codes.reserve(count);
  b.coded.reserve(count);
  b.index().reserve(count);
}

LabelToCode::const_iterator LabelToCode::find(const PrehashedText& label) const {
  if (!body_) return end();
  const std::optional<std::uint64_t> found = body_->index().find(label, body_->text_of());
  return found ? const_iterator(this, *found) : end();
}

std::optional<Code> LabelToCode::at(std::string_view label) const {
  const const_iterator found = find(label);
  if (found == end()) throw std::out_of_range("no code entry for this label");
  return found->second;
}

std::pair<LabelToCode::const_iterator, bool> LabelToCode::try_emplace(const PrehashedText& label,
                                                                      std::optional<Code> code) {
  if (const const_iterator found = find(label); found != end()) return {found, false};
  // Texts shared with an inverse are copied (with the whole map) before they grow.
  if (body_ && body_->shared_texts.use_count() > 1) *this = LabelToCode(*this);
  Body& b = body();
  TextIds& index = b.index();
  const std::uint64_t entry = b.codes.size();
  // The entry is appended before the index names it; whatever fails takes it back.
  b.texts.push(label.text);
  Rollback drop_text([&b] { b.texts.pop(); });
  b.codes.push_back(code.value_or(0));
  Rollback drop_code([&b] { b.codes.pop_back(); });
  b.coded.push_back(code.has_value());
  Rollback drop_coded([&b] { b.coded.pop_back(); });
  index.try_emplace(label, entry, b.text_of());
  b.label_order.store(-1, std::memory_order_relaxed);
  drop_coded.commit();
  drop_code.commit();
  drop_text.commit();
  return {const_iterator(this, entry), true};
}

void LabelToCode::insert_or_assign(std::string_view label, std::optional<Code> code) {
  const PrehashedText key = prehash(label);
  const auto [found, added] = try_emplace(key, code);
  if (added) return;
  const std::size_t entry = found.position();
  body_->codes[entry] = code.value_or(0);
  body_->coded[entry] = code.has_value();
  body_->label_order.store(-1, std::memory_order_relaxed);
}

std::optional<std::size_t> LabelToCode::coded_in_label_order() const {
  if (!body_) return 0;
  const Body& b = *body_;
  int known = b.label_order.load(std::memory_order_acquire);
  if (known < 0) {
    // Threads that ask at once each work it out, and store the same answer.
    const std::size_t size = b.codes.size();
    std::size_t coded = 0;
    while (coded < size && b.coded[coded] && b.codes[coded] == coded &&
           (coded == 0 || label_less(b.texts[coded - 1], b.texts[coded]))) {
      ++coded;
    }
    bool ordered = size - coded <= 3;
    for (std::size_t i = coded; ordered && i < size; ++i) {
      ordered = !b.coded[i] && is_missing_label(b.texts[i]);
      for (std::size_t j = coded; ordered && j < i; ++j) ordered = b.texts[j] != b.texts[i];
    }
    b.coded_prefix.store(coded, std::memory_order_relaxed);
    known = ordered ? 1 : 0;
    b.label_order.store(known, std::memory_order_release);
  }
  if (known == 0) return std::nullopt;
  return b.coded_prefix.load(std::memory_order_relaxed);
}

LabelToCode LabelToCode::Builder::finish() && {
  LabelToCode map;
  if (body_->codes.size() > 0) map.body_ = std::move(body_);
  return map;
}

TextIds& LabelToCode::Body::index() const {
  std::call_once(index_once_, [this] {
    auto made = std::make_unique<TextIds>();
    made->reserve(codes.size());
    const KeyedHash hash;
    for (std::uint64_t entry = 0; entry < codes.size(); ++entry) {
      const std::string_view text = texts[entry];
      if (!made->try_emplace(PrehashedText{text, hash(text)}, entry, text_of()).second) {
        throw std::logic_error("a label map holds a label twice");
      }
    }
    index_ = std::move(made);
  });
  return *index_;
}

std::optional<CodeToLabel> LabelToCode::positional_inverse() const {
  if (!body_) return CodeToLabel();
  const Body& b = *body_;
  std::size_t coded = 0;
  while (coded < b.codes.size() && b.coded[coded] && b.codes[coded] == coded) ++coded;
  for (std::size_t entry = coded; entry < b.codes.size(); ++entry) {
    if (b.coded[entry]) return std::nullopt;
  }
  return CodeToLabel(b.shared_texts, coded);
}

bool LabelToCode::operator==(const LabelToCode& other) const {
  if (size() != other.size()) return false;
  for (const auto& [label, code] : *this) {
    const const_iterator found = other.find(label);
    if (found == other.end() || found->second != code) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// CodeToLabel

CodeToLabel::CodeToLabel(std::initializer_list<value_type> entries) {
  for (const auto& [code, label] : entries) insert_or_assign(code, label);
}

// Returns texts this map alone holds, to which a new text can be appended in
// the slot of the next entry (when entries still use their own positions as
// slots). Texts shared with a label map, or holding more than this map's
// entries, are copied first.
TextStore& CodeToLabel::own_texts() {
  const bool positional_slots = text_of_.empty();
  if (!texts_) {
    texts_ = std::make_shared<TextStore>();
  } else if (texts_.use_count() > 1 || (positional_slots && texts_->size() != size_)) {
    auto copy = std::make_shared<TextStore>();
    if (positional_slots) {
      for (std::size_t slot = 0; slot < size_; ++slot) copy->push((*texts_)[slot]);
    } else {
      *copy = *texts_;
    }
    texts_ = std::move(copy);
  }
  return *texts_;
}

void CodeToLabel::reserve(std::size_t count, std::size_t bytes) {
  own_texts().reserve(count, bytes);
  if (!positional_) {
    codes_.reserve(count);
    index_.reserve(count);
  }
}

std::size_t CodeToLabel::find_entry(Code code) const {
  if (positional_) return code < size_ ? static_cast<std::size_t>(code) : size_;
  const auto found = index_.find(code);
  return found == index_.end() ? size_ : static_cast<std::size_t>(found->second);
}

CodeToLabel::const_iterator CodeToLabel::find(Code code) const { return {this, find_entry(code)}; }

std::string_view CodeToLabel::at(Code code) const {
  const std::size_t found = find_entry(code);
  if (found == size_) throw std::out_of_range("no label entry for this code");
  return entry(found).second;
}

// Gives every entry its code and indexes them, so that entries whose code is
// not their position can follow. Nothing changes if this fails.
void CodeToLabel::leave_positional() {
  std::vector<Code> codes(size_);
  std::iota(codes.begin(), codes.end(), Code{0});
  HashMap<Code, std::uint64_t, KeyedHash> index;
  index.reserve(size_ + 1);
  for (std::size_t entry = 0; entry < size_; ++entry) index.try_emplace(Code{entry}, entry);
  codes_ = std::move(codes);
  index_ = std::move(index);
  positional_ = false;
}

std::pair<CodeToLabel::const_iterator, bool> CodeToLabel::try_emplace(Code code,
                                                                      std::string_view label) {
  const std::size_t found = find_entry(code);
  if (found != size_) return {const_iterator(this, found), false};
  if (positional_ && code != size_) leave_positional();
  const std::size_t entry = size_;
  TextStore& texts = own_texts();
  // Appended before the index names it; whatever fails takes it back.
  texts.push(label);
  Rollback drop_text([&texts] { texts.pop(); });
  const bool own_slots = !text_of_.empty();
  if (own_slots) text_of_.push_back(texts.size() - 1);
  Rollback drop_slot([this, own_slots] {
    if (own_slots) text_of_.pop_back();
  });
  if (!positional_) {
    codes_.push_back(code);
    Rollback drop_code([this] { codes_.pop_back(); });
    index_.try_emplace(code, entry);
    drop_code.commit();
  }
  drop_slot.commit();
  drop_text.commit();
  ++size_;
  return {const_iterator(this, entry), true};
}

void CodeToLabel::insert_or_assign(Code code, std::string_view label) {
  const std::size_t entry = find_entry(code);
  if (entry == size_) {
    try_emplace(code, label);
    return;
  }
  // The entry's old text stays in the buffer, unused; its new text is appended.
  std::vector<std::uint64_t> text_of;
  if (text_of_.empty()) {
    text_of.resize(size_);
    std::iota(text_of.begin(), text_of.end(), std::uint64_t{0});
  }
  TextStore& texts = own_texts();
  texts.push(label);
  if (!text_of.empty()) text_of_ = std::move(text_of);
  text_of_[entry] = texts.size() - 1;
}

bool CodeToLabel::operator==(const CodeToLabel& other) const {
  if (size_ != other.size_) return false;
  for (const auto& [code, label] : *this) {
    const std::size_t found = other.find_entry(code);
    if (found == other.size_ || other.entry(found).second != label) return false;
  }
  return true;
}

}  // namespace colenc
