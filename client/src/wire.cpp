#include "wire.h"

#include <string>
#include <string_view>
#include <utility>

#include "json.h"

namespace token_client {

namespace {

constexpr char kArrayMember[] = "array";
constexpr char kAccessKeyMember[] = "accesskey";
constexpr char kNeedMember[] = "need_tokens";
constexpr char kRateMember[] = "gen_rate";
constexpr char kBurstMember[] = "burst_size";
constexpr char kTokensMember[] = "tokens";
constexpr size_t kLineEndLength = sizeof kLineEnd - 1;

Status bad_reply(size_t entry_index, const std::string& problem) {
  return Status(StatusCode::kBadReply,
                "bad reply: entry " + std::to_string(entry_index + 1) + ": " + problem);
}

Status bad_reply(const std::string& problem) {
  return Status(StatusCode::kBadReply, "bad reply: " + problem);
}

Status check_reply_entry(const JsonValue& entry, size_t index, const TokenRequest& request,
                         uint32_t* granted) {
  if (entry.kind != JsonValue::Kind::kObject) return bad_reply(index, "not an object");
  const JsonValue* accesskey = entry.member(kAccessKeyMember);
  if (accesskey == nullptr || accesskey->kind != JsonValue::Kind::kString) {
    return bad_reply(index, "no accesskey");
  }
  if (accesskey->text != request.accesskey) {
    return bad_reply(index, "accesskey does not match the request");
  }
  const JsonValue* tokens = entry.member(kTokensMember);
  uint32_t tokens_granted = 0;
  if (tokens == nullptr || !tokens->is_uint32(&tokens_granted))
    return bad_reply(index, "no tokens");
  if (tokens_granted > static_cast<uint32_t>(request.need_tokens)) {
    return bad_reply(index, "more tokens than asked for");
  }
  *granted = tokens_granted;
  return Status();
}

// Appends `,"name":value`.
void append_number_member(const char* name, int32_t value, std::string* text) {
  text->push_back(',');
  append_json_string(name, text);
  text->push_back(':');
  text->append(std::to_string(value));
}

}  // namespace

Status check_token_request(const TokenRequest& request) {
  // The server's own words for the same refusals, which it would make silently.
  if (request.accesskey.size() > static_cast<size_t>(kMaxAccessKeyLength)) {
    return Status(StatusCode::kInvalidArgument,
                  "accesskey longer than " + std::to_string(kMaxAccessKeyLength) + " bytes");
  }
  // The server reads a key only up to a NUL, so it would answer for another key.
  if (request.accesskey.find('\0') != std::string::npos) {
    return Status(StatusCode::kInvalidArgument, "accesskey holds a NUL byte");
  }
  if (request.need_tokens < 0)
    return Status(StatusCode::kInvalidArgument, "need_tokens is negative");
  return Status();
}

Status check_entries(EntryList entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    Status checked = check_token_request(entries[i]);
    if (!checked.ok()) {
      return Status(checked.code(), "entry " + std::to_string(i + 1) + ": " + checked.message());
    }
  }
  return Status();
}

Status write_request_line(EntryList entries, std::string* line) {
  std::string text = "{";
  append_json_string(kArrayMember, &text);
  text += ":[";
  Status checked = check_entries(entries);
  if (!checked.ok()) return checked;
  for (size_t i = 0; i < entries.size(); ++i) {
    const TokenRequest& entry = entries[i];
    text += i == 0 ? "{" : ",{";
    append_json_string(kAccessKeyMember, &text);
    text.push_back(':');
    append_json_string(entry.accesskey, &text);
    append_number_member(kNeedMember, entry.need_tokens, &text);
    append_number_member(kRateMember, entry.gen_rate, &text);
    append_number_member(kBurstMember, entry.burst_size, &text);
    text.push_back('}');
  }
  text += "]}";
  if (text.size() + kLineEndLength > static_cast<size_t>(kMaxRequestBytes)) {
    return Status(StatusCode::kInvalidArgument,
                  "request of " + std::to_string(entries.size()) + " entries is longer than " +
                      std::to_string(kMaxRequestBytes) + " bytes; split the batch");
  }
  *line = std::move(text);
  line->append(kLineEnd, kLineEndLength);
  return Status();
}

Status parse_reply_line(const std::string& reply_line, EntryList entries, uint32_t* granted) {
  size_t count = entries.size();
  if (reply_line.size() < kLineEndLength) return bad_reply("empty");
  // A reply is never longer than its request, and no request is longer than this.
  if (reply_line.size() > static_cast<size_t>(kMaxRequestBytes)) {
    return bad_reply("longer than the longest request");
  }
  JsonValue reply;
  if (!parse_json(std::string_view(reply_line).substr(0, reply_line.size() - kLineEndLength),
                  &reply)) {
    return bad_reply("not JSON");
  }
  if (reply.kind != JsonValue::Kind::kObject) return bad_reply("not a JSON object");
  const JsonValue* answers = reply.member(kArrayMember);
  if (answers == nullptr || answers->kind != JsonValue::Kind::kArray) {
    return bad_reply("no \"array\"");
  }
  if (answers->elements.size() != count) {
    return bad_reply(std::to_string(answers->elements.size()) + " entries for " +
                     std::to_string(count));
  }
  for (size_t i = 0; i < count; ++i) {
    Status checked = check_reply_entry(answers->elements[i], i, entries[i], &granted[i]);
    if (!checked.ok()) return checked;
  }
  return Status();
}

}  // namespace token_client
