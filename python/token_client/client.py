"""Clients of the token server: one connection (TokenClient), or a few connections shared by
many threads (TokenClientPool). ShardedClient (fleet.py) spreads keys over several servers.

A request is one line ending in CR LF: "SHAKE" (the handshake, answered "OK") or a JSON token
request {"detail": true, "array": [{"accesskey", "need_tokens", "gen_rate", "burst_size"}, ...]},
answered by {"array": [{"accesskey", "tokens", "remaining", "retry_after_ms"}, ...]}, entry by
entry in order. "detail" (sent unless detail=False) asks for the two last members, and for an
error reply {"error": "..."} to a request the server refuses (RefusedError at once, with the
server's words); a server older than the detail ignores it, answers without them, and refuses
with silence.

An opt-in DenyCache (deny_cache=) answers 0 without asking, marked cached, for a key the server
denied until the wait it gave has passed, unless a call names other rates for it.

A client connects on first use and keeps its connection. A reply always belongs to its call:
after a failure, a bad reply or an exception that leaves the call early (a signal handler's),
the connection is closed, so that a late reply is never taken for the answer to a later request.
A call ends within twice the reply timeout, name lookup (on a thread of its own) included. A
request is sent at most once, unless the server provably never read it (exchange.py). A token
request that meets the reply timeout is checked with the handshake (exchange.py), so that a
refused request (RefusedError) is told from a failed server (ReplyTimeoutError). A
TokenClient is for one thread at a time; a TokenClientPool and a ShardedClient may be shared by
any number of threads.

The server serves each connection on one of a fixed 50 workers for as long as it stays open, and
every application that uses the server shares them: prefer a pool, and keep the sum of the pool
sizes of every process that uses one server well under 50.
"""

import collections
import json
import math
import re
import threading
import time
from typing import (Any, Callable, Deque, Dict, Iterable, List, NamedTuple, Optional, Sequence,
                    Tuple, TypeVar, cast)

from .errors import BadReplyError, ConnectError, InvalidRequestError, RefusedError
from .exchange import (HANDSHAKE, HANDSHAKE_ANSWER, LINE_END, MAX_REPLY_BYTES, MAX_REQUEST_BYTES,
                       Connection, Exchange, run_exchanges)

MAX_ACCESS_KEY_LENGTH = 29  # bytes of UTF-8
DEFAULT_PORT = 6666
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_UINT32_MAX = 2**32 - 1
_UINT64_MAX = 2**64 - 1
_INT64_MAX = 2**63 - 1  # the longest wait the C++ client holds, in ms



class TokenRequest(NamedTuple):
    """One entry of a token request.

    accesskey: at most 29 bytes of UTF-8, no NUL. need_tokens: tokens wanted now, 0 or more.
    gen_rate, burst_size: the bucket's rate (tokens/s) and size. A known key keeps its stored
    rate or size when given 0 or less; a new key needs both above 0, or the server does not
    answer.
    """
    accesskey: str
    need_tokens: int
    gen_rate: int
    burst_size: int


# What the calls take for an entry: a TokenRequest, or any (accesskey, need_tokens, gen_rate,
# burst_size) tuple.
Entry = Tuple[str, int, int, int]


def parse_address(address: str) -> Tuple[str, int]:
    """Splits "HOST:PORT" (or "[V6]:PORT", or a bare HOST for port 6666) into (host, port)."""
    text = address
    if text.startswith("["):
        host, sep, rest = text[1:].partition("]")
        if not sep or (rest and not rest.startswith(":")):
            raise InvalidRequestError("bad server address %r" % address)
        port = rest[1:] if rest else str(DEFAULT_PORT)
    elif text.count(":") > 1:
        raise InvalidRequestError("bad server address %r" % address)
    else:
        host, sep, port = text.partition(":")
        port = port if sep else str(DEFAULT_PORT)
    if not host or not port.isdigit() or not 1 <= int(port) <= 65535:
        raise InvalidRequestError("bad server address %r" % address)
    return host, int(port)


def address_name(host: str, port: int) -> str:
    """The server's name for sharding: "HOST:PORT", IPv6 hosts in brackets."""
    return ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)


