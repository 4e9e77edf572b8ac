// The state file: every client's bucket, kept on disk so that a restart takes the buckets back.
//
// Layout, in the host's byte order (little-endian on the machines the server runs on):
//   header   "TOKSTATE", u32 version (1), u32 zero, i64 wall-clock time of the snapshot in ns
//            since the Unix epoch
//   records  u8 key length (1 to 29), the key's bytes, then f64 rate, f64 burst size and f64
//            tokens held at the snapshot
//   trailer  "TOKSEND\n", u64 record count, u32 crc32 (zlib) of every byte before it
//
// StateFileWriter writes the file as the records come, through a buffer of its own; the
// functions below check a whole file read into memory and read its records back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "accounting/TokenBucket.h"

namespace token_server {

constexpr uint32_t kStateFileVersion = 1;

// Streams a state file into an open descriptor. Not thread-safe: one writer per file.
class StateFileWriter {
 public:
  // Writes the header of a snapshot taken at `wall_nanos`.
  StateFileWriter(int fd, int64_t wall_nanos);
  StateFileWriter(const StateFileWriter&) = delete;
  StateFileWriter& operator=(const StateFileWriter&) = delete;

  // Adds one client's record; `accesskey` is NUL-terminated, 1 to 29 bytes.
  void add(const char* accesskey, const BasicTokenBucket::Held& held);
  // Writes the trailer and what the buffer holds; false when any write failed, errno set.
  bool finish();
  // A write has failed; errno as it left it.
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }
  uint64_t records() const { return records_; }

 private:
  void append(const void* bytes, size_t size);
  // Adds the buffer to the checksum, then writes it.
  void flush();
  void write_buffer();

  const int fd_;
  std::vector<unsigned char> buffer_;
  unsigned long crc_;  // of every byte written so far
  uint64_t records_ = 0;
  int error_ = 0;
};

// What a checked state file holds, or why it is no good.
struct StateFileCheck {
  std::string problem;  // empty for a good file: "truncated", "checksum mismatch", ...
  int64_t wall_nanos = 0;
  uint64_t records = 0;
};

// Checks a whole file: its header, trailer, checksum and every record.
StateFileCheck check_state_file(std::string_view bytes);

// Calls `take` with each record of a file that check_state_file found good.
using StateRecordVisit =
    std::function<void(std::string_view accesskey, const BasicTokenBucket::Held& held)>;
void read_state_records(std::string_view bytes, const StateRecordVisit& take);

}  // namespace token_server
