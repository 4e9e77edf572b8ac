// The token request and reply apart from sockets and the client map, so that each can be
// exercised on its own: reading and checking a request, and writing the reply to its grants.
//
// A request is read in one pass over its text: each entry's members are found once, as they
// come, and the entries are kept with their numbers; nothing is granted until the whole text has
// been read and every entry checked. The grants are made between the check and the reply, by the
// server (consume_tokens), so that the reply's writer only formats.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "accounting/TokenBucket.h"
#include "protocol/token_connection.h"

namespace token_server {

// One entry of a token request.
struct TokenEntry {
  const char* accesskey;  // NUL-terminated, inside the text the request was read from
  int need_tokens;
  int gen_rate;
  int burst_size;
};

// The shortest entry that can be granted; no request text holds more of them than fit the
// request buffer.
constexpr std::string_view kShortestEntry =
    R"({"accesskey":"","need_tokens":0,"gen_rate":0,"burst_size":0},)";
constexpr int kMaxTokenEntries = kConnectionBufferSize / static_cast<int>(kShortestEntry.size());

// A detailed reply entry outgrows the request entry it answers by at most the digits that
// "remaining" (at most a burst size, 10 digits) and "retry_after_ms" (at most a burst's worth of
// time at 1 token/s, 13 digits) have beyond the one digit each of "burst_size" and "gen_rate":
// the fixed text of the two entries is equally long, and "tokens" has no more digits than
// "need_tokens".
constexpr int kMostDetailGrowth = 10 + 13 - 2;
static_assert(kConnectionBufferSize + kMaxTokenEntries * kMostDetailGrowth <= kReplyBufferSize,
              "a detailed reply fits the reply buffer");

// What makes a request text no valid token request, as found while reading it.
enum class RequestFault {
  kNone,
  kNotAnObject,       // the text is not a JSON object
  kNoArray,           // "array" is missing or not an array
  kEntryNotAnObject,  // an entry of "array" is not an object
  kKeyMissing,
  kKeyNotAString,
  kKeyHoldsNul,  // an escape puts a NUL byte in the key
  kKeyTooLong,
  kNumberMissing,   // need_tokens, gen_rate or burst_size
  kNumberNotAnInt,  // not a JSON integer in the 32-bit signed range
  kNeedNegative,
  kTooManyEntries,  // more entries than kMaxTokenEntries, which no request buffer holds
};

// A token request as read from its text: the entries before the first one that breaks a rule,
// and that rule.
struct ParsedTokenRequest {
  TokenEntry entries[kMaxTokenEntries];
  int entry_count = 0;
  bool detail = false;  // the request's "detail" is true: the reply tells what is left, and when
  // "fallback": true at the top: the client sent it here because the keys' own server is down,
  // so a key new here starts with an empty bucket.
  bool fallback = false;
  RequestFault fault = RequestFault::kNone;
  int fault_entry = 0;                 // index of the entry at fault, for entry faults
  const char* fault_member = nullptr;  // the member at fault, for number faults
};

// What one entry was granted, and, for a request that asked for detail, its bucket after the
// grant. Without initializers: a request's array of them costs nothing until its entries are
// granted.
struct EntryGrant {
  double tokens;  // whole
  DrawDetail detail;
};

// Reads the NUL-terminated request text in place: its strings are unescaped where they stand,
// and the entries point into it. Returns false when the text is not one JSON value (an empty or
// all-whitespace text, a syntax error, anything after the value); `request` is then unspecified.
bool parse_token_request(char* text, ParsedTokenRequest* request);

// Returns what makes `request` no valid token request ("entry 2: need_tokens is negative"), or
// an empty string when every entry may be granted. `buckets` holds, entry by entry, the bucket
// of its key, nullptr for a key without one: such a key must come with a positive rate and
// burst, unless an earlier entry names it.
std::string check_token_request(const ParsedTokenRequest& request,
                                BasicTokenBucket* const buckets[]);

// Writes the compact JSON reply to a granted request, `grants` entry by entry, with its CR LF and
// a NUL into `reply`, a connection's reply buffer, which it always fits. Each entry has
// "accesskey" and "tokens", and for a detailed request "remaining" and "retry_after_ms" after
// them. Returns the reply's length without the NUL.
int write_token_reply(const ParsedTokenRequest& request, const EntryGrant grants[],
                      char (&reply)[kReplyBufferSize]);

// Writes {"error":<problem>} with its CR LF and a NUL into `reply`: the answer to a refused request
// that asked for detail. Returns the reply's length without the NUL.
int write_error_reply(std::string_view problem, char (&reply)[kReplyBufferSize]);

}  // namespace token_server
