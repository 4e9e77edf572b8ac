// discard-stdout PROGRAM [ARG]...: runs PROGRAM with standard output on /dev/null.
//
// The container image starts the server through it. The server's standard output is its
// per-request trace, tens of megabytes a second under load, which would flood a container's log;
// on /dev/null the server does not even format it. An image without a shell cannot redirect
// otherwise. Standard error, the server's reports, stays where the container runtime put it.
// On it goes first one line with the image's version and ports, so that the container's log
// tells what runs: the server itself writes nothing there while all is well.
//
// Exit status: PROGRAM's own, since PROGRAM replaces this process; 1 when /dev/null cannot be
// opened, 2 without PROGRAM, 127 when PROGRAM cannot be run.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifndef TOKEN_SERVER_VERSION
#error "TOKEN_SERVER_VERSION must give the project's version"
#endif

namespace {

constexpr int kExitNoNull = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNotRun = 127;  // as a shell reports a command it cannot run
constexpr char kNullDevice[] = "/dev/null";
// The ports are those the image exposes (packaging/Containerfile).
constexpr char kStartLine[] = "token-server " TOKEN_SERVER_VERSION
                              " starting: token requests on port 6666, HTTP (/metrics, /healthz) "
                              "on port 9666; the trace on standard output is discarded\n";

// False when standard output could not be put on the null device.
bool discard_stdout() {
  int null_fd = open(kNullDevice, O_WRONLY);
  if (null_fd < 0) return false;
  // Descriptor 1 was closed, so open() gave back 1: it is already where it belongs.
  if (null_fd == STDOUT_FILENO) return true;
  bool moved = dup2(null_fd, STDOUT_FILENO) == STDOUT_FILENO;
  close(null_fd);
  return moved;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs("usage: discard-stdout PROGRAM [ARG]...\n", stderr);
    return kExitUsage;
  }
  if (!discard_stdout()) {
    std::perror("discard-stdout: /dev/null");
    return kExitNoNull;
  }
  std::fputs(kStartLine, stderr);
  execv(argv[1], argv + 1);
  int exec_error = errno;
  std::fprintf(stderr, "discard-stdout: %s: %s\n", argv[1], std::strerror(exec_error));
  return kExitNotRun;
}
