// Uses the installed library without a server: parses an address and rejects a bad key.
#include <token_client/ShardedClient.h>
#include <token_client/TokenClient.h>

#include <cstdio>

int main() {
  token_client::Endpoint server;
  if (!token_client::parse_endpoint("127.0.0.1:6666", &server).ok()) return 1;
  token_client::ShardedClient client({server});
  uint32_t granted = 0;
  token_client::Status status =
      client.acquire({"a-key-longer-than-twenty-nine-bytes", 1, 1, 1}, &granted);
  if (status.code() != token_client::StatusCode::kInvalidArgument) return 1;
  std::puts("consumer ok");
  return 0;
}
