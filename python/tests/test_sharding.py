"""The Python client's request and reply lines, its pool and its sharding, against stand-ins.

These need no token server binary: each stand-in grants every entry its need, records the keys
it was asked for and counts its connections.
"""

import json
import os
import socket
import threading
import time
import unittest

import token_client
from token_client import (BadReplyError, InvalidRequestError, ReplyTimeoutError, ShardError,
                          ShardedClient, TokenClient, TokenClientPool, rendezvous_order,
                          rendezvous_pick, rendezvous_weight)
from token_client.client import check_token_request, parse_address, parse_reply, request_line


WAIT_LIMIT = 10.0  # seconds, for what happens on another thread
FLEET_VECTORS = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "client",
                             "fleet_vectors.json")


class StandInServer:
    """Answers token requests on a kernel-chosen loopback port, granting each entry its need.

    Each connection is served on a thread of its own; `open_connections` counts those not yet
    seen closed, `most_open` the most there were at once.
    """

    def __init__(self):
        self.keys = []  # under _lock
        self.open_connections = 0  # under _lock
        self.most_open = 0  # under _lock
        self._lock = threading.Lock()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._connection_threads = []
        self._thread = threading.Thread(target=self._serve)
        self._thread.start()

    def close(self):
        self._stopping.set()
        self._thread.join()
        for thread in self._connection_threads:
            thread.join()
        self._listener.close()

    def _serve(self):
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            with self._lock:
                self.open_connections += 1
                self.most_open = max(self.most_open, self.open_connections)
            thread = threading.Thread(target=self._serve_connection, args=(connection,))
            thread.start()
            self._connection_threads.append(thread)

    def _serve_connection(self, connection):
        with connection:
            connection.settimeout(0.05)
            self._answer(connection)
        with self._lock:
            self.open_connections -= 1

    def _answer(self, connection):
        pending = b""
        while not self._stopping.is_set():
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                return
            pending += chunk
            while b"\r\n" in pending:
                line, pending = pending.split(b"\r\n", 1)
                entries = json.loads(line)["array"]
                with self._lock:
                    self.keys += [entry["accesskey"] for entry in entries]
                reply = {"array": [{"accesskey": e["accesskey"], "tokens": e["need_tokens"]}
                                   for e in entries]}
                connection.sendall(json.dumps(reply).encode() + b"\r\n")


class RendezvousTest(unittest.TestCase):
    # The C++ client's tests read the same file: both must place a key alike, up or down, and
    # keys must not move from one release to the next.
    def test_matches_the_shared_vectors(self):
        with open(FLEET_VECTORS, encoding="utf-8") as file:
            vectors = json.load(file)
        for row in vectors["weights"]:
            self.assertEqual(rendezvous_weight(row["server"], row["key"]), int(row["weight"], 16),
                             row)
        for row in vectors["failover"]:
            servers, key = row["servers"], row["key"]
            self.assertEqual(rendezvous_order(servers, key), row["order"], row)
            self.assertEqual(rendezvous_pick(servers, key), row["order"][0], row)
            for pick in row["picks"]:
                usable = [index not in pick["down"] for index in range(len(servers))]
                self.assertEqual(rendezvous_pick(servers, key, usable), pick["pick"], (row, pick))

    def test_a_fourth_server_takes_only_keys_it_wins(self):
        three = ["10.0.0.%d:6666" % i for i in range(1, 4)]
        four = three + ["10.0.0.4:6666"]
        moved = 0
        for i in range(3000):
            before = rendezvous_pick(three, "client-%d" % i)
            after = rendezvous_pick(four, "client-%d" % i)
            if before != after:
                moved += 1
                self.assertEqual(after, 3)
        self.assertTrue(0.20 < moved / 3000 < 0.30, moved)


