// Heap allocations of the calling thread at the C level: malloc, calloc,
// realloc and the aligned allocations, so operator new, Asio's recycling
// allocator and C libraries are all seen. Sanitizer builds count through the
// allocator's hook.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sarvolt::test {

std::size_t thread_heap_allocations() noexcept;
// Bytes this thread allocated minus those it freed (usable sizes).
std::int64_t thread_heap_bytes() noexcept;

}  // namespace sarvolt::test
