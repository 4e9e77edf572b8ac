"""The type hints of the public API: every function and method that `token_client` exports is
annotated whole, and mypy finds the annotations true to the code and to a caller's use."""

import inspect
import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest

import token_client

PACKAGE = os.path.dirname(os.path.abspath(token_client.__file__))

# A caller's use of the API, which must check without a complaint.
CALLER = textwrap.dedent('''
    from typing import List, Optional
    from token_client import (DenyCache, Grant, ServerHealth, ShardError, ShardedClient,
                              TokenClient, TokenClientPool, TokenGrant, TokenRequest,
                              rendezvous_order, rendezvous_pick)

    def use() -> None:
        denials = DenyCache()
        with TokenClientPool("127.0.0.1:6666", max_connections=2, deny_cache=denials) as pool:
            granted: TokenGrant = pool.acquire("svc-a", 5, 10, 20)
            left: Optional[int] = granted.remaining
            wait: Optional[float] = granted.retry_after
            batch: List[TokenGrant] = pool.acquire_batch([TokenRequest("svc-a", 1, 10, 20),
                                                          ("svc-b", 2, 5, 5)])
            opened: int = pool.open_connections()
            seconds: float = pool.ping()
            with pool.lease(wait=0.5) as leased:
                more: TokenGrant = leased.acquire("svc-a", 1, 10, 20)
        with TokenClient() as client:
            connected: bool = client.connected
        with ShardedClient(["a:6666", "b:6666"], policy="fail_closed", detail=False) as fleet:
            grant: Grant = fleet.acquire("svc-a", 1, 10, 20)
            where: int = grant.server
            tokens: int = grant + grant.tokens
            health: ServerHealth = fleet.server_health(fleet.server_for("svc-a"))
            try:
                grants: List[Grant] = fleet.acquire_batch([("svc-a", 1, 10, 20)])
            except ShardError as partial:
                grants = partial.granted
        order: List[int] = rendezvous_order(["a:6666", "b:6666"], "svc-a")
        pick = rendezvous_pick(["a:6666"], "svc-a", usable=[True])
''')


def exported_callables():
    """(name, function) for every exported function, and every public method, property,
    __init__ and __new__ of every exported class defined in the package."""
    for name in token_client.__all__:
        value = getattr(token_client, name)
        if inspect.isfunction(value):
            yield name, value
        elif inspect.isclass(value) and value.__module__.startswith("token_client"):
            for member, attribute in vars(value).items():
                if member.startswith("_") and member not in ("__init__", "__new__"):
                    continue
                if isinstance(attribute, property):
                    attribute = attribute.fget
                if inspect.isfunction(attribute):
                    yield "%s.%s" % (name, member), attribute


class TypeHintTest(unittest.TestCase):
    def test_every_exported_function_is_annotated_whole(self):
        unannotated = []
        for name, function in exported_callables():
            signature = inspect.signature(function)
            parameters = list(signature.parameters.values())
            if "." in name:
                parameters = parameters[1:]  # self or cls
            missing = [p.name for p in parameters if p.annotation is inspect.Parameter.empty]
            if signature.return_annotation is inspect.Signature.empty:
                missing.append("return")
            if missing:
                unannotated.append("%s: %s" % (name, ", ".join(missing)))
        self.assertEqual(unannotated, [])

    def test_mypy_finds_the_hints_true(self):
        mypy = shutil.which("mypy")
        if mypy is None:
            self.skipTest("mypy is not installed (scripts/setup.sh test installs it)")
        with tempfile.TemporaryDirectory() as work:
            caller = os.path.join(work, "caller.py")
            with open(caller, "w") as file:
                file.write(CALLER)
            result = subprocess.run(
                [mypy, "--cache-dir", os.devnull, "--python-version", "3.8",
                 "--disallow-incomplete-defs", "--warn-unused-ignores", PACKAGE, caller],
                capture_output=True, text=True, timeout=120,
                env=dict(os.environ, MYPYPATH=os.path.dirname(PACKAGE)))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
