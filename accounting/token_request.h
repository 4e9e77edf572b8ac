// The two halves of answering a token request, apart from sockets and the client map, so that
// each can be exercised on its own: checking a parsed request, and granting it into a reply.
#pragma once

#include <rapidjson/document.h>

#include <functional>
#include <string>

// Whether an access key already has a bucket.
using KnownClientTest = std::function<bool(const char* accesskey)>;
// Grants an entry: (accesskey, need_tokens, gen_rate, burst_size) -> whole tokens granted.
using GrantFunction =
    std::function<double(const char* accesskey, double need, double rate, double burst)>;

// Parses the NUL-terminated request text into `request`. Returns false when the text is not one
// JSON value (an empty or all-whitespace text, a syntax error, anything after the value).
bool parse_token_request(const char* text, rapidjson::Document* request);

// Returns what makes `request` no valid token request ("entry 2: need_tokens is negative"), or
// an empty string when every entry may be granted. Grants nothing.
std::string check_token_request(const rapidjson::Value& request, const KnownClientTest& is_known);

// Grants the entries of a checked request in order and writes the compact JSON reply with its
// CR LF and a NUL into `reply`. Returns the reply's length without the NUL, or -1 when it would
// not fit `capacity` bytes, nor a connection's reply buffer (then nothing is written).
int write_token_reply(const rapidjson::Value& request, const GrantFunction& grant, char* reply,
                      int capacity);
