// The client's request and reply lines, checked against the server's own request handling.
#include "client/src/wire.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <memory>
#include <string>
#include <vector>

#include "accounting/client_registry.h"
#include "protocol/token_connection.h"
#include "protocol/token_request.h"
#include "server/TokenServer.h"
#include "tests/client/fleet_vectors.h"

namespace token_client {
namespace {

// The client states the protocol's limits on its own, since its header is installed without the
// server's; they must stay the server's.
static_assert(kMaxAccessKeyLength == token_server::kMaxAccessKeyLength);
static_assert(kMaxRequestBytes == token_server::kConnectionBufferSize);
static_assert(kMaxReplyBytes == token_server::kReplyBufferSize);
static_assert(kDefaultPort == token_server::kServerPort);
static_assert(std::string_view(kHandshakeLine) == token_server::kHeartbeatLine);
static_assert(std::string_view(kHandshakeAnswer) == token_server::kHandshakeReply);

TokenRequest entry(const std::string& key, int32_t need, int32_t rate = 10, int32_t burst = 20) {
  return TokenRequest{key, need, rate, burst};
}

std::string request_line_of(const std::vector<TokenRequest>& batch, bool detail = false,
                            bool fallback = false) {
  std::string line;
  Status written = write_request_line({batch.data(), batch.size()}, detail, &line, fallback);
  EXPECT_TRUE(written.ok()) << written.message();
  return line;
}

// The server's reading of `line`, without its CR LF; its entries point into `text`.
std::unique_ptr<token_server::ParsedTokenRequest> server_parse(const std::string& line,
                                                               std::string* text) {
  *text = line.substr(0, line.size() - 2);
  auto request = std::make_unique<token_server::ParsedTokenRequest>();
  EXPECT_TRUE(token_server::parse_token_request(text->data(), request.get()));
  return request;
}

// The server's answer to `line` from a registry where every key is new and granted its need.
std::string server_reply_to(const std::string& line) {
  std::string text;
  auto request = server_parse(line, &text);
  std::vector<token_server::BasicTokenBucket*> none(static_cast<size_t>(request->entry_count));
  EXPECT_EQ(token_server::check_token_request(*request, none.data()), "");
  std::vector<token_server::EntryGrant> grants;
  for (int i = 0; i < request->entry_count; ++i) {
    grants.push_back({static_cast<double>(request->entries[i].need_tokens), {}});
  }
  char reply[token_server::kReplyBufferSize];
  int length = token_server::write_token_reply(*request, grants.data(), reply);
  return std::string(reply, static_cast<size_t>(length));
}

TEST(RequestLine, EscapesKeysThatTheServerReadsBack) {
  std::vector<TokenRequest> batch = {entry("quote\"back\\slash", 1), entry("tab\tnl\ncr\r\x01", 2),
                                     entry("caf\xc3\xa9/x", 3), entry("ctl\x1f\x7f\b\f", 4)};
  std::string line = request_line_of(batch);
  EXPECT_NE(line.find("\"quote\\\"back\\\\slash\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"tab\\tnl\\ncr\\r\\u0001\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"ctl\\u001F\x7f\\b\\f\""), std::string::npos) << line;
  std::vector<TokenGrant> grants(batch.size());
  Status parsed =
      parse_reply_line(server_reply_to(line), {batch.data(), batch.size()}, grants.data());
  ASSERT_TRUE(parsed.ok()) << parsed.message();
  for (size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(grants[i].tokens, i + 1);
}

TEST(RequestLine, ExtremeIntegersPassTheServersChecks) {
  std::vector<TokenRequest> batch = {entry("k", INT32_MAX, INT32_MIN, -1), entry("k", 0, 1, 1)};
  std::string text;
  auto request = server_parse(request_line_of(batch), &text);
  token_server::BasicTokenBucket known(1, 1);
  token_server::BasicTokenBucket* buckets[] = {&known, &known};
  EXPECT_EQ(token_server::check_token_request(*request, buckets), "");
}

// A row's entries (key, need, rate, burst) as requests; false for a row of the Python client's
// alone, whose values a TokenRequest cannot hold (not a string and three 32-bit integers).
bool entries_of(const rapidjson::Value& row, std::vector<TokenRequest>* batch) {
  for (const rapidjson::Value& fields : row["entries"].GetArray()) {
    if (fields.Size() != 4 || !fields[0].IsString()) return false;
    for (int i = 1; i < 4; ++i) {
      if (!fields[i].IsInt()) return false;
    }
    batch->push_back(
        entry(string_of(fields[0]), fields[1].GetInt(), fields[2].GetInt(), fields[3].GetInt()));
  }
  return true;
}

// Both clients send these lines byte for byte, and the server reads the members they ask for.
TEST(RequestLine, IsOneCompactJsonLine) {
  rapidjson::Document vectors = fleet_vectors();
  for (const rapidjson::Value& row : vectors["lines"].GetArray()) {
    std::vector<TokenRequest> batch;
    ASSERT_TRUE(entries_of(row, &batch));
    bool detail = row["detail"].GetBool();
    bool fallback = row["fallback"].GetBool();
    std::string line = request_line_of(batch, detail, fallback);
    EXPECT_EQ(line, string_of(row["line"]) + "\r\n");
    std::string text;
    auto parsed = server_parse(line, &text);
    EXPECT_EQ(parsed->detail, detail) << line;
    EXPECT_EQ(parsed->fallback, fallback) << line;
  }
}

TEST(RequestLine, RefusesWhatTheServerWouldRefuseInItsWords) {
  rapidjson::Document vectors = fleet_vectors();
  for (const rapidjson::Value& row : vectors["requests"].GetArray()) {
    std::vector<TokenRequest> batch;
    if (!entries_of(row, &batch)) continue;
    std::string line = "untouched";
    Status written = write_request_line({batch.data(), batch.size()}, true, &line);
    std::string error = row["error"].IsNull() ? "" : string_of(row["error"]);
    EXPECT_EQ(written.message(), error);
    EXPECT_EQ(written.code(), error.empty() ? StatusCode::kOk : StatusCode::kInvalidArgument);
    if (!error.empty()) {
      EXPECT_EQ(line, "untouched");
    }
  }
}

// Length of the request line for `batch`; 0 when it is refused.
size_t line_length(const std::vector<TokenRequest>& batch) {
  std::string line;
  return write_request_line({batch.data(), batch.size()}, false, &line).ok() ? line.size() : 0;
}

// Keys sized so that the request line is exactly `length` bytes, CR LF included.
std::vector<TokenRequest> batch_of_line_length(size_t length) {
  std::vector<TokenRequest> batch;
  do {
    batch.push_back(entry("", 1));
  } while (line_length(batch) != 0 && line_length(batch) <= length);
  batch.pop_back();
  size_t missing = length - line_length(batch);
  for (TokenRequest& request : batch) {
    size_t grow = std::min<size_t>(missing, kMaxAccessKeyLength);
    request.accesskey.assign(grow, 'k');
    missing -= grow;
  }
  EXPECT_EQ(missing, 0u);
  return batch;
}

TEST(RequestLine, LongestBatchFillsTheServersBuffer) {
  std::vector<TokenRequest> longest = batch_of_line_length(kMaxRequestBytes);
  std::string line;
  ASSERT_TRUE(write_request_line({longest.data(), longest.size()}, false, &line).ok());
  EXPECT_EQ(line.size(), static_cast<size_t>(kMaxRequestBytes));

  std::vector<TokenRequest> one_more = batch_of_line_length(kMaxRequestBytes);
  for (TokenRequest& request : one_more) {
    if (request.accesskey.size() < static_cast<size_t>(kMaxAccessKeyLength)) {
      request.accesskey += 'k';
      break;
    }
  }
  EXPECT_EQ(write_request_line({one_more.data(), one_more.size()}, false, &line).code(),
            StatusCode::kInvalidArgument);
}

TEST(ReplyLine, GivesTheSharedVerdicts) {
  rapidjson::Document vectors = fleet_vectors();
  for (const rapidjson::Value& row : vectors["replies"].GetArray()) {
    std::vector<TokenRequest> batch;
    for (const rapidjson::Value& fields : row["entries"].GetArray()) {
      batch.push_back(entry(string_of(fields[0]), fields[1].GetInt()));
    }
    std::string reply = string_of(row["reply"]);
    size_t at = reply.find('@');
    if (at != std::string::npos && row.HasMember("nest")) {
      size_t nest = row["nest"].GetUint();
      reply.replace(at, 1, std::string(nest, '[') + std::string(nest, ']'));
    } else if (at != std::string::npos) {
      reply.replace(at, 1, std::string(row["pad"].GetUint(), ' '));
    }
    std::vector<TokenGrant> grants(batch.size());
    Status parsed = parse_reply_line(reply + "\r\n", {batch.data(), batch.size()}, grants.data());
    for (const char* verdict : {"error", "refused"}) {
      if (!row.HasMember(verdict)) continue;
      StatusCode code = verdict[0] == 'e' ? StatusCode::kBadReply : StatusCode::kRefused;
      EXPECT_EQ(parsed.code(), code) << reply.substr(0, 200);
      EXPECT_EQ(parsed.message(), string_of(row[verdict])) << reply.substr(0, 200);
    }
    if (!row.HasMember("grants")) continue;
    ASSERT_TRUE(parsed.ok()) << parsed.message() << " " << reply.substr(0, 200);
    for (size_t i = 0; i < batch.size(); ++i) {
      EXPECT_EQ(grants[i].tokens, row["grants"][i].GetUint()) << reply.substr(0, 200);
      // The detail, where the row gives it: null for a member absent or unreadable.
      const rapidjson::Value none;
      const rapidjson::Value& remaining = row.HasMember("remaining") ? row["remaining"][i] : none;
      const rapidjson::Value& retry =
          row.HasMember("retry_after_ms") ? row["retry_after_ms"][i] : none;
      EXPECT_EQ(grants[i].remaining,
                remaining.IsNull() ? std::nullopt : std::optional(remaining.GetUint64()))
          << reply.substr(0, 200);
      EXPECT_EQ(grants[i].retry_after,
                retry.IsNull() ? std::nullopt
                               : std::optional(std::chrono::milliseconds(retry.GetUint64())))
          << reply.substr(0, 200);
    }
  }
}

TEST(ReplyLine, EscapedKeysAreReadUnescaped) {
  TokenRequest emoji = entry("\xf0\x9f\x98\x80\xc3\xa9", 2);
  TokenGrant grant;
  EXPECT_TRUE(
      parse_reply_line("{\"array\":[{\"accesskey\":\"\\ud83d\\ude00\\u00e9\",\"tokens\":1}]}\r\n",
                       {&emoji, 1}, &grant)
          .ok());
  EXPECT_EQ(grant.tokens, 1u);
}

TEST(Endpoint, ParsesHostAndPort) {
  rapidjson::Document vectors = fleet_vectors();
  for (const rapidjson::Value& row : vectors["addresses"].GetArray()) {
    std::string text = string_of(row["text"]);
    Endpoint endpoint;
    Status parsed = parse_endpoint(text, &endpoint);
    ASSERT_EQ(parsed.ok(), !row["host"].IsNull()) << text;
    if (row["host"].IsNull()) continue;
    EXPECT_EQ(endpoint.host, string_of(row["host"]));
    EXPECT_EQ(endpoint.port, row["port"].GetUint());
  }
  EXPECT_EQ((Endpoint{"::1", 7000}).to_string(), "[::1]:7000");
  EXPECT_EQ((Endpoint{"10.0.0.1", 80}).to_string(), "10.0.0.1:80");
}

}  // namespace
}  // namespace token_client
