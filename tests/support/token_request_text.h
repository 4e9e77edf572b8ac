// Token request and reply texts for tests, and the requests the server refuses, which the unit and
// the end-to-end tests both read. A request here is the JSON text alone; the CR LF that ends it on
// the wire is the caller's. A reply carries its CR LF, as the server sends it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace token_server {

inline const std::string kCrLf = "\r\n";  // ends every request and reply on the wire
// The line on standard error for a request that is no JSON text at all.
inline const std::string kParseError = "json parse error\n";

// One request entry; the numbers are JSON text, so that a test can write 5.0 or "5" as well.
inline std::string token_entry(const std::string& accesskey, const std::string& need = "1",
                               const std::string& rate = "1", const std::string& burst = "1") {
  return "{\"accesskey\":\"" + accesskey + "\",\"need_tokens\":" + need + ",\"gen_rate\":" + rate +
         ",\"burst_size\":" + burst + "}";
}

inline std::string token_request(const std::vector<std::string>& entries) {
  std::string text = "{\"array\":[";
  for (size_t i = 0; i < entries.size(); ++i) text += (i > 0 ? "," : "") + entries[i];
  return text + "]}";
}

// The reply granting each (access key as written in the reply, tokens) in order.
inline std::string token_reply(const std::vector<std::pair<std::string, unsigned>>& grants) {
  std::string text = "{\"array\":[";
  for (size_t i = 0; i < grants.size(); ++i) {
    text += (i > 0 ? ",{\"accesskey\":\"" : "{\"accesskey\":\"") + grants[i].first +
            "\",\"tokens\":" + std::to_string(grants[i].second) + "}";
  }
  return text + "]}\r\n";
}

