// token-client: asks token servers for tokens, or checks that they answer, from the shell.
//
// Exit status: 0 when every server answered, 1 when a server could not be reached or did not
// answer, 2 for a command line that cannot be run. Every message goes to standard error as
// "token-client: <what>", one line each; the grants that were made go to standard output even
// when a server failed, whether its keys were answered by others (--policy failover, the
// default), refused (fail_closed) or granted unchecked (fail_open).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "token_client/ShardedClient.h"
#include "token_client/TokenClient.h"
#include "token_client/version.h"

namespace {

using token_client::ClientOptions;
using token_client::Endpoint;
using token_client::FailurePolicy;
using token_client::FleetOptions;
using token_client::Grant;
using token_client::ShardedClient;
using token_client::Status;
using token_client::TokenRequest;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A timeout below a millisecond cannot be kept: connections and replies are waited for in ms.
constexpr double kMinTimeoutSeconds = 0.001;
constexpr double kMaxTimeoutSeconds = 3600;
constexpr std::chrono::milliseconds kDefaultTimeout{2000};
constexpr char kDefaultServer[] = "127.0.0.1:6666";
constexpr size_t kAcquireFields = 4;  // KEY NEED RATE BURST

// A printf format: the default server, the bounds of --timeout and its default.
constexpr char kUsage[] =
    "usage: token-client [OPTION]... ping\n"
    "       token-client [OPTION]... acquire KEY NEED RATE BURST [KEY NEED RATE BURST]...\n"
    "\n"
    "  ping                handshake with every server; prints each one's round-trip time\n"
    "  acquire             asks for NEED tokens of KEY's bucket (RATE tokens/s, BURST tokens at\n"
    "                      most); prints \"KEY TOKENS\" per key granted, in order, then what\n"
    "                      the server tells: \"remaining=N\", the whole tokens left, and\n"
    "                      \"retry_after_ms=N\", the wait until the bucket holds what was not\n"
    "                      granted (0 when all was)\n"
    "  --server HOST:PORT  a server to ask (default %s); give several to spread keys\n"
    "                      over them\n"
    "  --timeout SECONDS   the wait for a connection and for each reply, %s\n"
    "                      (default %g)\n"
    "  --policy NAME       what becomes of the keys of a server that fails: failover (the\n"
    "                      default: the next server in each key's order answers), fail_closed\n"
    "                      (not granted) or fail_open (granted without asking)\n"
    "  --show-server       prints after each grant the server that answered, and \"fallback\"\n"
    "                      when it is not the key's own; \"unchecked\" for fail_open's grants\n"
    "  --version           prints the version\n"
    "  --help, -h          prints this help\n"
    "\n"
    "Options may stand anywhere. A dash followed by a digit (-3) is a value, not an option;\n"
    "\"--\" ends the options, for a key that begins with a dash.\n"
    "\n"
    "exit status: 0 answered, 1 a server failed or did not answer (every grant made is still\n"
    "printed), 2 bad command line\n";

struct CommandLine {
  std::vector<Endpoint> servers;
  ClientOptions options;
  FleetOptions fleet;
  std::string command;
  std::vector<std::string> operands;
  bool help = false;
  bool version = false;
  bool show_server = false;
};

// --policy's names, as the Python client names the policies.
constexpr struct {
  const char* name;
  FailurePolicy policy;
} kPolicies[] = {{"failover", FailurePolicy::kFailover},
                 {"fail_closed", FailurePolicy::kFailClosed},
                 {"fail_open", FailurePolicy::kFailOpen}};

// A usage problem: empty when the command line can be run.
using Problem = std::string;

bool parse_int32(const std::string& text, int32_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

// "from 0.001 to 3600", as --help and a bad --timeout say it.
std::string timeout_bounds() {
  char text[64];
  std::snprintf(text, sizeof text, "from %g to %g", kMinTimeoutSeconds, kMaxTimeoutSeconds);
  return text;
}

Problem set_timeout(const std::string& text, ClientOptions* options) {
  char* end = nullptr;
  double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds >= kMinTimeoutSeconds) ||
      seconds > kMaxTimeoutSeconds) {
    return "bad --timeout \"" + text + "\": give seconds " + timeout_bounds();
  }
  auto millis = std::chrono::milliseconds(std::lround(seconds * 1000));
  options->connect_timeout = millis;
  options->reply_timeout = millis;
  return {};
}