def check_token_request(entry: Sequence[Any]) -> TokenRequest:
    """Returns `entry` as a TokenRequest; raises InvalidRequestError when it may not be sent.

    The server would refuse it with silence; the message is the server's own ("need_tokens is
    negative"). What only the server knows (a rate or size of 0 or less, refused for a new key
    and kept for a known one) is left to it: RefusedError.
    """
    if len(entry) != 4:
        raise InvalidRequestError("an entry is (accesskey, need_tokens, gen_rate, burst_size)")
    request = TokenRequest(*entry)
    if not isinstance(request.accesskey, str):
        raise InvalidRequestError("accesskey must be a string")
    try:
        key_length = len(request.accesskey.encode("utf-8"))
    except UnicodeEncodeError:
        raise InvalidRequestError("accesskey is not valid UTF-8") from None
    if key_length > MAX_ACCESS_KEY_LENGTH:
        raise InvalidRequestError("accesskey longer than %d bytes" % MAX_ACCESS_KEY_LENGTH)
    # The server reads a key only up to a NUL, so it would answer for another key.
    if "\0" in request.accesskey:
        raise InvalidRequestError("accesskey holds a NUL byte")
    for name in ("need_tokens", "gen_rate", "burst_size"):
        value = getattr(request, name)
        if type(value) is not int or not _INT32_MIN <= value <= _INT32_MAX:
            raise InvalidRequestError("%s must be a 32-bit signed integer" % name)
    if request.need_tokens < 0:
        raise InvalidRequestError("need_tokens is negative")
    return request


def check_entries(entries: Iterable[Sequence[Any]]) -> List[TokenRequest]:
    """The entries as TokenRequests; the first refused names its place, as the server would."""
    checked = []
    for number, entry in enumerate(entries, 1):
        try:
            checked.append(check_token_request(entry))
        except InvalidRequestError as refused:
            raise InvalidRequestError("entry %d: %s" % (number, refused)) from None
    return checked


class TokenGrant(int):
    """The tokens granted to one entry: an int, with what the server told of the key's bucket.

    remaining: the whole tokens left after this grant. retry_after_ms: how long until the bucket
    holds the part of the need not granted (at most a full bucket), 0 when the need was met;
    retry_after is the same in seconds. Each is None when the server did not tell. cached: True
    when a DenyCache answered 0 without asking; retry_after is then the wait still left.
    """

    remaining: Optional[int]
    retry_after_ms: Optional[int]
    cached: bool

    def __new__(cls, tokens: int, remaining: Optional[int] = None,
                retry_after_ms: Optional[int] = None, cached: bool = False) -> "TokenGrant":
        grant = super().__new__(cls, tokens)
        grant.remaining, grant.retry_after_ms, grant.cached = remaining, retry_after_ms, cached
        return grant

    @property
    def tokens(self) -> int:
        return int(self)

    @property
    def retry_after(self) -> Optional[float]:
        return None if self.retry_after_ms is None else self.retry_after_ms / 1000.0

    def __repr__(self) -> str:
        return "TokenGrant(%d, remaining=%r, retry_after_ms=%r, cached=%r)" % (
            self, self.remaining, self.retry_after_ms, self.cached)


