"""ShardedClient: token requests spread over a fleet of servers, which carries on when one is lost.

Placement. Each access key goes to the server that rendezvous hashing (sharding.py) picks among
the server names "HOST:PORT". The name, not the address, places keys: the host is resolved again
for every new connection, so a server that comes back at another address under its name (a
restarted pod of a StatefulSet keeps its name) gets its keys back.

Health. The client holds each server up or down. A failed connect, a connection that breaks
during a call (after the one reconnect), or a server that answers neither the request nor the
handshake after it (ReplyTimeoutError) marks it down; a refused request, a bad reply and a pool
whose connections are all busy do not. No call waits on a server known to be down. A prober
thread sends the handshake to each down server, first `first_probe_delay` seconds after it went
down, then each time after twice the last wait, up to `max_probe_delay`; the first answer marks
it up again. The prober runs while a server is down.

Policy, for the keys whose server is down:
  FAILOVER     (the default) each such key goes to the next server in its own rendezvous order
               that is up, and back once its own server is up. A call that finds a server failing
               moves the keys it could not get there on, within the same call, so the caller gets
               a grant, not an error, while any server is up.
  FAIL_CLOSED  0 tokens and an error for those keys.
  FAIL_OPEN    the need is granted without asking, and the grant is marked not checked.
Buckets are the servers' own: a key that moves starts with a full bucket on its fallback, and
again on its own server when it returns, so each move may grant up to one burst too many.

Batches. A batch is split by server, and each server's part is sent on a connection from that
server's pool, all from the calling thread: the parts go out together and their replies are read
as they come, with one poll. No thread is started per call. A part whose pool is busy is sent
after the others, the call holding no other server's connection while it waits; a server is
marked down only for its own failure, measured from when its part could go out.

The C++ client (token_client/ShardedClient.h) does the same, with the same names.
"""

import threading
import time
from typing import Iterable, List, NamedTuple, Optional, Sequence, cast

from .client import (ClosesOnExit, DenyCache, Entry, Lease, TokenClientPool, check_entries,
                     read_grants, token_exchange)
from .errors import (ConnectError, ConnectionLostError, InvalidRequestError, ReplyTimeoutError,
                     ShardError, TokenClientError)
from .exchange import run_exchanges
from .sharding import hash_server_name, place_key

FAILOVER = "failover"
FAIL_CLOSED = "fail_closed"
FAIL_OPEN = "fail_open"
POLICIES = (FAILOVER, FAIL_CLOSED, FAIL_OPEN)



class ServerHealth(NamedTuple):
    """What a ShardedClient knows of one server.

    up: whether calls send to it. failed_calls: the calls that met it failing, each after
    waiting for it. probes: the handshakes the prober has sent it. last_failure: the error that
    marked it down last, or None.
    """
    up: bool
    failed_calls: int
    probes: int
    last_failure: Optional[TokenClientError]


class Grant(int):
    """The tokens granted to one entry of a sharded call: an int, with where they came from.

    server: the index of the server that answered; for an entry without an answer, the server
    whose failure `error` gives; for one granted unchecked, or answered by the deny cache, its own
    server. fallback: that server is not the key's own, which was down. checked: False when
    FAIL_OPEN granted it without asking. error: None, or the TokenClientError that left the entry
    with nothing. remaining, retry_after_ms, retry_after, cached: as TokenGrant's, told by the
    server that answered (a fallback's answer tells the fallback's bucket).
    """

    server: int
    fallback: bool
    checked: bool
    error: Optional[TokenClientError]
    remaining: Optional[int]
    retry_after_ms: Optional[int]
    cached: bool

    def __new__(cls, tokens: int, server: int, fallback: bool = False, checked: bool = True,
                error: Optional[TokenClientError] = None, remaining: Optional[int] = None,
                retry_after_ms: Optional[int] = None, cached: bool = False) -> "Grant":
        grant = super().__new__(cls, tokens)
        grant.server, grant.fallback, grant.checked, grant.error = server, fallback, checked, error
        grant.remaining, grant.retry_after_ms, grant.cached = remaining, retry_after_ms, cached
        return grant

    @property
    def retry_after(self) -> Optional[float]:
        return None if self.retry_after_ms is None else self.retry_after_ms / 1000.0

    @property
    def tokens(self) -> int:
        return int(self)

    def __repr__(self) -> str:
        return "Grant(%d, server=%r, fallback=%r, checked=%r, error=%r)" % (
            self, self.server, self.fallback, self.checked, self.error)


