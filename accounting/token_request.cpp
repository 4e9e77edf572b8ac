// Token request handling: the JSON request, its checks, the grants and the JSON reply.
//
// A token request is one JSON object whose "array" lists entries with "accesskey", "need_tokens",
// "gen_rate" and "burst_size". The reply lists, entry by entry, the access key and the "tokens"
// granted. A request that is not JSON, or breaks a rule of the token request, is reported on
// standard error and gets no reply; nothing of it is granted.
#include "accounting/token_request.h"

#include <rapidjson/allocators.h>
#include <rapidjson/document.h>
#include <rapidjson/writer.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "protocol/trace.h"
#include "server/TokenServer.h"

namespace {

constexpr const char kArrayMember[] = "array";
constexpr const char kAccessKeyMember[] = "accesskey";
constexpr const char kNeedMember[] = "need_tokens";
constexpr const char kRateMember[] = "gen_rate";
constexpr const char kBurstMember[] = "burst_size";
constexpr const char kTokensMember[] = "tokens";
constexpr const char kReplyEnd[] = "\r\n";

using rapidjson::Value;

// One request's document takes its values and its parse stacks from buffers in the caller's
// frame, so a request of usual size allocates nothing; a larger one spills into heap chunks that
// go with the document. The writer's nesting stack works the same way.
using PoolAllocator = rapidjson::MemoryPoolAllocator<>;
using PooledDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, PoolAllocator, PoolAllocator>;
constexpr size_t kValuePoolBytes = 4096;   // the values of a request of ten entries fit
constexpr size_t kParseStackBytes = 4096;  // the document's and the parser's stacks
constexpr size_t kParseStackCapacity = 1024;
constexpr size_t kWriterStackBytes = 1024;  // the writer's default 32 levels

// The reply's JSON text, in a fixed buffer as long as a connection's reply buffer. A text that
// would run past it is marked as overflowed instead of written.
class ReplyText {
 public:
  using Ch = char;  // the output stream interface of rapidjson's Writer
  void Put(char c) {
    if (length_ < sizeof text_) text_[length_] = c;
    ++length_;
  }
  void Flush() {}

  bool overflowed() const { return length_ > sizeof text_; }
  const char* data() const { return text_; }
  size_t size() const { return length_; }

 private:
  char text_[kConnectionBufferSize];
  size_t length_ = 0;
};

template <typename Document>
bool parse_into(const char* text, Document* request) {
  // The iterative parser takes the same texts to the same values as the recursive one, but its
  // stack use does not grow with nesting: 16382 '[' must not overflow a worker's stack.
  request->template Parse<rapidjson::kParseIterativeFlag>(text);
  return !request->HasParseError();
}

// The first occurrence of a member counts, as FindMember returns it.
const Value* member(const Value& object, const char* name) {
  auto found = object.FindMember(name);
  return found == object.MemberEnd() ? nullptr : &found->value;
}

// The access key is the string's text up to its first NUL.
const char* access_key_of(const Value& entry) {
  return member(entry, kAccessKeyMember)->GetString();
}

int int_member(const Value& entry, const char* name) { return member(entry, name)->GetInt(); }

// Whether an entry before `index` names the same access key; such a key exists by the time the
// entry at `index` is granted.
bool named_earlier(const Value& entries, rapidjson::SizeType index, const char* accesskey) {
  for (rapidjson::SizeType i = 0; i < index; ++i) {
    if (std::strcmp(access_key_of(entries[i]), accesskey) == 0) return true;
  }
  return false;
}

std::string entry_problem(rapidjson::SizeType index, const std::string& problem) {
  return "entry " + std::to_string(index + 1) + ": " + problem;
}

}  // namespace

bool parse_token_request(const char* text, rapidjson::Document* request) {
  return parse_into(text, request);
}

