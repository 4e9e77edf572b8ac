"""Python client of the token server (standard library only).

    from token_client import TokenClientPool
    with TokenClientPool("127.0.0.1:6666", max_connections=4) as pool:  # share among threads
        granted = pool.acquire("svc-a", 5, 10, 20)   # need, rate (tokens/s), burst
"""

# The C++ library's version; the build's tests check that the two agree.
__version__ = "1.2.0"

from .client import (DEFAULT_PORT, MAX_ACCESS_KEY_LENGTH, MAX_REQUEST_BYTES, DenyCache, Lease,
                     TokenClient, TokenClientPool, TokenGrant, TokenRequest)
from .errors import (BadReplyError, ConnectError, ConnectionLostError, InvalidRequestError,
                     RefusedError, ReplyTimeoutError, ShardError, TokenClientError)
from .fleet import FAIL_CLOSED, FAIL_OPEN, FAILOVER, Grant, ServerHealth, ShardedClient
# For tests and tools: where a ShardedClient places a key.
from .sharding import rendezvous_order, rendezvous_pick, rendezvous_weight

__all__ = [
    "BadReplyError", "ConnectError", "ConnectionLostError", "DEFAULT_PORT", "DenyCache", "FAILOVER",
    "FAIL_CLOSED", "FAIL_OPEN", "Grant", "InvalidRequestError", "Lease", "MAX_ACCESS_KEY_LENGTH",
    "MAX_REQUEST_BYTES", "RefusedError", "ReplyTimeoutError", "ServerHealth", "ShardError",
    "ShardedClient", "TokenClient", "TokenClientError", "TokenClientPool", "TokenGrant",
    "TokenRequest",
    "__version__", "rendezvous_order", "rendezvous_pick", "rendezvous_weight",
]
