#include "util/mapped_memory.hpp"

#include <sys/mman.h>

#include <atomic>

namespace sarvolt::util {

namespace {

constexpr std::size_t kPage = 4096;
std::atomic<MappingObserver> g_observer{nullptr};

std::size_t mapped_size(std::size_t bytes) noexcept { return (bytes + kPage - 1) & ~(kPage - 1); }

void note(std::ptrdiff_t bytes) noexcept {
  if (const MappingObserver f = g_observer.load(std::memory_order_relaxed)) f(bytes);
}

}  // namespace

void set_mapping_observer(MappingObserver f) noexcept { g_observer.store(f, std::memory_order_relaxed); }

void* map_pages(std::size_t bytes, std::size_t align) {
  if (bytes == 0 || bytes > std::numeric_limits<std::size_t>::max() / 2 || align > (std::size_t{1} << 30))
    throw std::bad_alloc();
  const std::size_t size = mapped_size(bytes);
  const std::size_t extra = align > kPage ? align : 0;
  void* raw = ::mmap(nullptr, size + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* p = static_cast<std::uint8_t*>(raw);
  if (extra != 0) {
    // Cut the unaligned head and the tail beyond the block.
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::size_t head = ((at + align - 1) & ~(std::uintptr_t{align} - 1)) - at;
    if (head != 0) ::munmap(p, head);
    if (extra != head) ::munmap(p + head + size, extra - head);
    p += head;
  }
  note(static_cast<std::ptrdiff_t>(size));
  return p;
}

void* map_huge_pages(std::size_t bytes) {
  void* p = map_pages(bytes, kHugePage);
  // The whole mapping, so that it stays one area that can be remapped.
  ::madvise(p, mapped_size(bytes), MADV_HUGEPAGE);
  return p;
}

void* remap_huge_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) {
  void* to = map_huge_pages(new_bytes);
  if (::mremap(p, mapped_size(old_bytes), mapped_size(new_bytes), MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED) {
    unmap_pages(to, new_bytes);
    throw std::bad_alloc();
  }
  note(-static_cast<std::ptrdiff_t>(mapped_size(old_bytes)));
  return to;
}

void unmap_pages(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  const std::size_t size = mapped_size(bytes);
  ::munmap(p, size);
  note(-static_cast<std::ptrdiff_t>(size));
}

}  // namespace sarvolt::util
