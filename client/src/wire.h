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

// Writes the token request for entries[0, count) as one compact JSON line with its CR LF into
// `line`; kInvalidArgument when an entry fails check_token_request or the line would be longer
// than kMaxRequestBytes.
Status write_request_line(const TokenRequest* entries, size_t count, std::string* line);

// Reads `reply_line` (its CR LF included) as the answer to entries[0, count): one reply entry per
// request entry, in order, each with the entry's access key and a grant no larger than its need.
// Sets granted[0, count) when ok; kBadReply otherwise.
Status parse_reply_line(const std::string& reply_line, const TokenRequest* entries, size_t count,
                        uint32_t* granted);

}  // namespace token_client
