"""Errors of the token client. Every one is a TokenClientError."""

from typing import TYPE_CHECKING, List

if TYPE_CHECKING:
    from .fleet import Grant


class TokenClientError(Exception):
    """Base of every error the client raises."""


class InvalidRequestError(TokenClientError, ValueError):
    """The request was rejected before anything was sent (a key too long, a negative need)."""


class ConnectError(TokenClientError, ConnectionError):
    """No connection could be made; nothing was sent."""


class ReplyTimeoutError(TokenClientError, TimeoutError):
    """The request was sent but the server answered nothing: it has failed.

    After a token request's reply timeout the client sends the handshake and waits one timeout
    more, so that a refused request (RefusedError) is not taken for a failed server.
    """


class RefusedError(TokenClientError):
    """The server took the request as breaking one of its rules and granted nothing.

    A rate of 0 for a key it does not know, for one; its standard error says which rule. The
    server is up, and the same request would be refused again.
    """


class ConnectionLostError(TokenClientError, ConnectionError):
    """The connection broke during the exchange, also after one reconnect."""


class BadReplyError(TokenClientError):
    """The reply does not answer the request (wrong keys, count or format)."""


class ShardError(TokenClientError):
    """A server of a sharded batch failed; the others answered.

    `error` is the error of the first entry, in the batch's order, that got nothing, as the C++
    client's acquire_batch returns. `granted` lists, in the batch's order, what the other servers
    granted, with 0 for the entries of a failed server, so a caller that goes on never uses more
    tokens than it was given.
    """

    def __init__(self, error: TokenClientError, granted: List["Grant"]) -> None:
        super().__init__(str(error))
        self.error = error
        self.granted = granted
