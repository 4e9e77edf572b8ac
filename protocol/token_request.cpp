// The token request and reply on the wire: reading and checking the JSON request, and writing the
// JSON reply.
//
// A token request is one JSON object whose "array" lists entries with "accesskey", "need_tokens",
// "gen_rate" and "burst_size". The reply lists, entry by entry, the access key and the "tokens"
// granted.
#include "protocol/token_request.h"

#include <rapidjson/allocators.h>
#include <rapidjson/internal/itoa.h>
#include <rapidjson/reader.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>

#include "accounting/client_registry.h"

namespace token_server {

namespace {

constexpr std::string_view kArrayMember = "array";
constexpr std::string_view kDetailMember = "detail";
constexpr std::string_view kFallbackMember = "fallback";
constexpr const char kTokensMember[] = "tokens";
// The detail members of a reply entry, each with the comma before it and the colon after it.
constexpr std::string_view kRemainingMember = ",\"remaining\":";
constexpr std::string_view kRetryAfterMember = ",\"retry_after_ms\":";
constexpr size_t kMostUint64Digits = 20;
constexpr const char kErrorMember[] = "error";
constexpr const char kReplyEnd[] = "\r\n";

// The members an entry must have, in the order they are checked.
enum Member { kAccessKey, kNeed, kRate, kBurst, kMemberCount };
constexpr const char* kMemberNames[kMemberCount] = {"accesskey", "need_tokens", "gen_rate",
                                                    "burst_size"};

// The parser's and the writer's stacks take their memory from buffers in the caller's frame, so a
// request of usual size allocates nothing; deep nesting spills into heap chunks that go with them.
using PoolAllocator = rapidjson::MemoryPoolAllocator<>;
constexpr size_t kParseStackBytes = 4096;
constexpr size_t kParseStackCapacity = 1024;
constexpr size_t kWriterStackBytes = 1024;  // the writer's default 32 levels

// Member names match byte for byte after unescaping, as a lookup by name would match them.
bool name_is(const char* name, rapidjson::SizeType length, std::string_view wanted) {
  return std::string_view(name, length) == wanted;
}

int member_named(const char* name, rapidjson::SizeType length) {
  for (int member = 0; member < kMemberCount; ++member) {
    if (name_is(name, length, kMemberNames[member])) return member;
  }
  return kMemberCount;
}

// An entry as far as it has been read. A member counts at its first occurrence only.
struct EntryDraft {
  bool seen[kMemberCount] = {};
  bool well_typed[kMemberCount] = {};  // a string for the key, a 32-bit integer for the numbers
  const char* accesskey = nullptr;
  size_t accesskey_length = 0;     // bytes after unescaping, NULs included
  int numbers[kMemberCount] = {};  // by member; the key's slot is unused
};

// Reads a token request from rapidjson's stream of events in one pass: it keeps the entries of
// the first "array" member of the top object as they complete, checks each as it ends, and
// passes over every other value. It never stops the parse, so that a syntax error anywhere, even
// after a fault, makes the text no JSON at all.
class RequestReader {
 public:
  explicit RequestReader(ParsedTokenRequest* request) : request_(request) {}

  bool Null() { return scalar(); }
  bool Bool(bool value) {
    if (Role role = next_role(false); role == Role::kDetail) {
      request_->detail = value;
    } else if (role == Role::kFallback) {
      request_->fallback = value;
    } else {
      wrong_kind(role);
    }
    return true;
  }
  bool Int(int value) { return number(true, value); }
  bool Uint(unsigned value) {
    return value <= INT_MAX ? number(true, static_cast<int>(value)) : number(false, 0);
  }
  bool Int64(int64_t) { return number(false, 0); }
  bool Uint64(uint64_t) { return number(false, 0); }
  bool Double(double) { return number(false, 0); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return number(false, 0); }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    if (Role role = next_role(false); role == Role::kMember) {
      record_member(member_ == kAccessKey);
      if (member_ == kAccessKey) {
        draft_.accesskey = text;
        draft_.accesskey_length = length;
      }
    } else {
      wrong_kind(role);
    }
    return true;
  }
  bool StartObject() { return enter(next_role(true), true); }
  bool StartArray() { return enter(next_role(true), false); }
  bool Key(const char* name, rapidjson::SizeType length, bool) {
    if (skip_depth_ > 0) return true;
    next_ = Role::kIgnored;
    if (level_ == Level::kInRequest && !array_found_ && name_is(name, length, kArrayMember)) {
      array_found_ = true;
      next_ = Role::kArray;
    } else if (level_ == Level::kInRequest && !detail_found_ &&
               name_is(name, length, kDetailMember)) {
      detail_found_ = true;
      next_ = Role::kDetail;
    } else if (level_ == Level::kInRequest && !fallback_found_ &&
               name_is(name, length, kFallbackMember)) {
      fallback_found_ = true;
      next_ = Role::kFallback;
    } else if (level_ == Level::kInEntry) {
      int member = member_named(name, length);
      if (member < kMemberCount && !draft_.seen[member]) {
        draft_.seen[member] = true;
        member_ = member;
        next_ = Role::kMember;
      }
    }
    return true;
  }
  bool EndObject(rapidjson::SizeType) {
    if (leave_skipped_container()) return true;
    if (level_ == Level::kInEntry) {
      end_entry();
      level_ = Level::kInArray;
    } else {
      level_ = Level::kAfterRequest;
    }
    return true;
  }
  bool EndArray(rapidjson::SizeType) {
    if (!leave_skipped_container()) level_ = Level::kInRequest;
    return true;
  }

