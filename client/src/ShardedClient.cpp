#include "token_client/ShardedClient.h"

#include <poll.h>

#include <algorithm>
#include <cassert>
#include <numeric>

#include "deny_cache.h"
#include "exchange.h"
#include "fleet_health.h"
#include "rendezvous.h"

namespace token_client {

namespace {

// Whether a call's error shows the server failed, rather than that it answered no to the request
// or that the caller could not get a connection.
bool is_server_failure(const Status& status) {
  switch (status.code()) {
    case StatusCode::kConnectFailed:
    case StatusCode::kTimeout:
    case StatusCode::kConnectionLost:
      return true;
    default:
      return false;
  }
}

Status first_error(const Grant* grants, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!grants[i].status.ok()) return grants[i].status;
  }
  return Status();
}

}  // namespace

// One call's way through the fleet, in rounds. A round places each open entry (by the policy when
// its own server is down), sends each server's part on a connection of that server's pool,
// carries all the parts with one poll, and settles the entries from the answers. A server that
// fails in a round is marked down and left out of the later rounds, and its entries are open
// again; so every round but the last leaves one more server out, and a call has at most one round
// more than there are servers.
//
// What a call works with is kept per thread from one call to the next (Scratch), so that a call
// allocates nothing once its thread has made one as large.
class ShardedClient::Call {
 public:
  Call(ShardedClient& client, const TokenRequest* entries, size_t count, Grant* grants)
      : client_(client),
        entries_(entries),
        grants_(grants),
        scratch_(thread_scratch()),
        open_(scratch_.open),
        owners_(scratch_.owners) {
    open_.resize(count);
    std::iota(open_.begin(), open_.end(), 0);
    owners_.resize(count);
    while (scratch_.servers.size() < client.server_count()) {
      scratch_.servers.push_back(std::make_unique<Server>());
    }
    for (size_t i = 0; i < client.server_count(); ++i) {
      server(i).failed = false;
      server(i).status = Status();
    }
  }
  // Every connection borrowed goes back, however the call ends; one whose exchange was cut
  // short is closed first, its reply unread.
  ~Call() {
    for (size_t i = 0; i < server_count(); ++i) {
      Server& part = server(i);
      if (!part.connection) continue;
      if (!part.exchange.done()) part.connection->close();
      part.connection.reset();
    }
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void run() {
    answer_from_cache();
    while (!open_.empty()) {
      place_open_entries();
      send_parts();
      for (size_t i = 0; i < server_count(); ++i) settle_part(i);
      if (parts_waiting_) send_waiting_parts();
      std::sort(open_.begin(), open_.end());  // a key named twice keeps its order
    }
  }

  // Each server's error in this call, or why keys were not sent to it; ok otherwise.
  void take_server_status(std::vector<Status>* statuses) {
    for (size_t i = 0; i < server_count(); ++i) (*statuses)[i] = std::move(server(i).status);
  }

 private:
  // What the call holds for one server.
  struct Server {
    bool failed = false;                // it failed in this call
    bool usable = false;                // this round may send to it
    bool waiting = false;               // its pool had no connection free for this round
    Status status;                      // its error in this call, or why it was left out
    std::vector<size_t> positions;      // this round's part: its entries' places in the batch
    TokenClientPool::Lease connection;  // from its pool, for the round
    Exchange exchange;
  };
  struct Scratch {
    std::vector<size_t> open;    // places in the batch of the entries not settled yet
    std::vector<size_t> owners;  // the own server of each entry
    std::vector<std::unique_ptr<Server>> servers;  // as many as the largest client's servers
    std::vector<Exchange*> running;                // this round's exchanges, for run_exchanges
    std::vector<pollfd> watch;
    std::vector<TokenGrant> answers;  // one part's grants, read from its reply
  };

  // A call runs on its caller's thread from start to end and calls out to nothing that could
  // start another, so one Scratch a thread serves every call.
  static Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
  }

  size_t server_count() const { return client_.server_count(); }

  // Settles the entries the deny cache answers before any is placed; they count as their own
  // server's.
  void answer_from_cache() {
    DenyCache* cache = client_.deny_cache_.get();
    if (cache == nullptr) return;
    Exchange::Clock::time_point now = Exchange::Clock::now();
    TokenGrant cached;
    size_t kept = 0;
    for (size_t position : open_) {
      if (cache->answer(entries_[position], now, &cached)) {
        Grant& grant = grants_[position];
        grant = Grant{0, client_.server_for(entries_[position].accesskey), false, true, Status()};
        grant.retry_after = cached.retry_after;
        grant.cached = true;
      } else {
        open_[kept++] = position;
      }
    }
    open_.resize(kept);
  }
  Server& server(size_t index) { return *scratch_.servers[index]; }