Problem add_server(const std::string& text, std::vector<Endpoint>* servers) {
  Endpoint server;
  Status parsed = token_client::parse_endpoint(text, &server);
  if (!parsed.ok()) return parsed.message();
  servers->push_back(server);
  return {};
}

Problem set_policy(const std::string& text, FleetOptions* fleet) {
  for (const auto& known : kPolicies) {
    if (text == known.name) {
      fleet->policy = known.policy;
      return {};
    }
  }
  return "bad --policy \"" + text + "\": give failover, fail_closed or fail_open";
}

// An option and its value, given as "--name VALUE" or "--name=VALUE".
Problem parse_option(const std::string& name, const std::string& value, CommandLine* line) {
  if (name == "--server") return add_server(value, &line->servers);
  if (name == "--timeout") return set_timeout(value, &line->options);
  if (name == "--policy") return set_policy(value, &line->fleet);
  return "unknown option \"" + name + "\"";
}

// A negative number such as -3 is a value: RATE and BURST may be 0 or less for a known key.
bool is_option(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]));
}

// Options may stand anywhere; "--" ends them, so that a key may begin with a dash.
Problem parse_command_line(const std::vector<std::string>& args, CommandLine* line) {
  line->options.connect_timeout = line->options.reply_timeout = kDefaultTimeout;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    Problem problem;
    if (options_ended || !is_option(arg)) {
      (line->command.empty() ? line->command : line->operands.emplace_back()) = arg;
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help" || arg == "-h") {
      line->help = true;
    } else if (arg == "--version") {
      line->version = true;
    } else if (arg == "--show-server") {
      line->show_server = true;
    } else if (arg.find('=') != std::string::npos) {
      size_t equals = arg.find('=');
      problem = parse_option(arg.substr(0, equals), arg.substr(equals + 1), line);
    } else if (i + 1 < args.size()) {
      problem = parse_option(arg, args[i + 1], line);
      ++i;
    } else {
      bool takes_value = arg == "--server" || arg == "--timeout" || arg == "--policy";
      problem = takes_value ? arg + " needs a value" : "unknown option \"" + arg + "\"";
    }
    if (!problem.empty()) return problem;
  }
  if (line->servers.empty()) return add_server(kDefaultServer, &line->servers);
  return {};
}

Problem parse_acquire_operands(const std::vector<std::string>& operands,
                               std::vector<TokenRequest>* batch) {
  if (operands.empty() || operands.size() % kAcquireFields != 0) {
    return "acquire takes KEY NEED RATE BURST, once per key";
  }
  for (size_t i = 0; i < operands.size(); i += kAcquireFields) {
    TokenRequest entry;
    entry.accesskey = operands[i];
    const char* names[] = {"NEED", "RATE", "BURST"};
    int32_t* fields[] = {&entry.need_tokens, &entry.gen_rate, &entry.burst_size};
    for (size_t f = 0; f < 3; ++f) {
      const std::string& text = operands[i + 1 + f];
      if (!parse_int32(text, fields[f])) {
        return std::string(names[f]) + " of \"" + entry.accesskey +
               "\" is not a 32-bit integer: \"" + text + "\"";
      }
    }
    // Refused at once in the server's words, which would refuse it with silence.
    Status checked = token_client::check_token_request(entry);
    if (!checked.ok())
      return "entry " + std::to_string(batch->size() + 1) + ": " + checked.message();
    batch->push_back(entry);
  }
  return {};
}

int report(int exit_status, const std::string& message) {
  std::cerr << "token-client: " << message << "\n";
  return exit_status;
}

int report_usage(const Problem& problem) { return report(kExitUsage, problem + "; try --help"); }