def _is_server_failure(error):
    """Whether a call's error shows the server failed, not that it refused the request."""
    return isinstance(error, (ConnectError, ReplyTimeoutError, ConnectionLostError))


class _Record:
    """What the prober keeps of one server; under _FleetHealth._lock."""

    def __init__(self):
        self.last_failure = None
        self.wait = 0.0  # seconds from the last probe (or going down) to the next
        self.next_probe = 0.0
        self.failed_calls = 0
        self.probes = 0


class _FleetHealth:
    """Whether each server is up, and the prober that finds the down ones up again.

    _lock guards the records, the prober and _closing; the up flags are read without it, each in
    one step, and written under it.
    """

    def __init__(self, pools, first_probe_delay, max_probe_delay):
        self._pools = pools
        self._first_probe_delay = first_probe_delay
        self._max_probe_delay = max_probe_delay
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)  # a server went down, or close() was called
        self._up = [True] * len(pools)
        self._records = [_Record() for _ in pools]
        self._prober = None  # the prober thread while a server is down
        self._closing = False

    def up(self, server):
        return self._up[server]

    def mark_down(self, server, error):
        """A call met `server` failing with `error`, after waiting for it: it is down."""
        with self._lock:
            record = self._records[server]
            record.failed_calls += 1
            record.last_failure = error
            if not self._up[server]:
                return  # calls under way when it failed: it is probed already
            self._up[server] = False
            record.wait = self._first_probe_delay
            record.next_probe = time.monotonic() + record.wait
            self._start_prober()
            self._wake.notify()

    def down_error(self, server):
        """The error of a key not sent to `server` because it is down."""
        with self._lock:
            return ConnectError("%s is down: %s"
                                % (self._pools[server].name, self._records[server].last_failure))

    def health(self, server):
        with self._lock:
            record = self._records[server]
            return ServerHealth(self._up[server], record.failed_calls, record.probes,
                                record.last_failure)

    def close(self):
        """Stops the prober, waiting for a probe under way; a later failure starts it again."""
        with self._lock:
            self._closing = True
            self._wake.notify()
            prober = self._prober
        if prober is not None:
            prober.join()
        with self._lock:
            self._closing = False
            self._start_prober()  # for a server that went down while it stopped

    def _start_prober(self):
        """Needs _lock."""
        if self._prober is None and not self._closing and not all(self._up):
            self._prober = threading.Thread(target=self._probe_down_servers, daemon=True)
            self._prober.start()

    def _probe_down_servers(self):
        while True:
            with self._lock:
                server = self._wait_for_due_probe()
                if server is None:
                    self._prober = None
                    return
                self._records[server].probes += 1
            # The pool connects anew, resolving the host again, so a server back at another
            # address is found; the connection it opens stays for the calls that follow.
            try:
                self._pools[server].ping()
                error = None
            except TokenClientError as failure:
                error = failure
            self._record_probe(server, error)

    def _wait_for_due_probe(self):
        """Needs _lock. The down server whose probe is due; None when none is down or closing."""
        while not self._closing:
            down = [server for server, up in enumerate(self._up) if not up]
            if not down:
                return None
            due = min(down, key=lambda server: self._records[server].next_probe)
            wait = self._records[due].next_probe - time.monotonic()
            if wait <= 0:
                return due
            self._wake.wait(wait)
        return None

    def _record_probe(self, server, error):
        with self._lock:
            if error is None:
                self._up[server] = True
                return
            record = self._records[server]
            record.last_failure = error
            record.wait = min(record.wait * 2, self._max_probe_delay)
            record.next_probe = time.monotonic() + record.wait