class RequestLineTest(unittest.TestCase):
    def test_request_is_one_compact_line(self):
        entries = [check_token_request(("svc-a", 5, 10, 20)), check_token_request(("b", 0, 1, 2))]
        self.assertEqual(
            request_line(entries),
            b'{"array":[{"accesskey":"svc-a","need_tokens":5,"gen_rate":10,"burst_size":20},'
            b'{"accesskey":"b","need_tokens":0,"gen_rate":1,"burst_size":2}]}\r\n')

    def test_rejects_what_the_server_would_not_answer(self):
        check_token_request(("k" * 29, 0, 1, 1))
        check_token_request(("caf\u00e9" + "k" * 24, 0, 1, 1))  # 29 bytes of UTF-8
        for entry in [("k" * 30, 1, 1, 1), ("caf\u00e9" + "k" * 25, 1, 1, 1), ("a\0b", 1, 1, 1),
                      ("k", -1, 1, 1), ("k", 2**31, 1, 1), ("k", 1, 1.5, 1), ("k", True, 1, 1),
                      (b"k", 1, 1, 1), ("\ud800", 1, 1, 1), ("k", 1, 1)]:
            with self.assertRaises(InvalidRequestError, msg=repr(entry)):
                check_token_request(entry)

    def test_a_batch_longer_than_one_request_is_refused(self):
        entries = [check_token_request(("k" * 29, 1, 1, 1))] * 300
        with self.assertRaises(InvalidRequestError):
            request_line(entries)

    def test_reply_must_answer_the_request(self):
        entries = [check_token_request(("a", 5, 1, 5)), check_token_request(('b"', 3, 1, 5))]
        good = b'{"array":[{"accesskey":"a","tokens":5},{"accesskey":"b\\"","tokens":0}]}\r\n'
        self.assertEqual(parse_reply(good, entries), [5, 0])
        for bad in [b'{"array":[{"accesskey":"a","tokens":5}]}\r\n',
                    b'{"array":[{"accesskey":"a","tokens":6},{"accesskey":"b\\"","tokens":0}]}\r\n',
                    b'{"array":[{"accesskey":"b\\"","tokens":3},{"accesskey":"a","tokens":5}]}\r\n',
                    b'{"array":[{"accesskey":"a","tokens":1.0},{"accesskey":"b\\"","tokens":0}]}\r\n',
                    b'OK\r\n', b'[]\r\n']:
            with self.assertRaises(BadReplyError, msg=bad):
                parse_reply(bad, entries)

    def test_addresses(self):
        self.assertEqual(parse_address("127.0.0.1:7000"), ("127.0.0.1", 7000))
        self.assertEqual(parse_address("localhost"), ("localhost", 6666))
        self.assertEqual(parse_address("[::1]:7000"), ("::1", 7000))
        for bad in ["host:0", "host:65536", ":1", "host:", "::1", "[::1]x"]:
            with self.assertRaises(InvalidRequestError, msg=bad):
                parse_address(bad)


class ShardedClientTest(unittest.TestCase):
    def setUp(self):
        self.servers = [StandInServer() for _ in range(3)]
        self.addCleanup(lambda: [server.close() for server in self.servers])
        self.client = ShardedClient(["127.0.0.1:%d" % s.port for s in self.servers])
        self.addCleanup(self.client.close)

    def test_each_key_goes_to_its_server_and_answers_keep_the_callers_order(self):
        entries = [("key-%d" % i, i % 7 + 1, 1, 10) for i in range(60)]
        self.assertEqual(self.client.acquire_batch(entries), [i % 7 + 1 for i in range(60)])
        for key, _, _, _ in entries:
            holders = [i for i, server in enumerate(self.servers) if key in server.keys]
            self.assertEqual(holders, [self.client.server_for(key)], key)
        self.assertEqual(self.client.acquire("key-0", 4, 1, 10), 4)
        self.assertEqual(self.servers[self.client.server_for("key-0")].keys.count("key-0"), 2)

    def test_a_failed_server_leaves_zero_for_its_entries_only(self):
        dead = StandInServer()
        dead.close()
        client = ShardedClient(["127.0.0.1:%d" % self.servers[0].port, "127.0.0.1:%d" % dead.port])
        self.addCleanup(client.close)
        entries = [("key-%d" % i, 2, 1, 10) for i in range(40)]
        with self.assertRaises(ShardError) as raised:
            client.acquire_batch(entries)
        expected = [0 if client.server_for(key) == 1 else 2 for key, _, _, _ in entries]
        self.assertEqual(raised.exception.granted, expected)

    def test_an_invalid_entry_sends_nothing(self):
        with self.assertRaises(InvalidRequestError):
            self.client.acquire_batch([("fine", 1, 1, 1), ("k" * 30, 1, 1, 1)])
        self.assertEqual([server.keys for server in self.servers], [[], [], []])


