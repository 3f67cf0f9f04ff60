// The replaced global operator new and delete of the GoogleTest binary (see
// failing_allocation.hpp).
#include "failing_allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace colenc::test_support {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::size_t> asked{0};
std::atomic<std::size_t> refuse_at{0};
std::atomic<bool> refused_one{false};
std::atomic<std::int64_t> live{0};
std::atomic<std::size_t> largest_asked{0};

// Returns true when this allocation is the one to refuse.
bool refuse_this(std::size_t size) {
  if (!counting.load(std::memory_order_acquire)) return false;
  std::size_t seen = largest_asked.load(std::memory_order_relaxed);
  while (size > seen && !largest_asked.compare_exchange_weak(seen, size)) {
  }
  const std::size_t n = asked.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n != refuse_at.load(std::memory_order_relaxed)) return false;
  refused_one.store(true, std::memory_order_relaxed);
  return true;
}

// Returns `size` bytes aligned to `align`, or null when refused or out of memory.
void* allocate(std::size_t size, std::size_t align) noexcept {
  if (refuse_this(size)) return nullptr;
  if (size == 0) size = 1;
  void* block;
  if (align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__) {
    block = std::malloc(size);
  } else {
    block = std::aligned_alloc(align, (size + align - 1) / align * align);
  }
  if (block != nullptr) live.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  void* block = allocate(size, align);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

std::int64_t live_allocations() { return live.load(std::memory_order_relaxed); }

FailingAllocation::FailingAllocation(std::size_t fail_at) {
  asked.store(0, std::memory_order_relaxed);
  refuse_at.store(fail_at, std::memory_order_relaxed);
  refused_one.store(false, std::memory_order_relaxed);
  largest_asked.store(0, std::memory_order_relaxed);
  counting.store(true, std::memory_order_release);
}

FailingAllocation::~FailingAllocation() { counting.store(false, std::memory_order_release); }

std::size_t FailingAllocation::count() const { return asked.load(std::memory_order_relaxed); }
bool FailingAllocation::refused() const { return refused_one.load(std::memory_order_relaxed); }
std::size_t FailingAllocation::largest() const {
  return largest_asked.load(std::memory_order_relaxed);
}

}  // namespace colenc::test_support

using colenc::test_support::allocate;
using colenc::test_support::allocate_or_throw;
using colenc::test_support::release;

void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new(std::size_t size, std::align_val_t align) {
  return allocate_or_throw(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
  return allocate_or_throw(size, static_cast<std::size_t>(align));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(align));
}

void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  release(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  release(block);
}