class ShardedClient(ClosesOnExit):
    """Token requests spread over several servers, each key on one, failing over (module doc).

    Each server is reached through a TokenClientPool of its own (`servers`), so any number of
    threads may share a ShardedClient. close() closes the idle connections and stops the prober
    (waiting for a probe under way); the client stays usable.
    """

    def __init__(self, addresses: Sequence[str], connect_timeout: float = 1.0,
                 reply_timeout: float = 1.0, max_connections: int = 4, idle_timeout: float = 10.0,
                 borrow_timeout: float = 2.0, policy: str = FAILOVER,
                 first_probe_delay: float = 0.5, max_probe_delay: float = 30.0,
                 detail: bool = True, deny_cache: Optional[DenyCache] = None) -> None:
        if not addresses:
            raise InvalidRequestError("no servers")
        if policy not in POLICIES:
            raise InvalidRequestError("policy %r is none of %s" % (policy, ", ".join(POLICIES)))
        self.servers = [TokenClientPool(address, connect_timeout, reply_timeout, max_connections,
                                        idle_timeout, borrow_timeout, detail, deny_cache)
                        for address in addresses]
        self.deny_cache = deny_cache
        self.policy = policy
        self._names = [server.name for server in self.servers]
        self._name_hashes = [hash_server_name(name) for name in self._names]
        self._health = _FleetHealth(self.servers, first_probe_delay, max_probe_delay)

    def close(self) -> None:
        self._health.close()
        for server in self.servers:
            server.close()

    def server_for(self, accesskey: str) -> int:
        """The index in `servers` of the server that holds `accesskey`, up or not."""
        # Never None: a ShardedClient has servers.
        return cast(int, place_key(self._names, self._name_hashes, accesskey)[0])

    def server_health(self, index: int) -> ServerHealth:
        """The ServerHealth of servers[index]."""
        return self._health.health(index)

    def acquire(self, accesskey: str, need_tokens: int, gen_rate: int, burst_size: int) -> Grant:
        """Asks for one key; returns its Grant, or raises the error that left it with none."""
        grant = _Call(self, check_entries([(accesskey, need_tokens, gen_rate,
                                            burst_size)])).run()[0]
        if grant.error is not None:
            raise grant.error
        return grant

    def acquire_batch(self, entries: Iterable[Entry]) -> List[Grant]:
        """Splits the batch by server, sends the parts at once, answers in the batch's order.

        Returns a Grant per entry. When an entry gets nothing, raises ShardError with the first
        such entry's error; its `granted` holds every entry's Grant (0 for those with nothing).
        """
        grants = _Call(self, check_entries(entries)).run()
        for grant in grants:
            if grant.error is not None:
                raise ShardError(grant.error, grants)
        return grants


