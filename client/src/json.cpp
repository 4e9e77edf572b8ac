#include "json.h"

#include <utility>

namespace token_client {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The escapes written with one letter after the backslash: the letter, and the byte it stands for.
constexpr std::pair<char, char> kShortEscapes[] = {
    {'"', '"'}, {'\\', '\\'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};

// The letter that escapes `byte`, or '\0' when none does.
char escape_letter_of(char byte) {
  for (auto [letter, escaped] : kShortEscapes) {
    if (escaped == byte) return letter;
  }
  return '\0';
}

// Reads one JSON text front to back; each step returns false at the first byte that breaks the
// grammar.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool read_document(JsonValue* value) {
    skip_space();
    if (!read_value(value, 0)) return false;
    skip_space();
    return at_ == text_.size();
  }

 private:
  bool read_value(JsonValue* value, int depth) {
    if (at_ == text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        if (depth >= kMaxJsonDepth) return false;
        value->kind = JsonValue::Kind::kObject;
        return read_object(value, depth);
      case '[':
        if (depth >= kMaxJsonDepth) return false;
        value->kind = JsonValue::Kind::kArray;
        return read_array(value, depth);
      case '"':
        value->kind = JsonValue::Kind::kString;
        return read_string(&value->text);
      case 't':
        value->kind = JsonValue::Kind::kBool;
        return take_word("true");
      case 'f':
        value->kind = JsonValue::Kind::kBool;
        return take_word("false");
      case 'n':
        return take_word("null");
      default:
        value->kind = JsonValue::Kind::kNumber;
        return read_number(&value->text);
    }
  }

  bool read_object(JsonValue* object, int depth) {
    ++at_;  // {
    skip_space();
    if (take('}')) return true;
    do {
      skip_space();
      std::pair<std::string, JsonValue> member;
      if (!read_string(&member.first)) return false;
      skip_space();
      if (!take(':')) return false;
      skip_space();
      if (!read_value(&member.second, depth + 1)) return false;
      // A member named twice could be read either way; the reply is not trusted at all.
      if (object->member(member.first) != nullptr) return false;
      object->members.push_back(std::move(member));
      skip_space();
    } while (take(','));
    return take('}');
  }

  bool read_array(JsonValue* array, int depth) {
    ++at_;  // [
    skip_space();
    if (take(']')) return true;
    do {
      skip_space();
      array->elements.emplace_back();
      if (!read_value(&array->elements.back(), depth + 1)) return false;
      skip_space();
    } while (take(','));
    return take(']');
  }

  bool read_string(std::string* out) {
    if (!take('"')) return false;
    while (at_ < text_.size()) {
      unsigned char c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
      } else if (!read_escape(out)) {
        return false;
      }
    }
    return false;
  }

  bool read_escape(std::string* out) {
    if (at_ == text_.size()) return false;
    char letter = text_[at_++];
    if (letter == 'u') return read_code_point(out);
    if (letter == '/') {  // a slash may be escaped, though it need not be
      out->push_back('/');
      return true;
    }
    for (auto [escape_letter, escaped] : kShortEscapes) {
      if (escape_letter == letter) {
        out->push_back(escaped);
        return true;
      }
    }
    return false;
  }

  // After \u: four hexadecimal digits, and a second \u escape for a surrogate pair.
  bool read_code_point(std::string* out) {
    uint32_t code = 0;
    if (!read_hex4(&code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (!take('\\') || !take('u') || !read_hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(code, out);
    return true;
  }

  bool read_hex4(uint32_t* code) {
    if (text_.size() - at_ < 4) return false;
    for (int i = 0; i < 4; ++i) {
      char c = text_[at_++];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return false;
      *code = *code * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  static void append_utf8(uint32_t code, std::string* out) {
    constexpr unsigned kLeadBits[] = {0x00, 0xC0, 0xE0, 0xF0};  // by the bytes that follow
    int following = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
    out->push_back(static_cast<char>(kLeadBits[following] | (code >> (6 * following))));
    for (int shift = 6 * (following - 1); shift >= 0; shift -= 6) {
      out->push_back(static_cast<char>(0x80 | ((code >> shift) & 0x3F)));
    }
  }

  // -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
  bool read_number(std::string* out) {
    size_t start = at_;
    take('-');
    if (!take('0') && take_digits() == 0) return false;
    if (take('.') && take_digits() == 0) return false;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (take_digits() == 0) return false;
    }
    out->assign(text_.substr(start, at_ - start));
    return true;
  }

  size_t take_digits() {
    size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ - start;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool take(char c) {
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

void append_json_string(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (char letter = escape_letter_of(c)) {
      out->push_back('\\');
      out->push_back(letter);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out->append("\\u00");
      out->push_back(kHexDigits[static_cast<unsigned char>(c) >> 4]);
      out->push_back(kHexDigits[c & 0xF]);
    } else {
      out->push_back(c);
    }
  }
  out->push_back('"');
}

const JsonValue* JsonValue::member(std::string_view name) const {
  for (const auto& [member_name, value] : members) {
    if (member_name == name) return &value;
  }
  return nullptr;
}

bool JsonValue::is_uint64(uint64_t* value) const {
  if (kind != Kind::kNumber || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint64_t parsed = 0;
  for (char digit : text) {
    auto digit_value = static_cast<uint64_t>(digit - '0');
    if (parsed > (UINT64_MAX - digit_value) / 10) return false;
    parsed = parsed * 10 + digit_value;
  }
  *value = parsed;
  return true;
}

bool JsonValue::is_uint32(uint32_t* value) const {
  uint64_t parsed = 0;
  if (!is_uint64(&parsed) || parsed > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool parse_json(std::string_view text, JsonValue* value) {
  return JsonReader(text).read_document(value);
}

}  // namespace token_client
