// PrefixMap<V>: an IPv4 longest-prefix map keyed by Ipv4Net.
//
// Keys match on their network (host bits cleared) but are kept as inserted;
// inserting a key whose network and length are already present replaces both
// the stored key and the value. Iteration is ordered by (network, length).
// Lookups never allocate and const members may run concurrently; any mutation
// invalidates returned pointers. If an allocation fails inside insert or
// remove, lookups stay safe but the index may be left incomplete.
//
// Layout. A map of up to kInline entries (as many as fit in InlineBytes, at
// least one) keeps them in the object itself, in key order, and scans them;
// the inner maps of a two-level table are mostly of this kind. A larger map
// owns a table (detail::PrefixTable, which it keeps once made): entries live
// in one dense array, in key order while inserts come in that order (assign
// and shrink_to_fit sort it), where a binary search finds an entry by
// (network, length). Once an insert comes out of order or a removal moves the
// last entry into its hole, a hash map finds the entries and iteration sorts
// a list of ids. The lookup index holds entry ids only, and
// the fields a lookup reads sit in one cache line (hot_):
//  - up to kSmallMax entries: a list sorted longest prefix first, compared
//    four at a time; a list of up to four lives in hot_ itself;
//  - above that: a multibit trie with leaf pushing (every position resolves to
//    its longest match). A top table indexed by the first 8 address bits (16
//    once the chunks below 8 would be many), then 8-bit chunks. A chunk of at
//    most kRuns runs of equal values is kept in one cache line and searched
//    with a byte compare; otherwise it points to a 256-slot block. A slot of
//    the 16-bit table whose last 16 bits resolve to up to four consecutive
//    entries longer than 16 bits, around them the slot's longest match of
//    16 bits or fewer (kept per first entry), names them: each is checked
//    against its key, all read at once with that value. One of a few runs
//    points to one chunk of runs over all 16 bits: up to 9 of any values,
//    or up to 17 whose entry ids lie within a byte of one another but for
//    one (the slot's cover, or none), as byte offsets. Such a lookup reads
//    the top table, at most one chunk, then the entry.
// A whole trie is built bottom-up from the entries in key order (assign sorts
// them by radix), each table filled once, a 16-bit slot swept to its runs
// over all 16 bits at once; single updates rewrite only the chunks under the changed
// prefix, working on runs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <boost/unordered/unordered_flat_map.hpp>

#include "util/ipv4.hpp"
#include "util/mapped_memory.hpp"

namespace sarvolt::util {

namespace detail {

// Arrays of the index and the entries: aligned to cache lines (a 64-byte
// entry then sits in one line) and, from 2 MiB on, in mappings of their own
// (a rebuild's freed arrays leave at once) on huge pages where the kernel
// grants them, so that lookups in large maps miss the TLB less.
template <class T>
using TableAllocator = MappedAllocator<T, kHugePage, 64>;

template <class T>
using TableVector = std::vector<T, TableAllocator<T>>;

// The same for the trie's growing arrays of plain values: from 2 MiB on,
// growth moves the mapping's pages instead of copying them into a new one.
template <class T>
class GrowArray {
  static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= 64);

