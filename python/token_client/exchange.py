"""One request and its reply on one TokenClient's connection, carried a step at a time.

So that one thread can carry several exchanges at once with one poll over their sockets (a
ShardedClient batch carries one per server), and a TokenClient carries its own alone.

The steps: connecting, when the client has no connection (the host is resolved anew for each
connection, and each address tried in turn); sending the request line; receiving the one reply
line. A connection found broken while sending or receiving is made again once and the request
sent again. An exchange that ends with an error closes the client's connection, so that a late
reply is never read as the answer to a later request.

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

_CONNECTING, _SENDING, _RECEIVING, _CHECKING, _DONE = range(5)


class Exchange:
    """An exchange on `client` (a TokenClient, idle) of `line` (bytes; empty to connect only).

    With `check_silence`, a token request's, a reply timeout is checked with the handshake.
    """

    def __init__(self, client, line, check_silence=False):
        self.client = client
        self.line = line
        self.check_silence = check_silence
        self.error = None  # once done: None, or the TokenClientError it ended with
        self.reply = b""  # once done without an error: the reply line, CR LF included
        self.sending_since = None
        self.deadline = None
        self._step = _DONE
        self._sent = 0
        self._reconnected = False
        self._addresses = []  # still to try while connecting
        self._connecting = None  # the socket whose connection is in progress
        self._connect_error = 0

    @property
    def done(self):
        return self._step == _DONE

    def start(self, now):
        if self.client._socket is not None:
            self._begin_sending(now)
        else:
            self._connect(now)

    def fileno(self):
        """The socket to poll while not done."""
        sock = self._connecting if self._step == _CONNECTING else self.client._socket
        return sock.fileno()

    def events(self):
        return select.POLLIN if self._step in (_RECEIVING, _CHECKING) else select.POLLOUT

    def on_ready(self, now):
        """The next step, once poll finds the socket ready (or failed)."""
        if self._step == _CONNECTING:
            self._finish_connecting(now)
        elif self._step == _SENDING:
            self._send_some(now)
        elif self._step in (_RECEIVING, _CHECKING):
            self._receive_some(now)

    def on_deadline(self, now):
        """The next step, once the deadline has passed."""
        name, client = self.client.name, self.client
        if self._step == _CONNECTING:
            self._finish(ConnectError("connect %s: timed out after %g s"
                                      % (name, client.connect_timeout)))
        elif self._step == _RECEIVING and self.check_silence:
            self._send_handshake_after_silence(now)
        elif self._step in (_SENDING, _RECEIVING):
            self._finish(ReplyTimeoutError("no reply from %s within %g s"
                                           % (name, client.reply_timeout)))
        elif self._step == _CHECKING:
            self._finish(ReplyTimeoutError("no reply from %s within %g s, nor to the handshake "
                                           "sent then" % (name, client.reply_timeout)))

    def _connect(self, now):
        self._step = _CONNECTING
        self.deadline = now + self.client.connect_timeout
        try:
            self._addresses = socket.getaddrinfo(self.client.host, self.client.port,
                                                 type=socket.SOCK_STREAM)
        except OSError as error:
            return self._finish(ConnectError("connect %s: %s"
                                             % (self.client.name, error.strerror or error)))
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
        self.client._socket = sock
        self._begin_sending(now)

    def _begin_sending(self, now):
        if not self.line:
            return self._finish(None)
        self._step = _SENDING
        self.sending_since = now
        self.deadline = now + self.client.reply_timeout
        self._sent = 0
        self.reply = b""
        self._send_some(now)

    def _send_some(self, now):
        sock = self.client._socket
        while self._sent < len(self.line):
            try:
                self._sent += sock.send(memoryview(self.line)[self._sent:])
            except (BlockingIOError, InterruptedError):
                return  # poll for room
            except OSError as error:
                return self._reconnect_or_fail(ConnectionLostError(
                    "exchange with %s: %s" % (self.client.name, error.strerror or error)), now)
        self._step = _RECEIVING

    def _receive_some(self, now):
        try:
            chunk = self.client._socket.recv(MAX_REQUEST_BYTES)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as error:
            return self._reconnect_or_fail(ConnectionLostError(
                "exchange with %s: %s" % (self.client.name, error.strerror or error)), now)
        if not chunk:
            return self._reconnect_or_fail(ConnectionLostError(
                "receive from %s: closed the connection" % self.client.name), now)
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
        self.deadline = now + self.client.reply_timeout
        self._reconnected = True  # the request may have been taken: never sent twice from here
        try:
            written = self.client._socket.send(HANDSHAKE)
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

    def _reconnect_or_fail(self, lost, now):
        if self._reconnected:
            return self._finish(lost)
        self._reconnected = True
        self.client.close()
        self._connect(now)

    def _close_connecting(self):
        if self._connecting is not None:
            self._connecting.close()
            self._connecting = None

    def _finish(self, error):
        self._step = _DONE
        self._addresses = []
        self._close_connecting()
        # After an error the connection may still carry the late reply; a refused request
        # leaves it ready for the next.
        if error is not None and not isinstance(error, RefusedError):
            self.client.close()
        self.error = error


def run_exchanges(exchanges):
    """Carries every started exchange until each is done, polling all their sockets at once."""
    now = time.monotonic()
    while True:
        waiting = {}
        soonest = None
        for exchange in exchanges:
            if not exchange.done and now >= exchange.deadline:
                exchange.on_deadline(now)
            if not exchange.done:
                waiting[exchange.fileno()] = exchange
                soonest = exchange.deadline if soonest is None else min(soonest, exchange.deadline)
        if not waiting:
            return
        poller = select.poll()
        for fd, exchange in waiting.items():
            poller.register(fd, exchange.events())
        # Rounded up, so that a wait never ends before its deadline.
        ready = poller.poll(max(0, math.ceil((soonest - now) * 1000)))
        now = time.monotonic()
        for fd, _ in ready:
            waiting[fd].on_ready(now)