  // Faults of the whole request, known once the text has been read; they come before any entry's.
  void end_request() {
    if (!document_is_object_) {
      fault(RequestFault::kNotAnObject, 0);
    } else if (!array_is_array_) {
      fault(RequestFault::kNoArray, 0);
    }
  }

 private:
  // Where the reader stands: the innermost container it keeps track of.
  enum class Level { kBeforeRequest, kInRequest, kInArray, kInEntry, kAfterRequest };
  // What the next value stands for.
  enum class Role { kDocument, kArray, kElement, kMember, kDetail, kFallback, kIgnored };

  // The role of the value that starts now; inside a passed-over container, nothing counts.
  Role next_role(bool starts_container) {
    if (skip_depth_ > 0) {
      if (starts_container) ++skip_depth_;
      return Role::kIgnored;
    }
    switch (level_) {
      case Level::kBeforeRequest:
        return Role::kDocument;
      case Level::kInArray:
        return Role::kElement;
      case Level::kInRequest:
      case Level::kInEntry: {
        Role role = next_;
        next_ = Role::kIgnored;
        if (role == Role::kIgnored && starts_container) skip_depth_ = 1;
        return role;
      }
      case Level::kAfterRequest:
        break;
    }
    return Role::kIgnored;
  }

  bool leave_skipped_container() {
    if (skip_depth_ == 0) return false;
    --skip_depth_;
    return true;
  }

  // A container starts: the request, an entry or the array of entries where one is wanted; any
  // other container is noted where it is the wrong kind, and passed over.
  bool enter(Role role, bool is_object) {
    if (is_object && role == Role::kDocument) {
      document_is_object_ = true;
      level_ = Level::kInRequest;
    } else if (is_object && role == Role::kElement) {
      draft_ = EntryDraft();
      level_ = Level::kInEntry;
    } else if (!is_object && role == Role::kArray) {
      array_is_array_ = true;
      level_ = Level::kInArray;
    } else if (role != Role::kIgnored) {
      wrong_kind(role);
      skip_depth_ = 1;
    }
    return true;
  }

  bool scalar() {
    wrong_kind(next_role(false));
    return true;
  }

  bool number(bool is_int, int value) {
    if (Role role = next_role(false); role == Role::kMember) {
      record_member(is_int && member_ != kAccessKey);
      draft_.numbers[member_] = value;
    } else {
      wrong_kind(role);
    }
    return true;
  }

  void record_member(bool well_typed) { draft_.well_typed[member_] = well_typed; }

  // A value of the wrong kind for its role.
  void wrong_kind(Role role) {
    switch (role) {
      case Role::kDocument:
        level_ = Level::kAfterRequest;  // document_is_object_ stays false
        break;
      case Role::kElement:
        fault(RequestFault::kEntryNotAnObject, element_count_++);
        break;
      case Role::kMember:
        record_member(false);
        break;
      case Role::kArray:     // array_is_array_ stays false
      case Role::kDetail:    // any value but true asks for nothing
      case Role::kFallback:  // anything but true leaves the request as it is
      case Role::kIgnored:
        break;
    }
  }

  void end_entry() {
    int index = element_count_++;
    if (request_->fault != RequestFault::kNone) return;
    const char* member = nullptr;
    RequestFault found = entry_fault(&member);
    if (found == RequestFault::kNone && request_->entry_count == kMaxTokenEntries) {
      found = RequestFault::kTooManyEntries;
    }
    if (found != RequestFault::kNone) {
      fault(found, index);
      request_->fault_member = member;
      return;
    }
    request_->entries[request_->entry_count++] = {draft_.accesskey, draft_.numbers[kNeed],
                                                  draft_.numbers[kRate], draft_.numbers[kBurst]};
  }

