// What the load generator sends and how it checks what comes back, apart from sockets so that
// each piece can be tested on its own.
//
// A token request is built once as text with fixed-width access keys ("k0000042"); each new
// request only overwrites the key digits in place, so the generator formats nothing per request.
// A reply is checked byte by byte against the request it answers: the same keys in the same
// order, each with a plain decimal grant from 0 to the need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Access keys are "k" and this many decimal digits, so a key space holds at most 10^7 keys.
constexpr int kKeyDigits = 7;
constexpr long kMaxKeySpace = 10'000'000;

// The numbers every entry of a token request carries.
struct EntryNumbers {
  int need = 1;
  int rate = 1'000'000;
  int burst = 1'000'000;
};

// One token request of a fixed number of entries whose keys can be changed in place.
class TokenRequestText {
 public:
  // With `detail`, the request asks for the remaining tokens and the wait in every reply entry.
  TokenRequestText(int entries, const EntryNumbers& numbers, bool detail = false);

  int entries() const { return static_cast<int>(key_offsets_.size()); }
  bool detail() const { return detail_; }
  // Sets the access key of `entry` to key number `key` (0 <= key < kMaxKeySpace).
  void set_key(int entry, long key);
  // The request with its CR LF.
  std::string_view text() const { return text_; }
  // The `entry`'s access key as it appears between the quotes.
  std::string_view key_text(int entry) const;

 private:
  std::string text_;
  std::vector<size_t> key_offsets_;  // where each entry's access key starts within text_
  bool detail_;
};

// Whether `reply` (up to and including its CR LF, nothing after it) answers `request`: the
// compact reply object listing the request's keys in order, each with 0 <= tokens <= need (and
// "remaining" and "retry_after_ms" when the request asks for detail).
bool is_valid_token_reply(std::string_view reply, const TokenRequestText& request, int need);

// Returns the length of the first CR LF-ended line in `bytes`, or 0 when there is none yet.
// `checked` bytes at the front are known to hold no CR LF (the last of them may be a CR).
size_t line_length(std::string_view bytes, size_t checked);

// A small, fast random source for picking keys (xorshift64*); not for anything else.
class KeyPicker {
 public:
  explicit KeyPicker(uint64_t seed) : state_(seed == 0 ? 1 : seed) {}
  long pick(long key_space) {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<long>((state_ * 0x2545F4914F6CDD1DULL) % static_cast<uint64_t>(key_space));
  }

 private:
  uint64_t state_;
};

// Latency figures of one run, in microseconds.
struct LatencySummary {
  double p50 = 0;
  double p90 = 0;
  double p99 = 0;
  double max = 0;
};

// Summarises latencies given in nanoseconds; reorders them. All zero when there are none.
LatencySummary summarize_latencies(std::vector<uint32_t>* nanoseconds);
