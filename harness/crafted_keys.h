// Access keys crafted against std::hash<std::string_view>, whose seed is fixed and public: the
// hash of each has its low `low_bits` bits zero, so a table that took a key's slot from those bits
// would start every one of them at slot 0 of any table up to 2^low_bits slots. Anyone can search
// for such keys offline; this search tries about 2^low_bits candidates per key.
#pragma once

#include <charconv>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace token_server {

inline std::vector<std::string> keys_crafted_against_std_hash(size_t count, int low_bits) {
  const size_t low_mask = (size_t{1} << low_bits) - 1;
  std::vector<std::string> keys;
  char key[32] = "crafted-";
  constexpr size_t kPrefix = 8;
  for (uint64_t candidate = 0; keys.size() < count; ++candidate) {
    char* end = std::to_chars(key + kPrefix, key + sizeof key, candidate).ptr;
    std::string_view text(key, static_cast<size_t>(end - key));
    if ((std::hash<std::string_view>{}(text)&low_mask) == 0) keys.emplace_back(text);
  }
  return keys;
}

}  // namespace token_server
