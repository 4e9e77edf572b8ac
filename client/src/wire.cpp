#include "wire.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>
#include <string>

namespace token_client {

namespace {

constexpr char kArrayMember[] = "array";
constexpr char kAccessKeyMember[] = "accesskey";
constexpr char kNeedMember[] = "need_tokens";
constexpr char kRateMember[] = "gen_rate";
constexpr char kBurstMember[] = "burst_size";
constexpr char kTokensMember[] = "tokens";
constexpr size_t kLineEndLength = sizeof kLineEnd - 1;

using rapidjson::Value;

Status bad_reply(size_t entry_index, const std::string& problem) {
  return Status(StatusCode::kBadReply,
                "bad reply: entry " + std::to_string(entry_index + 1) + ": " + problem);
}

Status bad_reply(const std::string& problem) {
  return Status(StatusCode::kBadReply, "bad reply: " + problem);
}

const Value* member(const Value& object, const char* name) {
  auto found = object.FindMember(name);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

Status check_reply_entry(const Value& entry, size_t index, const TokenRequest& request,
                         uint32_t* granted) {
  if (!entry.IsObject()) return bad_reply(index, "not an object");
  const Value* accesskey = member(entry, kAccessKeyMember);
  if (accesskey == nullptr || !accesskey->IsString()) return bad_reply(index, "no accesskey");
  if (std::string(accesskey->GetString(), accesskey->GetStringLength()) != request.accesskey) {
    return bad_reply(index, "accesskey does not match the request");
  }
  const Value* tokens = member(entry, kTokensMember);
  if (tokens == nullptr || !tokens->IsUint()) return bad_reply(index, "no tokens");
  if (tokens->GetUint() > static_cast<uint32_t>(request.need_tokens)) {
    return bad_reply(index, "more tokens than asked for");
  }
  *granted = tokens->GetUint();
  return Status();
}

}  // namespace

Status check_token_request(const TokenRequest& request) {
  if (request.accesskey.size() > static_cast<size_t>(kMaxAccessKeyLength)) {
    return Status(StatusCode::kInvalidArgument, "access key \"" + request.accesskey +
                                                    "\" is longer than " +
                                                    std::to_string(kMaxAccessKeyLength) + " bytes");
  }
  // The server reads a key only up to a NUL, so it would answer for another key.
  if (request.accesskey.find('\0') != std::string::npos) {
    return Status(StatusCode::kInvalidArgument, "access key holds a NUL byte");
  }
  if (request.need_tokens < 0) {
    return Status(StatusCode::kInvalidArgument,
                  "need_tokens of \"" + request.accesskey + "\" is negative");
  }
  return Status();
}

Status write_request_line(EntryList entries, std::string* line) {
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  writer.StartObject();
  writer.Key(kArrayMember);
  writer.StartArray();
  for (size_t i = 0; i < entries.size(); ++i) {
    const TokenRequest& entry = entries[i];
    Status checked = check_token_request(entry);
    if (!checked.ok()) return checked;
    writer.StartObject();
    writer.Key(kAccessKeyMember);
    writer.String(entry.accesskey.data(), static_cast<rapidjson::SizeType>(entry.accesskey.size()));
    writer.Key(kNeedMember);
    writer.Int(entry.need_tokens);
    writer.Key(kRateMember);
    writer.Int(entry.gen_rate);
    writer.Key(kBurstMember);
    writer.Int(entry.burst_size);
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  if (text.GetSize() + kLineEndLength > static_cast<size_t>(kMaxRequestBytes)) {
    return Status(StatusCode::kInvalidArgument,
                  "request of " + std::to_string(entries.size()) + " entries is longer than " +
                      std::to_string(kMaxRequestBytes) + " bytes; split the batch");
  }
  line->assign(text.GetString(), text.GetSize());
  line->append(kLineEnd, kLineEndLength);
  return Status();
}

Status parse_reply_line(const std::string& reply_line, EntryList entries, uint32_t* granted) {
  size_t count = entries.size();
  if (reply_line.size() < kLineEndLength) return bad_reply("empty");
  rapidjson::Document reply;
  reply.Parse(reply_line.data(), reply_line.size() - kLineEndLength);
  if (reply.HasParseError()) return bad_reply("not JSON");
  if (!reply.IsObject()) return bad_reply("not a JSON object");
  const Value* answers = member(reply, kArrayMember);
  if (answers == nullptr || !answers->IsArray()) return bad_reply("no \"array\"");
  if (answers->Size() != count) {
    return bad_reply(std::to_string(answers->Size()) + " entries for " + std::to_string(count));
  }
  for (size_t i = 0; i < count; ++i) {
    Status checked = check_reply_entry((*answers)[static_cast<rapidjson::SizeType>(i)], i,
                                       entries[i], &granted[i]);
    if (!checked.ok()) return checked;
  }
  return Status();
}

}  // namespace token_client
