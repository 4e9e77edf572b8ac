#include "protocol/trace_output.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>

namespace {

constexpr char kDevNullPath[] = "/dev/null";

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

void TraceOutput::open(bool may_discard) {
  struct stat output;
  if (::fstat(fd_, &output) != 0) return;  // closed: every write fails and counts as lost
  struct stat dev_null;
  bool dev_null_known = ::stat(kDevNullPath, &dev_null) == 0;
  OutputKind kind = classify_output(output, dev_null_known ? &dev_null : nullptr);
  discards_ = may_discard && kind == OutputKind::kDevNull;
}

bool TraceOutput::write(iovec* parts, int count) {
  while (count > 0) {
    ssize_t written = ::writev(fd_, parts, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    size_t left = static_cast<size_t>(written);
    for (; count > 0 && left >= parts->iov_len; ++parts, --count) left -= parts->iov_len;
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}