  void place_open_entries() {
    for (size_t i = 0; i < server_count(); ++i) {
      server(i).usable = !server(i).failed && client_.health_->up(i);
    }
    for (size_t position : open_) {
      Placement placement =
          place_key(client_.names_, client_.name_hashes_, entries_[position].accesskey,
                    [this](size_t index) { return server(index).usable; });
      owners_[position] = placement.owner;
      if (server(placement.owner).usable) {
        server(placement.owner).positions.push_back(position);
        continue;
      }
      note_down(placement.owner);
      switch (client_.fleet_.policy) {
        case FailurePolicy::kFailover:
          if (placement.target != kNoServer) {
            server(placement.target).positions.push_back(position);
          } else {
            leave_ungranted(position);
          }
          break;
        case FailurePolicy::kFailClosed:
          leave_ungranted(position);
          break;
        case FailurePolicy::kFailOpen:
          grants_[position] = Grant{static_cast<uint32_t>(entries_[position].need_tokens),
                                    placement.owner, false, false, Status()};
          break;
      }
    }
    open_.clear();
  }

  // The owner of a key this round cannot use: its status says why, when nothing in this call
  // has yet.
  void note_down(size_t owner) {
    Status& status = server(owner).status;
    if (status.ok()) status = client_.health_->down_error(owner);
  }

  // An entry no server will answer: it keeps the failure of the last server it was sent to, or
  // takes its own server's.
  void leave_ungranted(size_t position) {
    Grant& grant = grants_[position];
    if (grant.status.ok())
      grant = Grant{0, owners_[position], false, true, server(owners_[position]).status};
  }

  // Sends each part whose pool has a connection free now, and carries them all at once. A part
  // whose pool is busy waits for send_waiting_parts, so that no server's exchange starts its
  // clock, or holds its connection, while the call waits for another server's pool.
  void send_parts() {
    std::vector<Exchange*>& running = scratch_.running;
    running.clear();
    auto now = Exchange::Clock::now();
    if (borrow_deadline_ == Exchange::Clock::time_point()) {  // the call's first round
      borrow_deadline_ = now + client_.pool_options_.borrow_timeout;
    }
    for (size_t i = 0; i < server_count(); ++i) {
      Server& part = server(i);
      if (part.positions.empty()) continue;
      part.connection = TokenClientPool::Lease(*client_.pools_[i], now);
      if (!part.connection) {
        part.waiting = parts_waiting_ = true;
        continue;
      }
      if (start_part(i)) running.push_back(&part.exchange);
    }
    carry(running);
  }

  // Each part whose pool was busy, one at a time: the call waits for that pool (until the
  // call's borrow deadline) holding no connection of any other server.
  void send_waiting_parts() {
    parts_waiting_ = false;
    for (size_t i = 0; i < server_count(); ++i) {
      Server& part = server(i);
      if (!part.waiting) continue;
      part.waiting = false;
      part.connection = TokenClientPool::Lease(*client_.pools_[i], borrow_deadline_);
      if (!part.connection) {
        settle_unanswered(i, part.connection.status());
        continue;
      }
      std::vector<Exchange*>& running = scratch_.running;
      running.clear();
      if (start_part(i)) running.push_back(&part.exchange);
      carry(running);
      settle_part(i);
    }
  }

  // Starts the exchange of a part whose connection is borrowed; false when the server went down
  // meanwhile (a borrow that waited may have waited for calls that found it failing): the part
  // goes to the next round, which places it without waiting for the server again.
  bool start_part(size_t index) {
    Server& part = server(index);
    if (!client_.health_->up(index)) {
      part.connection.reset();
      open_.insert(open_.end(), part.positions.begin(), part.positions.end());
      part.positions.clear();
      return false;
    }
    EntryList entries(entries_, part.positions.data(), part.positions.size());
    part.exchange.start_token_request(&part.connection->connection(), entries,
                                      Exchange::Clock::now(), holds_fallback(index));
    return true;
  }

  // Whether a part holds a key whose own server is another, down: the request then says so, and
  // the server starts each key new to it empty instead of granting a free burst. A key of its own
  // in the same request, if new, starts empty too.
  bool holds_fallback(size_t index) {
    const std::vector<size_t>& positions = server(index).positions;
    return std::any_of(positions.begin(), positions.end(),
                       [&](size_t position) { return owners_[position] != index; });
  }

  void carry(std::vector<Exchange*>& running) {
    scratch_.watch.resize(running.size());
    run_exchanges(running.data(), scratch_.watch.data(), running.size());
  }

