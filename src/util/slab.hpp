// Slabs: fixed-size blocks for objects made in runs, such as counted
// objects made with std::allocate_shared.
//   Slabs<Slot> s;  s.allocator<T>()  an allocator for one allocation: the
//                   next block of the open slab
// The first slab holds one block, each next one twice as many, up to
// `MaxSlots`, so a few objects cost what they did and many rarely allocate.
// A slab is freed with the last of its blocks, from any thread; taking
// blocks (allocator(), allocate()) is for one thread at a time.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>

namespace sarvolt::util {

template <std::size_t Slot, std::size_t MaxSlots = 16>
class Slabs {
  static constexpr std::size_t kAlign = alignof(std::max_align_t);
  static_assert(Slot % kAlign == 0, "blocks keep the alignment of plain new");
  static_assert(kAlign <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "plain new aligns the blocks");

  // A slab's count is its blocks and one for the Slabs that hands them out;
  // closing it gives back that one and the blocks it never handed out, each
  // freed block one. The blocks follow the header.
  struct Slab {
    static Slab* make(std::size_t n) {
      void* p = ::operator new(header() + n * Slot);
      // Its blocks are written one by one, often between atomic operations
      // that wait for earlier writes: ask for all their lines at once.
      for (std::size_t off = 0; off < header() + n * Slot; off += 64)
        __builtin_prefetch(static_cast<unsigned char*>(p) + off, 1, 3);
      return ::new (p) Slab(n);
    }
    static constexpr std::size_t header() noexcept { return (sizeof(Slab) + kAlign - 1) / kAlign * kAlign; }
    explicit Slab(std::size_t n) : refs(n + 1), size(n) {}
    void* take() noexcept { return reinterpret_cast<unsigned char*>(this) + header() + Slot * used++; }
    bool full() const noexcept { return used == size; }
    void close() noexcept { release(size - used + 1); }
    void release(std::size_t n) noexcept {
      if (refs.fetch_sub(n, std::memory_order_acq_rel) == n) {
        this->~Slab();
        ::operator delete(static_cast<void*>(this));
      }
    }
    std::atomic<std::size_t> refs;
    std::size_t size;
    std::size_t used = 0;  // by the taking thread only
  };

 public:
  // Serves one allocation, from the slab it was made for; copies free
  // the block there.
  template <class T>
  struct Alloc {
    using value_type = T;
    explicit Alloc(Slab* s) noexcept : slab(s) {}
    template <class U>
    Alloc(const Alloc<U>& o) noexcept : slab(o.slab) {}
    T* allocate(std::size_t n) {
      static_assert(sizeof(T) <= Slot && alignof(T) <= kAlign, "block too small");
      if (n != 1 || slab->full()) throw std::bad_alloc();
      return static_cast<T*>(slab->take());
    }
    void deallocate(T*, std::size_t) noexcept { slab->release(1); }
    template <class U>
    bool operator==(const Alloc<U>& o) const noexcept {
      return slab == o.slab;
    }
    Slab* slab;
  };

  Slabs() = default;
  ~Slabs() {
    if (open_) open_->close();
  }
  Slabs(const Slabs&) = delete;
  Slabs& operator=(const Slabs&) = delete;

  // For one allocation, made before the next allocator() call.
  template <class T>
  Alloc<T> allocator() {
    return Alloc<T>(open());
  }

 private:
  // The slab with a free block, made when there is none.
  Slab* open() {
    if (!open_ || open_->full()) {
      Slab* slab = Slab::make(next_size_);
      if (open_) open_->close();
      open_ = slab;
      next_size_ = std::min(next_size_ * 2, MaxSlots);
    }
    return open_;
  }
  Slab* open_ = nullptr;
  std::size_t next_size_ = 1;
};

}  // namespace sarvolt::util