int run_ping(ShardedClient& client) {
  int status = kExitOk;
  for (size_t i = 0; i < client.server_count(); ++i) {
    std::chrono::microseconds round_trip{};
    Status answered = client.server(i).ping(&round_trip);
    if (!answered.ok()) {
      status = report(kExitFailed, answered.message());
      continue;
    }
    char millis[32];
    std::snprintf(millis, sizeof millis, "%.3f", round_trip.count() / 1000.0);
    std::cout << client.server(i).endpoint().to_string() << " OK " << millis << " ms\n";
  }
  return status;
}

// "KEY TOKENS", and with --show-server the server that answered ("fallback" after it when it is
// not the key's own), or "unchecked" for a grant that fail_open made without asking; last, the
// detail the server told, after the fields a script may read by position.
void print_grant(const ShardedClient& client, const TokenRequest& entry, const Grant& grant,
                 bool show_server) {
  std::cout << entry.accesskey << " " << grant.tokens;
  if (show_server && !grant.checked) std::cout << " unchecked";
  if (show_server && grant.checked) {
    std::cout << " " << client.server_name(grant.server) << (grant.fallback ? " fallback" : "");
  }
  if (grant.remaining) std::cout << " remaining=" << *grant.remaining;
  if (grant.retry_after) std::cout << " retry_after_ms=" << grant.retry_after->count();
  std::cout << "\n";
}

// " not granted: a b", or nothing when no entry is in `keys`.
std::string key_list(const char* what, const std::string& keys) {
  return keys.empty() ? std::string() : std::string("; ") + what + ":" + keys;
}

// Prints every grant, in order, then one line per server that failed or did not answer: its
// error, and what became of the keys it left: answered by other servers, not granted, or
// granted unchecked.
int run_acquire(ShardedClient& client, const std::vector<TokenRequest>& batch, bool show_server) {
  std::vector<Grant> grants;
  std::vector<Status> server_status;
  client.acquire_batch(batch, &grants, &server_status);
  size_t servers = client.server_count();
  std::vector<std::string> moved(servers), ungranted(servers), unchecked(servers);
  for (size_t i = 0; i < batch.size(); ++i) {
    const Grant& grant = grants[i];
    std::string key = " " + batch[i].accesskey;
    if (!grant.status.ok()) {
      ungranted[grant.server] += key;
      continue;
    }
    print_grant(client, batch[i], grant, show_server);
    if (grant.fallback) moved[client.server_for(batch[i].accesskey)] += key;
    if (!grant.checked) unchecked[grant.server] += key;
  }
  int exit_status = kExitOk;
  for (size_t server = 0; server < servers; ++server) {
    if (server_status[server].ok()) continue;
    exit_status = report(kExitFailed, server_status[server].message() +
                                          key_list("answered by other servers", moved[server]) +
                                          key_list("not granted", ungranted[server]) +
                                          key_list("granted unchecked", unchecked[server]));
  }
  return exit_status;
}

int run(const std::vector<std::string>& args) {
  CommandLine line;
  Problem problem = parse_command_line(args, &line);
  if (!problem.empty()) return report_usage(problem);
  if (line.help) {
    std::printf(kUsage, kDefaultServer, timeout_bounds().c_str(),
                std::chrono::duration<double>(kDefaultTimeout).count());
    return kExitOk;
  }
  if (line.version) {
    std::cout << "token-client " << token_client::version() << "\n";
    return kExitOk;
  }
  if (line.command == "ping") {
    if (!line.operands.empty()) return report_usage("ping takes no operands");
    ShardedClient client(line.servers, line.options);
    return run_ping(client);
  }
  if (line.command == "acquire") {
    std::vector<TokenRequest> batch;
    problem = parse_acquire_operands(line.operands, &batch);
    if (!problem.empty()) return report_usage(problem);
    ShardedClient client(line.servers, line.options, {}, line.fleet);
    return run_acquire(client, batch, line.show_server);
  }
  return report_usage(line.command.empty() ? "no command"
                                           : "unknown command \"" + line.command + "\"");
}

}  // namespace

int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }
