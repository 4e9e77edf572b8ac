// The state file's layout: writing it as the records come, checking it whole and reading it back.
#include "server/state_file.h"

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "accounting/client_registry.h"

namespace token_server {

namespace {

constexpr std::string_view kHeaderMagic = "TOKSTATE";
constexpr std::string_view kTrailerMagic = "TOKSEND\n";
constexpr size_t kHeaderSize = kHeaderMagic.size() + 2 * sizeof(uint32_t) + sizeof(int64_t);
constexpr size_t kChecksumSize = sizeof(uint32_t);
constexpr size_t kTrailerSize = kTrailerMagic.size() + sizeof(uint64_t) + kChecksumSize;
constexpr size_t kRecordNumbersSize = 3 * sizeof(double);
// Large enough that a write of a million keys takes a few hundred system calls.
constexpr size_t kWriteBufferSize = 256 * 1024;

unsigned long crc_of(unsigned long crc, const void* bytes, size_t size) {
  return ::crc32(crc, static_cast<const Bytef*>(bytes), static_cast<uInt>(size));
}

// Reads a value of type T at `at` and moves past it; the caller checked that it fits.
template <typename T>
T take(std::string_view bytes, size_t* at) {
  T value;
  std::memcpy(&value, bytes.data() + *at, sizeof value);
  *at += sizeof value;
  return value;
}

bool is_kept_bucket(const BasicTokenBucket::Held& held) {
  return std::isfinite(held.rate) && held.rate > 0 && std::isfinite(held.burstSize) &&
         held.burstSize > 0 && std::isfinite(held.tokens) && held.tokens >= 0;
}

// Walks the records between header and trailer, handing each to `take_record` when given; the
// problem with them, or an empty string.
std::string walk_records(std::string_view bytes, uint64_t count, const StateRecordVisit* visit) {
  size_t at = kHeaderSize;
  const size_t end = bytes.size() - kTrailerSize;
  for (uint64_t record = 0; record < count; ++record) {
    if (at >= end) return "fewer records than its count";
    size_t key_length = static_cast<unsigned char>(bytes[at++]);
    if (key_length == 0 || key_length > kMaxAccessKeyLength || end - at < key_length) {
      return "record " + std::to_string(record + 1) + " is malformed";
    }
    std::string_view key = bytes.substr(at, key_length);
    at += key_length;
    if (end - at < kRecordNumbersSize || key.find('\0') != std::string_view::npos) {
      return "record " + std::to_string(record + 1) + " is malformed";
    }
    BasicTokenBucket::Held held;
    held.rate = take<double>(bytes, &at);
    held.burstSize = take<double>(bytes, &at);
    held.tokens = take<double>(bytes, &at);
    if (!is_kept_bucket(held)) return "record " + std::to_string(record + 1) + " is malformed";
    if (visit != nullptr) (*visit)(key, held);
  }
  if (at != end) return "more records than its count";
  return {};
}

}  // namespace

StateFileWriter::StateFileWriter(int fd, int64_t wall_nanos) : fd_(fd), crc_(crc_of(0, "", 0)) {
  buffer_.reserve(kWriteBufferSize);
  append(kHeaderMagic.data(), kHeaderMagic.size());
  uint32_t version = kStateFileVersion;
  uint32_t zero = 0;
  append(&version, sizeof version);
  append(&zero, sizeof zero);
  append(&wall_nanos, sizeof wall_nanos);
}

void StateFileWriter::add(const char* accesskey, const BasicTokenBucket::Held& held) {
  auto key_length = static_cast<unsigned char>(std::strlen(accesskey));
  append(&key_length, sizeof key_length);
  append(accesskey, key_length);
  append(&held.rate, sizeof held.rate);
  append(&held.burstSize, sizeof held.burstSize);
  // A draw timed after the snapshot leaves no tokens at it, never fewer.
  double tokens = held.tokens < held.burstSize ? held.tokens : held.burstSize;
  append(&tokens, sizeof tokens);
  ++records_;
}

bool StateFileWriter::finish() {
  append(kTrailerMagic.data(), kTrailerMagic.size());
  append(&records_, sizeof records_);
  crc_ = crc_of(crc_, buffer_.data(), buffer_.size());
  auto checksum = static_cast<uint32_t>(crc_);
  buffer_.insert(buffer_.end(), reinterpret_cast<const unsigned char*>(&checksum),
                 reinterpret_cast<const unsigned char*>(&checksum) + sizeof checksum);
  write_buffer();
  if (failed()) errno = error_;
  return !failed();
}

void StateFileWriter::append(const void* bytes, size_t size) {
  const auto* first = static_cast<const unsigned char*>(bytes);
  buffer_.insert(buffer_.end(), first, first + size);
  if (buffer_.size() >= kWriteBufferSize) flush();
}

void StateFileWriter::flush() {
  crc_ = crc_of(crc_, buffer_.data(), buffer_.size());
  write_buffer();
}

void StateFileWriter::write_buffer() {
  size_t written = 0;
  while (error_ == 0 && written < buffer_.size()) {
    ssize_t count = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (count > 0) {
      written += static_cast<size_t>(count);
    } else if (count < 0 && errno != EINTR) {
      error_ = errno;
    } else if (count == 0) {
      error_ = EIO;
    }
  }
  buffer_.clear();
}

StateFileCheck check_state_file(std::string_view bytes) {
  StateFileCheck check;
  if (bytes.size() < kHeaderSize || bytes.substr(0, kHeaderMagic.size()) != kHeaderMagic) {
    check.problem = "not a state file";
    return check;
  }
  size_t at = kHeaderMagic.size();
  auto version = take<uint32_t>(bytes, &at);
  if (version != kStateFileVersion) {
    check.problem = "version " + std::to_string(version) + ", this server reads version " +
                    std::to_string(kStateFileVersion);
    return check;
  }
  take<uint32_t>(bytes, &at);
  check.wall_nanos = take<int64_t>(bytes, &at);
  if (bytes.size() < kHeaderSize + kTrailerSize ||
      bytes.substr(bytes.size() - kTrailerSize, kTrailerMagic.size()) != kTrailerMagic) {
    check.problem = "truncated";
    return check;
  }
  at = bytes.size() - kChecksumSize;
  auto stored = take<uint32_t>(bytes, &at);
  if (static_cast<uint32_t>(crc_of(crc_of(0, "", 0), bytes.data(), bytes.size() - kChecksumSize)) !=
      stored) {
    check.problem = "checksum mismatch";
    return check;
  }
  at = bytes.size() - kTrailerSize + kTrailerMagic.size();
  check.records = take<uint64_t>(bytes, &at);
  check.problem = walk_records(bytes, check.records, nullptr);
  return check;
}

void read_state_records(std::string_view bytes, const StateRecordVisit& take_record) {
  size_t at = bytes.size() - kTrailerSize + kTrailerMagic.size();
  walk_records(bytes, take<uint64_t>(bytes, &at), &take_record);
}

}  // namespace token_server
