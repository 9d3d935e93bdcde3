import os
import threading

import pytest

from scripted import WAIT, ScriptedServer
from tarnix import _tarnix

# Clients read proxies from the environment: the tests' requests go to
# loopback servers, never to the proxy of the machine they run on.
for _name in [n for n in os.environ if n.lower().endswith("_proxy")]:
    del os.environ[_name]

GET, POST, PUT, PATCH, DELETE, HEAD, OPTIONS = range(7)


class Outcome:
    """What the engine handed to call_soon_threadsafe for one request."""

    def __init__(self, settle, future, status, headers, body, kind, message):
        self.settle = settle
        self.future = future
        self.status = status
        self.headers = headers
        self.body = body
        self.kind = kind
        self.message = message


class RecordingLoop:
    """Stands in for an event loop: records the hand-back instead of
    scheduling it."""

    def __init__(self):
        self.event = threading.Event()
        self.calls = []

    def call_soon_threadsafe(self, *args):
        self.calls.append(args)
        self.event.set()

    def outcome(self):
        assert self.event.wait(WAIT), "the request was never settled"
        assert len(self.calls) == 1
        return Outcome(*self.calls[0])


def start(pool, method=GET, target="/", headers=(), body=b""):
    loop = RecordingLoop()
    _tarnix.submit(pool, method, target, list(headers), body, None, None, object(), loop)
    return loop


def request(pool, method=GET, target="/", headers=(), body=b""):
    return start(pool, method, target, headers, body).outcome()


def make_pool(port, host="127.0.0.1", max_connections=8):
    return _tarnix.pool_create(host, port, False, 0, max_connections, 0, 0, "")


@pytest.fixture
def serve():
    """serve(handler, host=...) starts a scripted server for the test."""
    servers = []

    def start_server(handler, host="127.0.0.1"):
        server = ScriptedServer(handler, host)
        servers.append(server)
        return server

    yield start_server
    for server in servers:
        server.close()
    for server in servers:
        assert not server.errors, server.errors
