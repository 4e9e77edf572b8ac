// The client's side of the token request and reply, apart from sockets so that each half can be
// checked on its own: writing the request line, and reading a reply line against the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "token_client/TokenClient.h"

namespace token_client {

// The handshake line and its answer.
constexpr char kHandshakeLine[] = "SHAKE\r\n";
constexpr char kHandshakeAnswer[] = "OK\r\n";
constexpr char kLineEnd[] = "\r\n";
// Longest reply line, CR LF included. A plain reply is never longer than its request; one with
// detail may be, by a few digits an entry, and the server holds it in a buffer half as long again.
constexpr size_t kMaxReplyBytes = kMaxRequestBytes * 3 / 2;

// The entries of one token request, in order: entries[0, count), or, for one server's part of a
// sharded batch, batch[positions[0]], batch[positions[1]], ... so that no entry is copied.
class EntryList {
 public:
  EntryList() = default;
  EntryList(const TokenRequest* entries, size_t count) : entries_(entries), count_(count) {}
  EntryList(const TokenRequest* batch, const size_t* positions, size_t count)
      : entries_(batch), positions_(positions), count_(count) {}

  size_t size() const { return count_; }
  const TokenRequest& operator[](size_t i) const {
    return entries_[positions_ == nullptr ? i : positions_[i]];
  }

 private:
  const TokenRequest* entries_ = nullptr;
  const size_t* positions_ = nullptr;  // nullptr: the entries stand in a row
  size_t count_ = 0;
};

// Checks each entry as check_token_request does; the first refusal names its entry, as the
// server's would: "entry 2: need_tokens is negative".
Status check_entries(EntryList entries);

// Writes the token request for `entries` as one compact JSON line with its CR LF into `line`,
// asking for detail when `detail` is set; kInvalidArgument when an entry fails
// check_token_request or the line would be longer than kMaxRequestBytes.
Status write_request_line(EntryList entries, bool detail, std::string* line);

// Reads `reply_line` (its CR LF included) as the answer to `entries`: one reply entry per request
// entry, in order, each with the entry's access key and a grant no larger than its need, and the
// detail when it has it ("remaining" and "retry_after_ms", each taken when it is a whole number
// that fits 64 bits and left absent otherwise). Sets grants[0, entries.size()) when ok. An error
// reply is kRefused with the server's text as the message; anything else kBadReply.
Status parse_reply_line(const std::string& reply_line, EntryList entries, TokenGrant* grants);

}  // namespace token_client
