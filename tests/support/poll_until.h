// A bounded wait, in tests, for what another thread or process does.
#pragma once

#include <chrono>
#include <thread>

namespace token_server {

// Checks `done` every `step` until it holds; false when `limit` passes first.
template <typename Predicate>
bool poll_until(Predicate done, std::chrono::milliseconds limit,
                std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace token_server
