// SipHash, the keyed hash of short inputs, with its rounds as parameters: SipHash-2-4 is the
// standard form; SipHash-1-3 halves the rounds and still keeps whoever picks the input, without
// the key, from telling which hash values it takes, which is what a hash table needs against
// flooding. Defined here, inline, for the client index, whose keys are a few dozen bytes: a call
// into a library would cost more than the rounds saved.
//
// Thread safety: a pure function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace token_base {

// Bytes of a SipHash key.
constexpr size_t kSipHashKeyBytes = 16;

namespace siphash_internal {

inline uint64_t rotate_left(uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

// Eight bytes as a little-endian number, whatever the machine's byte order.
inline uint64_t load_word(const unsigned char* bytes) {
  uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

// The last 0 to 7 bytes, as the low bytes of a little-endian number.
inline uint64_t load_tail(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  switch (count) {
    case 7:
      value |= static_cast<uint64_t>(bytes[6]) << 48;
      [[fallthrough]];
    case 6:
      value |= static_cast<uint64_t>(bytes[5]) << 40;
      [[fallthrough]];
    case 5:
      value |= static_cast<uint64_t>(bytes[4]) << 32;
      [[fallthrough]];
    case 4:
      value |= static_cast<uint64_t>(bytes[3]) << 24;
      [[fallthrough]];
    case 3:
      value |= static_cast<uint64_t>(bytes[2]) << 16;
      [[fallthrough]];
    case 2:
      value |= static_cast<uint64_t>(bytes[1]) << 8;
      [[fallthrough]];
    case 1:
      value |= static_cast<uint64_t>(bytes[0]);
  }
  return value;
}

struct State {
  uint64_t v0, v1, v2, v3;

  void rounds(int count) {
    for (int i = 0; i < count; ++i) {
      v0 += v1;
      v1 = rotate_left(v1, 13);
      v1 ^= v0;
      v0 = rotate_left(v0, 32);
      v2 += v3;
      v3 = rotate_left(v3, 16);
      v3 ^= v2;
      v0 += v3;
      v3 = rotate_left(v3, 21);
      v3 ^= v0;
      v2 += v1;
      v1 = rotate_left(v1, 17);
      v1 ^= v2;
      v2 = rotate_left(v2, 32);
    }
  }

  void absorb(uint64_t word, int compression_rounds) {
    v3 ^= word;
    rounds(compression_rounds);
    v0 ^= word;
  }
};

}  // namespace siphash_internal

// SipHash-c-d of `length` bytes at `data` under `key`, as the 64-bit number whose little-endian
// bytes are the standard output.
template <int kCompressionRounds, int kFinalizationRounds>
uint64_t siphash(const unsigned char (&key)[kSipHashKeyBytes], const void* data, size_t length) {
  using siphash_internal::load_word;
  const uint64_t k0 = load_word(key);
  const uint64_t k1 = load_word(key + 8);
  siphash_internal::State state = {k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d,
                                   k0 ^ 0x6c7967656e657261, k1 ^ 0x7465646279746573};
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const size_t whole_words = length / 8;
  for (size_t i = 0; i < whole_words; ++i, in += 8) {
    state.absorb(load_word(in), kCompressionRounds);
  }
  // The last word: the bytes left over, and the length's low byte on top.
  state.absorb(siphash_internal::load_tail(in, length % 8) | (static_cast<uint64_t>(length) << 56),
               kCompressionRounds);
  state.v2 ^= 0xff;
  state.rounds(kFinalizationRounds);
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

}  // namespace token_base
