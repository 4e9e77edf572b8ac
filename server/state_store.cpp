// Loading the state file at start and writing it while the server runs.
#include "server/state_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "accounting/TokenBucket.h"
#include "protocol/trace.h"
#include "server/state_file.h"
#include "server/unique_fd.h"

namespace token_server {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// A write abandoned at a stop looks at the flag this often, in keys.
constexpr size_t kAbandonCheckInterval = 4096;
constexpr char kTempSuffix[] = ".tmp";
constexpr char kBadSuffix[] = ".bad";

int64_t wall_nanos_now() {
  timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

// The whole file, or false with errno set; a missing file is empty with errno ENOENT.
bool read_whole_file(const std::string& path, std::string* bytes) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status = {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0) return false;
  if (!S_ISREG(status.st_mode)) {
    errno = EISDIR;
    return false;
  }
  bytes->resize(static_cast<size_t>(status.st_size));
  size_t read = 0;
  while (read < bytes->size()) {
    ssize_t count = ::read(file.get(), bytes->data() + read, bytes->size() - read);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    read += static_cast<size_t>(count);
  }
  bytes->resize(read);
  return true;
}

bool sync_directory(const std::string& directory) {
  UniqueFd handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return handle.get() >= 0 && ::fsync(handle.get()) == 0;
}

}  // namespace

StateStore::StateStore(std::string directory)
    : directory_(std::move(directory)),
      path_(directory_ + "/" + kStateFileName),
      temp_path_(path_ + kTempSuffix) {}

void StateStore::load(ClientMap* clients) {
  std::string bytes;
  if (!read_whole_file(path_, &bytes)) {
    if (errno != ENOENT) {
      trace_line(kErrorFd, "state file " + path_ + ": cannot read: " + std::strerror(errno) +
                               "; starting with no buckets");
    }
    return;
  }
  StateFileCheck check = check_state_file(bytes);
  if (!check.problem.empty()) {
    set_aside(check.problem);
    return;
  }
  // The time since the snapshot, on the wall clock: the steady clock restarts with the host.
  double elapsed_seconds = static_cast<double>(wall_nanos_now() - check.wall_nanos) /
                           static_cast<double>(kNanosPerSecond);
  double now = steadyNowMillis();
  uint64_t loaded = 0;
  read_state_records(bytes, [&](std::string_view accesskey, const BasicTokenBucket::Held& held) {
    qos_user_instance_t key = {};
    accesskey.copy(key.accesskey, accesskey.size());
    clients->insert(key, held.rate, held.burstSize,
                    BasicTokenBucket::emptyTimeTakingBack(held, elapsed_seconds, now));
    ++loaded;
  });
  keys_loaded_.store(loaded, std::memory_order_relaxed);
}

void StateStore::set_aside(const std::string& problem) {
  std::string bad_path = path_ + kBadSuffix;
  std::string fate = ::rename(path_.c_str(), bad_path.c_str()) == 0
                         ? "kept as " + bad_path
                         : std::string("cannot keep it aside: ") + std::strerror(errno);
  trace_line(kErrorFd,
             "state file " + path_ + ": " + problem + "; " + fate + ", starting with no buckets");
}

StateStore::WriteResult StateStore::write(const ClientMap& clients,
                                          const std::atomic<bool>& abandon) {
  UniqueFd file(::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0) return fail("cannot create " + temp_path_, errno);
  int64_t wall_nanos = wall_nanos_now();
  StateFileWriter out(file.get(), wall_nanos);
  // Every bucket is read as it stands at one instant, the snapshot's.
  double now = steadyNowMillis();
  size_t visited = 0;
  bool abandoned = false;
  clients.for_each([&](const char* accesskey, BasicTokenBucket& bucket) {
    if (abandoned || out.failed()) return;
    if (++visited % kAbandonCheckInterval == 0 && abandon.load(std::memory_order_relaxed)) {
      abandoned = true;
      return;
    }
    out.add(accesskey, bucket.held(now));
  });
  if (abandoned) {
    ::unlink(temp_path_.c_str());
    return WriteResult::kAbandoned;
  }
  if (!out.finish()) return fail("cannot write " + temp_path_, out.error());
  if (::fsync(file.get()) != 0) return fail("cannot flush " + temp_path_, errno);
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    return fail("cannot rename " + temp_path_, errno);
  }
  if (!sync_directory(directory_)) return fail("cannot flush " + directory_, errno);
  failing_ = false;
  writes_.fetch_add(1, std::memory_order_relaxed);
  last_write_nanos_.store(wall_nanos, std::memory_order_relaxed);
  return WriteResult::kWritten;
}

StateStore::WriteResult StateStore::fail(const std::string& what, int error) {
  ::unlink(temp_path_.c_str());
  write_failures_.fetch_add(1, std::memory_order_relaxed);
  if (!failing_) {
    trace_line(kErrorFd, "state file " + path_ + ": " + what + ": " + std::strerror(error) +
                             "; the last one written stays, and writing goes on being tried");
  }
  failing_ = true;
  return WriteResult::kFailed;
}

}  // namespace token_server