  void settle_part(size_t index) {
    Server& part = server(index);
    if (!part.connection) return;  // no part this round, or no connection for it
    Status answered = part.exchange.status();
    std::vector<TokenGrant>& answers = scratch_.answers;
    if (answered.ok()) {
      answers.resize(part.positions.size());
      answered = part.exchange.read_grants(answers.data());
    }
    bool failed = is_server_failure(answered);
    // Down before the connection goes back: a call that waits for it then finds the server down.
    if (failed) client_.health_->mark_down(index, answered);
    part.connection.reset();
    if (answered.ok()) {
      DenyCache* cache = client_.deny_cache_.get();
      Exchange::Clock::time_point now = Exchange::Clock::now();
      for (size_t j = 0; j < part.positions.size(); ++j) {
        size_t position = part.positions[j];
        const TokenGrant& answer = answers[j];
        Grant& grant = grants_[position];
        grant = Grant{answer.tokens, index, index != owners_[position], true, Status()};
        grant.remaining = answer.remaining;
        grant.retry_after = answer.retry_after;
        if (cache != nullptr) cache->note(entries_[position], answer, now);
      }
      part.positions.clear();
    } else if (failed) {
      part.failed = true;
      part.status = answered;
      for (size_t position : part.positions) {
        grants_[position] = Grant{0, index, index != owners_[position], true, answered};
        open_.push_back(position);
      }
      part.positions.clear();
    } else {
      settle_unanswered(index, answered);
    }
  }

  // The server is up but answered no (a refusal, a bad reply) or could not be reached for want
  // of a connection: its entries get nothing, and stay with it.
  void settle_unanswered(size_t index, const Status& error) {
    Server& part = server(index);
    part.status = error;
    for (size_t position : part.positions) {
      grants_[position] = Grant{0, index, index != owners_[position], true, error};
    }
    part.positions.clear();
  }

  ShardedClient& client_;
  const TokenRequest* const entries_;
  Grant* const grants_;
  Scratch& scratch_;
  std::vector<size_t>& open_;
  std::vector<size_t>& owners_;
  // The most the call waits for busy pools, set by its first round.
  Exchange::Clock::time_point borrow_deadline_{};
  bool parts_waiting_ = false;  // some part of this round waits for its pool
};

ShardedClient::ShardedClient(const std::vector<Endpoint>& servers, ClientOptions options,
                             PoolOptions pool, FleetOptions fleet)
    : pool_options_(pool), fleet_(fleet), deny_cache_(options.deny_cache) {
  assert(!servers.empty());
  std::vector<TokenClientPool*> pools;
  for (const Endpoint& server : servers) {
    names_.push_back(server.to_string());
    name_hashes_.push_back(hash_server_name(names_.back()));
    pools_.push_back(std::make_unique<TokenClientPool>(server, options, pool));
    pools.push_back(pools_.back().get());
  }
  health_ = std::make_unique<FleetHealth>(std::move(pools), fleet);
}

ShardedClient::~ShardedClient() = default;

size_t ShardedClient::server_for(const std::string& accesskey) const {
  return place_key(names_, name_hashes_, accesskey, [](size_t) { return false; }).owner;
}

ServerHealth ShardedClient::server_health(size_t index) const { return health_->health(index); }

void ShardedClient::close() {
  health_->close();
  for (auto& pool : pools_) pool->close();
}

Status ShardedClient::acquire(const TokenRequest& request, Grant* grant) {
  *grant = Grant();
  Status checked = check_entries({&request, 1});
  if (!checked.ok()) return grant->status = checked;
  Call(*this, &request, 1, grant).run();
  return grant->status;
}

Status ShardedClient::acquire(const TokenRequest& request, uint32_t* granted) {
  Grant grant;
  Status answered = acquire(request, &grant);
  *granted = grant.tokens;
  return answered;
}

Status ShardedClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                    std::vector<Grant>* grants,
                                    std::vector<Status>* server_status) {
  grants->assign(batch.size(), Grant());
  if (server_status != nullptr) server_status->assign(server_count(), Status());
  // A bad entry fails the whole batch before any server is asked.
  Status checked = check_entries({batch.data(), batch.size()});
  if (!checked.ok()) {
    for (Grant& grant : *grants) grant.status = checked;
    return checked;
  }
  Call call(*this, batch.data(), batch.size(), grants->data());
  call.run();
  if (server_status != nullptr) call.take_server_status(server_status);
  return first_error(grants->data(), grants->size());
}

Status ShardedClient::acquire_batch(const std::vector<TokenRequest>& batch,
                                    std::vector<uint32_t>* granted,
                                    std::vector<Status>* server_status) {
  std::vector<Grant> grants;
  Status answered = acquire_batch(batch, &grants, server_status);
  granted->assign(batch.size(), 0);
  for (size_t i = 0; i < grants.size(); ++i) (*granted)[i] = grants[i].tokens;
  return answered;
}

}  // namespace token_client
