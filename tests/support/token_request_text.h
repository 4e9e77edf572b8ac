// Token request and reply texts for tests. A request here is the JSON text alone; the CR LF that
// ends it on the wire is the caller's. A reply carries its CR LF, as the server sends it.
#pragma once

#include <string>
#include <utility>
#include <vector>

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
