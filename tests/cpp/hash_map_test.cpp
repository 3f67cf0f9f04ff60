// The core's hash tables against std::map: every key kind the engine uses
// (keyed codes, mixed integers and addresses, texts through TextIds), growth
// across many sizes, keys whose hashes collide, copies and moves, and every
// allocation of a run refused in turn: the table is then exactly as before
// the call that failed, goes on working, and is destroyed without a leak
// (make sanitize runs this under AddressSanitizer). AddressIds, the bounded
// table of object addresses, against the addresses added since it last
// emptied itself.
#include "core/hashing/hash_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hashing/address_ids.hpp"
#include "failing_allocation.hpp"

namespace colenc {
namespace {

using test_support::attempt_with_failing;
using test_support::for_each_failing_allocation;

// Long enough to live on the heap, so that a text read after it was freed shows.
std::string text(std::size_t i) { return "label number " + std::to_string(i) + std::string(40, '.'); }

// A hash of few values, so that most keys share a home slot and probe far.
struct CollidingHash {
  std::uint64_t operator()(std::uint64_t value) const { return value % 3; }
};
// Hashes that differ only in their lowest bit, which the table drops.
struct LowBitHash {
  std::uint64_t operator()(std::uint64_t value) const { return (value & 1) | (1ULL << 63); }
};

// The addresses used as keys: elements of one array, spread as objects are.
const int* address(std::size_t i) {
  static const std::vector<int> cells(100000);
  return &cells[i % cells.size()];
}

// One key kind of HashMap: its map type and its i-th key.
template <class MapType, class Key, Key (*make_key)(std::size_t)>
struct MapKind {
  using Map = MapType;
  static Key key(std::size_t i) { return make_key(i); }
};

// Codes as a state may hold them: small, huge and spread.
std::uint64_t code_key(std::size_t i) {
  return i % 2 == 0 ? i : ~std::uint64_t{0} - i * 0x9E3779B97F4A7C15ULL;
}
std::uint64_t aligned_key(std::size_t i) { return i * 4096; }
std::uint64_t plain_key(std::size_t i) { return i; }

using Codes = MapKind<HashMap<std::uint64_t, std::uint64_t, KeyedHash>, std::uint64_t, code_key>;
using Integers = MapKind<HashMap<std::uint64_t, std::uint64_t>, std::uint64_t, aligned_key>;
using Pointers = MapKind<HashMap<const int*, std::uint64_t>, const int*, address>;
using Colliding =
    MapKind<HashMap<std::uint64_t, std::uint64_t, CollidingHash>, std::uint64_t, plain_key>;
using LowBit = MapKind<HashMap<std::uint64_t, std::uint64_t, LowBitHash>, std::uint64_t, plain_key>;

template <class Kind>
class HashMapKinds : public ::testing::Test {
 protected:
  using Map = typename Kind::Map;
  using Key = decltype(Kind::key(0));
  using Reference = std::map<Key, std::uint64_t>;

  static void add(Map& map, Reference& reference, std::size_t i) {
    const auto [entry, added] = map.try_emplace(Kind::key(i), i);
    EXPECT_EQ(added, reference.try_emplace(Kind::key(i), i).second);
    EXPECT_EQ(entry->first, Kind::key(i));
    EXPECT_EQ(entry->second, reference.at(Kind::key(i)));
  }

  static bool same(const Map& map, const Reference& reference) {
    if (map.size() != reference.size()) return false;
    for (const auto& [key, value] : reference) {
      const auto found = map.find(key);
      if (found == map.end() || found->second != value) return false;
    }
    std::size_t iterated = 0;
    for (const auto& entry : map) {
      ++iterated;
      if (!reference.contains(entry.first)) return false;
    }
    return iterated == reference.size();
  }
};

using Kinds = ::testing::Types<Codes, Integers, Pointers, Colliding, LowBit>;
TYPED_TEST_SUITE(HashMapKinds, Kinds);

// Every size around a few growths, with repeated keys mixed in.
TYPED_TEST(HashMapKinds, MatchesAnOrderedMapAtEverySize) {
  using Map = typename TestFixture::Map;
  for (std::size_t size : {0, 1, 2, 7, 8, 9, 15, 16, 17, 100, 1000, 3000}) {
    SCOPED_TRACE(size);
    typename TestFixture::Reference reference;
    Map map;
    for (std::size_t i = 0; i < size; ++i) {
      TestFixture::add(map, reference, i);
      if (i % 3 == 0) TestFixture::add(map, reference, i / 2);  // already there
    }
    ASSERT_TRUE(TestFixture::same(map, reference));
    EXPECT_EQ(map.find(TypeParam::key(size + 1)), map.end());
    EXPECT_FALSE(map.contains(TypeParam::key(size + 1)));

    // Copies are equal and independent; a moved-from map is empty.
    Map copy = map;
    EXPECT_TRUE(copy == map);
    auto extended = reference;
    TestFixture::add(copy, extended, size + 1);
    EXPECT_FALSE(copy == map);
    EXPECT_TRUE(TestFixture::same(map, reference));
    Map moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT: moved-from state is specified
    EXPECT_TRUE(TestFixture::same(moved, extended));
    copy = moved;
    EXPECT_TRUE(copy == moved);

    // A reserved map takes its entries without growing, and equals the grown one.
    Map reserved;
    reserved.reserve(size);
    for (std::size_t i = 0; i < size; ++i) reserved.try_emplace(TypeParam::key(i), i);
    EXPECT_TRUE(reserved == map);
  }
}

// Each allocation of filling a map, refused in turn: the insert that needed
// it throws std::bad_alloc and changes nothing, and the map takes the rest
// of its keys afterwards.
TYPED_TEST(HashMapKinds, RefusedAllocationLeavesTheMapAsItWas) {
  using Map = typename TestFixture::Map;
  constexpr std::size_t kKeys = 600;
  TypeParam::key(0);  // made once, before the allocations are counted
  const std::size_t count = for_each_failing_allocation([](std::size_t k) {
    Map map;
    typename TestFixture::Reference reference;
    std::size_t added = 0;
    const test_support::Attempt attempt = attempt_with_failing(k, [&] {
      for (; added < kKeys; ++added) map.try_emplace(TypeParam::key(added), added);
    });
    for (std::size_t i = 0; i < added; ++i) reference.emplace(TypeParam::key(i), i);
    EXPECT_TRUE(TestFixture::same(map, reference)) << "refused allocation " << k;
    for (std::size_t i = added; i < kKeys; ++i) TestFixture::add(map, reference, i);
    EXPECT_TRUE(TestFixture::same(map, reference));

    // Copying and reserving, refused, leave both maps as they were.
    Map target;
    target.try_emplace(TypeParam::key(kKeys), 1);
    if (attempt_with_failing(1, [&] { target = map; }).threw) {
      EXPECT_EQ(target.size(), 1u);
    }
    const std::size_t size_before = map.size();
    if (attempt_with_failing(1, [&] { map.reserve(map.size() * 8); }).threw) {
      EXPECT_TRUE(TestFixture::same(map, reference));
    }
    EXPECT_EQ(map.size(), size_before);
    return attempt;
  });
  EXPECT_GE(count, 6u);  // 600 keys take several growths
}

// Texts through TextIds, kept by the test as an owner keeps them: the text
// first, then the id in the table, taken back should the table fail.
class TextOwner {
 public:
  auto text_of() const {
    return [this](std::uint64_t id) { return std::string_view(texts_[id]); };
  }
  static PrehashedText prehash(std::string_view t) { return {t, KeyedHash()(t)}; }

  // Returns the id of `t`, adding it when new.
  std::uint64_t add(const std::string& t) {
    if (const auto found = ids_.find(prehash(t), text_of())) return *found;
    texts_.push_back(t);
    try {
      const auto [id, added] = ids_.try_emplace(prehash(texts_.back()), texts_.size() - 1, text_of());
      EXPECT_TRUE(added);
      return id;
    } catch (...) {
      texts_.pop_back();
      throw;
    }
  }
  void reserve(std::size_t count) { ids_.reserve(count); }

  // True when exactly the texts of `reference` have their ids.
  bool same(const std::map<std::string, std::uint64_t>& reference) const {
    if (ids_.size() != reference.size() || texts_.size() != reference.size()) return false;
    for (const auto& [t, id] : reference) {
      if (ids_.find(prehash(t), text_of()) != std::optional<std::uint64_t>(id)) return false;
    }
    return !ids_.find(prehash("absent"), text_of()) && !ids_.find(prehash(""), text_of());
  }

