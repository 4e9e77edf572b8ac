"""Rendezvous (highest-random-weight) hashing of access keys over token servers.

The weight of a server for a key is mix64(fnv1a64(name + b"\\0" + key)) over bytes: `name` is the
server's "HOST:PORT" as given, the key is UTF-8. fnv1a64 is 64-bit FNV-1a, mix64 the splitmix64
finisher. The key goes to the server of highest weight; a tie goes to the smaller name. The C++
client (token_client/ShardedClient.h) computes the same, so both send a key to the same server
when they spell the server names alike.
"""

_MASK = (1 << 64) - 1
_FNV_OFFSET_BASIS = 0xCBF29CE484222325
_FNV_PRIME = 0x100000001B3


def _fnv1a64(data, value=_FNV_OFFSET_BASIS):
    for byte in data:
        value = ((value ^ byte) * _FNV_PRIME) & _MASK
    return value


def _mix64(x):
    x ^= x >> 30
    x = (x * 0xBF58476D1CE4E5B9) & _MASK
    x ^= x >> 27
    x = (x * 0x94D049BB133111EB) & _MASK
    x ^= x >> 31
    return x


def _as_bytes(text):
    return text.encode("utf-8") if isinstance(text, str) else bytes(text)


def rendezvous_weight(server_name, accesskey):
    """The weight of the server named `server_name` ("HOST:PORT") for `accesskey`."""
    return _mix64(_fnv1a64(_as_bytes(server_name) + b"\0" + _as_bytes(accesskey)))


def rendezvous_pick(server_names, accesskey):
    """The index in `server_names` (not empty) of the server that holds `accesskey`."""
    if not server_names:
        raise ValueError("no servers")
    best = 0
    best_weight = rendezvous_weight(server_names[0], accesskey)
    for index in range(1, len(server_names)):
        weight = rendezvous_weight(server_names[index], accesskey)
        if weight > best_weight or (weight == best_weight and
                                    _as_bytes(server_names[index]) < _as_bytes(server_names[best])):
            best, best_weight = index, weight
    return best
