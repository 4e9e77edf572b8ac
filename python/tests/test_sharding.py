"""The Python client's request and reply lines, its pool and its sharding, against stand-ins.

These need no token server binary: each stand-in grants every entry its need, records the keys
it was asked for and counts its connections.
"""

import itertools
import json
import os
import signal
import socket
import threading
import time
import unittest

import token_client
from token_client import (BadReplyError, InvalidRequestError, RefusedError, ReplyTimeoutError,
                          ShardError, ShardedClient, TokenClient, TokenClientPool,
                          rendezvous_order, rendezvous_pick, rendezvous_weight)
from token_client.client import (check_entries, check_token_request, parse_address, parse_reply,
                                 request_line)


WAIT_LIMIT = 10.0  # seconds, for what happens on another thread
FLEET_VECTORS = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "client",
                             "fleet_vectors.json")


class StandInServer:
    """Answers the handshake, and token requests granting each entry its need, on loopback.

    The kernel picks the port unless `port` is given (a stand-in for one that stopped). Each
    connection is served on a thread of its own; `open_connections` counts those not yet seen
    closed, `most_open` the most there were at once. With a `gate` (a threading.Barrier), the
    first reply waits until every stand-in sharing it has a request. Each reply comes `delay`
    seconds after its request; with `close_after_reply`, the connection is closed after it, as
    the server closes an idle connection.
    """

    def __init__(self, port=0, gate=None, delay=0.0, close_after_reply=False):
        self._delay = delay
        self._close_after_reply = close_after_reply
        self.keys = []  # under _lock
        self.fallback_keys = []  # those of requests that said "fallback": true; under _lock
        self.open_connections = 0  # under _lock
        self.most_open = 0  # under _lock
        self._lock = threading.Lock()
        self._gate = gate  # under _lock; used once
        self.gate_broken = False
        self._listener = socket.create_server(("127.0.0.1", port))
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
            try:
                self._answer(connection)
            except OSError:
                pass  # the client closed first, as an interrupted one does
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
                if line == b"SHAKE":
                    connection.sendall(b"OK\r\n")
                    continue
                request = json.loads(line)
                entries = request["array"]
                with self._lock:
                    self.keys += [entry["accesskey"] for entry in entries]
                    if request.get("fallback") is True:
                        self.fallback_keys += [entry["accesskey"] for entry in entries]
                    gate, self._gate = self._gate, None
                if gate is not None:
                    try:
                        gate.wait()
                    except threading.BrokenBarrierError:
                        self.gate_broken = True  # the other stand-in had no request in time
                reply = {"array": [{"accesskey": e["accesskey"], "tokens": e["need_tokens"]}
                                   for e in entries]}
                time.sleep(self._delay)
                connection.sendall(json.dumps(reply).encode() + b"\r\n")
                if self._close_after_reply:
                    return


class OneReplyServer:
    """Answers its first connection with `reply` once `lines` request lines have come: a server
    that is slow until the client checks on it with the handshake (2), or silent (more). A
    `reply` of None closes the connection instead, the request read."""

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
            if reply is None:
                return
            connection.sendall(reply)
            connection.recv(4096)  # until the client closes

    def connections_after_the_first(self):
        """Joins the stand-in, then counts the connections it has not accepted."""
        self._thread.join()
        self._listener.setblocking(False)
        count = 0
        while True:
            try:
                self._listener.accept()[0].close()
            except BlockingIOError:
                return count
            count += 1


def wait_until(condition, step=0.01):
    """Checks `condition` every `step` seconds until it holds or WAIT_LIMIT has passed."""
    deadline = time.monotonic() + WAIT_LIMIT
    while not condition() and time.monotonic() < deadline:
        time.sleep(step)