 public:
  GrowArray() noexcept = default;
  GrowArray(const GrowArray& other) {  // at the other's size
    if (other.size_ == 0) return;
    move_to(other.size_);
    std::memcpy(static_cast<void*>(p_), other.p_, other.size_ * sizeof(T));
    size_ = other.size_;
  }
  GrowArray& operator=(const GrowArray&) = delete;
  ~GrowArray() { release(); }
  void swap(GrowArray& other) noexcept {
    std::swap(p_, other.p_);
    std::swap(size_, other.size_);
    std::swap(cap_, other.cap_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return p_; }
  const T* data() const noexcept { return p_; }
  T* begin() noexcept { return p_; }
  T* end() noexcept { return p_ + size_; }
  T& operator[](std::size_t i) noexcept { return p_[i]; }
  const T& operator[](std::size_t i) const noexcept { return p_[i]; }

  void push_back(const T& v) {
    if (size_ == cap_) grow(1);
    p_[size_++] = v;
  }
  // Appends n copies of v.
  void append(std::size_t n, const T& v) {
    if (cap_ - size_ < n) grow(n);
    std::fill_n(p_ + size_, n, v);
    size_ += n;
  }
  // Grows with value-initialised elements or shrinks.
  void resize(std::size_t n) {
    if (n > size_) append(n - size_, T{});
    size_ = n;
  }
  void clear() noexcept { size_ = 0; }
  void shrink_to_fit() {
    if (size_ == cap_) return;
    GrowArray exact(*this);
    swap(exact);
  }

 private:
  static bool mapped(std::size_t n) noexcept { return n * sizeof(T) >= kHugePage; }

  void grow(std::size_t more) {
    if (more > std::numeric_limits<std::size_t>::max() / sizeof(T) - size_) throw std::bad_array_new_length();
    move_to(std::max(size_ + more, 2 * cap_));
  }
  void move_to(std::size_t cap) {
    if (cap > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    if (mapped(cap_) && mapped(cap)) {
      p_ = static_cast<T*>(remap_huge_pages(p_, cap_ * sizeof(T), cap * sizeof(T)));
      cap_ = cap;
      return;
    }
    T* q = mapped(cap) ? static_cast<T*>(map_huge_pages(cap * sizeof(T)))
                       : static_cast<T*>(::operator new(cap * sizeof(T), std::align_val_t{64}));
    if (size_ != 0) std::memcpy(static_cast<void*>(q), p_, size_ * sizeof(T));
    release_block();
    p_ = q;
    cap_ = cap;
  }
  void release_block() noexcept {
    if (p_ == nullptr) return;
    if (mapped(cap_)) {
      unmap_pages(p_, cap_ * sizeof(T));
    } else {
      ::operator delete(p_, std::align_val_t{64});
    }
  }
  void release() noexcept {
    release_block();
    p_ = nullptr;
    size_ = cap_ = 0;
  }

  T* p_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// The index form of PrefixMap, for maps above a few entries.
template <class V>
class PrefixTable {
 public:
  using key_type = Ipv4Net;
  using mapped_type = V;
  using value_type = std::pair<Ipv4Net, V>;

  class const_iterator;

  PrefixTable() noexcept { sync(); }
  PrefixTable(const PrefixTable& other)
      : top_(other.top_),
        chunks_(other.chunks_),
        blocks_(other.blocks_),
        small_(other.small_),
        items_(other.items_),
        top_shift_(other.top_shift_),
        sorted_(other.sorted_),
        free_chunks_(other.free_chunks_),
        free_blocks_(other.free_blocks_),
        rest_(other.rest_),
        where_(other.where_) {
    sync();
  }
  PrefixTable& operator=(const PrefixTable& other) {
    if (this != &other) {
      PrefixTable tmp(other);
      swap(tmp);
    }
    return *this;
  }
  // A moved-from map is empty.
  PrefixTable(PrefixTable&& other) noexcept : PrefixTable() { swap(other); }
  PrefixTable& operator=(PrefixTable&& other) noexcept {
    PrefixTable tmp(std::move(other));
    swap(tmp);
    return *this;
  }

  void swap(PrefixTable& other) noexcept {
    top_.swap(other.top_);
    chunks_.swap(other.chunks_);
    blocks_.swap(other.blocks_);
    small_.swap(other.small_);
    items_.swap(other.items_);
    std::swap(top_shift_, other.top_shift_);
    std::swap(sorted_, other.sorted_);
    free_chunks_.swap(other.free_chunks_);
    free_blocks_.swap(other.free_blocks_);
    rest_.swap(other.rest_);
    where_.swap(other.where_);
    sync();
    other.sync();
  }

  // Replaces the content by `entries`; of equal (normalised) prefixes the
  // last one stays. Sorts, then builds the index bottom-up.
  void assign(TableVector<value_type> entries) {
    if (entries.size() >= kNone) throw std::length_error("PrefixMap is full");
    if (!std::is_sorted(entries.begin(), entries.end(), by_key)) {
      if (entries.size() < kRadixMin || entries.size() > kRadixMax) {
        std::stable_sort(entries.begin(), entries.end(), by_key);
      } else {
        entries = sorted_by_key(
            entries.size(), [&entries](std::size_t i) { return key_of(entries[i].first); },
            [&entries](std::size_t i) -> value_type&& { return std::move(entries[i]); });
      }
    }
    assign_sorted(std::move(entries));
  }

  // The same from copies of the n entries from `first` on: out of key order,
  // they are copied once, straight into their sorted places.
  template <class It>
  void assign_copy(It first, std::size_t n) {
    if (n >= kNone) throw std::length_error("PrefixMap is full");
    if (n < kRadixMin || n > kRadixMax || std::is_sorted(first, first + static_cast<std::ptrdiff_t>(n), by_key))
      return assign(TableVector<value_type>(first, first + static_cast<std::ptrdiff_t>(n)));
    const auto at = [first](std::size_t i) -> const value_type& { return first[static_cast<std::ptrdiff_t>(i)]; };
    assign_sorted(sorted_by_key(
        n, [&at](std::size_t i) { return key_of(at(i).first); }, at));
  }

 private:
  static bool by_key(const value_type& a, const value_type& b) noexcept { return key_of(a.first) < key_of(b.first); }

  // Replaces the content by `entries` in key order.
  void assign_sorted(TableVector<value_type> entries) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (n > 0 && key_of(entries[n - 1].first) == key_of(entries[i].first)) {
        entries[n - 1] = std::move(entries[i]);
      } else {
        if (n != i) entries[n] = std::move(entries[i]);
        ++n;
      }
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(n), entries.end());
    PrefixTable next;
    next.items_ = std::move(entries);
    next.reindex();
    swap(next);
  }

 public:
  // Returns the previous value if the (normalised) prefix was present.
  std::optional<V> insert(const Ipv4Net& net, V value) {
    const std::uint64_t key = key_of(net);
    if (sorted_ && !items_.empty() && key_of(items_.back().first) >= key) {
      if (const std::uint32_t at = find(key); at != kNone) return replace(at, net, std::move(value));
      unsort();  // an insert out of order
    }
    if (!sorted_) {
      if (const auto it = where_.find(key); it != where_.end()) return replace(it->second, net, std::move(value));
    }
    if (items_.size() >= kNone) throw std::length_error("PrefixMap is full");
    items_.emplace_back(net, std::move(value));
    const auto s = static_cast<std::uint32_t>(items_.size() - 1);
    if (!sorted_) {
      try {
        where_.emplace(key, s);
      } catch (...) {
        items_.pop_back();
        throw;
      }
    }
    try {
      index_insert(net.trunc(), s);
    } catch (...) {
      sync();
      throw;
    }
    sync();
    return std::nullopt;
  }

  // Exact lookup on the normalised prefix.
  const V* get(const Ipv4Net& net) const noexcept {
    const std::uint32_t at = find(key_of(net));
    return at == kNone ? nullptr : &items_[at].second;
  }
  V* get_mut(const Ipv4Net& net) noexcept {
    const std::uint32_t at = find(key_of(net));
    return at == kNone ? nullptr : &items_[at].second;
  }

  std::optional<V> remove(const Ipv4Net& net) {
    const std::uint64_t key = key_of(net);
    std::uint32_t s = find(key);
    if (s == kNone) return std::nullopt;
    const auto last = static_cast<std::uint32_t>(items_.size() - 1);
    if (s != last && sorted_) unsort();
    const Ipv4Net gone = items_[s].first.trunc();
    std::optional<V> old(std::move(items_[s].second));
    if (!sorted_) where_.erase(key);
    // A slot of the index may name an entry whose key it reads, so the index
    // changes while both entries are in place; a rebuild follows the move.
    const std::size_t after = items_.size() - 1;
    const bool rebuild = !top_.empty() && (after <= kSmallMax / 2 || (top_shift_ == 16 && after < kWideAt / 4));
    try {
      if (!rebuild) index_remove(gone, s, last);
      // The last entry moves into the hole.
      if (s != last) {
        items_[s] = std::move(items_[last]);
        where_.find(key_of(items_[s].first))->second = s;
        if (!rebuild && !top_.empty()) index_rename(items_[s].first.trunc(), last, s);
      }
    } catch (...) {
      sync();
      throw;
    }
    items_.pop_back();
    try {
      if (rebuild && after <= kSmallMax / 2) build_small();
      if (rebuild && after > kSmallMax / 2) build_trie(8);
    } catch (...) {
      sync();
      throw;
    }
    sync();
    return old;
  }

  // The entry with the longest prefix containing addr, or nullptr.
  const value_type* longest_match(Ipv4Addr addr) const noexcept {
    const Hot& h = hot_;
    const std::uint32_t x = addr.to_u32();
    std::uint32_t v = kNone;
    if (h.shift != 0) {
      unsigned shift = h.shift;
      v = h.u.trie.top[x >> shift];
      if (is_verify(v)) {
        // The entries are read at once; a later one never contains an
        // earlier one, so the last that holds addr is its longest match.
        const std::uint32_t first = v & kSetId;
        const value_type* e = &h.slots[first];
        const unsigned more = (v >> kSetShift) & 3;
        const value_type* hit = e->first.contains(addr) ? e : nullptr;
        if (more >= 1 && e[1].first.contains(addr)) hit = e + 1;
        if (more >= 2 && e[2].first.contains(addr)) hit = e + 2;
        if (more >= 3 && e[3].first.contains(addr)) hit = e + 3;
        if (__builtin_expect(hit != nullptr, 1)) return hit;
        // The rest of the slot, read only when needed; no rest array: none.
        if (h.u.trie.rest == nullptr) return nullptr;
        v = h.u.trie.rest[first];
        return v == kNone ? nullptr : &h.slots[v];
      }
      if (is_wide(v)) {
        v = wide_get(h.u.trie.chunks[v & kId], x & 0xffff);
      } else if (is_packed(v)) {
        v = packed_get(h.u.trie.chunks[v & kId], x & 0xffff);
      } else {
        while (v & kChild) {
          shift -= 8;
          v = chunk_get(h.u.trie.chunks[v & ~kChild], h.u.trie.blocks, (x >> shift) & 0xff);
        }
      }
    } else {
      const SmallGroup* g = h.count <= 1 ? &h.u.group : h.u.groups;
      for (const SmallGroup* end = g + h.count; g != end; ++g) {
        if (const unsigned hits = group_hits(*g, x)) {
          v = g->slot[__builtin_ctz(hits)];
          break;
        }
      }
    }
    return v == kNone ? nullptr : &h.slots[v];
  }

  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  // Puts the entries in key order (iteration then walks them directly) and
  // returns the spare capacity of the table's arrays.
  void shrink_to_fit() {
    if (!sorted_) {
      TableVector<value_type> entries(std::make_move_iterator(items_.begin()), std::make_move_iterator(items_.end()));
      assign(std::move(entries));
    }
    items_.shrink_to_fit();
    chunks_.shrink_to_fit();
    blocks_.shrink_to_fit();
    free_chunks_.shrink_to_fit();
    free_blocks_.shrink_to_fit();
    rest_.shrink_to_fit();
    sync();
  }
  void clear() noexcept {
    PrefixTable tmp;
    swap(tmp);
  }

  const_iterator begin() const { return const_iterator(this, 0, sorted_ ? nullptr : order()); }
  const_iterator end() const noexcept { return const_iterator(this, items_.size(), nullptr); }

  // Calls f(const Ipv4Net&, const V&) in iteration order.
  template <class F>
  void for_each(F&& f) const {
    if (sorted_) {
      for (const value_type& e : items_) f(e.first, e.second);
      return;
    }
    const auto ids = order();
    for (const std::uint32_t s : *ids) f(items_[s].first, items_[s].second);
  }

  // Walks the entries in place when they are in key order, else along an
  // order made when the walk starts.
  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = PrefixTable::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() = default;
    reference operator*() const {
      const auto& items = table_->items_;
      if (table_->sorted_) return items[pos_];
      if (!order_) order_ = table_->order();
      return items[(*order_)[pos_]];
    }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      ++pos_;
      return *this;
    }
    const_iterator operator++(int) {
      auto old = *this;
      ++pos_;
      return old;
    }
    const_iterator& operator--() {
      --pos_;
      return *this;
    }
    const_iterator operator--(int) {
      auto old = *this;
      --pos_;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.pos_ == b.pos_; }

   private:
    friend class PrefixTable;
    const_iterator(const PrefixTable* table, std::size_t pos, std::shared_ptr<const std::vector<std::uint32_t>> order)
        : table_(table), pos_(pos), order_(std::move(order)) {}
    const PrefixTable* table_ = nullptr;
    std::size_t pos_ = 0;
    mutable std::shared_ptr<const std::vector<std::uint32_t>> order_;
  };

 private:
  // Index values: an entry id, kNone, or kChild | chunk id. A top table of
  // 16 bits also holds kWide | chunk id, a chunk of runs over the last 16
  // bits, kPacked | chunk id, the same with more runs of byte offsets, and
  // kVerify | (n - 1) << kSetShift | entry id: of the n entries from that id
  // on, the last whose key contains the address, else rest_[id] (an entry id
  // or kNone; kNone while rest_ is empty).
  static constexpr std::uint32_t kNone = 0x7fff'ffffU;
  static constexpr std::uint32_t kChild = 0x8000'0000U;
  static constexpr std::uint32_t kPacked = 0xa000'0000U;
  static constexpr std::uint32_t kWide = 0xc000'0000U;
  static constexpr std::uint32_t kVerify = 0xe000'0000U;
  static constexpr std::uint32_t kId = 0x1fff'ffffU;
  static constexpr unsigned kSetShift = 27;
  static constexpr std::uint32_t kSetId = 0x07ff'ffffU;
  static constexpr std::uint32_t kSetMax = 4;
  static constexpr int kWideRuns = 9;
  static constexpr int kPackedRuns = 17;
  static constexpr std::uint8_t kOuterOff = 0xff;  // a packed run of the outer value
  // Entry counts at which the index changes form; the gaps avoid flapping.
  static constexpr std::size_t kSmallMax = 16;
  static constexpr std::size_t kWideAt = 2048;
  // Live chunks at which a narrow trie widens: the 16-bit top table (256 KiB)
  // only pays off once the chunks below a narrow one come near its size.
  static constexpr std::size_t kWideChunks = 2048;
  static constexpr int kRuns = 12;

