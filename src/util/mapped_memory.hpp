// Large arrays in mappings of their own: a block from kMapFrom bytes on is
// mapped on its own and unmapped when freed, so its pages go back to the
// system at once instead of staying in the allocator's arena (where freed
// space often stays resident and later blocks may land beside it).
//   map_pages / unmap_pages: one mapping, aligned as asked (up to 2 MiB).
//   MappedAllocator<T>: a std allocator that maps large blocks and takes
//   small ones from operator new.
//   set_mapping_observer: a function told of every mapping made (+bytes)
//   and released (-bytes), for memory accounting in benchmarks and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

namespace sarvolt::util {

inline constexpr std::size_t kMapFrom = std::size_t{128} << 10;

using MappingObserver = void (*)(std::ptrdiff_t bytes) noexcept;

void set_mapping_observer(MappingObserver f) noexcept;

// A fresh zeroed mapping of at least `bytes`, its start a multiple of
// `align` (a power of two); std::bad_alloc when the system refuses.
void* map_pages(std::size_t bytes, std::size_t align = 4096);
// Returns a block of map_pages(bytes, ...) to the system.
void unmap_pages(void* p, std::size_t bytes) noexcept;

template <class T>
struct MappedAllocator {
  using value_type = T;

  MappedAllocator() noexcept = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kMapFrom) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    return static_cast<T*>(map_pages(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kMapFrom) {
      ::operator delete(p, std::align_val_t{alignof(T)});
    } else {
      unmap_pages(p, n * sizeof(T));
    }
  }
  template <class U>
  friend bool operator==(const MappedAllocator&, const MappedAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace sarvolt::util
