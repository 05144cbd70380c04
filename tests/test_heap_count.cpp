// The C-level allocation counter that the allocation tests rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <malloc.h>
#include <memory>
#include <new>

#include "heap_count.hpp"

namespace {
thread_local std::size_t heap_allocations = 0;
thread_local std::int64_t heap_bytes = 0;
}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SARVOLT_HEAP_COUNT_HOOK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SARVOLT_HEAP_COUNT_HOOK 1
#endif
#endif

#ifdef SARVOLT_HEAP_COUNT_HOOK
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                                         void (*)(const volatile void*));
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void*);
namespace {
[[maybe_unused]] const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t size) {
      ++heap_allocations;
      heap_bytes += static_cast<std::int64_t>(size);
    },
    [](const volatile void* p) { heap_bytes -= static_cast<std::int64_t>(__sanitizer_get_allocated_size(p)); });
}  // namespace
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
void* noted(void* p) noexcept {
  if (p != nullptr) {
    ++heap_allocations;
    heap_bytes += static_cast<std::int64_t>(malloc_usable_size(p));
  }
  return p;
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) { return noted(__libc_malloc(n)); }
void* calloc(std::size_t n, std::size_t size) { return noted(__libc_calloc(n, size)); }
void free(void* p) {
  if (p != nullptr) heap_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  __libc_free(p);
}
void* realloc(void* old, std::size_t n) {
  if (old != nullptr) heap_bytes -= static_cast<std::int64_t>(malloc_usable_size(old));
  void* p = __libc_realloc(old, n);
  if (p == nullptr && old != nullptr && n != 0) heap_bytes += static_cast<std::int64_t>(malloc_usable_size(old));
  return noted(p);
}
void* memalign(std::size_t align, std::size_t n) { return noted(__libc_memalign(align, n)); }
void* aligned_alloc(std::size_t align, std::size_t n) { return memalign(align, n); }
int posix_memalign(void** out, std::size_t align, std::size_t n) {
  void* p = memalign(align, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}
#endif

namespace sarvolt::test {

std::size_t thread_heap_allocations() noexcept { return heap_allocations; }
std::int64_t thread_heap_bytes() noexcept { return heap_bytes; }

namespace {

TEST(HeapCount, SeesEveryKindOfAllocation) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer's allocator hooks miss some allocations";
#endif
  const std::size_t before = thread_heap_allocations();
  const std::int64_t bytes_before = thread_heap_bytes();
  void* volatile a = std::malloc(24);
  void* volatile b = std::calloc(3, 8);
  void* volatile c = std::aligned_alloc(64, 128);
  auto d = std::make_unique<int>(7);
  std::free(a);
  std::free(b);
  std::free(c);
  EXPECT_EQ(thread_heap_allocations() - before, 4u);
  EXPECT_GE(thread_heap_bytes() - bytes_before, static_cast<std::int64_t>(sizeof(int)));
  d.reset();
  EXPECT_EQ(thread_heap_bytes(), bytes_before);
}

}  // namespace
}  // namespace sarvolt::test
