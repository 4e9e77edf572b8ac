// The little JSON the client writes and reads: a string written with the escapes a JSON writer
// uses, and one JSON text read into a tree of values. Small and of its own, so that the library
// needs no JSON library to build or to use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace token_client {

// Appends `text` to `out` as a JSON string: the quotation mark, the backslash and each control
// character escaped (\b \f \n \r \t, any other as \u00XX in upper-case hexadecimal), every other
// byte as it is, so that the server writes the key back as it was sent.
void append_json_string(std::string_view text, std::string* out);

// One JSON value as read. Member names and strings are unescaped; a number keeps its text.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;                                        // a string's bytes, a number as written
  std::vector<JsonValue> elements;                         // an array's
  std::vector<std::pair<std::string, JsonValue>> members;  // an object's, in order

  // The value of the first member named `name`, or nullptr.
  const JsonValue* member(std::string_view name) const;
  // Whether this is a number written without sign, fraction or exponent that fits 32 bits.
  bool is_uint32(uint32_t* value) const;
  // The same for 64 bits.
  bool is_uint64(uint64_t* value) const;
};

// Reads `text` as one JSON value with white space around it; false when it is not one (nesting
// deeper than kMaxJsonDepth objects and arrays, and an object naming a member twice, count as
// not). The Python client reads replies with the same limits.
constexpr int kMaxJsonDepth = 64;
bool parse_json(std::string_view text, JsonValue* value);

}  // namespace token_client