def closed_port():
    """A loopback port where nothing listens: connections to it are refused."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return listener.getsockname()[1]


def shared_vectors():
    """The rows that the C++ client's tests read too: both must place a key alike, up or down,
    keys must not move from one release to the next, and both refuse and read alike."""
    with open(FLEET_VECTORS, encoding="utf-8") as file:
        return json.load(file)


class RendezvousTest(unittest.TestCase):
    def test_matches_the_shared_vectors(self):
        vectors = shared_vectors()
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

    # How evenly keys spread and how few move when a server joins or leaves is tested once, in
    # C++ (rendezvous_test.cpp): the shared weights make the Python client place keys alike.


class RequestLineTest(unittest.TestCase):
    def test_request_is_one_compact_line(self):
        for row in shared_vectors()["lines"]:
            line = request_line(check_entries(row["entries"]), row["detail"], row["fallback"])
            self.assertEqual(line, row["line"].encode() + b"\r\n")

    def test_refuses_what_the_server_would_refuse_in_its_words(self):
        for row in shared_vectors()["requests"]:
            if row["error"] is None:
                self.assertEqual(len(check_entries(row["entries"])), len(row["entries"]))
                continue
            with self.assertRaises(InvalidRequestError, msg=row) as raised:
                check_entries(row["entries"])
            self.assertEqual(str(raised.exception), row["error"])
        for entry in [(b"k", 1, 1, 1), ("\ud800", 1, 1, 1)]:  # no JSON can hold these
            with self.assertRaises(InvalidRequestError, msg=repr(entry)):
                check_token_request(entry)

    def test_replies_get_the_shared_verdicts(self):
        for row in shared_vectors()["replies"]:
            entries = [check_token_request((key, need, 1, 1)) for key, need in row["entries"]]
            nest = row.get("nest", 0)
            fill = "[" * nest + "]" * nest if nest else " " * row.get("pad", 0)
            reply = row["reply"].replace("@", fill).encode() + b"\r\n"
            if "grants" in row:
                grants = parse_reply(reply, entries)
                self.assertEqual(grants, row["grants"], reply[:200])
                none = [None] * len(entries)
                self.assertEqual([grant.remaining for grant in grants],
                                 row.get("remaining", none), reply[:200])
                self.assertEqual([grant.retry_after_ms for grant in grants],
                                 row.get("retry_after_ms", none), reply[:200])
                continue
            refused = "refused" in row
            with self.assertRaises(RefusedError if refused else BadReplyError,
                                   msg=reply[:200]) as raised:
                parse_reply(reply, entries)
            self.assertEqual(str(raised.exception), row["refused" if refused else "error"])

    def test_addresses(self):
        for row in shared_vectors()["addresses"]:
            if row["host"] is not None:
                self.assertEqual(parse_address(row["text"]), (row["host"], row["port"]))
                continue
            with self.assertRaises(InvalidRequestError, msg=row["text"]):
                parse_address(row["text"])


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

    def test_a_part_longer_than_a_request_line_gives_its_connection_back(self):
        # About 300 entries, 27 KB, for each server: none fits the 16,384 bytes of a request.
        entries = [("k%028d" % i, 1, 1, 1) for i in range(900)]
        with self.assertRaises(ShardError) as raised:
            self.client.acquire_batch(entries)
        self.assertIsInstance(raised.exception.error, InvalidRequestError)
        self.assertIn("is longer than 16384 bytes", str(raised.exception.error))
        self.assertEqual([server.open_connections() for server in self.client.servers], [0] * 3)

    def test_an_invalid_entry_sends_nothing(self):
        with self.assertRaises(InvalidRequestError):
            self.client.acquire_batch([("fine", 1, 1, 1), ("k" * 30, 1, 1, 1)])
        self.assertEqual([server.keys for server in self.servers], [[], [], []])


class FleetTest(unittest.TestCase):
    """ShardedClient when a server fails: servers 0 and 1 are stand-ins, LOST is what each test
    makes fail."""

    LOST = 2

    def setUp(self):
        self.servers = [StandInServer() for _ in range(2)]
        self.addCleanup(lambda: [server.close() for server in self.servers])

    def client(self, lost_port, **options):
        # A first probe an hour away never comes during a test, which can then count calls.
        settings = dict(connect_timeout=0.2, reply_timeout=0.2, first_probe_delay=3600.0)
        settings.update(options)
        client = ShardedClient(["127.0.0.1:%d" % server.port for server in self.servers]
                               + ["127.0.0.1:%d" % lost_port], **settings)
        self.addCleanup(client.close)
        return client

    @staticmethod
    def keys_of(client, server, count, prefix):
        """`count` entries of keys named `prefix`N whose own server is `server`."""
        keys = (prefix + str(i) for i in itertools.count())
        return [(key, 3, 1, 5) for key in itertools.islice(
            (key for key in keys if client.server_for(key) == server), count)]

    def test_keys_of_a_lost_server_go_as_the_policy_says_and_only_the_first_call_waits(self):
        # The shared rows, which the C++ client's tests run too.
        accepts_nothing = socket.create_server(("127.0.0.1", 0), backlog=0)
        self.addCleanup(accepts_nothing.close)
        # Its one place in the queue taken, further connections are never completed.
        filler = socket.create_connection(accepts_nothing.getsockname())
        self.addCleanup(filler.close)
        answers_nothing = OneReplyServer(b"", lines=1000)
        self.addCleanup(answers_nothing.close)
        ports = {"accepts nothing": accepts_nothing.getsockname()[1],
                 "answers nothing": answers_nothing.port}
        for number, row in enumerate(shared_vectors()["fleet"]):
            with self.subTest(row["lost"] + ", " + row["policy"]):
                self.run_fleet_row(row, ports.get(row["lost"]) or closed_port(), "row%d-" % number)
        self.assertEqual(answers_nothing.connections_after_the_first(), 0)  # nor connect

    def run_fleet_row(self, row, lost_port, prefix):
        client = self.client(lost_port, policy=row["policy"])
        names = ["127.0.0.1:%d" % port for port in [s.port for s in self.servers] + [lost_port]]
        errors = [error.replace("{lost}", names[self.LOST]) for error in row["errors"] or []]
        answer = row["answer"]
        batch = (self.keys_of(client, self.LOST, 6, prefix) + self.keys_of(client, 0, 1, prefix)
                 + self.keys_of(client, 1, 1, prefix))
        for call in range(2):  # the server failing, then known to be down
            error = errors[call] if errors else None
            try:
                grants = client.acquire_batch(batch)
                self.assertNotEqual(answer, "none")
            except ShardError as partial:
                self.assertEqual((answer, str(partial)), ("none", error))
                grants = partial.granted
            for (key, need, _, _), grant in zip(batch, grants):
                own = client.server_for(key)
                lost = own == self.LOST
                answering = (rendezvous_pick(names, key, [True, True, False])
                             if lost and answer == "fallback" else own)
                self.assertEqual((grant.server, grant.fallback, grant.checked),
                                 (answering, answering != own, not lost or answer != "unchecked"))
                self.assertEqual(grant.error and str(grant.error),
                                 error if lost and answer == "none" else None, key)
                if lost and answer != "fallback":
                    self.assertEqual(grant, 0 if answer == "none" else need, key)
                    self.assertFalse(any(key in server.keys for server in self.servers), key)
                    continue
                self.assertEqual(grant, need, key)  # a stand-in grants every need
                self.assertIn(key, self.servers[answering].keys)
                if answering != own:  # its request said so
                    self.assertIn(key, self.servers[answering].fallback_keys)
        health = client.server_health(self.LOST)
        # The calls after the first did not wait for it.
        self.assertEqual((health.up, health.failed_calls, health.probes), (False, 1, 0))
        if errors:
            self.assertEqual(str(health.last_failure), errors[0])

    def test_keys_go_back_once_a_probe_finds_their_server_up(self):
        lost = StandInServer()
        lost.close()
        client = self.client(lost.port, first_probe_delay=0.02, max_probe_delay=0.1)
        entry = self.keys_of(client, self.LOST, 1, "back-")[0]
        grant = client.acquire(*entry)
        self.assertTrue(grant.fallback)
        self.assertNotEqual(grant.server, self.LOST)
        revived = StandInServer(port=lost.port)
        self.addCleanup(revived.close)
        wait_until(lambda: client.server_health(self.LOST).up)
        grant = client.acquire(*entry)
        self.assertEqual((grant.server, grant.fallback), (self.LOST, False))
        self.assertEqual(revived.keys, [entry[0]])
        self.assertGreaterEqual(client.server_health(self.LOST).probes, 1)

    def test_a_server_is_marked_down_only_for_its_own_failure(self):
        # The lost server's one connection is held by a call that waits for it to fail, while a
        # batch asks a healthy server and the lost one: the healthy server's part neither waits
        # nor times out while the batch waits for the other pool; the lost part, once it has the
        # connection, does not wait for the failed server again.
        answers_nothing = OneReplyServer(b"", lines=1000)
        self.addCleanup(answers_nothing.close)
        client = self.client(answers_nothing.port, max_connections=1)
        batch = (self.keys_of(client, 0, 1, "healthy-")
                 + self.keys_of(client, self.LOST, 1, "held-"))
        holds_the_connection = threading.Thread(target=client.acquire, args=batch[1])
        holds_the_connection.start()
        wait_until(lambda: client.servers[self.LOST].open_connections() > 0, step=0.005)
        grants = client.acquire_batch(batch)
        holds_the_connection.join()
        self.assertEqual((grants[0].server, grants[0].fallback, grants[1].fallback),
                         (0, False, True))
        self.assertTrue(client.server_health(0).up, client.server_health(0).last_failure)
        self.assertEqual(client.server_health(self.LOST).failed_calls, 1)
        self.assertEqual(answers_nothing.connections_after_the_first(), 0)

    def test_a_slow_name_holds_no_call_past_its_timeout_nor_marks_another_server_down(self):
        resolve = socket.getaddrinfo

        def slow_resolver(host, *args, **kwargs):
            if host == "slow.invalid":
                time.sleep(3)
            return resolve(host, *args, **kwargs)

        socket.getaddrinfo = slow_resolver
        self.addCleanup(setattr, socket, "getaddrinfo", resolve)
        started = time.monotonic()
        with self.assertRaises(token_client.ConnectError):
            TokenClient("slow.invalid:6666", connect_timeout=0.2).ping()
        client = ShardedClient(["127.0.0.1:%d" % self.servers[0].port, "slow.invalid:6666"],
                               connect_timeout=0.2, reply_timeout=0.2, first_probe_delay=3600.0)
        self.addCleanup(client.close)
        batch = self.keys_of(client, 0, 1, "quick-") + self.keys_of(client, 1, 1, "slow-")
        grants = client.acquire_batch(batch)
        self.assertLess(time.monotonic() - started, 2.0)  # the lookups take 3 s each
        self.assertEqual([(grant.server, grant.fallback) for grant in grants],
                         [(0, False), (0, True)])
        self.assertEqual([client.server_health(i).up for i in range(2)], [True, False])

    def test_a_batchs_parts_go_out_together_from_the_calling_thread(self):
        # Each stand-in holds its reply until both have a request: sent one after the other,
        # the parts would wait for ever.
        gate = threading.Barrier(2, timeout=WAIT_LIMIT)
        gated = [StandInServer(gate=gate) for _ in range(2)]
        self.addCleanup(lambda: [server.close() for server in gated])
        client = ShardedClient(["127.0.0.1:%d" % server.port for server in gated],
                               reply_timeout=WAIT_LIMIT)
        self.addCleanup(client.close)
        entries = self.keys_of(client, 0, 2, "together-") + self.keys_of(client, 1, 1, "together-")
        grants = client.acquire_batch(entries)
        self.assertEqual([(grant, grant.server) for grant in grants], [(3, 0), (3, 0), (3, 1)])
        self.assertEqual([server.gate_broken for server in gated], [False, False])


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

    def test_an_interrupted_call_leaves_no_reply_behind_nor_its_connection_borrowed(self):
        # A signal handler raising while the call waits for its reply, as a SIGALRM timeout or
        # KeyboardInterrupt does: the late reply must not answer the next call.
        slow = StandInServer(delay=0.3)
        self.addCleanup(slow.close)

        class Interrupted(Exception):
            pass

        def interrupt(*_):
            raise Interrupted()

        previous = signal.signal(signal.SIGALRM, interrupt)
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        address = "127.0.0.1:%d" % slow.port
        for kind, make in [("pool", TokenClientPool), ("sharded", ShardedClient)]:
            with self.subTest(kind):
                caller = make(address if kind == "pool" else [address], max_connections=2,
                              borrow_timeout=WAIT_LIMIT)
                self.addCleanup(caller.close)
                for need in (7, 8):
                    signal.setitimer(signal.ITIMER_REAL, 0.1)
                    with self.assertRaises(Interrupted):
                        caller.acquire("interrupted", need, 1000, 1000)
                self.assertEqual(caller.acquire("interrupted", 9, 1000, 1000), 9)
                pool = caller if kind == "pool" else caller.servers[0]
                self.assertEqual(pool.open_connections(), 1)

    def test_a_connection_the_server_closed_while_idle_is_replaced(self):
        closing = StandInServer(close_after_reply=True)
        self.addCleanup(closing.close)
        pool = TokenClientPool("127.0.0.1:%d" % closing.port)
        self.addCleanup(pool.close)
        self.assertEqual(pool.acquire("stale", 1, 1, 5), 1)
        wait_until(lambda: closing.open_connections == 0)
        time.sleep(0.05)  # idle: only a connection used within the last millisecond is not checked
        self.assertEqual(pool.acquire("stale", 2, 1, 5), 2)
        self.assertEqual(closing.keys, ["stale", "stale"])

    def test_idle_connections_are_closed_without_further_calls_or_at_close(self):
        pool = self.pool(idle_timeout=0.2)
        self.assertEqual(pool.acquire("idle", 1, 1, 5), 1)
        wait_until(lambda: self.server.open_connections == 0)
        self.assertEqual(self.server.open_connections, 0)
        self.assertEqual(self.server.most_open, 1)
        # A call, as in C++; read as the property of 1.1, the same count.
        self.assertEqual((pool.open_connections(), pool.open_connections), (0, 0))
        # A lease carries calls in a row on one connection, and gives it back; close() closes it
        # at once, and the pool stays usable, its reaper started again.
        with pool.lease() as client:
            self.assertEqual((client.acquire("idle", 1, 1, 5), client.acquire("idle", 0, 1, 5)),
                             (1, 0))
        self.assertEqual((pool.open_connections(), self.server.most_open), (1, 1))
        pool.close()
        self.assertEqual(pool.open_connections(), 0)
        self.assertEqual(pool.acquire("idle", 0, 1, 5), 0)


@unittest.skipUnless("TOKEN_PROJECT_VERSION" in os.environ, "run by the build, which sets it")
class VersionTest(unittest.TestCase):
    def test_the_package_has_the_builds_version(self):
        self.assertEqual(token_client.__version__, os.environ["TOKEN_PROJECT_VERSION"])


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

    def test_a_request_read_then_left_unanswered_is_not_sent_again(self):
        closes = OneReplyServer(None, lines=1)
        self.addCleanup(closes.close)
        with self.assertRaises(token_client.ConnectionLostError):
            TokenClient("127.0.0.1:%d" % closes.port).acquire("k", 1, 1, 1)
        self.assertEqual(closes.connections_after_the_first(), 0)

    def test_a_late_reply_is_taken_and_the_connection_closed(self):
        late = OneReplyServer(b'{"array":[{"accesskey":"k","tokens":1}]}\r\nOK\r\n', lines=2)
        self.addCleanup(late.close)
        client = TokenClient("127.0.0.1:%d" % late.port, reply_timeout=0.2)
        self.assertEqual(client.acquire("k", 1, 1, 1), 1)
        self.assertFalse(client.connected)


if __name__ == "__main__":
    unittest.main()