// Access keys as a request may write them, and as the reply writes them back: the escaping
// table, and UTF-8 bytes raw and escaped. Each row names its own client.
struct EscapedAccessKey {
  const char* in_request;
  const char* in_reply;
};
inline const EscapedAccessKey kEscapedAccessKeys[] = {
    {"q\\\"b\\\\", "q\\\"b\\\\"},
    {"a\\b\\t\\n\\f\\r", "a\\b\\t\\n\\f\\r"},
    {"u\\u0008\\u0009\\u000a\\u000C\\u000d", "u\\b\\t\\n\\f\\r"},
    {"\\u0001\\u001f\\u000B\\u007f", "\\u0001\\u001F\\u000B\x7f"},
    {"s\\/l/", "s/l/"},
    {"raw\xc3\xa9\xe2\x82\xac", "raw\xc3\xa9\xe2\x82\xac"},
    {"esc\\u00e9\\u20AC\\ud83d\\ude00", "esc\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
    {"bad\xff\xfe", "bad\xff\xfe"},
};

// Texts that are no JSON value at all: each is refused with "json parse error". A NUL ends the
// text, as it ends a request's text.
inline const std::vector<std::string> kNotJson = {
    "",
    " \t\r\n",
    "\n",
    std::string(1, '\0') + "{\"array\":[]}",
    "{\"array\":[]}{\"array\":[]}",
    "{\"array\":[]} {\"array\":[]}",
    "{\"array\":[]} x",
    "{\"array\":[]},",
    "{\"array\":[",
    "{\"array\":[{\"accesskey\":\"\\x\"}]}",
    "{\"array\":[{\"accesskey\":\"\\u12G4\"}]}",
    "{\"array\":[{\"accesskey\":\"\\ud800\"}]}",
    "{\"array\":[{\"accesskey\":\"a\tb\"}]}",
    "{\"array\":[1,]}",
    "{\"array\":[01]}",
    "{\"array\":[+1]}",
    "{\"array\":[.5]}",
    "{\"array\":[1.]}",
    "{\"array\":[NaN]}",
    "{\"array\":[Infinity]}",
    "{\"array\":[]} /* note */",
    "{'array':[]}",
};

// A JSON request that breaks a rule, and what the server says of it after "invalid token
// request: ". Rows that name the same problem are of one class.
struct Refusal {
  std::string request;
  std::string problem;
};

// The refused requests. The first row of each class has an entry for `key` that would be granted
// if the request were not refused, so that a test can tell that nothing was.
inline std::vector<Refusal> refused_requests(const std::string& key) {
  const std::string valid = token_entry(key);
  const std::string not_positive = " must be positive for a new access key";
  std::vector<Refusal> rows = {
      {"[" + valid + "]", "not a JSON object"},
      {"[]", "not a JSON object"},
      {"\"array\"", "not a JSON object"},
      {"null", "not a JSON object"},
      {"{\"Array\":[" + valid + "]}", "\"array\" missing or not an array"},
      {"{\"array\":" + valid + "}", "\"array\" missing or not an array"},
      {"{}", "\"array\" missing or not an array"},
      {"{\"array\":\"x\",\"array\":[" + valid + "]}", "\"array\" missing or not an array"},
      {token_request({"5", valid}), "entry 1: not an object"},
      {token_request({valid, "[]"}), "entry 2: not an object"},
      {token_request({valid, "{\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}"}),
       "entry 2: accesskey missing"},
      {token_request(
           {valid, "{\"accesskey\":5,\"need_tokens\":1,\"gen_rate\":1,\"burst_size\":1}"}),
       "entry 2: accesskey must be a string"},
      {token_request({valid, token_entry(std::string(30, 'k'))}),
       "entry 2: accesskey longer than 29 bytes"},
      {token_request({valid, token_entry(std::string(29, 'k') + "\\u00e9")}),
       "entry 2: accesskey longer than 29 bytes"},
      {token_request({valid, token_entry("esc\\u0000" + std::string(95, 'Z'))}),
       "entry 2: accesskey holds a NUL byte"},
      {token_request({valid, token_entry("cut\\u0000after")}),
       "entry 2: accesskey holds a NUL byte"},
      {token_request({token_entry("\\u0000"), valid}), "entry 1: accesskey holds a NUL byte"},
      {token_request({token_entry("known\\u0000", "1", "0", "0")}),
       "entry 1: accesskey holds a NUL byte"},
      {token_request({valid, "{\"accesskey\":\"k\",\"gen_rate\":1,\"burst_size\":1}"}),
       "entry 2: need_tokens missing"},
      {token_request({valid, "{\"accesskey\":\"k\",\"need_tokens\":1,\"burst_size\":1}"}),
       "entry 2: gen_rate missing"},
      {token_request({valid, "{\"accesskey\":\"k\",\"need_tokens\":1,\"gen_rate\":1}"}),
       "entry 2: burst_size missing"},
      {token_request({valid, token_entry("k", "-1")}), "entry 2: need_tokens is negative"},
      {token_request({valid, token_entry("k", "-2147483648")}), "entry 2: need_tokens is negative"},
      {token_request({valid, token_entry("new", "1", "0", "1")}),
       "entry 2: gen_rate" + not_positive},
      {token_request({valid, token_entry("new", "1", "-2147483648", "1")}),
       "entry 2: gen_rate" + not_positive},
      {token_request({token_entry("other"), token_entry("new", "1", "0", "0")}),
       "entry 2: gen_rate" + not_positive},
      {token_request({token_entry("new", "1", "0", "0"), valid}),
       "entry 1: gen_rate" + not_positive},
      {token_request({token_entry("new", "1", "0", "0"), token_entry("new")}),
       "entry 1: gen_rate" + not_positive},
      {token_request({token_entry("new", "0", "-0", "1")}), "entry 1: gen_rate" + not_positive},
      {token_request({valid, token_entry("new", "1", "1", "0")}),
       "entry 2: burst_size" + not_positive},
      {token_request({valid, token_entry("new", "1", "1", "-1")}),
       "entry 2: burst_size" + not_positive},
  };
  // Numbers that are no JSON integer in the 32-bit signed range, in each of the three members.
  const char* const kNumberMembers[] = {"need_tokens", "gen_rate", "burst_size"};
  const char* const kNotIntegers[] = {"5.0",  "1e3",  "1E0",  "\"5\"", "2147483648", "-2147483649",
                                      "-0.0", "true", "null", "[1]",   "{}"};
  for (int member = 0; member < 3; ++member) {
    for (const char* number : kNotIntegers) {
      std::string numbers[3] = {"1", "1", "1"};
      numbers[member] = number;
      rows.push_back(
          {token_request({valid, token_entry("k", numbers[0], numbers[1], numbers[2])}),
           std::string("entry 2: ") + kNumberMembers[member] + " must be a 32-bit signed integer"});
    }
  }
  return rows;
}

}  // namespace token_server
