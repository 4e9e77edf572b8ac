#include "token_client/TokenClient.h"

#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "deny_cache.h"
#include "exchange.h"
#include "token_client/version.h"

namespace token_client {

namespace {

using Clock = std::chrono::steady_clock;

bool is_port_text(const std::string& text) {
  return !text.empty() && text.size() <= 5 &&
         text.find_first_not_of("0123456789") == std::string::npos && std::stoi(text) >= 1 &&
         std::stoi(text) <= 65535;
}

// Carries `exchange` alone to its end; returns its status.
Status run(Exchange* exchange) {
  pollfd watch;
  run_exchanges(&exchange, &watch, 1);
  return exchange->status();
}

}  // namespace

const char* version() { return kVersion; }

std::string Endpoint::to_string() const {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Status parse_endpoint(const std::string& text, Endpoint* endpoint) {
  Status invalid(StatusCode::kInvalidArgument, "bad server address \"" + text + "\"");
  size_t colon = text.rfind(':');
  bool bracketed = !text.empty() && text[0] == '[';
  size_t host_end = bracketed ? text.find(']') : colon;
  // After the closing bracket comes the end or ":port", nothing else.
  if (bracketed &&
      (host_end == std::string::npos || (host_end + 1 < text.size() && colon != host_end + 1))) {
    return invalid;
  }
  bool has_port = colon != std::string::npos && (!bracketed || colon == host_end + 1);
  if (!bracketed && has_port && text.find(':') != colon) return invalid;  // unbracketed IPv6
  std::string host = bracketed ? text.substr(1, host_end - 1) : text.substr(0, host_end);
  std::string port = has_port ? text.substr(colon + 1) : std::to_string(kDefaultPort);
  if (host.empty() || !is_port_text(port)) return invalid;
  endpoint->host = host;
  endpoint->port = static_cast<uint16_t>(std::stoi(port));
  return Status();
}

TokenClient::TokenClient(Endpoint server, ClientOptions options)
    : connection_(std::make_unique<Connection>(std::move(server), std::move(options))) {}

TokenClient::~TokenClient() = default;  // the connection closes itself

void TokenClient::close() { connection_->close(); }

bool TokenClient::connected() const { return connection_->is_open(); }

const Endpoint& TokenClient::endpoint() const { return connection_->server; }

Status TokenClient::connect() {
  if (connection_->is_open()) return Status();
  Exchange exchange;
  exchange.start_connect(connection_.get(), Clock::now());
  return run(&exchange);
}

Status TokenClient::ping(std::chrono::microseconds* round_trip) {
  Exchange exchange;
  exchange.start_handshake(connection_.get(), Clock::now());
  Status answered = run(&exchange);
  if (answered.ok()) answered = exchange.check_handshake_answer();
  if (answered.ok() && round_trip != nullptr) {
    *round_trip = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() -
                                                                        exchange.sending_since());
  }
  return answered;
}

Status TokenClient::acquire_entries(const TokenRequest* entries, size_t count, TokenGrant* grants) {
  DenyCache* cache = connection_->options.deny_cache.get();
  Exchange exchange;
  if (cache == nullptr) {
    exchange.start_token_request(connection_.get(), EntryList(entries, count), Clock::now());
    Status answered = run(&exchange);
    return answered.ok() ? exchange.read_grants(grants) : answered;
  }
  Status checked = check_entries({entries, count});  // a bad entry fails the call, cached or not
  if (!checked.ok()) return checked;
  std::vector<size_t> unanswered;
  cache->answer_entries({entries, count}, Clock::now(), grants, &unanswered);
  if (unanswered.empty()) return Status();
  exchange.start_token_request(
      connection_.get(), EntryList(entries, unanswered.data(), unanswered.size()), Clock::now());
  Status answered = run(&exchange);
  std::vector<TokenGrant> sent(unanswered.size());
  if (answered.ok()) answered = exchange.read_grants(sent.data());
  if (!answered.ok()) return answered;
  Clock::time_point now = Clock::now();
  for (size_t i = 0; i < unanswered.size(); ++i) {
    size_t position = unanswered[i];
    grants[position] = sent[i];
    cache->note(entries[position], sent[i], now);
  }
  return Status();
}

Status TokenClient::acquire(const TokenRequest& request, TokenGrant* grant) {
  *grant = TokenGrant();
  return acquire_entries(&request, 1, grant);
}

Status TokenClient::acquire(const TokenRequest& request, uint32_t* granted) {
  TokenGrant grant;
  Status answered = acquire(request, &grant);
  *granted = grant.tokens;
  return answered;
}

Status TokenClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                  std::vector<TokenGrant>* grants) {
  grants->assign(batch.size(), TokenGrant());
  if (batch.empty()) return Status();
  return acquire_entries(batch.data(), batch.size(), grants->data());
}

Status TokenClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                  std::vector<uint32_t>* granted) {
  std::vector<TokenGrant> grants;
  Status answered = acquire_batch(batch, &grants);
  granted->assign(batch.size(), 0);
  for (size_t i = 0; i < grants.size() && answered.ok(); ++i) (*granted)[i] = grants[i].tokens;
  return answered;
}

}  // namespace token_client
