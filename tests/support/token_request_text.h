// Token request and reply texts for tests. A request here is the JSON text alone; the CR LF that
// ends it on the wire is the caller's. A reply carries its CR LF, as the server sends it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace token_server {

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

}  // namespace token_server
