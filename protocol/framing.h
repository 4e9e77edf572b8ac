// Request framing on the bytes a connection holds, apart from any socket.
//
// A request is every byte up to and including the first CR LF; the bytes after it begin the next
// request. TokenServer::reach_request_end finds where the first held request ends; once it is
// answered, drop_handled_request drops it so that the bytes held after it begin the next one.
#pragma once

#include "protocol/token_connection.h"

namespace token_server {

// Drops the handled request of req_len bytes and its reply: the bytes held after the request begin
// the next one.
void drop_handled_request(token_connection* conn);

}  // namespace token_server
