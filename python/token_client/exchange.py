"""One request and its reply on one TokenClient's connection, carried a step at a time.

So that one thread can carry several exchanges at once with one poll over their sockets (a
ShardedClient batch carries one per server), and a TokenClient carries its own alone.

The steps: resolving the host and connecting, when the client has no connection (the host is
resolved anew for each connection, on a thread of its own, and each address tried in turn);
sending the request line; receiving the one reply line. The reply is due one reply timeout after
the exchange starts, name lookup and connecting (each also within the connect timeout)
included; the handshake after a token request's silence takes one reply timeout more, so an
exchange ends within twice the reply timeout.

A reply always belongs to its request: an exchange that ends with an error, or that its caller
leaves before it is done (an exception, a signal handler raising), closes the client's
connection (abandon()), so that a late reply is never read as the answer to a later request. A
kept connection that the server closed while it was idle (or that holds bytes nobody asked for)
is found before anything is sent, and replaced (checked when it was last used a millisecond or
more before). A request is sent at most once, unless the
server provably never read it: the connection was reset (the server's end closed with the
request unread) before any reply byte; then it is sent once more on a new connection.

The server answers a token request it refuses with nothing, so silence alone does not tell a
refusal from a failed server. When a token request's reply does not come within the reply
timeout, the exchange sends the handshake on the same connection and waits one reply timeout
more: the token reply first is a slow server's late grant, taken; "OK" first is a refused
request (RefusedError; the connection is ready for the next request); nothing is a failed server
(ReplyTimeoutError).
"""

import errno
import math
import os
import select
import socket
import threading
import time

from .errors import (BadReplyError, ConnectError, ConnectionLostError, RefusedError,
                     ReplyTimeoutError)

MAX_REQUEST_BYTES = 16384  # a request line, CR LF included
# A reply line: a plain one is never longer than its request, one with detail may be by a few
# digits an entry, and the server holds it in a buffer half as long again.
MAX_REPLY_BYTES = MAX_REQUEST_BYTES * 3 // 2
LINE_END = b"\r\n"
HANDSHAKE = b"SHAKE\r\n"
HANDSHAKE_ANSWER = b"OK\r\n"

_RESOLVING, _CONNECTING, _SENDING, _RECEIVING, _CHECKING, _DONE = range(6)
# A connection used this recently is sent on without the check for a close by the server: the
# server closes only connections idle far longer, and a close that races the send can happen
# right after the check as well. Calls in a row thus cost no extra system call.
_STALE_CHECK_AFTER = 0.001  # seconds
# Errors that show the server's end reset the connection: closed with our bytes unread.
_RESETS = (errno.ECONNRESET, errno.EPIPE)


def _is_reusable(sock):
    """Whether a kept connection can carry a request: the server has not closed it (as it closes
    an idle one when others wait) and it holds no bytes nobody asked for."""
    try:
        sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
    except (BlockingIOError, InterruptedError):
        return True
    except OSError:
        return False
    return False  # closed by the server, or bytes nobody asked for


def _is_numeric(host):
    """Whether `host` is an IPv4 or IPv6 address, which needs no resolver."""
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, host)
            return True
        except OSError:
            pass
    return False


class _NameLookup:
    """A host name resolved on a thread of its own, so that a wait for it ends by the exchange's
    deadline; a numeric address is resolved at once. The thread closes its end of a pipe when
    the answer is in, which makes fileno() readable; a lookup given up finishes on its own."""

    def __init__(self, host, port):
        self.answer = None  # the addresses, or the OSError, once in
        self._read_end = None
        if _is_numeric(host):
            try:
                self.answer = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM,
                                                 flags=socket.AI_NUMERICHOST)
            except OSError as error:
                self.answer = error
            return
        self._read_end, write_end = os.pipe()
        threading.Thread(target=self._resolve, args=(host, port, write_end), daemon=True).start()

    @property
    def answered(self):
        return self._read_end is None

    def fileno(self):
        return self._read_end

    def take(self):
        """Once fileno() is readable (or at once when answered): the addresses; raises the
        OSError of a failed lookup."""
        self.close()
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer

    def close(self):
        if self._read_end is not None:
            os.close(self._read_end)
            self._read_end = None

    def _resolve(self, host, port, write_end):
        try:
            self.answer = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except OSError as error:
            self.answer = error
        finally:
            os.close(write_end)


class Connection:
    """The socket a TokenClient's exchanges use, and when its last exchange started."""

    def __init__(self):
        self.sock = None  # connected and non-blocking, or None
        self.last_exchange_start = float("-inf")  # in monotonic seconds

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None


