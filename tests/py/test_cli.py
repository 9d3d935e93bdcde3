"""``python -m tarnix`` in a subprocess, against servers on 127.0.0.1."""

import json
import os
import subprocess
import sys

import pytest

import tarnix
from client_servers import HTTPServer, closed_port

# Run the same package the tests import, wherever it was installed.
ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarnix.__file__)))


def cli(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "tarnix", *args],
        capture_output=True, env=ENV, input=stdin, timeout=60,
    )


@pytest.fixture(scope="module")
def server():
    with HTTPServer() as s:
        yield s


def test_fetch_prints_the_body(server):
    p = cli("-X", "PUT", "-H", "X-One: 1", "-H", "X-Two:  two ", "-d", "payload", server.url + "/echo")
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    assert doc["method"] == "PUT" and doc["body"] == "payload"
    assert ["X-One", "1"] in doc["headers"] and ["X-Two", "two"] in doc["headers"]


def test_json_body_from_stdin_and_include(server):
    p = cli("-i", "--json", "@-", server.url + "/echo", stdin=b'{"a": 1}')
    assert p.returncode == 0, p.stderr
    head, _, body = p.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\n") and b"Content-Type: application/json" in head
    doc = json.loads(body)
    assert doc["method"] == "POST" and doc["body"] == '{"a": 1}'
    assert ["Content-Type", "application/json"] in doc["headers"]


@pytest.mark.parametrize(
    "args, code, text",
    [
        ([f"http://127.0.0.1:{closed_port()}/"], 1, b"ConnectError: connection failed"),
        (["ftp://127.0.0.1/"], 2, b"unsupported URL scheme"),
        (["-X", "TRACE", "http://127.0.0.1:1/"], 2, b"unsupported HTTP method"),
        (["-H", "nocolon", "http://127.0.0.1:1/"], 2, b"bad header"),
    ],
)
def test_errors_print_one_line(args, code, text):
    p = cli(*args)
    assert p.returncode == code
    assert text in p.stderr and p.stderr.count(b"\n") == 1 and b"Traceback" not in p.stderr


def test_timeout(server):
    p = cli("--timeout", "0.2", server.url + "/slow?delay=0.5")
    assert p.returncode == 1 and b"TimeoutError" in p.stderr


def test_load_mode(server):
    p = cli("-n", "40", "-c", "4", server.url + "/echo")
    assert p.returncode == 0, p.stderr
    out = p.stdout.decode()
    assert "completed 40 requests" in out and "requests/s" in out
    assert "200 x 40" in out and "p99" in out
    assert "[" not in p.stderr.decode()  # no progress bar off a terminal


def test_demo_runs_offline():
    p = cli("--demo", "-n", "30", "-c", "3")
    assert p.returncode == 0, p.stderr
    out = p.stdout.decode()
    assert "Hello from the tarnix demo server!" in out
    assert '"method": "POST"' in out and "completed 30 requests" in out
