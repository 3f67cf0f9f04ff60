// Allocation failures on demand for the GoogleTest binary, which replaces the
// global operator new and delete (every form) with versions that count the
// allocations made while a FailingAllocation is alive, refuse the chosen one
// (std::bad_alloc, or null from the nothrow forms) and count the blocks not
// yet freed, by which a test sees leaks. Every thread's allocations count,
// the pool's workers' included. Memory comes from malloc, so the sanitizers
// still watch every block.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace colenc::test_support {

// Blocks allocated through operator new and not yet freed, in the whole process.
std::int64_t live_allocations();

// While alive, counts the allocations of every thread; with fail_at = k > 0
// the k-th of them (1-based) is refused. Not nestable.
class FailingAllocation {
 public:
  explicit FailingAllocation(std::size_t fail_at = 0);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Allocations asked for so far, the refused one included.
  std::size_t count() const;
  // True once the chosen allocation has been refused.
  bool refused() const;
  // The largest block asked for so far, in bytes.
  std::size_t largest() const;
};

// What one run of an operation under FailingAllocation did.
struct Attempt {
  bool threw = false;    // it ended in std::bad_alloc
  bool refused = false;  // the chosen allocation was reached and refused
  std::size_t count = 0;
};

// Runs `operation` with the k-th allocation refused (none for k = 0). Any
// exception but std::bad_alloc passes through, failing the test.
template <class Operation>
Attempt attempt_with_failing(std::size_t k, const Operation& operation) {
  FailingAllocation failing(k);
  Attempt attempt;
  try {
    operation();
  } catch (const std::bad_alloc&) {
    attempt.threw = true;
  }
  attempt.refused = failing.refused();
  attempt.count = failing.count();
  return attempt;
}

// Calls run(0), which counts the allocations of one run and returns its
// Attempt, then run(k) for every k from 1 to that count. A refused allocation
// must end the run in std::bad_alloc unless the code copes without it (a
// nothrow allocation of a sort's buffer), and every run must leave as many
// blocks allocated as it found. Returns the count.
template <class Run>
std::size_t for_each_failing_allocation(const Run& run) {
  const std::int64_t live = live_allocations();
  const Attempt counted = run(std::size_t{0});
  EXPECT_FALSE(counted.threw);
  EXPECT_EQ(live_allocations(), live) << "the run without failures leaks";
  for (std::size_t k = 1; k <= counted.count; ++k) {
    const Attempt attempt = run(k);
    EXPECT_TRUE(attempt.refused || attempt.count < k) << "allocation " << k;
    EXPECT_EQ(live_allocations(), live) << "leak after refusing allocation " << k;
    if (::testing::Test::HasFailure()) break;  // one report, not one per k
  }
  return counted.count;
}

}  // namespace colenc::test_support
