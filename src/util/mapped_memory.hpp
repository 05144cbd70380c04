// Large arrays in mappings of their own: a block from kMapFrom bytes on is
// mapped on its own and unmapped when freed, so its pages go back to the
// system at once instead of staying in the allocator's arena (where freed
// space often stays resident and later blocks may land beside it).
//   map_pages / unmap_pages: one mapping, aligned as asked (up to 2 MiB).
//   map_huge_pages: the same, on huge pages where the kernel grants them;
//   remap_huge_pages resizes one by moving its pages.
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

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// A mapping from map_pages on a huge page boundary, whole huge pages of it
// on huge pages where the kernel grants them (a huge page never reaches past
// the mapping, so the tail stays on small ones and nothing unused becomes
// resident).
void* map_huge_pages(std::size_t bytes);

// A block of map_huge_pages(old_bytes) grown or shrunk to new_bytes: its
// pages move to a new huge page boundary without being copied, the rest is
// fresh. std::bad_alloc, the old block intact, when the system refuses.
void* remap_huge_pages(void* p, std::size_t old_bytes, std::size_t new_bytes);

// Blocks from MapFrom bytes on are mappings of their own (on huge pages from
// kHugePage on); smaller ones come from operator new, aligned to Align
// (0: the type's own alignment).
template <class T, std::size_t MapFrom = kMapFrom, std::size_t Align = 0>
struct MappedAllocator {
  using value_type = T;
  static constexpr std::size_t kAlign = Align != 0 ? Align : alignof(T);
  template <class U>
  struct rebind {
    using other = MappedAllocator<U, MapFrom, Align>;
  };

  MappedAllocator() noexcept = default;
  template <class U>
  MappedAllocator(const MappedAllocator<U, MapFrom, Align>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < MapFrom) return static_cast<T*>(::operator new(bytes, std::align_val_t{kAlign}));
    return static_cast<T*>(MapFrom >= kHugePage ? map_huge_pages(bytes) : map_pages(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < MapFrom) {
      ::operator delete(p, std::align_val_t{kAlign});
    } else {
      unmap_pages(p, n * sizeof(T));
    }
  }
  template <class U>
  friend bool operator==(const MappedAllocator&, const MappedAllocator<U, MapFrom, Align>&) noexcept {
    return true;
  }
};

}  // namespace sarvolt::util
