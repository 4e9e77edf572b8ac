// StateStore: where and how the server keeps its buckets on disk (STATE_DIRECTORY), so that a
// restart, a deploy or a crash does not hand every key a full bucket.
//
// One file, token-server.state, in the directory (its layout: server/state_file.h). A write goes
// to token-server.state.tmp, which is flushed, renamed over the file and followed by a flush of
// the directory: a crash at any moment leaves the last whole file. A file that cannot be read
// back is renamed with a ".bad" suffix and the server starts with no buckets.
//
// Thread safety: load runs before the workers serve; write runs on one thread at a time (the
// writer thread, then the stop). Each bucket is read under its own mutex, one at a time, and the
// client map's lock is never taken. The counts are atomics any thread may read.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "accounting/client_registry.h"

namespace token_server {

constexpr char kStateFileName[] = "token-server.state";

class StateStore {
 public:
  explicit StateStore(std::string directory);
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  // Gives `clients` the buckets of the file, refilled for the wall-clock time since it was
  // written. A missing file gives none; a bad one is reported in one line and kept aside.
  void load(ClientMap* clients);

  enum class WriteResult { kWritten, kFailed, kAbandoned };
  // Writes every client's bucket. Gives up, leaving the last file, once `abandon` is set. A
  // failure is counted, and reported in one line when it follows a success or the start.
  WriteResult write(const ClientMap& clients, const std::atomic<bool>& abandon);

  uint64_t writes() const { return writes_.load(std::memory_order_relaxed); }
  uint64_t write_failures() const { return write_failures_.load(std::memory_order_relaxed); }
  // The wall-clock time of the last write, in ns since the Unix epoch; 0 before the first.
  int64_t last_write_nanos() const { return last_write_nanos_.load(std::memory_order_relaxed); }
  uint64_t keys_loaded() const { return keys_loaded_.load(std::memory_order_relaxed); }

 private:
  WriteResult fail(const std::string& what, int error);
  // Keeps a bad file aside and says so.
  void set_aside(const std::string& problem);

  const std::string directory_;
  const std::string path_;
  const std::string temp_path_;
  bool failing_ = false;  // the last write failed; written by the writing thread only
  std::atomic<uint64_t> writes_{0};
  std::atomic<uint64_t> write_failures_{0};
  std::atomic<int64_t> last_write_nanos_{0};
  std::atomic<uint64_t> keys_loaded_{0};
};

}  // namespace token_server
