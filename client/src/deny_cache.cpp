#include "deny_cache.h"

#include <algorithm>
#include <memory>

namespace token_client {

std::shared_ptr<DenyCache> make_deny_cache() { return std::make_shared<DenyCache>(); }

bool DenyCache::answer(const TokenRequest& request, Clock::time_point now, TokenGrant* grant) {
  // A need of 0 is met whatever the bucket holds: it asks what the bucket holds.
  if (request.need_tokens == 0) return false;
  token_base::MutexLock lock(&mutex_);
  auto found = denials_.find(request.accesskey);
  if (found == denials_.end()) return false;
  const Denial& denial = found->second;
  if (now >= denial.until || request.gen_rate != denial.gen_rate ||
      request.burst_size != denial.burst_size) {
    denials_.erase(found);
    return false;
  }
  *grant = TokenGrant();
  grant->retry_after = std::chrono::ceil<std::chrono::milliseconds>(denial.until - now);
  grant->cached = true;
  return true;
}

void DenyCache::answer_entries(EntryList entries, Clock::time_point now, TokenGrant* grants,
                               std::vector<size_t>* unanswered) {
  unanswered->clear();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (answer(entries[i], now, &grants[i])) continue;
    unanswered->push_back(i);
  }
}

void DenyCache::note(const TokenRequest& request, const TokenGrant& grant, Clock::time_point now) {
  bool denied = grant.tokens < static_cast<uint32_t>(request.need_tokens) &&
                grant.retry_after.has_value() && grant.retry_after->count() > 0;
  token_base::MutexLock lock(&mutex_);
  if (!denied) {
    denials_.erase(request.accesskey);
    return;
  }
  denials_[request.accesskey] = {now + *grant.retry_after, request.gen_rate, request.burst_size};
  sweep_if_grown(now);
}

void DenyCache::sweep_if_grown(Clock::time_point now) {
  if (denials_.size() < sweep_at_) return;
  for (auto it = denials_.begin(); it != denials_.end();) {
    it = now >= it->second.until ? denials_.erase(it) : std::next(it);
  }
  sweep_at_ = std::max<size_t>(64, 2 * denials_.size());
}

size_t DenyCache::size() const {
  token_base::MutexLock lock(&mutex_);
  return denials_.size();
}

}  // namespace token_client
