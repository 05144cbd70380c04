// The C-level allocation counter that the allocation tests rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "heap_count.hpp"

namespace {
thread_local std::size_t heap_allocations = 0;
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
namespace {
[[maybe_unused]] const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { ++heap_allocations; }, [](const volatile void*) {});
}  // namespace
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) {
  ++heap_allocations;
  return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
  ++heap_allocations;
  return __libc_calloc(n, size);
}
void* realloc(void* old, std::size_t n) {
  ++heap_allocations;
  return __libc_realloc(old, n);
}
void* memalign(std::size_t align, std::size_t n) {
  ++heap_allocations;
  return __libc_memalign(align, n);
}
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

namespace {

TEST(HeapCount, SeesEveryKindOfAllocation) {
  const std::size_t before = thread_heap_allocations();
  void* volatile a = std::malloc(24);
  void* volatile b = std::calloc(3, 8);
  void* volatile c = std::aligned_alloc(64, 128);
  auto d = std::make_unique<int>(7);
  std::free(a);
  std::free(b);
  std::free(c);
  EXPECT_EQ(thread_heap_allocations() - before, 4u);
  EXPECT_EQ(*d, 7);
}

}  // namespace
}  // namespace sarvolt::test