  // The first rule the finished draft breaks, in the order the rules are checked; `member` names
  // the number at fault.
  RequestFault entry_fault(const char** member) {
    if (!draft_.seen[kAccessKey]) return RequestFault::kKeyMissing;
    if (!draft_.well_typed[kAccessKey]) return RequestFault::kKeyNotAString;
    // An escaped NUL would end the key early and name another client.
    if (std::memchr(draft_.accesskey, '\0', draft_.accesskey_length) != nullptr) {
      return RequestFault::kKeyHoldsNul;
    }
    if (draft_.accesskey_length > kMaxAccessKeyLength) return RequestFault::kKeyTooLong;
    for (int number : {kNeed, kRate, kBurst}) {
      *member = kMemberNames[number];
      if (!draft_.seen[number]) return RequestFault::kNumberMissing;
      if (!draft_.well_typed[number]) return RequestFault::kNumberNotAnInt;
    }
    if (draft_.numbers[kNeed] < 0) return RequestFault::kNeedNegative;
    return RequestFault::kNone;
  }

  // Keeps the first fault only: entries are checked in order, and each stops at its first.
  void fault(RequestFault found, int entry) {
    if (request_->fault != RequestFault::kNone) return;
    request_->fault = found;
    request_->fault_entry = entry;
  }

  ParsedTokenRequest* request_;
  Level level_ = Level::kBeforeRequest;
  Role next_ = Role::kIgnored;  // the role a key gave the value after it
  int member_ = kMemberCount;   // the entry member whose value comes next
  int skip_depth_ = 0;          // containers entered inside one that is passed over
  bool document_is_object_ = false;
  bool array_found_ = false;     // the first "array" member has been met
  bool array_is_array_ = false;  // and its value is an array
  bool detail_found_ = false;    // the first "detail" member has been met
  bool fallback_found_ = false;  // the first "fallback" member has been met
  int element_count_ = 0;
  EntryDraft draft_;
};

// The output stream of rapidjson's Writer over a fixed buffer as long as a connection's reply
// buffer. It never writes past the buffer, though a reply always fits: a reply is never longer
// than the request it answers. The buffer is its own, not the connection's, so that the compiler
// knows that writing a byte leaves the length alone.
class ReplyText {
 public:
  using Ch = char;
  void Put(char c) {
    if (length_ < sizeof text_) text_[length_] = c;
    ++length_;
  }
  void Flush() {}
  // Appends text that needs no escaping, as a writer would have written it.
  void append(const char* bytes, size_t count) {
    if (count <= sizeof text_ - std::min(length_, sizeof text_)) {
      std::memcpy(text_ + length_, bytes, count);
    }
    length_ += count;
  }

  const char* data() const { return text_; }
  size_t size() const { return length_; }

 private:
  char text_[kReplyBufferSize];
  size_t length_ = 0;
};

using ReplyWriter =
    rapidjson::Writer<ReplyText, rapidjson::UTF8<>, rapidjson::UTF8<>, PoolAllocator>;

// Appends a member's fixed text and its number.
void append_number_member(std::string_view member, uint64_t value, ReplyText* text) {
  char digits[kMostUint64Digits];
  char* end = rapidjson::internal::u64toa(value, digits);
  text->append(member.data(), member.size());
  text->append(digits, static_cast<size_t>(end - digits));
}

// Appends the detail members to the reply entry the writer has open, after its "tokens". They go
// straight into the text, as the writer would write them: it would check each byte of the fixed
// names for escapes, a third of a detailed entry's cost, and it closes the entry the same way
// without counting them.
void append_detail(const DrawDetail& detail, ReplyText* text) {
  append_number_member(kRemainingMember, detail.remaining, text);
  append_number_member(kRetryAfterMember, detail.retry_after_ms, text);
}

// Copies the writer's JSON text with CR LF and a NUL into `reply`; returns its length without the
// NUL.
int finish_reply(const ReplyText& text, char (&reply)[kReplyBufferSize]) {
  assert(text.size() + sizeof kReplyEnd <= sizeof reply && "a reply fits its buffer");
  size_t json_length = std::min(text.size(), sizeof reply - sizeof kReplyEnd);
  std::memcpy(reply, text.data(), json_length);
  std::memcpy(reply + json_length, kReplyEnd, sizeof kReplyEnd);  // with its NUL
  return static_cast<int>(json_length + sizeof kReplyEnd - 1);
}

std::string entry_problem(int index, const std::string& problem) {
  return "entry " + std::to_string(index + 1) + ": " + problem;
}

std::string entry_fault_text(const ParsedTokenRequest& request) {
  const std::string member = request.fault_member != nullptr ? request.fault_member : "";
  switch (request.fault) {
    case RequestFault::kEntryNotAnObject:
      return "not an object";
    case RequestFault::kKeyMissing:
      return "accesskey missing";
    case RequestFault::kKeyNotAString:
      return "accesskey must be a string";
    case RequestFault::kKeyHoldsNul:
      return "accesskey holds a NUL byte";
    case RequestFault::kKeyTooLong:
      return "accesskey longer than " + std::to_string(kMaxAccessKeyLength) + " bytes";
    case RequestFault::kNumberMissing:
      return member + " missing";
    case RequestFault::kNumberNotAnInt:
      return member + " must be a 32-bit signed integer";
    case RequestFault::kNeedNegative:
      return "need_tokens is negative";
    case RequestFault::kTooManyEntries:
      return "more than " + std::to_string(kMaxTokenEntries) + " entries";
    default:
      return {};
  }
}

std::string fault_text(const ParsedTokenRequest& request) {
  switch (request.fault) {
    case RequestFault::kNone:
      return {};
    case RequestFault::kNotAnObject:
      return "not a JSON object";
    case RequestFault::kNoArray:
      return "\"array\" missing or not an array";
    default:
      return entry_problem(request.fault_entry, entry_fault_text(request));
  }
}

// Whether an entry before `index` names the same access key; such a key exists by the time the
// entry at `index` is granted.
bool named_earlier(const ParsedTokenRequest& request, int index, const char* accesskey) {
  for (int i = 0; i < index; ++i) {
    if (std::strcmp(request.entries[i].accesskey, accesskey) == 0) return true;
  }
  return false;
}

}  // namespace

