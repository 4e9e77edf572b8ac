// The size of a cache line, for data that threads write apart: aligned to it, two threads'
// counters never share a line, so writing one never makes the other core reload its own.
#pragma once

#include <cstddef>

namespace token_base {

constexpr std::size_t kCacheLineBytes = 64;

}  // namespace token_base