  struct SmallEntry {
    std::uint32_t net;
    std::uint32_t mask;
    std::uint32_t slot;
  };
  // The list index in groups of four, longest prefix first. Unused lanes
  // (net 1, mask 0) never match.
  struct SmallGroup {
    std::uint32_t net[4];
    std::uint32_t mask[4];
    std::uint32_t slot[4];
  };

  // Bit i set if lane i of g contains x.
  static unsigned group_hits(const SmallGroup& g, std::uint32_t x) noexcept {
#if defined(__SSE2__)
    const __m128i xs = _mm_set1_epi32(static_cast<int>(x));
    const __m128i masks = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.mask));
    const __m128i nets = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g.net));
    const __m128i eq = _mm_cmpeq_epi32(_mm_and_si128(xs, masks), nets);
    return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(eq)));
#else
    unsigned hits = 0;
    for (unsigned i = 0; i < 4; ++i) hits |= unsigned{(x & g.mask[i]) == g.net[i]} << i;
    return hits;
#endif
  }

  std::vector<SmallEntry> small_list() const {
    std::vector<SmallEntry> list;
    for (const SmallGroup& g : small_) {
      for (unsigned i = 0; i < 4; ++i) {
        if (g.slot[i] != kNone) list.push_back({g.net[i], g.mask[i], g.slot[i]});
      }
    }
    return list;
  }

  void set_small(std::vector<SmallEntry> list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const SmallEntry& a, const SmallEntry& b) { return a.mask > b.mask; });
    small_.assign((list.size() + 3) / 4, SmallGroup{{1, 1, 1, 1}, {}, {kNone, kNone, kNone, kNone}});
    for (std::size_t i = 0; i < list.size(); ++i) {
      SmallGroup& g = small_[i / 4];
      g.net[i % 4] = list[i].net;
      g.mask[i % 4] = list[i].mask;
      g.slot[i % 4] = list[i].slot;
    }
  }

  // start[0] == 0: runs; value[r] covers [start[r], start[r + 1]). Unused runs
  // start at 255 and repeat the last value. start[0] == 1: value[0] is the
  // offset of a 256-slot block in blocks_.
  // A wide chunk (wstart, wvalue): wvalue[r] covers [wstart[r - 1],
  // wstart[r]) of the last 16 bits (wvalue[0] from 0); unused runs start at
  // 0xffff and repeat the last value.
  // A packed chunk (pstart, poff): as a wide one with more runs, a run's
  // value pbase + poff[r], or pouter where poff[r] is kOuterOff.
  struct alignas(64) Chunk {
    union {
      struct {
        std::uint8_t start[16];
        std::uint32_t value[kRuns];
      };
      struct {
        std::uint16_t wstart[kWideRuns - 1];
        std::uint32_t wvalue[kWideRuns];
      };
      struct {
        std::uint16_t pstart[kPackedRuns - 1];
        std::uint32_t pbase;
        std::uint32_t pouter;
        std::uint8_t poff[kPackedRuns];
      };
    };
  };
  static_assert(sizeof(Chunk) == 64);

  static std::uint64_t key_of(const Ipv4Net& net) noexcept {
    return (std::uint64_t{net.network().to_u32()} << 6) | net.prefix_len();
  }
  static std::uint32_t mask_of(unsigned len) noexcept {
    return static_cast<std::uint32_t>(~std::uint64_t{0} << (32 - len));
  }

  static std::uint32_t chunk_get(const Chunk& c, const std::uint32_t* blocks,
                                 std::uint32_t b) noexcept {
    if (c.start[0] != 0) return blocks[c.value[0] + b];
#if defined(__SSE2__)
    const __m128i starts = _mm_load_si128(reinterpret_cast<const __m128i*>(c.start));
    const __m128i key = _mm_set1_epi8(static_cast<char>(b));
    const __m128i le = _mm_cmpeq_epi8(_mm_max_epu8(starts, key), key);  // start <= b
    const unsigned below = static_cast<unsigned>(_mm_movemask_epi8(le));
    // Runs 1..11 that start at or below b form a contiguous run of bits.
    const unsigned r = static_cast<unsigned>(__builtin_ctz((~below & 0xffeU) | 0x1000U)) - 1;
    return c.value[r];
#else
    unsigned r = 0;
    for (int i = 1; i < kRuns; ++i) r += c.start[i] <= b;
    return c.value[r];
#endif
  }

  static bool is_wide(std::uint32_t v) noexcept { return (v & kVerify) == kWide; }
  static bool is_packed(std::uint32_t v) noexcept { return (v & kVerify) == kPacked; }
  static bool is_verify(std::uint32_t v) noexcept { return (v & kVerify) == kVerify; }
  // A slot resolved over its last 16 bits at once: packed, wide or verified.
  static bool is_flat(std::uint32_t v) noexcept { return v >= kPacked; }
  // A flat slot with a chunk of its own.
  static bool has_flat_chunk(std::uint32_t v) noexcept { return is_wide(v) || is_packed(v); }

  static std::uint32_t wide_get(const Chunk& c, std::uint32_t b) noexcept {
#if defined(__SSE2__)
    const __m128i starts = _mm_load_si128(reinterpret_cast<const __m128i*>(c.wstart));
    const __m128i key = _mm_set1_epi16(static_cast<short>(b));
    const __m128i le = _mm_cmpeq_epi16(_mm_subs_epu16(starts, key), _mm_setzero_si128());  // start <= b
    // Sorted starts: the lanes at or below b come first.
    const unsigned below = static_cast<unsigned>(_mm_movemask_epi8(le));
    return c.wvalue[static_cast<unsigned>(__builtin_ctz(~below)) / 2];
#else
    unsigned r = 0;
    for (int i = 0; i < kWideRuns - 1; ++i) r += c.wstart[i] <= b;
    return c.wvalue[r];
#endif
  }

  static std::uint32_t packed_get(const Chunk& c, std::uint32_t b) noexcept {
#if defined(__SSE2__)
    const __m128i key = _mm_set1_epi16(static_cast<short>(b));
    const __m128i* starts = reinterpret_cast<const __m128i*>(c.pstart);
    const __m128i zero = _mm_setzero_si128();
    const __m128i le0 = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(starts), key), zero);  // start <= b
    const __m128i le1 = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_load_si128(starts + 1), key), zero);
    const std::uint64_t below = static_cast<std::uint64_t>(_mm_movemask_epi8(le0)) |
                                static_cast<std::uint64_t>(_mm_movemask_epi8(le1)) << 16;
    const std::uint8_t off = c.poff[static_cast<unsigned>(__builtin_ctzll(~below)) / 2];
#else
    unsigned r = 0;
    for (int i = 0; i < kPackedRuns - 1; ++i) r += c.pstart[i] <= b;
    const std::uint8_t off = c.poff[r];
