// The table of the server's figures: every figure it reports, one row each. Adding a figure is
// adding its row; the figures line (SIGUSR1), /metrics, Figures and, for a count each worker keeps,
// RequestCounters and the sum over the workers all follow from it.
//
// Rows come in the order of the figures line, whose text scripts read. Each row is one of:
//   COUNT(member, unit, type, line name, metric, help)   a count each worker keeps of its own
//                                                         (RequestCounters), summed when asked;
//   FIGURE(member, unit, type, line name, metric, help)  a figure TokenServer::figures reads;
//   STATE(member, unit, type, line name, metric, help)   a FIGURE shown only while the state is
//                                                         kept (STATE_DIRECTORY);
//   ALSO(member, line name)                               a figure the line shows a second time,
//                                                         under another name.
// member: the field that holds the figure, in Figures (and in RequestCounters for a COUNT).
// unit: Count, or Nanos for nanoseconds, which the line shows in whole seconds and /metrics in
// seconds. type: counter or gauge, as Prometheus knows them. line name: nullptr for a figure
// the line leaves out. metric: the sample's name with its labels, nullptr for a figure /metrics
// leaves out; rows of one family follow each other, and the family's help is on the first of them
// (the others' is nullptr).
//
// Only the macro is here, so that the worker's counters (protocol/request_counters.h) and the
// figures (server/figures.h) can both expand it.
#pragma once

// clang-format off
#define TOKEN_SERVER_FIGURES(COUNT, FIGURE, STATE, ALSO)                                          \
  FIGURE(uptime_nanos, Nanos, gauge, "uptime_s", nullptr, nullptr)                               \
  FIGURE(connections_accepted, Count, counter, "connections_accepted",                           \
         "token_server_connections_accepted_total", "Connections accepted on the token port.")   \
  ALSO(busy_workers, "connections_served")                                                       \
  FIGURE(connections_waiting, Count, gauge, "connections_queued",                                \
         "token_server_connections_waiting", "Connections accepted and waiting for a worker.")   \
  FIGURE(busy_workers, Count, gauge, "busy_workers", "token_server_busy_workers",                \
         "Workers serving a connection.")                                                        \
  FIGURE(workers, Count, gauge, "workers", "token_server_workers",                               \
         "Worker threads; each serves one connection.")                                          \
  COUNT(handshakes, Count, counter, "handshakes",                                                \
        "token_server_requests_total{kind=\"handshake\"}",                                       \
        "Requests read, by kind: handshake, token (answered with a grant), not_json, refused "   \
        "(JSON that breaks a rule of the token request).")                                       \
  COUNT(token_requests, Count, counter, "token_requests",                                        \
        "token_server_requests_total{kind=\"token\"}", nullptr)                                  \
  COUNT(parse_errors, Count, counter, "parse_errors",                                            \
        "token_server_requests_total{kind=\"not_json\"}", nullptr)                               \
  COUNT(refusals, Count, counter, "refusals", "token_server_requests_total{kind=\"refused\"}",   \
        nullptr)                                                                                 \
  COUNT(tokens_granted, Count, counter, "tokens_granted", "token_server_tokens_granted_total",   \
        "Tokens granted.")                                                                       \
  FIGURE(known_keys, Count, gauge, "known_keys", "token_server_known_keys",                      \
         "Access keys with a token bucket.")                                                     \
  COUNT(trace_lines_lost, Count, counter, "trace_lines_lost",                                    \
        "token_server_trace_lines_lost_total", "Trace lines whose write failed.")                \
  FIGURE(connections_waited, Count, counter, "connections_waited",                               \
         "token_server_connections_waited_total",                                                \
         "Connections that found every worker busy and waited for one.")                         \
  FIGURE(idle_connections_closed, Count, counter, nullptr,                                       \
         "token_server_idle_connections_closed_total",                                           \
         "Idle connections closed to give their worker to a connection that waited.")            \
  COUNT(entries_requested, Count, counter, "entries_requested",                                  \
        "token_server_entries_requested_total", "Entries of the token requests granted.")        \
  COUNT(tokens_requested, Count, counter, "tokens_requested",                                    \
        "token_server_tokens_requested_total",                                                   \
        "Tokens the entries of the token requests granted asked for.")                           \
  COUNT(entries_limited, Count, counter, "entries_limited", "token_server_entries_limited_total", \
        "Entries granted fewer tokens than they asked for.")                                     \
  STATE(state_writes, Count, counter, "state_writes", "token_server_state_writes_total",         \
        "State files written.")                                                                  \
  STATE(state_write_failures, Count, counter, "state_write_failures",                            \
        "token_server_state_write_failures_total",                                               \
        "State file writes that failed; the last file written stays.")                           \
  STATE(state_last_write_nanos, Nanos, gauge, "state_last_write_s",                              \
        "token_server_state_last_write_timestamp_seconds",                                       \
        "When the last state file was written, in seconds since the Unix epoch; 0 before.")      \
  STATE(state_keys_loaded, Count, gauge, "state_keys_loaded", "token_server_state_keys_loaded",  \
        "Keys loaded from the state file at start.")
// clang-format on

// For a kind of row that an expansion leaves out.
#define TOKEN_SERVER_NO_FIGURE(...)