class _Call:
    """One call's way through the fleet, in rounds.

    A round places each open entry (by the policy when its own server is down), sends each
    server's part on a connection of that server's pool, carries all the parts with one poll,
    and settles the entries from the answers. A server that fails in a round is marked down and
    left out of the later rounds, and its entries are open again; so every round but the last
    leaves one more server out.
    """

    def __init__(self, client, entries):
        self._client = client
        self._entries = entries
        count = len(client.servers)
        self._grants = [None] * len(entries)
        self._owners = [None] * len(entries)
        self._failed = [False] * count  # the servers that failed in this call
        self._errors = [None] * count  # each server's error in this call, or why it was left out
        # The most the call waits for busy pools, in all.
        self._borrow_deadline = time.monotonic() + client.servers[0].borrow_timeout

    def run(self):
        open_positions = self._answer_from_cache()
        while open_positions:
            parts = self._place(open_positions)
            open_positions = sorted(self._send(parts))  # a key named twice keeps its order
        return self._grants

    def _answer_from_cache(self):
        """Settles the entries the deny cache answers, as their own server's; returns the rest."""
        cache = self._client.deny_cache
        cached = cache.answer_entries(self._entries, time.monotonic()) if cache else {}
        for position, grant in cached.items():
            self._grants[position] = Grant(0, self._client.server_for(
                self._entries[position].accesskey), retry_after_ms=grant.retry_after_ms,
                cached=True)
        return [position for position in range(len(self._entries)) if position not in cached]

    def _place(self, positions):
        """Each server's part of this round: the places of its entries in the batch."""
        client = self._client
        usable = [not failed and client._health.up(server)
                  for server, failed in enumerate(self._failed)]
        parts = {}
        for position in positions:
            owner, target = place_key(client._names, client._name_hashes,
                                      self._entries[position].accesskey, usable)
            self._owners[position] = owner
            if usable[owner]:
                parts.setdefault(owner, []).append(position)
                continue
            if self._errors[owner] is None:
                self._errors[owner] = client._health.down_error(owner)
            if client.policy == FAILOVER and target is not None:
                parts.setdefault(target, []).append(position)
            elif client.policy == FAIL_OPEN:
                self._grants[position] = Grant(self._entries[position].need_tokens, owner,
                                               checked=False)
            elif self._grants[position] is None:  # else it keeps the failure it met last
                self._grants[position] = Grant(0, owner, error=self._errors[owner])
        return parts

    def _send(self, parts):
        """Sends every part and settles its entries; returns those open again.

        The parts whose pools have a connection free go out at once, together. A part whose pool
        is busy is sent after them, alone: the call waits for that pool holding no connection of
        another server, and no server's clock runs while the call waits for another's pool.
        """
        reopened, waiting, sent = [], [], []
        try:
            for server in sorted(parts):
                try:
                    lease = Lease(self._client.servers[server], wait=0)
                except ConnectError:
                    waiting.append(server)
                    continue
                self._start(server, lease, parts[server], sent, reopened)
            self._carry(sent, parts, reopened)
            for server in waiting:
                try:
                    lease = Lease(self._client.servers[server],
                                  wait=self._borrow_deadline - time.monotonic())
                except ConnectError as busy:  # every connection stayed borrowed: it is up
                    self._settle(server, parts[server], busy)
                    continue
                self._start(server, lease, parts[server], sent, reopened)
                self._carry(sent, parts, reopened)
        finally:
            # Left by an exception (a signal handler's, say): every connection goes back, and
            # one whose reply was not read is closed first.
            for _, lease, exchange, _ in sent:
                exchange.abandon()
                lease.release()
        return reopened

    def _start(self, server, lease, positions, sent, reopened):
        """Starts the exchange of a part on its leased connection, adding it to `sent`."""
        if not self._client._health.up(server):
            # The lease waited for calls that found the server failing: the part goes to the
            # next round, which places it without waiting for the server again.
            lease.release()
            reopened += positions
            return
        entries = [self._entries[position] for position in positions]
        # A part holding a key whose own server is another says so, and the server starts each
        # key new to it empty instead of granting a free burst; a key of its own, if new, too.
        fallback = any(self._owners[position] != server for position in positions)
        try:
            exchange = token_exchange(lease.client, entries, fallback)
        except InvalidRequestError as too_long:  # the part does not fit one request line
            lease.release()
            self._settle(server, positions, too_long)
            return
        sent.append((server, lease, exchange, entries))
        exchange.start(time.monotonic())

    def _carry(self, sent, parts, reopened):
        """Carries the started parts to their ends, settles them and gives their connections
        back, emptying `sent`."""
        run_exchanges([exchange for _, _, exchange, _ in sent])
        while sent:
            server, lease, exchange, entries = sent[0]
            try:
                self._settle(server, parts[server], read_grants(lease.client, exchange, entries))
            except TokenClientError as error:
                if _is_server_failure(error):
                    self._client._health.mark_down(server, error)
                    self._failed[server] = True
                    reopened += parts[server]
                self._settle(server, parts[server], error)
            finally:
                sent.pop(0)
                lease.release()

    def _settle(self, server, positions, answer):
        """Gives the entries at `positions` the grants in `answer`, or its error."""
        failed = isinstance(answer, TokenClientError)
        if failed:
            self._errors[server] = answer
        for index, position in enumerate(positions):
            if failed:
                self._grants[position] = Grant(0, server, server != self._owners[position],
                                               error=answer)
                continue
            told = answer[index]  # the answering server's TokenGrant, noted by its client
            self._grants[position] = Grant(told, server, server != self._owners[position],
                                           remaining=told.remaining,
                                           retry_after_ms=told.retry_after_ms)
