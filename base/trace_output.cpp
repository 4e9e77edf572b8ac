// Writing trace lines to a descriptor: how, decided from what it is, and the gate that keeps
// every line whole while short writes go out side by side.
#include "base/trace_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace token_base {

namespace {

constexpr char kDevNullPath[] = "/dev/null";
constexpr char kOwnDescriptors[] = "/proc/self/fd/";

// A short write takes microseconds unless it waits for room; a writer waiting to be alone
// yields this many times before it checks only every kDrainPause.
constexpr int kDrainYields = 8;
constexpr auto kDrainPause = std::chrono::microseconds(100);

// Each thread's slot in every gate, handed out in turn as threads first write.
std::atomic<unsigned> next_writer_slot{0};
thread_local int writer_slot = -1;

// Whether fd was opened for writing: a pipe's read end given as an output must not be turned
// into a writer of that pipe.
bool is_open_for_writing(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace

OutputKind classify_output(const struct stat& output, const struct stat* dev_null) {
  if (S_ISREG(output.st_mode)) return OutputKind::kRegularFile;
  if (S_ISFIFO(output.st_mode)) return OutputKind::kPipe;
  if (S_ISSOCK(output.st_mode)) return OutputKind::kSocket;
  if (!S_ISCHR(output.st_mode)) return OutputKind::kOther;
  bool is_dev_null =
      dev_null != nullptr && S_ISCHR(dev_null->st_mode) && output.st_rdev == dev_null->st_rdev;
  return is_dev_null ? OutputKind::kDevNull : OutputKind::kCharDevice;
}

int WriteDeadline::millis_left() const {
  auto left = at_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

WriteGate::Slot* WriteGate::begin_short_write() {
  Slot& slot = slot_of_this_thread();
  // Sequentially consistent on both sides: either this write sees the gate closed, or the writer
  // closing it sees this write under way and waits for it.
  slot.writing.fetch_add(1, std::memory_order_seq_cst);
  if (!closed_.load(std::memory_order_seq_cst)) return &slot;
  end_short_write(&slot);
  return nullptr;
}

WriteGate::Slot& WriteGate::slot_of_this_thread() {
  if (writer_slot < 0) {
    writer_slot =
        static_cast<int>(next_writer_slot.fetch_add(1, std::memory_order_relaxed) % kWriterSlots);
  }
  return slots_[writer_slot];
}

bool WriteGate::take_turn(WriteDeadline* deadline, bool give_up_if_taken) {
  MutexLock lock(&mutex_);
  while (turn_taken_) {
    if (give_up_if_taken) return false;
    deadline->start();
    if (!turn_free_.wait_until(&mutex_, deadline->at()) && turn_taken_) return false;
  }
  turn_taken_ = true;
  return true;
}

bool WriteGate::close_and_drain(WriteDeadline* deadline) {
  closed_.store(true, std::memory_order_seq_cst);
  for (int round = 0; short_write_under_way(); ++round) {
    deadline->start();
    if (WriteDeadline::Clock::now() >= deadline->at()) return false;
    if (round < kDrainYields) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(kDrainPause);
    }
  }
  return true;
}

bool WriteGate::short_write_under_way() const {
  for (const Slot& slot : slots_) {
    if (slot.writing.load(std::memory_order_seq_cst) != 0) return true;
  }
  return false;
}

void WriteGate::release_turn() {
  closed_.store(line_open_, std::memory_order_seq_cst);
  {
    MutexLock lock(&mutex_);
    turn_taken_ = false;
  }
  turn_free_.notify_one();
}

TraceOutput::~TraceOutput() {
  if (write_fd_ != fd_) ::close(write_fd_);
}

void TraceOutput::open(bool may_discard) {
  struct stat output;
  if (::fstat(fd_, &output) != 0) return;  // closed: every write fails and counts as lost
  struct stat dev_null;
  bool dev_null_known = ::stat(kDevNullPath, &dev_null) == 0;
  switch (classify_output(output, dev_null_known ? &dev_null : nullptr)) {
    case OutputKind::kDevNull:
      mode_ = may_discard ? Mode::kDiscard : Mode::kSideBySide;
      break;
    case OutputKind::kPipe:
      open_private_description();
      mode_ = Mode::kSideBySide;
      break;
    case OutputKind::kCharDevice:
      open_private_description();
      mode_ = Mode::kAlone;
      break;
    case OutputKind::kSocket:
      mode_ = Mode::kSendAlone;
      break;
    case OutputKind::kRegularFile:
    case OutputKind::kOther:
      mode_ = Mode::kSideBySide;
      break;
  }
}

void TraceOutput::open_private_description() {
  if (!is_open_for_writing(fd_)) return;
  std::string path = kOwnDescriptors + std::to_string(fd_);
  // O_NOCTTY: a terminal opened here must not become the process's controlling terminal.
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;  // no /proc, or no reader left: blocking writes on the shared description
  write_fd_ = fd;
}

void TraceOutput::share_gate_with(TraceOutput* other) { gate_ = other->gate_; }

size_t TraceOutput::write_lines(const char* lines, size_t length) {
  if (!every_write_alone()) {
    if (WriteGate::Slot* slot = gate_->begin_short_write()) {
      WriteDeadline deadline;
      size_t written = write_within(lines, length, &deadline);
      gate_->end_short_write(slot);
      // Only a file takes part of a short write: the disk or a quota is full.
      if (written > 0 && written < length && lines[written - 1] != '\n') end_cut_line();
      return written;
    }
  }
  Alone alone(this);
  return alone.write(lines, length);
}

void TraceOutput::end_cut_line() {
  WriteDeadline deadline;
  if (!gate_->take_turn(&deadline, /*give_up_if_taken=*/false)) return;
  gate_->set_line_open(true);
  if (gate_->close_and_drain(&deadline) && write_within("\n", 1, &deadline) == 1) {
    gate_->set_line_open(false);
  }
  gate_->release_turn();  // the gate stays closed while the line is open
}

size_t TraceOutput::write_within(const char* bytes, size_t length, WriteDeadline* deadline) {
  size_t written = 0;
  while (written < length) {
    ssize_t result =
        sends() ? ::send(write_fd_, bytes + written, length - written, MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(write_fd_, bytes + written, length - written);
    if (result > 0) {
      written += static_cast<size_t>(result);
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && errno == EAGAIN && wait_for_room(deadline)) continue;
    break;
  }
  if (written > 0) gate_->set_stalled(false);
  return written;
}

bool TraceOutput::wait_for_room(WriteDeadline* deadline) {
  if (gate_->stalled()) return false;
  deadline->start();
  for (;;) {
    int millis_left = deadline->millis_left();
    if (millis_left == 0) {
      gate_->set_stalled(true);
      return false;
    }
    pollfd wait = {write_fd_, POLLOUT, 0};
    int ready = ::poll(&wait, 1, millis_left);
    if (ready > 0) return true;  // room, or an error that the next write reports
    if (ready < 0 && errno != EINTR) return false;
  }
}

TraceOutput::Alone::Alone(TraceOutput* output) : output_(output), gate_(output->gate_) {
  ready_ = begin();
}

bool TraceOutput::Alone::begin() {
  took_turn_ = gate_->take_turn(&deadline_, /*give_up_if_taken=*/gate_->stalled());
  if (!took_turn_) return false;
  // Where every write goes out alone, no short write can be under way.
  if (!output_->every_write_alone() && !gate_->close_and_drain(&deadline_)) return false;
  if (!gate_->line_open()) return true;
  // A line was cut when its writer's time ran out: end it, so that ours start lines of their own.
  if (output_->write_within("\n", 1, &deadline_) != 1) return false;
  gate_->set_line_open(false);
  return true;
}

TraceOutput::Alone::~Alone() {
  if (took_turn_) gate_->release_turn();
}

size_t TraceOutput::Alone::write(const char* bytes, size_t length) {
  if (!ready_) return 0;
  size_t written = output_->write_within(bytes, length, &deadline_);
  if (written > 0) gate_->set_line_open(bytes[written - 1] != '\n');
  ready_ = written == length;
  return written;
}

}  // namespace token_base