#endif
    return off == kOuterOff ? c.pouter : c.pbase + off;
  }

  // The id of the entry with this key, or kNone: a binary search while the
  // entries are in key order, else the hash map.
  std::uint32_t find(std::uint64_t key) const noexcept {
    if (!sorted_) {
      const auto it = where_.find(key);
      return it == where_.end() ? kNone : it->second;
    }
    const auto it = std::lower_bound(items_.begin(), items_.end(), key,
                                     [](const value_type& e, std::uint64_t k) { return key_of(e.first) < k; });
    return it != items_.end() && key_of(it->first) == key ? static_cast<std::uint32_t>(it - items_.begin()) : kNone;
  }

  std::optional<V> replace(std::uint32_t at, const Ipv4Net& net, V&& value) {
    value_type& entry = items_[at];
    std::optional<V> old(std::move(entry.second));
    entry.first = net;
    entry.second = std::move(value);
    return old;
  }

  // Sizes sorted by sorted_by_key; below, a comparison sort is as fast.
  static constexpr std::size_t kRadixMin = 64;
  static constexpr std::size_t kRadixMax = std::size_t{1} << 26;

  // The entries in key order, equal keys in their order: an LSD radix sort
  // of (key, position) words over the key bits only (words made in position
  // order keep equal keys in it through stable passes), 11 bits a pass,
  // passes over bits that all words share skipped, then one gather.
  // key_at(i): the key of entry i; take(i): the entry to place.
  template <class KeyAt, class Take>
  static TableVector<value_type> sorted_by_key(std::size_t n, const KeyAt& key_at, const Take& take) {
    static_assert(sizeof(value_type) >= sizeof(std::uint64_t) && alignof(std::uint64_t) <= 64);
    constexpr unsigned kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    constexpr unsigned kPasses = (38 + kDigit - 1) / kDigit;  // key_of spans 38 bits
    const auto pos_bits = static_cast<unsigned>(std::bit_width(n - 1));
    // The words: from 2 MiB on in a mapping on huge pages (each pass
    // scatters all over it), else on the heap. Their copy of each pass goes
    // to the room of the sorted entries, unused until the gather.
    struct Scratch {
      std::size_t bytes;
      std::uint64_t* p = nullptr;
      std::vector<std::uint64_t> words;
      explicit Scratch(std::size_t n) : bytes(n * sizeof(std::uint64_t)) {
        if (bytes >= kHugePage) {
          p = static_cast<std::uint64_t*>(map_huge_pages(bytes));
        } else {
          words.resize(n);
        }
      }
      ~Scratch() {
        if (p != nullptr) unmap_pages(p, bytes);
      }
      Scratch(const Scratch&) = delete;
      Scratch& operator=(const Scratch&) = delete;
    } scratch(n);
    TableVector<value_type> out;
    out.reserve(n);
    std::uint64_t* const own = scratch.p != nullptr ? scratch.p : scratch.words.data();
    std::uint64_t* words = own;
    std::uint64_t* spare = reinterpret_cast<std::uint64_t*>(out.data());
    std::vector<std::uint32_t> counts(kPasses * kBuckets, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = key_at(i);
      words[i] = key << pos_bits | i;
      for (unsigned p = 0; p < kPasses; ++p) ++counts[p * kBuckets + ((key >> (p * kDigit)) & (kBuckets - 1))];
    }
    for (unsigned p = 0; p < kPasses; ++p) {
      std::uint32_t* c = counts.data() + p * kBuckets;
      const unsigned shift = pos_bits + p * kDigit;
      if (c[(words[0] >> shift) & (kBuckets - 1)] == n) continue;  // one digit for all
      std::uint32_t sum = 0;
      for (std::size_t b = 0; b < kBuckets; ++b) sum += std::exchange(c[b], sum);
      for (std::size_t i = 0; i < n; ++i) spare[c[(words[i] >> shift) & (kBuckets - 1)]++] = words[i];
      std::swap(words, spare);
    }
    if (words != own) std::memcpy(own, words, n * sizeof(std::uint64_t));  // the entries go there
    words = own;
    const std::uint64_t pos_mask = (std::uint64_t{1} << pos_bits) - 1;
    for (std::size_t i = 0; i < n; ++i) out.push_back(take(words[i] & pos_mask));
    return out;
  }

  // Leaves key order: from now on the hash map finds the entries.
  void unsort() {
    where_.reserve(items_.size() + 1);
    for (std::uint32_t i = 0; i < items_.size(); ++i) where_.emplace(key_of(items_[i].first), i);
    sorted_ = false;
  }

  // Entry ids in key order.
  std::shared_ptr<const std::vector<std::uint32_t>> order() const {
    auto ids = std::make_shared<std::vector<std::uint32_t>>(items_.size());
    for (std::uint32_t i = 0; i < ids->size(); ++i) (*ids)[i] = i;
    if (!sorted_) {
      std::sort(ids->begin(), ids->end(), [this](std::uint32_t a, std::uint32_t b) {
        return key_of(items_[a].first) < key_of(items_[b].first);
      });
    }
    return ids;
  }

  unsigned len_of(std::uint32_t s) const noexcept { return items_[s].first.prefix_len(); }

  // Longest present prefix strictly shorter than (net, len) that contains it.
  std::uint32_t parent_of(std::uint32_t net, unsigned len) const {
    for (unsigned l = len; l-- > 0;) {
      const std::uint32_t at = find((std::uint64_t{net & mask_of(l)} << 6) | l);
      if (at != kNone) return at;
    }
    return kNone;
  }

  // --- index maintenance --------------------------------------------------

  // Builds the index of items_ (in key order) afresh.
  void reindex() {
    sorted_ = true;
    where_ = {};
    if (items_.size() <= kSmallMax) return build_small();
    build_trie(items_.size() >= kWideAt ? 16 : 8);
  }

  void index_insert(const Ipv4Net& net, std::uint32_t s) {
    if (top_.empty()) {
      if (items_.size() > kSmallMax) return build_trie(8);
      std::vector<SmallEntry> list = small_list();
      list.push_back({net.addr().to_u32(), net.netmask().to_u32(), s});
      return set_small(std::move(list));
    }
    if (top_shift_ == 24 && chunks_.size() - free_chunks_.size() >= kWideChunks) return build_trie(16);
    if (!rest_.empty() && rest_.size() < items_.size()) rest_.resize(items_.size(), kNone);
    const unsigned len = net.prefix_len();
    update(net.addr().to_u32(), len, [this, s, len](std::uint32_t v) {
      return v == kNone || len_of(v) < len ? s : v;
    });
  }

  // Entry s (net) goes, still in items_; in the list form entry `last`, if
  // not s, also takes id s.
  void index_remove(const Ipv4Net& net, std::uint32_t s, std::uint32_t last) {
    if (top_.empty()) {
      std::vector<SmallEntry> list = small_list();
      std::erase_if(list, [s](const SmallEntry& e) { return e.slot == s; });
      for (SmallEntry& e : list)
        if (e.slot == last) e.slot = s;
      return set_small(std::move(list));
    }
    const std::uint32_t parent = parent_of(net.addr().to_u32(), net.prefix_len());
    update(net.addr().to_u32(), net.prefix_len(), [s, parent](std::uint32_t v) { return v == s ? parent : v; });
  }

  // In the trie, entry `last` (net) takes id s, where it has just been
  // moved; items_[last] still holds its key.
  void index_rename(const Ipv4Net& net, std::uint32_t last, std::uint32_t s) {
    update(net.addr().to_u32(), net.prefix_len(), [s, last](std::uint32_t v) { return v == last ? s : v; });
  }

  void drop_trie() noexcept {
    top_.clear();
    top_.shrink_to_fit();
    rest_.clear();
    rest_.shrink_to_fit();
    chunks_.clear();
    chunks_.shrink_to_fit();
    blocks_.clear();
    blocks_.shrink_to_fit();
    free_chunks_.clear();
    free_blocks_.clear();
  }

  void build_small() {
    drop_trie();
    std::vector<SmallEntry> list;
    for (std::uint32_t s = 0; s < items_.size(); ++s) {
      const Ipv4Net& net = items_[s].first;
      list.push_back({net.network().to_u32(), net.netmask().to_u32(), s});
    }
    set_small(std::move(list));
  }

  // Builds the trie bottom-up from the entries in key order: a prefix comes
  // before the prefixes inside it, and the entries below one position of a
  // table are consecutive.
  void build_trie(unsigned top_bits) {
    drop_trie();
    small_.clear();
    small_.shrink_to_fit();
    top_.assign(std::size_t{1} << top_bits, kNone);
    top_shift_ = 32 - top_bits;
    std::vector<std::uint32_t> ids;
    if (!sorted_) ids = *order();
    const auto id_at = [&](std::size_t i) { return sorted_ ? static_cast<std::uint32_t>(i) : ids[i]; };
    const std::size_t n = items_.size();
    for (std::size_t i = 0; i < n;) {
      const Ipv4Net& net = items_[id_at(i)].first;
      const std::uint32_t x = net.network().to_u32();
      const unsigned len = net.prefix_len();
      const std::size_t t = x >> top_shift_;
      if (len <= top_bits) {
        std::fill_n(top_.begin() + static_cast<std::ptrdiff_t>(t), std::size_t{1} << (top_bits - len), id_at(i));
        ++i;
        continue;
      }
      std::size_t j = i + 1;
      while (j < n && items_[id_at(j)].first.network().to_u32() >> top_shift_ == t) ++j;
      WideRuns runs;
      if (top_bits == 16 && wide_runs(top_[t], i, j, id_at, runs)) {
        top_[t] = put_runs(kNone, runs);
      } else {
        top_[t] = build_node(top_[t], i, j, top_bits, id_at);
      }
      i = j;
    }
  }

  // A sweep's enclosing entries: where each ends and its value, the first
  // (the inherited match) never ending; closing to b emits the runs passed.
  template <int N>
  struct Enclosing {
    std::uint32_t end[N];
    std::uint32_t value[N];
    int open = 1;
    std::uint32_t pos = 0;
    Enclosing(std::uint32_t span, std::uint32_t outer) noexcept {
      end[0] = span;
      value[0] = outer;
    }
    std::uint32_t top() const noexcept { return value[open - 1]; }
    void push(std::uint32_t e, std::uint32_t v) noexcept {
      end[open] = e;
      value[open] = v;
      ++open;
    }
    template <class Emit>
    void close_to(std::uint32_t b, const Emit& emit) {
      while (open > 1 && end[open - 1] <= b) {
        emit(pos, end[open - 1], value[open - 1]);
        pos = std::max(pos, end[open - 1]);
        --open;
      }
      emit(pos, b, value[open - 1]);
      pos = std::max(pos, b);
    }
  };

  // The value for the block of depth bits holding entries [from, to), all
  // longer than depth, under the inherited longest match `outer`. One sweep
  // over the entries yields the block's runs; only a block of more than
  // kRuns runs is spelled out slot by slot.
  template <class IdAt>
  std::uint32_t build_node(std::uint32_t outer, std::size_t from, std::size_t to, unsigned depth,
                           const IdAt& id_at) {
    std::uint16_t run_start[257];
    std::uint32_t run_value[257];
    int runs = 0;
    const auto emit = [&](std::uint32_t start, std::uint32_t end, std::uint32_t value) {
      if (start >= end || (runs > 0 && run_value[runs - 1] == value)) return;
      run_start[runs] = static_cast<std::uint16_t>(start);
      run_value[runs] = value;
      ++runs;
    };
    Enclosing<10> enclosing(256, outer);
    const unsigned shift = 32 - depth - 8;
    for (std::size_t i = from; i < to;) {
      const Ipv4Net& net = items_[id_at(i)].first;
      const std::uint32_t x = net.network().to_u32();
      const unsigned len = net.prefix_len();
      const std::uint32_t b = (x >> shift) & 0xff;
      enclosing.close_to(b, emit);
      if (len <= depth + 8) {
        enclosing.push(b + (1U << (depth + 8 - len)), id_at(i));
        ++i;
        continue;
      }
      std::size_t j = i + 1;
      while (j < to && ((items_[id_at(j)].first.network().to_u32() >> shift) & 0xff) == b) ++j;
      emit(b, b + 1, build_node(enclosing.top(), i, j, depth + 8, id_at));
      enclosing.pos = b + 1;
      i = j;
    }
    enclosing.close_to(256, emit);
    return make_node(run_start, run_value, runs);
  }

  // The value for 256 positions given as runs (at least one, equal
  // neighbours merged): the plain value, a chunk of runs or a block.
  std::uint32_t make_node(const std::uint16_t* run_start, const std::uint32_t* run_value, int runs) {
    if (runs == 1) return run_value[0];
    const std::uint32_t id = alloc_chunk();
    if (runs > kRuns) {
      // A new block is written once, run by run, not cleared first.
      const bool fresh = free_blocks_.empty();
      const auto off = static_cast<std::uint32_t>(fresh ? blocks_.size() : alloc_block());
      for (int r = 0; r < runs; ++r) {
        const std::uint32_t end = r + 1 < runs ? run_start[r + 1] : 256U;
        if (fresh) {
          blocks_.append(end - run_start[r], run_value[r]);
        } else {
          std::fill(blocks_.begin() + off + run_start[r], blocks_.begin() + off + end, run_value[r]);
        }
      }
      chunks_[id].start[0] = 1;
      chunks_[id].value[0] = off;
      return kChild | id;
    }
    Chunk& c = chunks_[id];
    std::uint32_t value = run_value[0];
    for (int r = 0; r < kRuns; ++r) {
      if (r < runs) value = run_value[r];  // unused runs repeat the last value
      c.start[r] = r < runs ? static_cast<std::uint8_t>(run_start[r]) : std::uint8_t{0xff};
      c.value[r] = value;
    }
    return kChild | id;
  }

  // --- wide chunks ----------------------------------------------------------

  // Runs over the last 16 bits under construction; equal neighbours merge.
  // An update may split two more runs than a chunk holds.
  struct WideRuns {
    std::uint32_t start[kPackedRuns + 2];
    std::uint32_t value[kPackedRuns + 2];
    int n = 0;
    bool push(std::uint32_t from, std::uint32_t val, int limit = kPackedRuns) {
      if (n > 0 && value[n - 1] == val) return true;
      if (n == limit) return false;
      start[n] = from;
      value[n] = val;
      ++n;
      return true;
    }
  };

  // The runs over the last 16 bits of a 16-bit top slot holding entries
  // [from, to), all longer than 16 bits, under the inherited longest match
  // `outer`: the sweep of build_node over the whole slot at once. False past
  // kPackedRuns runs.
  template <class IdAt>
  bool wide_runs(std::uint32_t outer, std::size_t from, std::size_t to, const IdAt& id_at, WideRuns& out) const {
    Enclosing<18> enclosing(0x10000, outer);
    bool fits = true;
    const auto emit = [&](std::uint32_t start, std::uint32_t end, std::uint32_t value) {
      if (start < end && !out.push(start, value)) fits = false;
    };
    for (std::size_t i = from; i < to && fits; ++i) {
      const std::uint32_t s = id_at(i);
      const Ipv4Net& net = items_[s].first;
      const std::uint32_t b = net.network().to_u32() & 0xffff;
      enclosing.close_to(b, emit);
      enclosing.push(b + (std::uint32_t{1} << (32 - net.prefix_len())), s);
    }
    if (fits) enclosing.close_to(0x10000, emit);
    return fits;
  }

  // The runs of the 2^bits positions under v (not wide) from `base` on;
  // false once there are too many or a block is met. `chunks` counts the
  // chunks passed.
  bool collect(std::uint32_t v, std::uint32_t base, unsigned bits, WideRuns& out, int& chunks) const {
    if (!(v & kChild)) return out.push(base, v);
    const Chunk& c = chunks_[v & ~kChild];
    if (c.start[0] != 0) return false;
    ++chunks;
    for (int r = 0; r < kRuns; ++r) {
      const std::uint32_t to = r + 1 < kRuns ? c.start[r + 1] : 256U;
      if (c.start[r] >= to) continue;
      const std::uint32_t from = base + (std::uint32_t{c.start[r]} << (bits - 8));
      if (!collect(c.value[r], from, bits - 8, out, chunks)) return false;
    }
    return true;
  }

  // Frees the chunks under v (not wide; no blocks below it).
  void free_tree(std::uint32_t v) noexcept {
    if (!(v & kChild)) return;
    const std::uint32_t id = v & ~kChild;
    const Chunk& c = chunks_[id];
    for (int r = 0; r < kRuns; ++r) {
      const std::uint32_t to = r + 1 < kRuns ? c.start[r + 1] : 256U;
      if (c.start[r] < to) free_tree(c.value[r]);
    }
    free_chunks_.push_back(id);  // capacity reserved by the caller
  }

  // A top slot of a 16-bit table resolved at once where its runs allow;
  // otherwise (or in a narrow table) unchanged.
  std::uint32_t to_wide(std::uint32_t v) {
    if (top_shift_ != 16 || !(v & kChild) || is_flat(v)) return v;
    WideRuns runs;
    int chunks = 0;
    if (!collect(v, 0, 16, runs, chunks)) return v;
    if (runs.n > kWideRuns && !packs(runs)) return v;
    free_chunks_.reserve(free_chunks_.size() + static_cast<std::size_t>(chunks));
    const std::uint32_t now = put_runs(kNone, runs);
    free_tree(v);
    return now;
  }

  // The slot value for runs over the last 16 bits: a plain value, a
  // verified entry (a single entry and nothing around it), a wide or packed
  // chunk (reusing that of `old`), or 8-bit chunks. The chunk of a wide or
  // packed `old` is freed unless reused.
  std::uint32_t put_runs(std::uint32_t old, const WideRuns& runs) {
    std::uint32_t now;
    std::uint32_t base = 0, outer = kNone;
    if (runs.n == 1) {
      now = runs.value[0];
    } else if (const std::uint32_t set = entry_set(runs); set != kNone) {
      now = set;
    } else if (runs.n <= kWideRuns) {
      const std::uint32_t id = has_flat_chunk(old) ? old & kId : alloc_chunk();
      Chunk& c = chunks_[id];
      for (int r = 1; r < kWideRuns; ++r)
        c.wstart[r - 1] = r < runs.n ? static_cast<std::uint16_t>(runs.start[r]) : std::uint16_t{0xffff};
      for (int r = 0; r < kWideRuns; ++r) c.wvalue[r] = runs.value[std::min(r, runs.n - 1)];
      return kWide | id;
    } else if (packs(runs, &base, &outer)) {
      const std::uint32_t id = has_flat_chunk(old) ? old & kId : alloc_chunk();
      Chunk& c = chunks_[id];
      for (int r = 1; r < kPackedRuns; ++r)
        c.pstart[r - 1] = r < runs.n ? static_cast<std::uint16_t>(runs.start[r]) : std::uint16_t{0xffff};
      c.pbase = base;
      c.pouter = outer;
      for (int r = 0; r < kPackedRuns; ++r) {
        const std::uint32_t x = runs.value[std::min(r, runs.n - 1)];
        c.poff[r] = x == outer ? kOuterOff : static_cast<std::uint8_t>(x - base);
      }
      return kPacked | id;
    } else {
      now = expand(runs);
    }
    if (has_flat_chunk(old)) {
      free_chunks_.push_back(old & kId);
      reset_chunk(chunks_[old & kId]);
    }
    return now;
  }

  // Whether runs (at most kPackedRuns) take the packed form: every value but
  // one (the outer one) within kOuterOff - 1 above the least of them. Sets
  // *base and *outer when asked.
  static bool packs(const WideRuns& runs, std::uint32_t* base = nullptr, std::uint32_t* outer = nullptr) noexcept {
    if (runs.n > kPackedRuns) return false;
    std::uint32_t lo = runs.value[0], hi = lo;
    for (int r = 1; r < runs.n; ++r) {
      lo = std::min(lo, runs.value[r]);
      hi = std::max(hi, runs.value[r]);
    }
    // Else the least or the greatest value is the outer one.
    std::uint32_t lo2 = hi, hi2 = lo;
    for (int r = 0; r < runs.n; ++r) {
      const std::uint32_t x = runs.value[r];
      if (x != lo) lo2 = std::min(lo2, x);
      if (x != hi) hi2 = std::max(hi2, x);
    }
    std::uint32_t b = lo, o = kNone;
    if (hi - lo < kOuterOff) {
      // All fit; an outer value equal to one of them decodes to it.
    } else if (hi - lo2 < kOuterOff) {
      b = lo2;
      o = lo;
    } else if (hi2 - lo < kOuterOff) {
      o = hi;
    } else {
      return false;
    }
    if (base != nullptr) *base = b;
    if (outer != nullptr) *outer = o;
    return true;
  }

  // The verified form of runs whose entries are up to kSetMax consecutive
  // ids of which none contains an earlier one; else kNone. The positions
  // that none of them contains share one value (the slot's longest match of
  // at most 16 bits, or kNone), which goes to rest_[first id] unless it is
  // the first entry itself: then the first id names no other slot's set.
  // rest_ is made at the first value other than kNone.
  std::uint32_t entry_set(const WideRuns& runs) {
    // Every id of the set is the value of some position, so that any change
    // to one of its entries passes this slot.
    std::uint32_t lo = kNone, hi = 0, rest = kNone;
    for (int r = 0; r < runs.n; ++r) {
      const std::uint32_t x = runs.value[r];
      if (x == kNone) continue;
      if (len_of(x) <= 32 - top_shift_) {
        rest = x;
        continue;
      }
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
    if (lo == kNone) return kNone;
    if (rest != kNone && rest + 1 == lo) {
      lo = rest;
      rest = kNone;
    }
    if (hi > kSetId || hi - lo >= kSetMax) return kNone;
    for (std::uint32_t e = lo + 1; e < hi; ++e)
      if (std::none_of(runs.value, runs.value + runs.n, [e](std::uint32_t x) { return x == e; })) return kNone;
    for (std::uint32_t a = lo; a < hi; ++a)
      for (std::uint32_t b = a + 1; b <= hi; ++b)
        if (items_[b].first.contains(items_[a].first)) return kNone;
    if (len_of(lo) > 32 - top_shift_ && (rest != kNone || !rest_.empty())) {
      if (rest_.empty()) rest_.assign(items_.size(), kNone);
      rest_[lo] = rest;
    }
    return kVerify | (hi - lo) << kSetShift | lo;
  }

  // The runs of the flat slot v of the 16-bit table at address `slot`.
  WideRuns flat_runs(std::uint32_t v, std::uint32_t slot) const noexcept {
    WideRuns runs;
    if (is_verify(v)) {
      // Each entry's positions in the slot, later ones over earlier ones.
      const std::uint32_t first = v & kSetId, last = first + ((v >> kSetShift) & 3);
      std::uint32_t cut[2 * kSetMax + 1];
      int n = 0;
      cut[n++] = 0;
      for (std::uint32_t e = first; e <= last; ++e) {
        const Ipv4Net& net = items_[e].first;
        if (net.prefix_len() <= 16) continue;
        if ((net.network().to_u32() & 0xffff'0000U) != slot) continue;
        const std::uint32_t lo = net.network().to_u32() & 0xffff;
        cut[n++] = lo;
        cut[n++] = lo + (std::uint32_t{1} << (32 - net.prefix_len()));
      }
      for (int i = 1; i < n; ++i)  // insertion sort of at most nine
        for (int j = i; j > 0 && cut[j] < cut[j - 1]; --j) std::swap(cut[j], cut[j - 1]);
      for (int i = 0; i < n; ++i) {
        if (cut[i] >= 0x10000 || (i > 0 && cut[i] == cut[i - 1])) continue;
        const Ipv4Addr a(slot | cut[i]);
        // A first entry of at most 16 bits holds every position.
        std::uint32_t val = rest_.empty() ? kNone : rest_[first];
        for (std::uint32_t e = first; e <= last; ++e)
          if (items_[e].first.contains(a)) val = e;
        runs.push(cut[i], val);
      }
      return runs;
    }
    const Chunk& c = chunks_[v & kId];
    if (is_packed(v)) {
      const auto value = [&c](int r) { return c.poff[r] == kOuterOff ? c.pouter : c.pbase + c.poff[r]; };
      runs.push(0, value(0));
      for (int r = 1; r < kPackedRuns; ++r) runs.push(c.pstart[r - 1], value(r));  // unused runs merge
      return runs;
    }
    runs.push(0, c.wvalue[0]);
    for (int r = 1; r < kWideRuns; ++r) runs.push(c.wstart[r - 1], c.wvalue[r]);  // unused runs merge
    return runs;
  }

  // Replaces each value x at positions [lo, hi) of the flat slot v by op(x);
  // returns the new slot value.
  template <class Op>
  std::uint32_t update_flat(std::uint32_t v, std::uint32_t slot, std::uint32_t lo, std::uint32_t hi, const Op& op) {
    const WideRuns in = flat_runs(v, slot);
    WideRuns out;
    constexpr int kMax = kPackedRuns + 2;
    for (int r = 0; r < in.n; ++r) {
      const std::uint32_t from = in.start[r];
      const std::uint32_t to = r + 1 < in.n ? in.start[r + 1] : 0x10000U;
      const std::uint32_t val = in.value[r];
      if (to <= lo || from >= hi) {
        out.push(from, val, kMax);
        continue;
      }
      if (from < lo) out.push(from, val, kMax);
      out.push(std::max(from, lo), op(val), kMax);
      if (to > hi) out.push(hi, val, kMax);
    }
    return put_runs(v, out);
  }

  // The positions of `runs` (over 16 bits) in chunks of 8 bits.
  std::uint32_t expand(const WideRuns& runs) {
    std::uint16_t run_start[257];
    std::uint32_t run_value[257];
    int n = 0;
    int r = 0;  // the run holding position lo
    for (std::uint32_t p = 0; p < 256; ++p) {
      const std::uint32_t lo = p << 8, hi = lo + 256;
      while (r + 1 < runs.n && runs.start[r + 1] <= lo) ++r;
      std::uint32_t val = runs.value[r];
      if (r + 1 < runs.n && runs.start[r + 1] < hi) {
        std::uint16_t sub_start[kPackedRuns + 2];
        std::uint32_t sub_value[kPackedRuns + 2];
        int k = 0;
        for (int q = r; q < runs.n && runs.start[q] < hi; ++q) {
          sub_start[k] = static_cast<std::uint16_t>(q == r ? 0 : runs.start[q] - lo);
          sub_value[k] = runs.value[q];
          ++k;
        }
        val = make_node(sub_start, sub_value, k);
      }
      if (n == 0 || run_value[n - 1] != val) {
        run_start[n] = static_cast<std::uint16_t>(p);
        run_value[n] = val;
        ++n;
      }
    }
    return make_node(run_start, run_value, n);
  }

  // Applies op to every resolved value under net/len (net has no host bits).
  template <class Op>
  void update(std::uint32_t net, unsigned len, const Op& op) {
    const unsigned top_bits = 32 - top_shift_;
    const std::size_t i = net >> top_shift_;
    if (len <= top_bits) {
      const std::size_t n = std::size_t{1} << (top_bits - len);
      for (std::size_t j = i; j < i + n; ++j) {
        const std::uint32_t x = to_wide(update_all(top_[j], op, static_cast<std::uint32_t>(j << top_shift_)));
        top_[j] = x;
      }
    } else {
      if (is_flat(top_[i])) {
        const std::uint32_t lo = net & 0xffff;
        const std::uint32_t x = update_flat(top_[i], net & 0xffff'0000U, lo, lo + (1U << (32 - len)), op);
        top_[i] = x;
        return;
      }
      const std::uint32_t x = to_wide(update_in(top_[i], net, len, top_bits, op));
      top_[i] = x;
    }
  }

  // v resolves the block of the first `depth` bits of net; len > depth.
  template <class Op>
  std::uint32_t update_in(std::uint32_t v, std::uint32_t net, unsigned len, unsigned depth,
                          const Op& op) {
    if (!(v & kChild) && op(v) == v) return v;
    depth += 8;
    const std::uint32_t b = (net >> (32 - depth)) & 0xff;
    if (len > depth) {
      const std::uint32_t old = slot_at(v, b);
      const std::uint32_t now = update_in(old, net, len, depth, op);
      if (now == old) return v;
      return update_range(v, b, 1, [now](std::uint32_t) { return now; });
    }
    return update_range(v, b, 1U << (depth - len),
                        [&](std::uint32_t x) { return update_all(x, op); });
  }

  template <class Op>
  // `slot`: the address of a top slot v, for a flat one.
  std::uint32_t update_all(std::uint32_t v, const Op& op, std::uint32_t slot = 0) {
    if (!(v & kChild)) return op(v);
    if (is_flat(v)) {
      const WideRuns in = flat_runs(v, slot);
      WideRuns out;
      for (int r = 0; r < in.n; ++r) out.push(in.start[r], op(in.value[r]));
      return put_runs(v, out);
    }
    return update_range(v, 0, 256, [&](std::uint32_t x) { return update_all(x, op); });
  }

  std::uint32_t slot_at(std::uint32_t v, std::uint32_t b) const noexcept {
    return (v & kChild) ? chunk_get(chunks_[v & ~kChild], blocks_.data(), b) : v;
  }

  // Run list under construction; equal neighbours merge.
  struct Runs {
    std::uint32_t start[kRuns + 3];
    std::uint32_t value[kRuns + 3];
    int n = 0;
    void push(std::uint32_t from, std::uint32_t val) {
      if (n == 0 || value[n - 1] != val) {
        start[n] = from;
        value[n] = val;
        ++n;
      }
    }
  };

  // Replaces each value x at positions [b, b + n) of v (a chunk reference or
  // a plain value) by f(x); returns the new reference or plain value. A chunk
  // reference occupies one position, so a run list grows by at most two.
  template <class F>
  std::uint32_t update_range(std::uint32_t v, std::uint32_t b, std::uint32_t n, const F& f) {
    const std::uint32_t end = b + n;
    Runs in;
    if (!(v & kChild)) {
      in.push(0, v);
    } else {
      const Chunk& c = chunks_[v & ~kChild];
      if (c.start[0] != 0) {
        const std::uint32_t off = c.value[0];
        for (std::uint32_t j = b; j < end; ++j) {
          const std::uint32_t x = f(blocks_[off + j]);
          blocks_[off + j] = x;
        }
        return compact_block(v);
      }
      for (int r = 0; r < kRuns; ++r) {
        const std::uint32_t to = r + 1 < kRuns ? c.start[r + 1] : 256U;
        if (c.start[r] < to) in.push(c.start[r], c.value[r]);
      }
    }
    Runs out;
    for (int r = 0; r < in.n; ++r) {
      const std::uint32_t from = in.start[r];
      const std::uint32_t to = r + 1 < in.n ? in.start[r + 1] : 256U;
      const std::uint32_t val = in.value[r];
      if (to <= b || from >= end) {
        out.push(from, val);
        continue;
      }
      if (from < b) out.push(from, val);
      out.push(std::max(from, b), f(val));
      if (to > end) out.push(end, val);
    }
    if (out.n <= kRuns) return store_runs(v, out);
    // Too many runs: switch to a 256-slot block.
    std::uint32_t id = v & ~kChild;
    if (!(v & kChild)) id = alloc_chunk();
    const std::uint32_t off = alloc_block();
    for (int r = 0; r < out.n; ++r) {
      const std::uint32_t to = r + 1 < out.n ? out.start[r + 1] : 256U;
      std::fill(blocks_.begin() + off + out.start[r], blocks_.begin() + off + to, out.value[r]);
    }
    chunks_[id].start[0] = 1;
    chunks_[id].value[0] = off;
    return kChild | id;
  }

  // Moves a block chunk back to runs once it has few enough.
  std::uint32_t compact_block(std::uint32_t v) {
    const std::uint32_t off = chunks_[v & ~kChild].value[0];
    Runs runs;
    for (std::uint32_t i = 0; i < 256 && runs.n <= kRuns; ++i) runs.push(i, blocks_[off + i]);
    return runs.n <= kRuns ? store_runs(v, runs) : v;
  }

  // Stores runs (at most kRuns) in the chunk v refers to, allocated if v is a
  // plain value; a single run frees the chunk and returns its value.
  std::uint32_t store_runs(std::uint32_t v, const Runs& runs) {
    const bool had = v & kChild;
    std::uint32_t id = v & ~kChild;
    if (runs.n <= 1) {
      if (had) free_chunk(id);
      return runs.value[0];
    }
    if (!had) id = alloc_chunk();
    Chunk& c = chunks_[id];
    if (c.start[0] != 0) free_blocks_.push_back(c.value[0]);
    for (int r = 0; r < kRuns; ++r) {
      c.start[r] = r < runs.n ? static_cast<std::uint8_t>(runs.start[r]) : std::uint8_t{0xff};
      c.value[r] = runs.value[r < runs.n ? r : runs.n - 1];
    }
    return kChild | id;
  }

  std::uint32_t alloc_chunk() {
    if (!free_chunks_.empty()) {
      const std::uint32_t id = free_chunks_.back();
      free_chunks_.pop_back();
      return id;
    }
    if (chunks_.size() > kId) throw std::length_error("PrefixMap is full");
    Chunk c{};
    reset_chunk(c);
    chunks_.push_back(c);
    return static_cast<std::uint32_t>(chunks_.size() - 1);
  }

  void free_chunk(std::uint32_t id) {
    Chunk& c = chunks_[id];
    if (c.start[0] != 0) free_blocks_.push_back(c.value[0]);
    c.start[0] = 0;
    free_chunks_.push_back(id);
  }

  // A free chunk holds runs (start[0] == 0), as alloc_chunk hands them out.
  static void reset_chunk(Chunk& c) noexcept {
    std::fill(std::begin(c.start), std::end(c.start), std::uint8_t{0xff});
    c.start[0] = 0;
  }

  std::uint32_t alloc_block() {
    if (!free_blocks_.empty()) {
      const std::uint32_t off = free_blocks_.back();
      free_blocks_.pop_back();
      return off;
    }
    blocks_.resize(blocks_.size() + 256);
    return static_cast<std::uint32_t>(blocks_.size() - 256);
  }

  // What a lookup reads, in one cache line; sync() derives it from the
  // containers after every change. shift != 0: trie with that top shift;
  // otherwise count groups of the list, inline if there is only one.
  struct alignas(64) Hot {
    const value_type* slots;
    std::uint32_t count;
    std::uint32_t shift;
    struct Trie {
      const std::uint32_t* top;
      const Chunk* chunks;
      const std::uint32_t* blocks;
      const std::uint32_t* rest;
    };
    union {
      Trie trie;
      SmallGroup group;
      const SmallGroup* groups;
    } u;
  };
  static_assert(sizeof(Hot) == 64);

  void sync() noexcept {
    hot_.slots = items_.data();
    if (!top_.empty()) {
      hot_.count = 0;
      hot_.shift = top_shift_;
      const std::uint32_t* rest = rest_.empty() ? nullptr : rest_.data();
      hot_.u.trie = typename Hot::Trie{top_.data(), chunks_.data(), blocks_.data(), rest};
      return;
    }
    hot_.count = static_cast<std::uint32_t>(small_.size());
    hot_.shift = 0;
    if (small_.size() == 1) {
      hot_.u.group = small_[0];
    } else {
      hot_.u.groups = small_.data();
    }
  }

  Hot hot_;
  TableVector<std::uint32_t> top_;  // empty while small_ is the index
  GrowArray<Chunk> chunks_;
  GrowArray<std::uint32_t> blocks_;
  std::vector<SmallGroup> small_;
  TableVector<value_type> items_;  // dense; ids are positions
  unsigned top_shift_ = 16;
  bool sorted_ = true;  // items_ in key order

  std::vector<std::uint32_t> free_chunks_;
  std::vector<std::uint32_t> free_blocks_;
  // Per entry id: the value of the positions that a verified set starting
  // at that id leaves (see entry_set). Empty until some set leaves an entry
  // (a table of no short covers has none); then at least as long as items_
  // while the trie is kept.
  TableVector<std::uint32_t> rest_;
  // (network << 6 | length) -> id, while the entries are out of key order
  boost::unordered_flat_map<std::uint64_t, std::uint32_t> where_;
};

}  // namespace detail

// Packed: the table pointer is kept packed, so that the map is aligned as
// its entries (one of 4-byte aligned entries then needs no padding to 8).
// Off by default: an outer entry of 64 bytes then keeps to one cache line.
template <class V, std::size_t InlineBytes = 48, bool Packed = false>
class PrefixMap {
  using Table = detail::PrefixTable<V>;

 public:
  using key_type = Ipv4Net;
  using mapped_type = V;
  using value_type = std::pair<Ipv4Net, V>;

  // What assign takes without a copy.
  using Entries = detail::TableVector<value_type>;

  // Entries kept in the object itself before a table is made.
  static constexpr std::size_t kInline = std::max<std::size_t>(1, InlineBytes / sizeof(value_type));

  class const_iterator;

  PrefixMap() noexcept {}
  PrefixMap(const PrefixMap& other) {
    if (other.table_) {
      set_table(new Table(*other.table()));
      table_ = true;
      return;
    }
    try {
      for (; n_ < other.n_; ++n_) ::new (static_cast<void*>(&u_.items[n_])) value_type(other.u_.items[n_]);
    } catch (...) {
      clear();
      throw;
    }
  }
  PrefixMap& operator=(const PrefixMap& other) {
    if (this != &other) {
      PrefixMap tmp(other);
      *this = std::move(tmp);
    }
    return *this;
  }
  // A moved-from map is empty.
  PrefixMap(PrefixMap&& other) noexcept { take(other); }
  PrefixMap& operator=(PrefixMap&& other) noexcept {
    if (this != &other) {
      clear();
      take(other);
    }
    return *this;
  }
  ~PrefixMap() { clear(); }

  void swap(PrefixMap& other) noexcept {
    PrefixMap tmp(std::move(other));
    other = std::move(*this);
    *this = std::move(tmp);
  }

  // Replaces the content by `entries`; of equal (normalised) prefixes the
  // last one stays. In linear time after a sort.
  void assign(Entries entries) {
    if (entries.size() <= kInline) {
      PrefixMap next;
      for (auto& [net, v] : entries) next.insert(net, std::move(v));
      *this = std::move(next);
      return;
    }
    assign_table([&](Table& t) { t.assign(std::move(entries)); });
  }
  template <class Range>
  void assign(const Range& entries) {
    using It = decltype(std::begin(entries));
    if constexpr (std::random_access_iterator<It> &&
                  std::is_same_v<std::remove_cvref_t<std::iter_reference_t<It>>, value_type>) {
      // Copied once, by the table's sort.
      const auto n = static_cast<std::size_t>(std::end(entries) - std::begin(entries));
      if (n > kInline) return assign_table([&](Table& t) { t.assign_copy(std::begin(entries), n); });
    }
    assign(Entries(std::begin(entries), std::end(entries)));
  }

  // Returns the previous value if the (normalised) prefix was present.
  std::optional<V> insert(const Ipv4Net& net, V value) {
    if (table_) return table()->insert(net, std::move(value));
    if (value_type* e = find_inline(net)) {
      std::optional<V> old(std::move(e->second));
      e->first = net;
      e->second = std::move(value);
      return old;
    }
    if (n_ < kInline) {
      ::new (static_cast<void*>(&u_.items[n_])) value_type(net, std::move(value));
      ++n_;
      if constexpr (kInline > 1) {
        // Keep the entries in key order.
        for (std::size_t i = n_ - 1; i > 0 && key_of(u_.items[i].first) < key_of(u_.items[i - 1].first); --i)
          std::swap(u_.items[i], u_.items[i - 1]);
      }
      return std::nullopt;
    }
    // Full: the entries move into a table; on failure the map is unchanged.
    auto table = std::make_unique<Table>();
    for (std::size_t i = 0; i < n_; ++i) table->insert(u_.items[i].first, u_.items[i].second);
    table->insert(net, std::move(value));
    destroy_items();
    set_table(table.release());
    table_ = true;
    return std::nullopt;
  }

  // Exact lookup on the normalised prefix.
  const V* get(const Ipv4Net& net) const noexcept {
    if (table_) return table()->get(net);
    const value_type* e = const_cast<PrefixMap*>(this)->find_inline(net);
    return e ? &e->second : nullptr;
  }
  V* get_mut(const Ipv4Net& net) noexcept {
    if (table_) return table()->get_mut(net);
    value_type* e = find_inline(net);
    return e ? &e->second : nullptr;
  }

  std::optional<V> remove(const Ipv4Net& net) {
    if (table_) return table()->remove(net);
    value_type* e = find_inline(net);
    if (!e) return std::nullopt;
    std::optional<V> old(std::move(e->second));
    if constexpr (kInline > 1) {
      for (auto i = static_cast<std::size_t>(e - u_.items); i + 1 < n_; ++i) u_.items[i] = std::move(u_.items[i + 1]);
    }
    u_.items[n_ - 1].~value_type();
    --n_;
    return old;
  }

  // The entry with the longest prefix containing addr, or nullptr.
  const value_type* longest_match(Ipv4Addr addr) const noexcept {
    if (table_) return table()->longest_match(addr);
    if (n_ == 0) return nullptr;
    // In key order a prefix comes before those inside it, so the last entry
    // that holds addr is the longest match. Every slot is checked, those
    // past the last entry as that entry again: no branch on the count.
    const value_type* best = nullptr;
    const std::size_t last = n_ - 1U;
    for (std::size_t i = 0; i < kInline; ++i) {
      const value_type* e = &u_.items[std::min(i, last)];
      best = e->first.contains(addr) ? e : best;
    }
    return best;
  }

  std::size_t size() const noexcept { return table_ ? table()->size() : n_; }
  bool empty() const noexcept { return size() == 0; }
  // Returns spare capacity (after a build, say) and puts a table's entries
  // in key order; lookups are unchanged.
  void shrink_to_fit() {
    if (table_) table()->shrink_to_fit();
  }
  void clear() noexcept {
    if (table_) {
      delete table();
      table_ = false;
    } else {
      destroy_items();
    }
  }

  const_iterator begin() const {
    return table_ ? const_iterator(table()->begin()) : const_iterator(u_.items);
  }
  const_iterator end() const noexcept {
    return table_ ? const_iterator(table()->end()) : const_iterator(u_.items + n_);
  }

  // Calls f(const Ipv4Net&, const V&) in iteration order.
  template <class F>
  void for_each(F&& f) const {
    if (table_) return table()->for_each(std::forward<F>(f));
    for (std::size_t i = 0; i < n_; ++i) f(u_.items[i].first, u_.items[i].second);
  }

  class const_iterator {
   public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = PrefixMap::value_type;
    using difference_type = std::ptrdiff_t;
    using pointer = const value_type*;
    using reference = const value_type&;

    const_iterator() = default;
    reference operator*() const { return in_table_ ? *it_ : *p_; }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      if (in_table_) {
        ++it_;
      } else {
        ++p_;
      }
      return *this;
    }
    const_iterator operator++(int) {
      auto old = *this;
      ++*this;
      return old;
    }
    const_iterator& operator--() {
      if (in_table_) {
        --it_;
      } else {
        --p_;
      }
      return *this;
    }
    const_iterator operator--(int) {
      auto old = *this;
      --*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.in_table_ == b.in_table_ && (a.in_table_ ? a.it_ == b.it_ : a.p_ == b.p_);
    }

   private:
    friend class PrefixMap;
    explicit const_iterator(const value_type* p) : p_(p) {}
    explicit const_iterator(typename Table::const_iterator it) : it_(it), in_table_(true) {}
    const value_type* p_ = nullptr;
    typename Table::const_iterator it_{};
    bool in_table_ = false;
  };

 private:
  static std::uint64_t key_of(const Ipv4Net& net) noexcept {
    return (std::uint64_t{net.network().to_u32()} << 6) | net.prefix_len();
  }

  value_type* find_inline(const Ipv4Net& net) noexcept {
    const std::uint64_t key = key_of(net);
    for (std::size_t i = 0; i < n_; ++i)
      if (key_of(u_.items[i].first) == key) return &u_.items[i];
    return nullptr;
  }

  void destroy_items() noexcept {
    for (std::size_t i = 0; i < n_; ++i) u_.items[i].~value_type();
    n_ = 0;
  }

  // Moves other's content into this empty map; other is left empty.
  void take(PrefixMap& other) noexcept {
    if (other.table_) {
      set_table(other.table());
      table_ = true;
      other.table_ = false;
      return;
    }
    static_assert(std::is_nothrow_move_constructible_v<value_type>);
    for (; n_ < other.n_; ++n_) ::new (static_cast<void*>(&u_.items[n_])) value_type(std::move(other.u_.items[n_]));
    other.destroy_items();
  }

  struct __attribute__((packed, aligned(4))) PackedPtr {
    Table* p;
  };
  struct PlainPtr {
    Table* p;
  };
  using TablePtr = std::conditional_t<Packed, PackedPtr, PlainPtr>;
  Table* table() const noexcept { return u_.table.p; }
  void set_table(Table* t) noexcept { u_.table.p = t; }
  // Replaces the content by a table that fill(table) builds; on failure the
  // map is unchanged.
  template <class Fill>
  void assign_table(const Fill& fill) {
    auto table = std::make_unique<Table>();
    fill(*table);
    clear();
    set_table(table.release());
    table_ = true;
  }

  union Store {
    Store() noexcept {}
    ~Store() {}
    value_type items[kInline];
    TablePtr table;
  } u_;
  std::uint8_t n_ = 0;  // entries in items, while there is no table
  bool table_ = false;
};

}  // namespace sarvolt::util
