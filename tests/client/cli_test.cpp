// token-client against the real binary: its output and its exit statuses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/poll_until.h"
#include "tests/support/server_process.h"

#if !defined(TOKEN_CLIENT_CLI) || !defined(TOKEN_PROJECT_VERSION)
#error "TOKEN_CLIENT_CLI must name the command-line client, TOKEN_PROJECT_VERSION its version"
#endif

namespace {

using token_server::poll_until;
using token_server::PortLock;
using token_server::read_file;
using token_server::ServerProcess;

constexpr auto kRunLimit = std::chrono::seconds(30);

struct CliRun {
  int exit_status = -1;
  std::string out;
  std::string err;
};

// `out` without the detail that ends each line.
std::string without_detail(const std::string& out) {
  std::string plain;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    plain += line.substr(0, line.find(" remaining=")) + "\n";
  }
  return plain;
}

std::string temp_file() {
  char path[] = "/tmp/token_client_cli_XXXXXX";
  ::close(::mkstemp(path));
  return path;
}

// Runs `command` (a program on the PATH, or the client); one still running after kRunLimit is
// killed.
CliRun run_command(const std::vector<std::string>& command) {
  std::string out_path = temp_file();
  std::string err_path = temp_file();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open(out_path.c_str(), O_WRONLY | O_TRUNC), 1);
    ::dup2(::open(err_path.c_str(), O_WRONLY | O_TRUNC), 2);
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  CliRun run;
  int status = 0;
  if (!poll_until([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, kRunLimit)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  ::unlink(out_path.c_str());
  ::unlink(err_path.c_str());
  return run;
}

CliRun run_cli(const std::vector<std::string>& args) {
  std::vector<std::string> command = {TOKEN_CLIENT_CLI};
  command.insert(command.end(), args.begin(), args.end());
  return run_command(command);
}

// "127.0.0.1:6666 OK 0.123 ms\n": milliseconds with three decimals.
bool is_ping_line(const std::string& out) {
  const std::string prefix = "127.0.0.1:6666 OK ";
  const std::string suffix = " ms\n";
  if (out.size() <= prefix.size() + suffix.size() || out.rfind(prefix, 0) != 0) return false;
  if (out.compare(out.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  std::string millis = out.substr(prefix.size(), out.size() - prefix.size() - suffix.size());
  size_t point = millis.find('.');
  return point != std::string::npos && point > 0 && millis.size() - point == 4 &&
         millis.find_first_not_of("0123456789.") == std::string::npos;
}

bool is_one_error_line(const std::string& err) {
  const std::string prefix = "token-client: ";
  return err.rfind(prefix, 0) == 0 && err.size() > prefix.size() + 1 &&
         err.find('\n') == err.size() - 1;
}

// While the port's lock is held and no server is started, nothing listens: a ping exits 1.
TEST(Cli, PingPrintsTheRoundTripOrExitsOneWithoutAServer) {
  PortLock lock;
  CliRun refused = run_cli({"ping"});
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "token-client: connect 127.0.0.1:6666: Connection refused\n");
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  CliRun run = run_cli({"ping"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(is_ping_line(run.out)) << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(Cli, AcquirePrintsEachKeysGrantInOrder) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  CliRun run = run_cli({"--server", "127.0.0.1:6666", "acquire", "svc-a", "5", "10", "20", "svc-b",
                        "0", "1", "1", "svc-a", "30", "10", "20", "--timeout", "5"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  // New keys' buckets stay full; the last entry empties svc-a's and waits 1 s for 10 more.
  EXPECT_EQ(run.out,
            "svc-a 5 remaining=20 retry_after_ms=0\nsvc-b 0 remaining=1 retry_after_ms=0\n"
            "svc-a 20 remaining=0 retry_after_ms=1000\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(server.wait_for_stdout(
      "message from client: "
      "{\"detail\":true,\"array\":[{\"accesskey\":\"svc-a\",\"need_tokens\":5,"));
}

TEST(Cli, RefusedRequestExitsOneSayingSo) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  // The server says why at once: a timeout of an hour is not waited out.
  CliRun run = run_cli({"--timeout=3600", "acquire", "fresh", "1", "0", "0"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "token-client: request refused by 127.0.0.1:6666: invalid token request: entry 1: "
            "gen_rate must be positive for a new access key; not granted: fresh\n");
}

TEST(Cli, FailedServerLeavesItsKeysToThePolicy) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  // Nothing listens on port 1. svc-a and svc-b hash to 127.0.0.1:6666, svc-c and svc-d to it.
  // Moved to 127.0.0.1:6666, svc-c and svc-d are new there and start empty: "fallback".
  const std::string refused = "token-client: connect 127.0.0.1:1: Connection refused; ";
  struct Row {
    std::vector<std::string> options;
    std::string out;
    std::string err;
  };
  for (const Row& row : {
           Row{{"--policy", "fail_closed"},
               "svc-a 1\nsvc-b 3\n",
               refused + "not granted: svc-c svc-d\n"},
           Row{{},
               "svc-a 1\nsvc-c 0\nsvc-b 3\nsvc-d 0\n",
               refused + "answered by other servers: svc-c svc-d\n"},
           Row{{"--show-server"},
               "svc-a 1 127.0.0.1:6666\nsvc-c 0 127.0.0.1:6666 fallback\n"
               "svc-b 3 127.0.0.1:6666\nsvc-d 0 127.0.0.1:6666 fallback\n",
               refused + "answered by other servers: svc-c svc-d\n"},
           Row{{"--policy=fail_open", "--show-server"},
               "svc-a 1 127.0.0.1:6666\nsvc-c 2 unchecked\nsvc-b 3 127.0.0.1:6666\nsvc-d 4 "
               "unchecked\n",
               refused + "granted unchecked: svc-c svc-d\n"},
       }) {
    std::vector<std::string> args = row.options;
    for (const char* arg :
         {"--server", "127.0.0.1:6666", "--server", "127.0.0.1:1", "acquire", "svc-a", "1", "1",
          "20",       "svc-c",          "2",        "1",           "20",      "svc-b", "3", "1",
          "20",       "svc-d",          "4",        "1",           "20"}) {
      args.push_back(arg);
    }
    CliRun run = run_cli(args);
    EXPECT_EQ(run.exit_status, 1) << row.out;
    // Later rows find the buckets drawn by earlier ones: what is left depends on the time between.
    EXPECT_EQ(without_detail(run.out), row.out);
    EXPECT_EQ(run.err, row.err);
  }
}

// A resolver that never answers: a UDP socket on port 53 of a loopback address, named by a
// resolv.conf that a mount namespace of the client's own puts in place.
TEST(Cli, ASlowNameHoldsNoCallPastItsTimeoutNorMarksAnotherServerDown) {
  if (::geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
  constexpr char kSilentResolver[] = "127.25.25.53";
  int resolver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  ::inet_pton(AF_INET, kSilentResolver, &address.sin_addr);
  ASSERT_EQ(::bind(resolver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string resolv_conf = temp_file();
  {
    std::ofstream(resolv_conf) << "nameserver " << kSilentResolver
                               << "\noptions timeout:5 attempts:1\n";
  }
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  std::vector<std::string> in_namespace = {"unshare",
                                           "--mount",
                                           "sh",
                                           "-c",
                                           "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                                           resolv_conf,
                                           TOKEN_CLIENT_CLI,
                                           "--timeout",
                                           "0.2"};
  struct Row {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  };
  std::string slow =
      "token-client: connect slow.invalid:6666: no address for the name within 200 ms";
  for (const Row& row : {
           Row{{"--server", "slow.invalid", "ping"}, "", slow + "\n"},
           Row{{"--server", "127.0.0.1:6666", "--server", "slow.invalid", "--show-server",
                "acquire", "svc-a", "1", "1", "20", "svc-c", "2", "1", "20"},
               "svc-a 1 127.0.0.1:6666 remaining=20 retry_after_ms=0\n"
               "svc-c 0 127.0.0.1:6666 fallback remaining=0 retry_after_ms=2000\n",
               slow + "; answered by other servers: svc-c\n"},
       }) {
    std::vector<std::string> command = in_namespace;
    command.insert(command.end(), row.args.begin(), row.args.end());
    auto started = std::chrono::steady_clock::now();
    CliRun run = run_command(command);
    // The resolver is waited for 5 s; the call ends by its own 0.2 s connect timeout.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, row.out);
    EXPECT_EQ(run.err, row.err);
  }
  ::close(resolver);
  ::unlink(resolv_conf.c_str());
}

// A negative rate or burst, and a key after "--" that starts with a dash, are values, not options.
TEST(Cli, ArgumentsStartingWithADashAreValues) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  ASSERT_EQ(run_cli({"acquire", "neg", "5", "10", "10"}).out,
            "neg 5 remaining=10 retry_after_ms=0\n");
  // A known key keeps its stored rate and burst for values of 0 or less: its bucket holds 10.
  CliRun run = run_cli({"acquire", "neg", "12", "-3", "-10"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "neg 10 remaining=0 retry_after_ms=200\n");
  EXPECT_TRUE(server.wait_for_stdout("\"need_tokens\":12,\"gen_rate\":-3,\"burst_size\":-10"));
  run = run_cli({"acquire", "--", "-dash", "2", "1", "5"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "-dash 2 remaining=5 retry_after_ms=0\n");
}

TEST(Cli, BadCommandLinesExitTwoAndSendNothing) {
  ServerProcess server;
  ASSERT_TRUE(server.listening());
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"fetch"},
      {"ping", "extra"},
      {"acquire"},
      {"acquire", "k", "1", "1"},
      {"acquire", "k", "-1", "1", "1"},
      {"acquire", "k", "1", "1", "2147483648"},
      {"acquire", "k", "1x", "1", "1"},
      {"acquire", std::string(30, 'k'), "1", "1", "1"},
      {"--timeout", "0", "ping"},
      {"--timeout", "0.0009", "ping"},
      {"--timeout", "3601", "ping"},
      {"--timeout", "soon", "ping"},
      {"--server", "host:99999", "ping"},
      {"--server"},
      {"--policy", "sometimes", "ping"},
      {"--policy"},
      {"--verbose", "ping"},
      {"acquire", "k", "1", "-x", "1"},
  };
  for (const std::vector<std::string>& args : bad) {
    CliRun run = run_cli(args);
    std::string shown = args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_EQ(run.exit_status, 2) << shown;
    EXPECT_EQ(run.out, "") << shown;
    EXPECT_TRUE(is_one_error_line(run.err)) << run.err;
  }
  EXPECT_EQ(server.stdout_text(), "listen on port 6666\n");
}

TEST(Cli, HelpAndVersionExitZero) {
  CliRun help = run_cli({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("usage: token-client", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("from 0.001 to 3600"), std::string::npos) << help.out;
  EXPECT_EQ(help.err, "");
  CliRun version = run_cli({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "token-client " TOKEN_PROJECT_VERSION "\n");
  EXPECT_EQ(version.err, "");
}

}  // namespace