class Exchange:
    """An exchange on `client` (a TokenClient, idle) of `line` (bytes; empty to connect only),
    over the client's Connection; the client's public settings give its address and timeouts.

    With `check_silence`, a token request's, a reply timeout is checked with the handshake.
    """

    def __init__(self, client, line, check_silence=False):
        self.client = client
        self.line = line
        self.check_silence = check_silence
        self.error = None  # once done: None, or the TokenClientError it ended with
        self.reply = b""  # once done without an error: the reply line, CR LF included
        self.sending_since = None
        self.deadline = None  # of the step under way
        self._reply_deadline = None  # start + reply timeout
        self._call_deadline = None  # of the whole exchange: one reply timeout more
        self._step = _DONE
        self._sent = 0
        self._reconnected = False
        self._lookup = None  # while resolving
        self._addresses = []  # still to try while connecting
        self._connecting = None  # the socket whose connection is in progress
        self._connect_error = 0

    @property
    def done(self):
        return self._step == _DONE

    def start(self, now):
        client = self.client
        # One reply timeout for the whole way to the reply, name lookup included, and one more
        # for the handshake that tells a refusal from a failed server.
        self._reply_deadline = now + client.reply_timeout
        self._call_deadline = self._reply_deadline + client.reply_timeout
        connection = client.connection
        idle_a_while = now - connection.last_exchange_start >= _STALE_CHECK_AFTER
        connection.last_exchange_start = now
        if connection.sock is not None and idle_a_while and not _is_reusable(connection.sock):
            connection.close()
        if connection.sock is not None:
            self._begin_sending(now)
        else:
            self._connect(now)

    def abandon(self):
        """Ends an exchange its caller leaves before it is done: the reply will never be read,
        so the connection goes too."""
        if not self.done:
            self._step = _DONE
            self._close_lookup()
            self._close_connecting()
            self.client.close()

    def fileno(self):
        """The socket to poll while not done."""
        if self._step == _RESOLVING:
            return self._lookup.fileno()
        sock = self._connecting if self._step == _CONNECTING else self.client.connection.sock
        return sock.fileno()

    def events(self):
        reads = self._step in (_RESOLVING, _RECEIVING, _CHECKING)
        return select.POLLIN if reads else select.POLLOUT

    def on_ready(self, now):
        """The next step, once poll finds the socket ready (or failed)."""
        if self._step == _RESOLVING:
            self._take_addresses(now)
        elif self._step == _CONNECTING:
            self._finish_connecting(now)
        elif self._step == _SENDING:
            self._send_some(now)
        elif self._step in (_RECEIVING, _CHECKING):
            self._receive_some(now)

    def on_deadline(self, now):
        """The next step, once the deadline has passed."""
        name, client = self.client.name, self.client
        if self._step == _RESOLVING:
            self._finish(ConnectError("connect %s: no address for the name within %g s"
                                      % (name, min(client.connect_timeout, client.reply_timeout))))
        elif self._step == _CONNECTING:
            self._finish(ConnectError("connect %s: timed out after %g s"
                                      % (name, min(client.connect_timeout, client.reply_timeout))))
        elif self._step == _RECEIVING and self.check_silence:
            self._send_handshake_after_silence(now)
        elif self._step in (_SENDING, _RECEIVING):
            self._finish(ReplyTimeoutError("no reply from %s within %g s"
                                           % (name, client.reply_timeout)))
        elif self._step == _CHECKING:
            self._finish(ReplyTimeoutError("no reply from %s within %g s, nor to the handshake "
                                           "sent then" % (name, client.reply_timeout)))

    def _connect(self, now):
        self._step = _RESOLVING
        self.deadline = min(now + self.client.connect_timeout, self._reply_deadline)
        self._lookup = _NameLookup(self.client.host, self.client.port)
        if self._lookup.answered:
            self._take_addresses(now)

    def _take_addresses(self, now):
        try:
            self._addresses = self._lookup.take()
        except OSError as error:
            return self._finish(ConnectError("connect %s: %s"
                                             % (self.client.name, error.strerror or error)))
        finally:
            self._lookup = None
        self._step = _CONNECTING
        self._connect_next_address(now)

    def _connect_next_address(self, now):
        while self._addresses:
            family, kind, protocol, _, address = self._addresses.pop(0)
            try:
                sock = socket.socket(family, kind, protocol)
            except OSError as error:
                self._connect_error = error.errno
                continue
            sock.setblocking(False)
            code = sock.connect_ex(address)
            self._connecting = sock
            if code == 0:
                return self._connected(now)
            if code in (errno.EINPROGRESS, errno.EINTR):
                return  # poll tells when it is done
            self._close_connecting()
            self._connect_error = code
        self._finish(ConnectError("connect %s: %s"
                                  % (self.client.name, os.strerror(self._connect_error))))

    def _finish_connecting(self, now):
        code = self._connecting.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
        if code == 0:
            return self._connected(now)
        self._close_connecting()
        self._connect_error = code
        self._connect_next_address(now)

    def _connected(self, now):
        sock, self._connecting = self._connecting, None
        # Requests and replies are single small writes; waiting to merge them only adds latency.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.client.connection.sock = sock
        self._begin_sending(now)

    def _begin_sending(self, now):
        if not self.line:
            return self._finish(None)
        self._step = _SENDING
        self.sending_since = now
        self.deadline = self._reply_deadline
        self._sent = 0
        self.reply = b""
        self._send_some(now)

    def _send_some(self, now):
        sock = self.client.connection.sock
        while self._sent < len(self.line):
            try:
                self._sent += sock.send(memoryview(self.line)[self._sent:])
            except (BlockingIOError, InterruptedError):
                return  # poll for room
            except OSError as error:
                return self._reconnect_or_fail(ConnectionLostError(
                    "send to %s: %s" % (self.client.name, error.strerror or error)),
                    error.errno in _RESETS, now)
        self._step = _RECEIVING

    def _receive_some(self, now):
        try:
            chunk = self.client.connection.sock.recv(MAX_REQUEST_BYTES)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as error:
            unread = error.errno in _RESETS and not self.reply and self._step == _RECEIVING
            return self._reconnect_or_fail(ConnectionLostError(
                "receive from %s: %s" % (self.client.name, error.strerror or error)), unread, now)
        if not chunk:
            return self._reconnect_or_fail(ConnectionLostError(
                "receive from %s: closed the connection" % self.client.name), False, now)
        self.reply += chunk
        end = self.reply.find(LINE_END)
        if end >= 0 and self._step == _CHECKING:
            self._read_first_answer(end + len(LINE_END))
        elif end >= 0:
            after_line = end + len(LINE_END) != len(self.reply)
            self._finish(BadReplyError("bad reply: bytes after the reply line")
                         if after_line else None)
        elif len(self.reply) >= MAX_REPLY_BYTES:
            self._finish(BadReplyError("bad reply: not one line"))

    def _send_handshake_after_silence(self, now):
        self._step = _CHECKING
        self.deadline = min(now + self.client.reply_timeout, self._call_deadline)
        self._reconnected = True  # the request may have been taken: never sent twice from here
        try:
            written = self.client.connection.sock.send(HANDSHAKE)
        except OSError:
            written = 0
        # Seven bytes that do not fit at once mean that the server reads nothing: it has failed.
        if written != len(HANDSHAKE):
            self.on_deadline(now)

    def _read_first_answer(self, line_length):
        if self.reply[:line_length] == HANDSHAKE_ANSWER:
            # The server took the request as breaking a rule: it answers such a request with
            # nothing, and the connection is ready for the next one.
            return self._finish(RefusedError(
                "request refused by %s: no reply within %g s, but the handshake after it was "
                "answered; the server's standard error says why"
                % (self.client.name, self.client.reply_timeout)))
        # The reply came late. The answer to the handshake is yet to come, so the connection is
        # closed: it would be read as the reply to the next request.
        self.reply = self.reply[:line_length]
        self.client.close()
        self._finish(None)

    def _reconnect_or_fail(self, lost, unread, now):
        """A connection found broken: made again once when the server never read the request
        (`unread`: reset before any reply byte); else the exchange fails with `lost`."""
        if self._reconnected or not unread:
            return self._finish(lost)
        self._reconnected = True
        self.client.close()
        self._connect(now)

    def _close_lookup(self):
        if self._lookup is not None:
            self._lookup.close()
            self._lookup = None

    def _close_connecting(self):
        if self._connecting is not None:
            self._connecting.close()
            self._connecting = None

    def _finish(self, error):
        self._step = _DONE
        self._addresses = []
        self._close_lookup()
        self._close_connecting()
        # After an error the connection may still carry the late reply; a refused request
        # leaves it ready for the next.
        if error is not None and not isinstance(error, RefusedError):
            self.client.close()
        self.error = error


def run_exchanges(exchanges):
    """Carries every started exchange until each is done, polling all their sockets at once.

    Readiness first, deadlines after: an exchange whose socket is ready takes its step even when
    its deadline passed meanwhile, so a thread held up elsewhere never makes a server that
    answered in time look failed. The caller abandons the exchanges not done when this raises.
    """
    now = time.monotonic()
    while True:
        waiting = {}
        soonest = None
        for exchange in exchanges:
            if not exchange.done:
                waiting[exchange.fileno()] = exchange
                soonest = exchange.deadline if soonest is None else min(soonest, exchange.deadline)
        if not waiting:
            return
        poller = select.poll()
        for fd, exchange in waiting.items():
            poller.register(fd, exchange.events())
        # Rounded up, so that a wait never ends before its deadline; a deadline past, no wait.
        ready = dict(poller.poll(max(0, math.ceil((soonest - now) * 1000))))
        now = time.monotonic()
        for fd, exchange in waiting.items():
            if fd in ready:
                exchange.on_ready(now)
            elif now >= exchange.deadline:
                exchange.on_deadline(now)
