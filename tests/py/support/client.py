"""Helpers for tests of the public client: child interpreters that import
this same package, a coroutine runner that fails on unhandled errors, and a
Session that calls either kind of client the same way."""

import asyncio
import os
import subprocess
import sys
import warnings

import tarnix

# Run the same package the tests import, wherever it was installed.
ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarnix.__file__)))
# For children that run a test file, which imports this package.
_TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHILD_ENV = dict(ENV, PYTHONPATH=os.pathsep.join([ENV["PYTHONPATH"], _TESTS]))


def run(coro):
    """Run a coroutine; fail if the loop reported any unhandled error."""
    reported = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reported.append(ctx))
        return await coro

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = asyncio.run(main())
    assert reported == []
    return result


def header(doc, name):
    """A header from the /echo route's document: its value, a list of them
    when repeated, None when absent."""
    values = [v for k, v in doc["headers"] if k.lower() == name.lower()]
    return values[0] if len(values) == 1 else values or None


def cli(*args, stdin=None):
    """``python -m tarnix`` with these arguments, in a child interpreter."""
    return subprocess.run(
        [sys.executable, "-m", "tarnix", *args],
        capture_output=True, env=ENV, input=stdin, timeout=60,
    )


class Session:
    """One client of either kind, called the same way."""

    def __init__(self, kind, **options):
        self.kind = kind
        self.client = (tarnix.SyncClient if kind == "sync" else tarnix.Client)(**options)

    def request(self, method, url, **kwargs):
        if self.kind == "sync":
            return self.client.request(method, url, **kwargs)
        return run(self.client.request(method, url, **kwargs))

    def get(self, url, **kwargs):
        return self.request("GET", url, **kwargs)

    def post(self, url, **kwargs):
        return self.request("POST", url, **kwargs)

    def send(self, request):
        return self.client.send(request) if self.kind == "sync" else run(self.client.send(request))
