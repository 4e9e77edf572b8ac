// Fuzzes the token request text alone: any text gets either no reply, or a reply that is valid
// JSON with one entry per request entry, in order, each granting from 0 to its need, and never
// longer than the request, but for the detail's digits when the request asks for it. The server
// reads requests in one pass over rapidjson's events; a document parsed from the same text tells
// which texts are JSON and what their entries are.
//
// Input: the request text without its CR LF, read as the server reads it. Grants come from the
// server's own grant_tokens on a fresh client map per input that knows one key, "known", so that
// entries may lean on a stored rate and burst size.
#include <rapidjson/document.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/token_connection.h"
#include "protocol/token_request.h"
#include "server/TokenServer.h"

namespace token_server {
namespace {

constexpr char kKnownKey[] = "known";
// The request text leaves room for its CR LF in req_buf.
constexpr size_t kMaxRequestText = kConnectionBufferSize - 2;
constexpr size_t kReplyEndLength = 2;

using rapidjson::Value;

struct Grant {
  std::string accesskey;
  double need;
  double granted;
};

const Value& entries_of(const Value& request) { return request.FindMember("array")->value; }

// The reply names each request entry's key and the grant made for it, in request order, with
// the detail when asked: a wait exactly when the need was not met.
void check_reply_entries(const Value& request, const std::vector<Grant>& grants, bool detail,
                         const char* reply_json) {
  rapidjson::Document reply;
  reply.Parse<0>(reply_json);
  FUZZ_CHECK(!reply.HasParseError());
  FUZZ_CHECK(reply.IsObject() && reply.MemberCount() == 1);
  const Value& reply_entries = entries_of(reply);
  const Value& request_entries = entries_of(request);
  FUZZ_CHECK(reply_entries.IsArray());
  FUZZ_CHECK(reply_entries.Size() == request_entries.Size());
  FUZZ_CHECK(grants.size() == request_entries.Size());
  for (rapidjson::SizeType i = 0; i < reply_entries.Size(); ++i) {
    const Value& entry = reply_entries[i];
    FUZZ_CHECK(entry.IsObject() && entry.MemberCount() == (detail ? 4u : 2u));
    auto accesskey = entry.FindMember("accesskey");
    auto tokens = entry.FindMember("tokens");
    FUZZ_CHECK(accesskey != entry.MemberEnd() && accesskey->value.IsString());
    FUZZ_CHECK(tokens != entry.MemberEnd() && tokens->value.IsUint());
    FUZZ_CHECK(std::string(accesskey->value.GetString(), accesskey->value.GetStringLength()) ==
               grants[i].accesskey);
    FUZZ_CHECK(
        std::strcmp(request_entries[i]["accesskey"].GetString(), grants[i].accesskey.c_str()) == 0);
    FUZZ_CHECK(tokens->value.GetUint() == grants[i].granted);
    if (!detail) continue;
    auto remaining = entry.FindMember("remaining");
    auto retry = entry.FindMember("retry_after_ms");
    FUZZ_CHECK(remaining != entry.MemberEnd() && remaining->value.IsUint64());
    FUZZ_CHECK(retry != entry.MemberEnd() && retry->value.IsUint64());
    FUZZ_CHECK((retry->value.GetUint64() == 0) == (grants[i].granted == grants[i].need));
  }
}

void answer_request_text(const uint8_t* data, size_t size) {
  if (size > kMaxRequestText) return;
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated, as parsed
  rapidjson::Document request;
  request.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  std::string read_in_place = text;  // the server's read unescapes it; `text` stays as sent
  static ParsedTokenRequest parsed;  // too large for the fuzzer's frame under the sanitizers
  parsed = ParsedTokenRequest();
  bool is_json = parse_token_request(read_in_place.data(), &parsed);
  FUZZ_CHECK(is_json == !request.HasParseError());
  if (!is_json) return;

  TokenServer server(0, 0);  // no workers, never listens: only its client map is used
  server.grant_tokens(kKnownKey, 0, 1, 1);
  BasicTokenBucket* buckets[kMaxTokenEntries];
  server.find_buckets(parsed, buckets);
  std::string problem = check_token_request(parsed, buckets);
  if (!problem.empty()) return;  // nothing is granted, and no reply but an error

  auto start =
      parsed.fallback ? TokenServer::NewClientStart::kEmpty : TokenServer::NewClientStart::kFull;
  std::vector<Grant> grants;
  static EntryGrant entry_grants[kMaxTokenEntries];
  for (int i = 0; i < parsed.entry_count; ++i) {
    const TokenEntry& entry = parsed.entries[i];
    double granted = server.grant_entry(entry, buckets[i],
                                        parsed.detail ? &entry_grants[i].detail : nullptr, start);
    FUZZ_CHECK(granted >= 0 && granted <= entry.need_tokens && std::floor(granted) == granted);
    grants.push_back({entry.accesskey, static_cast<double>(entry.need_tokens), granted});
    entry_grants[i].tokens = granted;
  }
  static char reply[kReplyBufferSize];
  int reply_length = write_token_reply(parsed, entry_grants, reply);
  size_t request_length = std::strlen(text.c_str()) + kReplyEndLength;
  size_t detail_growth = parsed.detail ? grants.size() * kMostDetailGrowth : 0;
  FUZZ_CHECK(static_cast<size_t>(reply_length) <= request_length + detail_growth);
  FUZZ_CHECK(std::strlen(reply) == static_cast<size_t>(reply_length));
  FUZZ_CHECK(std::strcmp(reply + reply_length - kReplyEndLength, "\r\n") == 0);
  reply[reply_length - kReplyEndLength] = '\0';
  check_reply_entries(request, grants, parsed.detail, reply);
}

}  // namespace
}  // namespace token_server

TOKEN_FUZZ_TARGET(token_server::answer_request_text)
