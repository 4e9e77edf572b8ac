// Request framing on the bytes a connection holds, apart from any socket.
//
// A request is every byte up to and including the first CR LF; the bytes after it begin the next
// request. TokenServer::reach_request_end finds where the first held request ends; once it is
// handled, remove_handled_request drops it so that the next one starts the buffer.
#pragma once

#include "protocol/token_connection.h"

// Drops the handled request of req_len bytes from the front of conn's request buffer and moves
// the bytes held after it to the front, where they begin the next request.
void remove_handled_request(token_connection* conn);