class DenyCache:
    """The keys a server denied lately, and until when: for keys denied most of the time.

    A denial starts when a server grants a key less than its need and says how long until the
    bucket holds the rest, and lasts that long; a call for the key meanwhile is answered 0
    (TokenGrant.cached) without asking. It ends early when the server answers the key otherwise,
    or when a call names another rate or burst size, which goes to the server to re-rate the
    bucket. A need of 0 is always asked. Give one to any number of clients, pools and fleets;
    any number of threads may share it.
    """

    _FIRST_SWEEP = 64

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # accesskey -> (until, gen_rate, burst_size); under _lock
        self._denials: Dict[str, Tuple[float, int, int]] = {}
        self._sweep_at = self._FIRST_SWEEP  # under _lock

    def __len__(self) -> int:
        with self._lock:
            return len(self._denials)

    def answer(self, entry: TokenRequest, now: float) -> Optional[TokenGrant]:
        """A cached TokenGrant for `entry` (a TokenRequest) at `now` (time.monotonic()), or None."""
        if entry.need_tokens == 0:
            return None
        with self._lock:
            denial = self._denials.get(entry.accesskey)
            if denial is None:
                return None
            until, gen_rate, burst_size = denial
            if now >= until or (entry.gen_rate, entry.burst_size) != (gen_rate, burst_size):
                del self._denials[entry.accesskey]
                return None
        return TokenGrant(0, retry_after_ms=math.ceil((until - now) * 1000), cached=True)

    def note(self, entry: TokenRequest, grant: TokenGrant, now: float) -> None:
        """Takes in a server's `grant` (a TokenGrant) for `entry`, received at `now`."""
        denied = grant < entry.need_tokens and bool(grant.retry_after_ms)
        with self._lock:
            if not denied:
                self._denials.pop(entry.accesskey, None)
                return
            self._denials[entry.accesskey] = (now + cast(float, grant.retry_after),
                                              entry.gen_rate, entry.burst_size)
            if len(self._denials) >= self._sweep_at:  # keys denied once and never again
                self._denials = {key: denial for key, denial in self._denials.items()
                                 if denial[0] > now}
                self._sweep_at = max(self._FIRST_SWEEP, 2 * len(self._denials))

    def answer_entries(self, entries: Sequence[TokenRequest],
                       now: float) -> Dict[int, TokenGrant]:
        """Cached grants by place in `entries`, for the entries it answers."""
        answered = {}
        for position, entry in enumerate(entries):
            grant = self.answer(entry, now)
            if grant is not None:
                answered[position] = grant
        return answered


