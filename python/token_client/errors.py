"""Errors of the token client. Every one is a TokenClientError."""


class TokenClientError(Exception):
    """Base of every error the client raises."""


class InvalidRequestError(TokenClientError, ValueError):
    """The request was rejected before anything was sent (a key too long, a negative need)."""


class ConnectError(TokenClientError, ConnectionError):
    """No connection could be made; nothing was sent."""


class ReplyTimeoutError(TokenClientError, TimeoutError):
    """The request was sent but no whole reply came in time.

    The server sends no reply to a request it cannot take, e.g. a rate of 0 for a key it does
    not know yet.
    """


class ConnectionLostError(TokenClientError, ConnectionError):
    """The connection broke during the exchange, also after one reconnect."""


class BadReplyError(TokenClientError):
    """The reply does not answer the request (wrong keys, count or format)."""


class ShardError(TokenClientError):
    """A server of a sharded batch failed; the others answered.

    `error` is the first failed server's error (in server order). `granted` lists, in the batch's
    order, what the other servers granted, with 0 for the entries of a failed server, so a
    caller that goes on never uses more tokens than it was given.
    """

    def __init__(self, error, granted):
        super().__init__(str(error))
        self.error = error
        self.granted = granted