bool parse_token_request(char* text, ParsedTokenRequest* request) {
  alignas(std::max_align_t) char stack_memory[kParseStackBytes];
  PoolAllocator stack_pool(stack_memory, sizeof stack_memory);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, PoolAllocator> reader(
      &stack_pool, kParseStackCapacity);
  rapidjson::InsituStringStream stream(text);
  RequestReader events(request);
  // Iterative: the parser's stack use does not grow with nesting, so 16382 '[' cannot overflow a
  // worker's stack. In place: strings are unescaped where they stand, and entries point at them.
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag;
  if (reader.Parse<kFlags>(stream, events).IsError()) return false;
  events.end_request();
  return true;
}

std::string check_token_request(const ParsedTokenRequest& request,
                                BasicTokenBucket* const buckets[]) {
  for (int i = 0; i < request.entry_count; ++i) {
    const TokenEntry& entry = request.entries[i];
    if (buckets[i] != nullptr || (entry.gen_rate > 0 && entry.burst_size > 0)) continue;
    // Non-positive values are fine for a known client (its stored ones stay), never for a new one.
    if (named_earlier(request, i, entry.accesskey)) continue;
    const char* name = kMemberNames[entry.gen_rate > 0 ? kBurst : kRate];
    return entry_problem(i, std::string(name) + " must be positive for a new access key");
  }
  // The entries read all come before the one that breaks a rule, so their problems come first.
  return fault_text(request);
}

int write_token_reply(const ParsedTokenRequest& request, const EntryGrant grants[],
                      char (&reply)[kReplyBufferSize]) {
  ReplyText text;
  alignas(std::max_align_t) char writer_stack[kWriterStackBytes];
  PoolAllocator writer_stack_pool(writer_stack, sizeof writer_stack);
  ReplyWriter writer(text, &writer_stack_pool);
  writer.StartObject();
  writer.Key(kArrayMember.data(), static_cast<rapidjson::SizeType>(kArrayMember.size()));
  writer.StartArray();
  for (int i = 0; i < request.entry_count; ++i) {
    writer.StartObject();
    writer.Key(kMemberNames[kAccessKey]);
    writer.String(request.entries[i].accesskey);
    writer.Key(kTokensMember);
    writer.Uint(static_cast<unsigned>(static_cast<int>(grants[i].tokens)));
    if (request.detail) append_detail(grants[i].detail, &text);
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  return finish_reply(text, reply);
}

int write_error_reply(std::string_view problem, char (&reply)[kReplyBufferSize]) {
  ReplyText text;
  alignas(std::max_align_t) char writer_stack[kWriterStackBytes];
  PoolAllocator writer_stack_pool(writer_stack, sizeof writer_stack);
  ReplyWriter writer(text, &writer_stack_pool);
  writer.StartObject();
  writer.Key(kErrorMember);
  writer.String(problem.data(), static_cast<rapidjson::SizeType>(problem.size()));
  writer.EndObject();
  return finish_reply(text, reply);
}

}  // namespace token_server