std::string check_token_request(const Value& request, const KnownClientTest& is_known) {
  if (!request.IsObject()) return "not a JSON object";
  const Value* entries = member(request, kArrayMember);
  if (entries == nullptr || !entries->IsArray()) return "\"array\" missing or not an array";
  for (rapidjson::SizeType i = 0; i < entries->Size(); ++i) {
    const Value& entry = (*entries)[i];
    if (!entry.IsObject()) return entry_problem(i, "not an object");
    const Value* accesskey = member(entry, kAccessKeyMember);
    if (accesskey == nullptr) return entry_problem(i, "accesskey missing");
    if (!accesskey->IsString()) return entry_problem(i, "accesskey must be a string");
    if (std::strlen(accesskey->GetString()) > static_cast<size_t>(kMaxAccessKeyLength)) {
      return entry_problem(
          i, "accesskey longer than " + std::to_string(kMaxAccessKeyLength) + " bytes");
    }
    for (const char* name : {kNeedMember, kRateMember, kBurstMember}) {
      const Value* number = member(entry, name);
      if (number == nullptr) return entry_problem(i, std::string(name) + " missing");
      if (!number->IsInt()) {
        return entry_problem(i, std::string(name) + " must be a 32-bit signed integer");
      }
    }
    if (int_member(entry, kNeedMember) < 0) return entry_problem(i, "need_tokens is negative");
    if (int_member(entry, kRateMember) > 0 && int_member(entry, kBurstMember) > 0) continue;
    // Non-positive values are fine for a known client (its stored ones stay), never for a new one.
    const char* key = accesskey->GetString();
    if (named_earlier(*entries, i, key) || is_known(key)) continue;
    const char* name = int_member(entry, kRateMember) > 0 ? kBurstMember : kRateMember;
    return entry_problem(i, std::string(name) + " must be positive for a new access key");
  }
  return {};
}

int write_token_reply(const Value& request, const GrantFunction& grant, char* reply, int capacity) {
  ReplyText text;
  alignas(std::max_align_t) char writer_stack[kWriterStackBytes];
  PoolAllocator writer_stack_pool(writer_stack, sizeof writer_stack);
  rapidjson::Writer<ReplyText, rapidjson::UTF8<>, rapidjson::UTF8<>, PoolAllocator> writer(
      text, &writer_stack_pool);
  writer.StartObject();
  writer.Key(kArrayMember);
  writer.StartArray();
  for (const Value& entry : request[kArrayMember].GetArray()) {
    const char* accesskey = access_key_of(entry);
    double granted = grant(accesskey, int_member(entry, kNeedMember),
                           int_member(entry, kRateMember), int_member(entry, kBurstMember));
    writer.StartObject();
    writer.Key(kAccessKeyMember);
    writer.String(accesskey);
    writer.Key(kTokensMember);
    writer.Uint(static_cast<unsigned>(static_cast<int>(granted)));
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  size_t json_length = text.size();
  size_t reply_length = json_length + sizeof kReplyEnd - 1;
  if (text.overflowed() || reply_length + 1 > static_cast<size_t>(capacity)) return -1;
  std::memcpy(reply, text.data(), json_length);
  std::memcpy(reply + json_length, kReplyEnd, sizeof kReplyEnd);  // with its NUL
  return static_cast<int>(reply_length);
}

void TokenServer::consume_tokens(token_connection* conn) {
  // The request without its CR LF, as NUL-terminated text: a NUL inside it ends the JSON text.
  char parse_copy[kConnectionBufferSize];
  size_t text_length = static_cast<size_t>(conn->req_len) - 2;
  std::memcpy(parse_copy, conn->req_buf, text_length);
  parse_copy[text_length] = '\0';
  remove_handled_request(conn);

  alignas(std::max_align_t) char value_memory[kValuePoolBytes];
  alignas(std::max_align_t) char stack_memory[kParseStackBytes];
  PoolAllocator value_pool(value_memory, sizeof value_memory);
  PoolAllocator stack_pool(stack_memory, sizeof stack_memory);
  PooledDocument request(&value_pool, kParseStackCapacity, &stack_pool);
  if (!parse_into(parse_copy, &request)) {
    report_error(&conn->trace, "json parse error");
    return;
  }
  std::string problem =
      check_token_request(request, [this](const char* key) { return is_known_client(key); });
  if (!problem.empty()) {
    report_error(&conn->trace, "invalid token request: " + problem);
    return;
  }
  int reply_length = write_token_reply(
      request,
      [this](const char* key, double need, double rate, double burst) {
        return grant_tokens(key, need, rate, burst);
      },
      conn->reply_buf, kConnectionBufferSize);
  if (reply_length < 0) {
    report_error(&conn->trace, "token reply too long");
    return;
  }
  conn->reply_len = reply_length;
}
