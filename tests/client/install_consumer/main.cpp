// Uses the installed library without a server: parses an address, rejects a bad key, and finds
// the headers and the library of one version.
#include <token_client/ShardedClient.h>
#include <token_client/TokenClient.h>
#include <token_client/version.h>

#include <cstdio>
#include <cstring>

int main() {
  token_client::Endpoint server;
  if (!token_client::parse_endpoint("127.0.0.1:6666", &server).ok()) return 1;
  token_client::ShardedClient client({server});
  uint32_t granted = 0;
  token_client::Status status =
      client.acquire({"a-key-longer-than-twenty-nine-bytes", 1, 1, 1}, &granted);
  if (status.code() != token_client::StatusCode::kInvalidArgument) return 1;
  if (std::strcmp(token_client::version(), token_client::kVersion) != 0) return 1;
  std::printf("consumer ok, version %s\n", token_client::version());
  return 0;
}
