// HashMap after running out of memory: a map whose growth, reserve or copy
// fails is destroyed without reading or freeing past its table (make sanitize
// runs this under AddressSanitizer), and the repair leaves whole maps alone.
#include "core/hash_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

namespace colenc {
namespace {

// Table allocations still allowed before one fails; negative means no limit.
int allocations_left = -1;

template <class T>
struct FailingAllocator {
  using value_type = T;
  FailingAllocator() = default;
  template <class U>
  FailingAllocator(const FailingAllocator<U>&) {}
  T* allocate(std::size_t n) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* cells, std::size_t n) { std::allocator<T>().deallocate(cells, n); }
  template <class U>
  bool operator==(const FailingAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const FailingAllocator<U>&) const { return false; }
};

template <class K, class V>
using Failing = HashMap<K, V, absl::Hash<K>, std::equal_to<K>, FailingAllocator<std::pair<const K, V>>>;
using Texts = Failing<std::string, std::string>;
using Numbers = Failing<std::uint64_t, std::uint64_t>;

// Long enough to live on the heap, so that leaked or double-freed elements show.
std::string text(int i) { return "label number " + std::to_string(i) + std::string(40, '.'); }

class HashMapGrowth : public ::testing::TestWithParam<int> {
 protected:
  void TearDown() override { allocations_left = -1; }
};

TEST_P(HashMapGrowth, FailedGrowthLeavesADestructibleMap) {
  int inserted = 0;
  {
    Texts texts;
    allocations_left = GetParam();
    EXPECT_THROW(
        for (; inserted < 5000; ++inserted) texts.try_emplace(text(inserted), text(-inserted)),
        std::bad_alloc);
    allocations_left = -1;
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(inserted));
  }  // destroyed here: every held text is freed once, nothing past the table
  {
    Numbers numbers;
    allocations_left = GetParam();
    EXPECT_THROW(for (std::uint64_t i = 0; i < 5000; ++i) numbers.emplace(i, i), std::bad_alloc);
    allocations_left = -1;
  }
}

TEST_P(HashMapGrowth, FailedReserveLeavesADestructibleMap) {
  Texts texts;
  for (int i = 0; i < GetParam() * 3; ++i) texts.try_emplace(text(i), text(i));
  allocations_left = 0;
  EXPECT_THROW(texts.reserve(texts.size() * 4 + 100), std::bad_alloc);
  allocations_left = -1;
}

TEST_P(HashMapGrowth, FailedCopyLeavesBothMapsDestructible) {
  Texts texts;
  for (int i = 0; i < GetParam() * 7 + 1; ++i) texts.try_emplace(text(i), text(i));
  Texts target;
  target.try_emplace("x", "y");
  allocations_left = 0;
  EXPECT_THROW(Texts copy(texts), std::bad_alloc);
  EXPECT_THROW(target = texts, std::bad_alloc);
  allocations_left = -1;
  EXPECT_EQ(target.size(), 1u);  // a failed assignment leaves the target as it was
  target = texts;
  EXPECT_EQ(target, texts);
}

INSTANTIATE_TEST_SUITE_P(FailingAllocation, HashMapGrowth, ::testing::Range(0, 12));

// Whole maps of every size up to a few tables' growth are left as they are:
// copies compare equal and every table is freed with its own size.
TEST(HashMap, RepairLeavesWholeMapsAlone) {
  for (int size = 0; size < 300; ++size) {
    using Numbers = HashMap<std::uint64_t, std::uint64_t>;
    HashMap<std::string, int> texts;
    Numbers numbers;
    for (int i = 0; i < size; ++i) {
      texts.try_emplace(text(i), i);
      numbers.emplace(static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(i));
    }
    HashMap<std::string, int> reserved;
    reserved.reserve(static_cast<std::size_t>(size));
    reserved.insert(texts.begin(), texts.end());
    const HashMap<std::string, int> copy = texts;
    EXPECT_EQ(copy, texts);
    EXPECT_EQ(reserved, texts);
    EXPECT_EQ(Numbers(numbers), numbers);
  }
}

}  // namespace
}  // namespace colenc
