// SipHash against libsodium's SipHash-2-4: the same code with the client index's fewer rounds is
// then SipHash-1-3.
#include "base/siphash.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>

namespace token_base {
namespace {

TEST(SipHashTest, TwoFourMatchesLibsodiumForEveryTailLength) {
  unsigned char key[kSipHashKeyBytes];
  unsigned char data[40];
  for (size_t i = 0; i < sizeof key; ++i) key[i] = static_cast<unsigned char>(i * 37 + 1);
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(255 - i * 11);
  for (size_t length = 0; length <= sizeof data; ++length) {
    unsigned char bytes[crypto_shorthash_BYTES];
    crypto_shorthash(bytes, data, length, key);
    uint64_t expected;
    std::memcpy(&expected, bytes, sizeof expected);  // little-endian, as on the hosts served
    EXPECT_EQ((siphash<2, 4>(key, data, length)), expected) << length;
  }
}

}  // namespace
}  // namespace token_base