class TokenClientPoolTest(unittest.TestCase):
    def setUp(self):
        self.server = StandInServer()
        self.addCleanup(self.server.close)

    def pool(self, **options):
        pool = TokenClientPool("127.0.0.1:%d" % self.server.port, **options)
        self.addCleanup(pool.close)
        return pool

    def test_many_threads_share_at_most_its_connections(self):
        pool = self.pool(max_connections=2, idle_timeout=30.0, borrow_timeout=WAIT_LIMIT)
        wrong = []

        def call_repeatedly(thread):
            # Each thread's key and need differ, so a reply handed to the wrong thread shows.
            key, need = "pooled-%d" % thread, thread % 3 + 1
            wrong.extend(key for _ in range(10) if pool.acquire(key, need, 1000, 1000) != need)

        threads = [threading.Thread(target=call_repeatedly, args=(t,)) for t in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(wrong, [])
        self.assertEqual(len(self.server.keys), 160)
        self.assertLessEqual(self.server.most_open, 2)
        self.assertGreaterEqual(self.server.open_connections, 1)  # kept open between calls

    def test_idle_connections_are_closed_without_further_calls(self):
        pool = self.pool(idle_timeout=0.2)
        self.assertEqual(pool.acquire("idle", 1, 1, 5), 1)
        deadline = time.monotonic() + WAIT_LIMIT
        while self.server.open_connections > 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(self.server.open_connections, 0)
        self.assertEqual(self.server.most_open, 1)
        self.assertEqual(pool.open_connections, 0)


@unittest.skipUnless("TOKEN_PROJECT_VERSION" in os.environ, "run by the build, which sets it")
class VersionTest(unittest.TestCase):
    def test_the_package_has_the_builds_version(self):
        self.assertEqual(token_client.__version__, os.environ["TOKEN_PROJECT_VERSION"])


class OneReplyServer:
    """Answers its first connection with `reply` once `lines` request lines have come: a server
    that is slow until the client checks on it with the handshake (2), or silent (more)."""

    def __init__(self, reply, lines):
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(WAIT_LIMIT)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._answer, args=(reply, lines))
        self._thread.start()

    def close(self):
        self._thread.join()
        self._listener.close()

    def _answer(self, reply, lines):
        connection, _ = self._listener.accept()
        with connection:
            connection.settimeout(WAIT_LIMIT)
            received = b""
            while received.count(b"\r\n") < lines:
                chunk = connection.recv(4096)
                if not chunk:
                    return  # the client gave up and closed
                received += chunk
            connection.sendall(reply)
            connection.recv(4096)  # until the client closes


class TokenClientFailureTest(unittest.TestCase):
    def test_refused_connection(self):
        dead = StandInServer()
        dead.close()
        with self.assertRaises(ConnectionError):
            TokenClient("127.0.0.1:%d" % dead.port).ping()

    def test_a_silent_server_has_failed(self):
        silent = OneReplyServer(b"", lines=1000)
        self.addCleanup(silent.close)
        client = TokenClient("127.0.0.1:%d" % silent.port, reply_timeout=0.2)
        with self.assertRaises(ReplyTimeoutError) as raised:
            client.acquire("k", 1, 1, 1)
        self.assertEqual(str(raised.exception), "no reply from 127.0.0.1:%d within 0.2 s, nor to "
                         "the handshake sent then" % silent.port)
        self.assertFalse(client.connected)

    def test_a_late_reply_is_taken_and_the_connection_closed(self):
        late = OneReplyServer(b'{"array":[{"accesskey":"k","tokens":1}]}\r\nOK\r\n', lines=2)
        self.addCleanup(late.close)
        client = TokenClient("127.0.0.1:%d" % late.port, reply_timeout=0.2)
        self.assertEqual(client.acquire("k", 1, 1, 1), 1)
        self.assertFalse(client.connected)


if __name__ == "__main__":
    unittest.main()
