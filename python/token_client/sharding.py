"""Rendezvous (highest-random-weight) hashing of access keys over token servers.

The weight of a server for a key is mix64(fnv1a64(name + b"\\0" + key)) over bytes: `name` is the
server's "HOST:PORT" as given, the key is UTF-8. fnv1a64 is 64-bit FNV-1a, mix64 the splitmix64
finisher. The key goes to the server of highest weight; a tie goes to the smaller name. When that
server is down, the key falls back along the same order: to the server of highest weight among
those that are up. The C++ client (token_client/ShardedClient.h) computes the same, so both send
a key to the same server when they spell the server names alike; tests/client/fleet_vectors.json
holds the values both are tested against.
"""

from typing import List, Optional, Sequence, Tuple, Union

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


def _as_bytes(text: Union[str, bytes]) -> bytes:
    return text.encode("utf-8") if isinstance(text, str) else bytes(text)


def hash_server_name(server_name: str) -> int:
    """The hash of a server's name and the zero byte after it, where each key's hash begins."""
    return _fnv1a64(_as_bytes(server_name) + b"\0")


def weight_for_key(name_hash: int, accesskey: str) -> int:
    """The weight for `accesskey` of the server whose name hashes to `name_hash`."""
    return _mix64(_fnv1a64(_as_bytes(accesskey), name_hash))


def place_key(server_names: Sequence[str], name_hashes: Sequence[int], accesskey: str,
              usable: Optional[Sequence[bool]] = None) -> Tuple[Optional[int], Optional[int]]:
    """(owner, target) of `accesskey` among the servers named `server_names`.

    `name_hashes` are their hash_server_name values. The owner has the highest weight; the target
    is the server of highest weight among those flagged in `usable` (all when None), or None.
    """
    key = _as_bytes(accesskey)
    owner = target = None
    owner_weight = target_weight = 0
    for index, name_hash in enumerate(name_hashes):
        weight = _mix64(_fnv1a64(key, name_hash))
        if owner is None or _outranks(server_names, index, weight, owner, owner_weight):
            owner, owner_weight = index, weight
        if (usable is None or usable[index]) and (
                target is None or _outranks(server_names, index, weight, target, target_weight)):
            target, target_weight = index, weight
    return owner, target


def _outranks(server_names, index, weight, best, best_weight):
    """Whether server `index` with `weight` comes before server `best`: a tie goes to the
    smaller name."""
    if weight != best_weight:
        return weight > best_weight
    return _as_bytes(server_names[index]) < _as_bytes(server_names[best])


# For tests and tools, not needed to use the client: the placement a ShardedClient computes, which
# tests check against the rows the C++ client is checked against too.
def rendezvous_weight(server_name: str, accesskey: str) -> int:
    """The weight of the server named `server_name` ("HOST:PORT") for `accesskey`."""
    return weight_for_key(hash_server_name(server_name), accesskey)


def rendezvous_order(server_names: Sequence[str], accesskey: str) -> List[int]:
    """Every index of `server_names`, from the highest weight for `accesskey` to the lowest.

    The first is the key's own server; the rest are the order in which it falls back.
    """
    return sorted(range(len(server_names)),
                  key=lambda i: (-rendezvous_weight(server_names[i], accesskey),
                                 _as_bytes(server_names[i])))


def rendezvous_pick(server_names: Sequence[str], accesskey: str,
                    usable: Optional[Sequence[bool]] = None) -> Optional[int]:
    """The index in `server_names` (not empty) of the server that holds `accesskey`.

    With `usable` (a flag per server), the server of highest weight among those flagged: where
    failover sends the key when its own server is down. None when no server is usable.
    """
    if not server_names:
        raise ValueError("no servers")
    return place_key(server_names, [hash_server_name(name) for name in server_names],
                     accesskey, usable)[1 if usable is not None else 0]