 private:
  std::vector<std::string> texts_;
  TextIds ids_;
};

TEST(TextIds, NumbersTextsByFirstAdditionAtEverySize) {
  for (std::size_t size : {0, 1, 8, 9, 17, 1000, 5000}) {
    SCOPED_TRACE(size);
    TextOwner owner;
    std::map<std::string, std::uint64_t> reference;
    for (std::size_t i = 0; i < size; ++i) {
      const std::string t = text(i % (size / 2 + 1));  // every text about twice
      const std::uint64_t id = owner.add(t);
      EXPECT_EQ(id, reference.try_emplace(t, reference.size()).first->second);
    }
    EXPECT_TRUE(owner.same(reference));
  }
  // Texts that differ in one byte, in length, or are empty are distinct.
  TextOwner owner;
  EXPECT_EQ(owner.add(""), 0u);
  EXPECT_EQ(owner.add("a"), 1u);
  EXPECT_EQ(owner.add(std::string("a\0", 2)), 2u);
  EXPECT_EQ(owner.add("b"), 3u);
  EXPECT_EQ(owner.add(""), 0u);
}

TEST(TextIds, RefusedAllocationLeavesTheTableAsItWas) {
  constexpr std::size_t kTexts = 200;
  for_each_failing_allocation([](std::size_t k) {
    TextOwner owner;
    std::map<std::string, std::uint64_t> reference;
    std::size_t added = 0;
    const test_support::Attempt attempt = attempt_with_failing(k, [&] {
      for (; added < kTexts; ++added) owner.add(text(added));
    });
    for (std::size_t i = 0; i < added; ++i) reference.emplace(text(i), i);
    EXPECT_TRUE(owner.same(reference)) << "refused allocation " << k;
    for (std::size_t i = added; i < kTexts; ++i) reference.emplace(text(i), owner.add(text(i)));
    EXPECT_TRUE(owner.same(reference));
    if (attempt_with_failing(1, [&] { owner.reserve(kTexts * 8); }).threw) {
      EXPECT_TRUE(owner.same(reference));
    }
    return attempt;
  });
}

// A table past any memory refuses its size before allocating anything.
TEST(HashTable, ImpossibleSizeIsRefused) {
  HashMap<std::uint64_t, std::uint64_t> map;
  map.try_emplace(1, 2);
  EXPECT_THROW(map.reserve(SIZE_MAX / 2), std::bad_alloc);
  EXPECT_THROW(map.reserve(SIZE_MAX), std::bad_alloc);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.find(1)->second, 2u);
}

// The cheap mix spreads keys that differ in one bit over every home slot.
TEST(MixHash, SpreadsAlignedKeys) {
  std::vector<int> homes(64, 0);
  for (std::uint64_t i = 0; i < 64 * 64; ++i) ++homes[mix_bits(i << 12) >> 58];
  for (int n : homes) {
    EXPECT_GT(n, 32);
    EXPECT_LT(n, 96);
  }
}

std::uintptr_t address_key(std::size_t i) { return reinterpret_cast<std::uintptr_t>(address(i)); }

// Growth up to the largest size, where adding empties the table rather than
// growing it: it holds exactly what was added since, never more slots.
TEST(AddressIds, HoldsWhatWasAddedSinceItLastEmptied) {
  for (const unsigned max_bits : {1U, 5U, 12U, 16U}) {
    SCOPED_TRACE(max_bits);
    AddressIds ids(max_bits);
    std::map<std::uintptr_t, std::uint32_t> held;
    std::size_t emptied = 0;
    for (std::size_t i = 0; i < 6000; ++i) {
      const std::uintptr_t key = address_key(i);
      ASSERT_EQ(ids.find(key), held.contains(key) ? held[key] : AddressIds::kNone);
      const std::size_t before = ids.size();
      ids.add(key, static_cast<std::uint32_t>(i));
      if (ids.size() != before + 1) {
        held.clear();
        ++emptied;
      }
      held[key] = static_cast<std::uint32_t>(i);
      ASSERT_EQ(ids.size(), held.size());
      ASSERT_LE(ids.capacity(), std::size_t{1} << max_bits);
    }
    for (const auto& [key, id] : held) EXPECT_EQ(ids.find(key), id);
    EXPECT_EQ(emptied > 0, max_bits < 13);
    ids.release();
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(ids.find(address_key(5999)), AddressIds::kNone);
    ids.add(address_key(7), 7);
    EXPECT_EQ(ids.find(address_key(7)), 7U);
  }
}

// A refused growth leaves every address it held.
TEST(AddressIds, ARefusedGrowthKeepsWhatItHeld) {
  constexpr std::size_t kKeys = 3000;
  const std::size_t count = for_each_failing_allocation([](std::size_t k) {
    AddressIds ids;
    std::size_t added = 0;
    const test_support::Attempt attempt = attempt_with_failing(k, [&] {
      for (; added < kKeys; ++added) ids.add(address_key(added), static_cast<std::uint32_t>(added));
    });
    EXPECT_EQ(ids.size(), added);
    for (std::size_t i = 0; i < added; ++i) EXPECT_EQ(ids.find(address_key(i)), i);
    return attempt;
  });
  EXPECT_GT(count, 2U);
}

}  // namespace
}  // namespace colenc
