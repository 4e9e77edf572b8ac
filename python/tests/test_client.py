"""The Python client against the real token server binary on port 6666.

TOKEN_SERVER_BINARY names the binary and TOKEN_PORT_LOCK the port's lock file; ctest sets both.
The port is fixed, so the whole module runs under that lock, which every test that starts the
binary takes.
"""

import fcntl
import os
import signal
import subprocess
import tempfile
import time
import unittest

from token_client import (ConnectError, DenyCache, InvalidRequestError, RefusedError,
                          ShardedClient, TokenClient)

ADDRESS = "127.0.0.1:6666"
START_LIMIT = 5.0  # seconds

_port_lock = None


def setUpModule():
    global _port_lock
    for name in ("TOKEN_SERVER_BINARY", "TOKEN_PORT_LOCK"):
        if name not in os.environ:
            raise unittest.SkipTest(name + " is not set")
    _port_lock = open(os.environ["TOKEN_PORT_LOCK"], "a+")
    fcntl.flock(_port_lock, fcntl.LOCK_EX)


def tearDownModule():
    if _port_lock is not None:
        _port_lock.close()  # releases the lock


class ServerProcess:
    """The real binary as a child, its standard output and error in temporary files."""

    def __init__(self):
        self.out = tempfile.TemporaryFile()
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen([os.environ["TOKEN_SERVER_BINARY"]],
                                        stdout=self.out, stderr=self.err)
        if not self.wait_for(self.out, b"listen on port 6666\n"):
            self.process.kill()
            raise AssertionError("the server did not start")

    @staticmethod
    def text(stream):
        stream.seek(0)
        return stream.read()

    def wait_for(self, stream, text):
        deadline = time.monotonic() + START_LIMIT
        while text not in self.text(stream):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=START_LIMIT)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.out.close()
        self.err.close()


class TokenClientTest(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess()
        self.addCleanup(self.server.close)
        self.client = TokenClient(ADDRESS, reply_timeout=0.5)
        self.addCleanup(self.client.close)

    def test_ping_and_grants_with_their_detail(self):
        # The request line's bytes are checked once, in test_sharding.py's shared rows.
        self.assertGreaterEqual(self.client.ping(), 0)
        granted = self.client.acquire("svc-a", 5, 10, 20)
        self.assertEqual((granted, granted.remaining, granted.retry_after_ms), (5, 20, 0))
        # The full bucket is emptied; the 10 tokens more take 1 s at 10/s.
        granted = self.client.acquire("svc-a", 30, 10, 20)
        self.assertEqual((granted, granted.remaining, granted.retry_after), (20, 0, 1.0))
        granted = self.client.acquire("svc-b", 7, 1, 5)  # new: its whole need, above its burst
        self.assertEqual((granted, granted.remaining), (7, 5))

    def test_batch_is_answered_in_order(self):
        granted = self.client.acquire_batch([("a", 3, 1, 5), ("b", 1, 1, 5), ("a", 4, 1, 5),
                                             ("a", 4, 1, 5), ("c", 0, 1, 5)])
        self.assertEqual(granted, [3, 1, 4, 1, 0])
        self.assertEqual(self.client.acquire_batch([]), [])

    def test_a_refused_request_is_told_from_a_failed_server(self):
        # Asked for detail, the server says why at once: a minute's timeout is not waited out.
        with TokenClient(ADDRESS, reply_timeout=60) as told:
            started = time.monotonic()
            with self.assertRaises(RefusedError) as raised:
                told.acquire("new", 1, 0, 0)
            self.assertLess(time.monotonic() - started, 60)
            self.assertEqual(str(raised.exception),
                             "request refused by 127.0.0.1:6666: invalid token request: entry 1: "
                             "gen_rate must be positive for a new access key")
            self.assertEqual(told.acquire("new", 1, 1, 1), 1)  # on the same connection
        # Not asked, the server answers nothing, and the handshake after the timeout tells.
        self.client.detail = False
        with self.assertRaises(RefusedError) as raised:
            self.client.acquire("fresh", 1, 0, 0)  # a new key needs a rate: no reply
        self.assertEqual(str(raised.exception),
                         "request refused by 127.0.0.1:6666: no reply within 0.5 s, but the "
                         "handshake after it was answered; the server's standard error says why")
        self.assertTrue(self.client.connected)  # nothing is pending on it
        self.assertTrue(self.server.wait_for(self.server.err, b"invalid token request: "))
        self.assertEqual(self.client.acquire("fresh", 1, 1, 1), 1)

    def test_deny_cache_answers_locally_until_the_wait_is_over(self):
        self.client.deny_cache = DenyCache()
        acquire = self.client.acquire
        self.assertEqual(acquire("hot", 1, 1, 1), 1)  # new: the bucket stays full at 1
        self.assertEqual(acquire("hot", 1, 1, 1), 1)  # empties it
        denied = acquire("hot", 1, 1, 1)
        self.assertEqual((denied, denied.cached), (0, False))
        self.assertTrue(0 < denied.retry_after_ms <= 1000, denied)
        cached = acquire("hot", 1, 1, 1)
        self.assertEqual((cached, cached.cached, cached.remaining), (0, True, None))
        self.assertLessEqual(cached.retry_after_ms, denied.retry_after_ms)
        rerated = acquire("hot", 1, 2, 1)  # another rate: only the server can apply it
        self.assertFalse(rerated.cached)
        if rerated == 0:
            self.assertTrue(acquire("hot", 1, 2, 1).cached)
            time.sleep(rerated.retry_after + 0.2)
        after_the_wait = acquire("hot", 1, 2, 1)
        self.assertEqual((after_the_wait, after_the_wait.cached), (1, False))
        sent = self.server.text(self.server.out).count(
            b'message from client: {"detail":true,"array":[{"accesskey":"hot"')
        self.assertEqual(sent, 5)

    def test_invalid_key_sends_nothing(self):
        with self.assertRaises(InvalidRequestError):
            self.client.acquire("k" * 30, 1, 1, 1)
        self.assertFalse(self.client.connected)

    def test_reconnects_once_after_a_restart(self):
        self.assertEqual(self.client.acquire("restart", 5, 1, 5), 5)
        self.assertEqual(self.client.acquire("restart", 5, 1, 5), 5)
        self.assertEqual(self.server.stop(), 0)
        self.server.close()
        self.server = ServerProcess()
        self.addCleanup(self.server.close)
        self.assertTrue(self.client.connected)  # it has not noticed yet
        self.assertEqual(self.client.acquire("restart", 5, 1, 5), 5)  # a fresh bucket
        self.assertEqual(self.server.stop(), 0)
        with self.assertRaises(ConnectError):
            self.client.acquire("restart", 5, 1, 5)

    def test_sharded_client_over_one_server(self):
        with ShardedClient([ADDRESS], reply_timeout=0.5) as sharded:
            self.assertEqual(sharded.acquire_batch([("s1", 2, 1, 5), ("s2", 3, 1, 5)]), [2, 3])
            with self.assertRaises(RefusedError):
                sharded.acquire("s3", 1, 0, 0)
            self.assertTrue(sharded.server_health(0).up)  # a refusal is no failure


if __name__ == "__main__":
    unittest.main()