def request_line(entries: Sequence[TokenRequest], detail: bool = True,
                 fallback: bool = False) -> bytes:
    """The token request for `entries` (checked TokenRequests) as bytes, CR LF included.
    `fallback` marks a request sent to a server other than its keys' own, which then starts a key
    new to it with an empty bucket: {"fallback":true,"array":[...]}."""
    request: Dict[str, Any] = {"fallback": True} if fallback else {}
    if detail:
        request["detail"] = True
    request["array"] = [{"accesskey": e.accesskey, "need_tokens": e.need_tokens,
                         "gen_rate": e.gen_rate, "burst_size": e.burst_size} for e in entries]
    line = json.dumps(request, separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    line += LINE_END
    if len(line) > MAX_REQUEST_BYTES:
        raise InvalidRequestError("request of %d entries is longer than %d bytes; split the batch"
                                  % (len(entries), MAX_REQUEST_BYTES))
    return line


MAX_JSON_DEPTH = 64  # objects and arrays in one another, as the C++ client reads
_STRINGS = re.compile(rb'"(?:[^"\\]|\\.)*"')
_NEGATIVE = object()  # an integer written with a minus sign: never a grant, not even -0


def _nesting_depth(text):
    """How deep objects and arrays nest in JSON `text` (bytes), strings passed over."""
    if text.count(b"[") + text.count(b"{") <= MAX_JSON_DEPTH:
        return 0  # cannot nest deeper than it opens
    depth = deepest = 0
    for byte in _STRINGS.sub(b"", text):
        if byte in b"[{":
            depth += 1
            deepest = max(deepest, depth)
        elif byte in b"]}":
            depth -= 1
    return deepest


def _unique_members(pairs):
    """An object's members; a member named twice rejects the reply, which could be read either
    way."""
    members = dict(pairs)
    if len(members) != len(pairs):
        raise ValueError("a member named twice")
    return members


def _no_constant(name):
    raise ValueError("%s is not JSON" % name)


def _parse_int(text):
    return _NEGATIVE if text.startswith("-") else int(text)


def parse_reply(line: bytes, entries: Sequence[TokenRequest]) -> List[TokenGrant]:
    """The grants that reply `line` (bytes, CR LF included) gives `entries`, in order.

    Each is a TokenGrant, with the detail where the reply has it (a whole number of 64 bits,
    the wait of 63; None otherwise). Raises RefusedError with the server's words for an error
    reply, and BadReplyError with the C++ client's words for the same reply
    (tests/client/fleet_vectors.json holds the verdicts both give): a reply too long, too deep,
    not JSON or naming a member twice, or one that does not answer the entries in order.
    Members it does not know are passed over.
    """
    if len(line) > MAX_REPLY_BYTES:
        raise BadReplyError("bad reply: longer than the longest reply")
    body = line[:-len(LINE_END)]
    try:
        if _nesting_depth(body) > MAX_JSON_DEPTH:
            raise ValueError("nested too deep")
        reply = json.loads(body.decode("utf-8"), object_pairs_hook=_unique_members,
                           parse_constant=_no_constant, parse_int=_parse_int)
    except (ValueError, RecursionError):
        raise BadReplyError("bad reply: not JSON") from None
    if not isinstance(reply, dict):
        raise BadReplyError("bad reply: not a JSON object")
    if isinstance(reply.get("error"), str):  # a server asked for detail says why it refuses
        raise RefusedError(reply["error"])
    answers = reply.get("array")
    if not isinstance(answers, list):
        raise BadReplyError("bad reply: no \"array\"")
    if len(answers) != len(entries):
        raise BadReplyError("bad reply: %d entries for %d" % (len(answers), len(entries)))
    return [_grant_of(answer, number, entry)
            for number, (answer, entry) in enumerate(zip(answers, entries), 1)]


def _grant_of(answer, number, entry):
    if not isinstance(answer, dict):
        raise BadReplyError("bad reply: entry %d: not an object" % number)
    key = answer.get("accesskey")
    if not isinstance(key, str):
        raise BadReplyError("bad reply: entry %d: no accesskey" % number)
    if key != entry.accesskey:
        raise BadReplyError("bad reply: entry %d: accesskey does not match the request" % number)
    tokens = answer.get("tokens")
    if type(tokens) is not int or tokens > _UINT32_MAX:
        raise BadReplyError("bad reply: entry %d: no tokens" % number)
    if tokens > entry.need_tokens:
        raise BadReplyError("bad reply: entry %d: more tokens than asked for" % number)
    return TokenGrant(tokens, _detail(answer, "remaining", _UINT64_MAX),
                      _detail(answer, "retry_after_ms", _INT64_MAX))


def _detail(answer, name, most):
    value = answer.get(name)
    return value if type(value) is int and 0 <= value <= most else None


class _CallableCount(int):
    """A count that also answers a call with itself."""

    def __call__(self) -> int:
        return int(self)


_Closable = TypeVar("_Closable", bound="ClosesOnExit")


class ClosesOnExit:
    """Lets a `with` block close the object it opened."""

    def __enter__(self: _Closable) -> _Closable:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        raise NotImplementedError


class TokenClient(ClosesOnExit):
    """One connection to one token server.

    Raises TokenClientError subclasses (see errors.py). Use from one thread at a time.
    """

    def __init__(self, address: str = "127.0.0.1:6666", connect_timeout: float = 1.0,
                 reply_timeout: float = 1.0, detail: bool = True,
                 deny_cache: Optional[DenyCache] = None) -> None:
        self.host, self.port = parse_address(address)
        self.name = address_name(self.host, self.port)
        self.connect_timeout = connect_timeout
        self.reply_timeout = reply_timeout
        self.detail = detail
        self.deny_cache = deny_cache
        # The socket its calls use; a ShardedClient carries several clients' exchanges at once.
        self.connection = Connection()

    @property
    def connected(self) -> bool:
        return self.connection.sock is not None

    def connect(self) -> None:
        """Connects now instead of on the first call; nothing when already connected."""
        if not self.connected:
            self._run(Exchange(self, b""))

    def close(self) -> None:
        self.connection.close()

    def ping(self) -> float:
        """Sends the handshake: a health check. Returns the round-trip time in seconds."""
        exchange = self._run(Exchange(self, HANDSHAKE))
        if exchange.reply != HANDSHAKE_ANSWER:
            self.close()
            raise BadReplyError("bad reply: the handshake was not answered OK")
        return time.monotonic() - exchange.sending_since

    def acquire(self, accesskey: str, need_tokens: int, gen_rate: int,
                burst_size: int) -> TokenGrant:
        """Asks for need_tokens tokens of accesskey's bucket; returns the TokenGrant."""
        return self.acquire_batch([(accesskey, need_tokens, gen_rate, burst_size)])[0]

    def acquire_batch(self, entries: Iterable[Entry]) -> List[TokenGrant]:
        """Asks for every (accesskey, need_tokens, gen_rate, burst_size) entry in one request.

        Returns the TokenGrants in the entries' order. Entries are granted in order, so a key
        named twice draws the second time from what the first left. An empty batch sends nothing,
        nor does one the deny cache answers whole.
        """
        entries = check_entries(entries)
        cached = (self.deny_cache.answer_entries(entries, time.monotonic())
                  if self.deny_cache else {})
        asked = [entry for position, entry in enumerate(entries) if position not in cached]
        answers = iter(read_grants(self, self._run(token_exchange(self, asked)), asked)
                       if asked else [])
        return [cached[position] if position in cached else next(answers)
                for position in range(len(entries))]

    def _run(self, exchange):
        """Carries `exchange` alone to its end; raises its error. Left by an exception (a signal
        handler's, say), the exchange is abandoned: its reply never reaches a later call."""
        try:
            exchange.start(time.monotonic())
            run_exchanges([exchange])
        finally:
            exchange.abandon()  # nothing when it is done
        if exchange.error is not None:
            raise exchange.error
        return exchange


def token_exchange(client: TokenClient, entries: Sequence[TokenRequest],
                   fallback: bool = False) -> Exchange:
    """An exchange of the token request for `entries` (checked) on `client`, not started yet."""
    return Exchange(client, request_line(entries, client.detail, fallback), check_silence=True)


def read_grants(client: TokenClient, exchange: Exchange,
                entries: Sequence[TokenRequest]) -> List[TokenGrant]:
    """The grants of a finished token exchange on `client`; raises its error, or a bad reply's.
    Notes them in the client's deny cache."""
    if exchange.error is not None:
        raise exchange.error
    try:
        grants = parse_reply(exchange.reply, entries)
    except RefusedError as refused:  # an error reply: the connection is ready for the next
        raise RefusedError("request refused by %s: %s" % (client.name, refused)) from None
    except BaseException:  # a bad reply, or an interruption: the connection goes
        client.close()
        raise
    if client.deny_cache is not None:
        now = time.monotonic()
        for entry, grant in zip(entries, grants):
            client.deny_cache.note(entry, grant, now)
    return grants


class Lease:
    """One connection of a TokenClientPool lent to one caller: `client`, a TokenClient for any
    number of calls in a row, given back when the `with` block ends, or at release().

    Takes an idle connection of `pool`, or a new client (it connects on its first call) while
    fewer than max_connections are open; waits up to `wait` seconds (the pool's borrow_timeout
    when None) when none is free, then raises ConnectError. A call cut short closes its
    connection, so it goes back carrying no reply of its; a closed one frees its place.
    """

    def __init__(self, pool: "TokenClientPool", wait: Optional[float] = None) -> None:
        self.client: Optional[TokenClient] = pool._borrow(wait)
        self._pool = pool

    def __enter__(self) -> TokenClient:
        return cast(TokenClient, self.client)

    def __exit__(self, *exc_info: object) -> None:
        self.release()

    def release(self) -> None:
        """Gives the connection back now; nothing when it went back already."""
        client, self.client = self.client, None
        if client is not None:
            self._pool._give_back(client)


class TokenClientPool(ClosesOnExit):
    """At most max_connections connections to one token server, for any number of threads.

    Each call leases a connection (a TokenClient), makes its exchange and gives it back; lease()
    lends one for several calls in a row. A call that finds every connection borrowed waits up to
    borrow_timeout seconds, then raises ConnectError: nothing was sent. A connection that stays idle for idle_timeout seconds is
    closed, so an application at rest gives the server's workers back; a reaper thread runs while
    connections are idle and ends with the last of them. Calls raise as TokenClient's do; a
    connection that fails a call is closed and its place freed. close() closes the idle
    connections now; the pool stays usable.
    """

    def __init__(self, address: str = "127.0.0.1:6666", connect_timeout: float = 1.0,
                 reply_timeout: float = 1.0, max_connections: int = 4,
                 idle_timeout: float = 10.0, borrow_timeout: float = 2.0, detail: bool = True,
                 deny_cache: Optional[DenyCache] = None) -> None:
        if max_connections < 1:
            raise InvalidRequestError("a pool needs at least one connection")
        self.host, self.port = parse_address(address)
        self.name = address_name(self.host, self.port)
        self.connect_timeout = connect_timeout
        self.reply_timeout = reply_timeout
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.borrow_timeout = borrow_timeout
        self.detail = detail
        self.deny_cache = deny_cache
        self._lock = threading.Lock()
        self._freed = threading.Condition(self._lock)  # a client was given back or a place freed
        self._reaper_wake = threading.Condition(self._lock)  # close() was called
        # (idle since, TokenClient), oldest first; under _lock
        self._idle: Deque[Tuple[float, TokenClient]] = collections.deque()
        self._borrowed = 0  # under _lock; len(_idle) + _borrowed <= max_connections
        # The reaper thread while connections are idle; under _lock.
        self._reaper: Optional[threading.Thread] = None

    @property
    def open_connections(self) -> _CallableCount:
        """Connections open now, borrowed or idle: `pool.open_connections()`, as in C++.

        Read without the call, as code written for 1.1 does, it is the same count.
        """
        with self._lock:
            return _CallableCount(len(self._idle) + self._borrowed)

    def close(self) -> None:
        with self._lock:
            while self._idle:
                self._idle.popleft()[1].close()
            self._reaper_wake.notify()

    def ping(self) -> float:
        """Sends the handshake on a borrowed connection; returns the round trip in seconds."""
        return self._with_client(TokenClient.ping)

    def acquire(self, accesskey: str, need_tokens: int, gen_rate: int,
                burst_size: int) -> TokenGrant:
        return self.acquire_batch([(accesskey, need_tokens, gen_rate, burst_size)])[0]

    def acquire_batch(self, entries: Iterable[Entry]) -> List[TokenGrant]:
        """As TokenClient.acquire_batch, on a borrowed connection."""
        # A refused entry, an empty batch or one the deny cache answers whole needs no
        # connection, nor a wait for one.
        entries = check_entries(entries)
        if not entries:
            return []
        if self.deny_cache is not None:
            cached = self.deny_cache.answer_entries(entries, time.monotonic())
            if len(cached) == len(entries):
                return [cached[position] for position in range(len(entries))]
        return self._with_client(TokenClient.acquire_batch, entries)

    def lease(self, wait: Optional[float] = None) -> Lease:
        """A Lease of one connection, waiting up to `wait` seconds for it (see Lease):

            with pool.lease() as client:
                client.acquire("svc-a", 1, 10, 20)
        """
        return Lease(self, wait)

    def _with_client(self, call: Callable[..., Any], *args: Any) -> Any:
        client = self._borrow(None)  # a lease, without the object: the pool's own hot path
        try:
            return call(client, *args)
        finally:
            # A call left mid-exchange has closed the connection: it is not kept.
            self._give_back(client)

    def _borrow(self, wait):
        with self._lock:
            has_room = lambda: self._idle or self._borrowed < self.max_connections
            wait = self.borrow_timeout if wait is None else max(0.0, wait)
            if not self._freed.wait_for(has_room, wait):
                raise ConnectError("connect %s: all %d connections stayed busy for %g s"
                                   % (self.name, self.max_connections, self.borrow_timeout))
            self._close_expired(time.monotonic())
            self._borrowed += 1
            if self._idle:
                return self._idle.pop()[1]  # the newest: the oldest then age out
        return TokenClient(self.name, self.connect_timeout, self.reply_timeout, self.detail,
                           self.deny_cache)

    def _give_back(self, client):
        with self._lock:
            self._borrowed -= 1
            if client.connected:
                now = time.monotonic()
                self._idle.append((now, client))
                self._close_expired(now)
                if self._idle and self._reaper is None:
                    self._reaper = threading.Thread(target=self._reap_idle, daemon=True)
                    self._reaper.start()
            self._freed.notify()

    def _close_expired(self, now):
        """Closes the idle clients whose time is up; needs _lock (a close does not block)."""
        while self._idle and now - self._idle[0][0] >= self.idle_timeout:
            self._idle.popleft()[1].close()

    def _reap_idle(self):
        with self._lock:
            while self._idle:
                deadline = self._idle[0][0] + self.idle_timeout
                self._reaper_wake.wait(max(0.0, deadline - time.monotonic()))
                self._close_expired(time.monotonic())
            self._reaper = None
