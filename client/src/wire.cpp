#include "wire.h"

#include <chrono>
#include <optional>
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
constexpr char kRemainingMember[] = "remaining";
constexpr char kRetryAfterMember[] = "retry_after_ms";
constexpr char kDetailMember[] = "detail";
constexpr char kErrorMember[] = "error";
constexpr size_t kLineEndLength = sizeof kLineEnd - 1;

Status bad_reply(size_t entry_index, const std::string& problem) {
  return Status(StatusCode::kBadReply,
                "bad reply: entry " + std::to_string(entry_index + 1) + ": " + problem);
}

Status bad_reply(const std::string& problem) {
  return Status(StatusCode::kBadReply, "bad reply: " + problem);
}

// A detail member's value, when it is a whole number no larger than `most`.
std::optional<uint64_t> detail_value(const JsonValue& entry, const char* name, uint64_t most) {
  const JsonValue* member = entry.member(name);
  uint64_t value = 0;
  if (member == nullptr || !member->is_uint64(&value) || value > most) return std::nullopt;
  return value;
}

std::optional<std::chrono::milliseconds> retry_after_of(const JsonValue& entry) {
  using Millis = std::chrono::milliseconds;
  std::optional<uint64_t> millis =
      detail_value(entry, kRetryAfterMember, static_cast<uint64_t>(Millis::max().count()));
  if (!millis) return std::nullopt;
  return Millis(static_cast<Millis::rep>(*millis));
}

Status check_reply_entry(const JsonValue& entry, size_t index, const TokenRequest& request,
                         TokenGrant* grant) {
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
  grant->tokens = tokens_granted;
  grant->remaining = detail_value(entry, kRemainingMember, UINT64_MAX);
  grant->retry_after = retry_after_of(entry);
  grant->cached = false;
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

Status write_request_line(EntryList entries, bool detail, std::string* line) {
  std::string text = "{";
  if (detail) {
    append_json_string(kDetailMember, &text);
    text += ":true,";
  }
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

Status parse_reply_line(const std::string& reply_line, EntryList entries, TokenGrant* grants) {
  size_t count = entries.size();
  if (reply_line.size() < kLineEndLength) return bad_reply("empty");
  if (reply_line.size() > kMaxReplyBytes) return bad_reply("longer than the longest reply");
  JsonValue reply;
  if (!parse_json(std::string_view(reply_line).substr(0, reply_line.size() - kLineEndLength),
                  &reply)) {
    return bad_reply("not JSON");
  }
  if (reply.kind != JsonValue::Kind::kObject) return bad_reply("not a JSON object");
  // A server asked for detail answers a refused request with its reason.
  const JsonValue* error = reply.member(kErrorMember);
  if (error != nullptr && error->kind == JsonValue::Kind::kString) {
    return Status(StatusCode::kRefused, error->text);
  }
  const JsonValue* answers = reply.member(kArrayMember);
  if (answers == nullptr || answers->kind != JsonValue::Kind::kArray) {
    return bad_reply("no \"array\"");
  }
  if (answers->elements.size() != count) {
    return bad_reply(std::to_string(answers->elements.size()) + " entries for " +
                     std::to_string(count));
  }
  for (size_t i = 0; i < count; ++i) {
    Status checked = check_reply_entry(answers->elements[i], i, entries[i], &grants[i]);
    if (!checked.ok()) return checked;
  }
  return Status();
}

}  // namespace token_client
