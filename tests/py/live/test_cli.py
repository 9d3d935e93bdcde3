"""``python -m tarnix`` in a subprocess, against servers on 127.0.0.1."""

import base64
import email
import email.policy
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time

import pytest

from support.client import ENV, cli
from support.http_server import HTTPServer, RawServer
from support.server import read_head


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
    # Neither the minor version nor a reason phrase is known to the engine.
    assert head.startswith(b"HTTP/1.x 200\r\n") and b"Content-Type: application/json" in head
    doc = json.loads(body)
    assert doc["method"] == "POST" and doc["body"] == '{"a": 1}'
    assert ["Content-Type", "application/json"] in doc["headers"]


def echo(p):
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    doc["headers"] = {k.lower(): v for k, v in doc["headers"]}
    return doc


def test_data_is_a_form_unless_a_header_says_otherwise(server):
    doc = echo(cli("-d", "a=1", "-d", "b=2", server.url + "/echo"))
    assert doc["method"] == "POST" and doc["body"] == "a=1&b=2"
    assert doc["headers"]["content-type"] == "application/x-www-form-urlencoded"
    doc = echo(cli("-H", "content-type: text/plain", "-d", "x", server.url + "/echo"))
    assert doc["headers"]["content-type"] == "text/plain"


def test_multipart_form_and_basic_auth(server, tmp_path):
    upload = tmp_path / "notes.txt"
    upload.write_bytes(b"line one\r\nline two\x00\xff")
    doc = echo(cli("-u", "ann:pa:ss", "-F", "name=tarnix", "-F", f"file=@{upload}", "-F", "name=again", server.url + "/echo"))
    assert doc["method"] == "POST"
    assert doc["headers"]["authorization"] == "Basic " + base64.b64encode(b"ann:pa:ss").decode()
    ctype = doc["headers"]["content-type"]
    assert ctype.startswith("multipart/form-data; boundary=")
    message = email.message_from_bytes(
        f"Content-Type: {ctype}\r\n\r\n".encode() + doc["body"].encode("latin-1"), policy=email.policy.HTTP
    )
    parts = [(p.get_param("name", header="content-disposition"), p.get_filename(), p.get_content_type(), p.get_payload(decode=True)) for p in message.iter_parts()]
    # Fields first, then files; a field has no Content-Type of its own.
    assert parts == [
        ("name", None, "text/plain", b"tarnix"),
        ("name", None, "text/plain", b"again"),
        ("file", "notes.txt", "text/plain", b"line one\r\nline two\x00\xff"),
    ]
    assert [p.get("content-type") for p in message.iter_parts()][:2] == [None, None]
    # Fields alone are still multipart.
    doc = echo(cli("-F", "a=1", server.url + "/echo"))
    assert doc["headers"]["content-type"].startswith("multipart/form-data; boundary=")


@pytest.mark.parametrize("coding, decoded", [("gzip", True), ("deflate", True), ("compress", False)])
def test_include_leaves_out_headers_that_describe_the_encoded_body(server, coding, decoded):
    p = cli("-i", f"{server.url}/encoded?coding={coding}")
    assert p.returncode == 0, p.stderr
    head, _, body = p.stdout.partition(b"\r\n\r\n")
    names = {line.split(b":")[0].lower() for line in head.split(b"\r\n")[1:]}
    if decoded:
        assert body == b"hello, compressed world " * 50
        assert not names & {b"content-encoding", b"content-length"}
    else:
        # Printed as received, so the headers still describe it.
        assert {b"content-encoding", b"content-length"} <= names


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


def test_load_mode_reports_what_it_measured_when_interrupted(server):
    proc = subprocess.Popen(
        [sys.executable, "-m", "tarnix", "-n", "100000", "-c", "4", server.url + "/slow?delay=0.05"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV,
    )
    try:
        assert proc.stdout.readline().startswith(b"GET ")
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    out = out.decode()
    assert proc.returncode == 130, err
    assert "interrupted after" in out and "of 100000 requests" in out
    assert "completed" in out and "latency (ms)" in out and b"Traceback" not in err


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
@pytest.mark.parametrize("columns", [40, 100])
def test_progress_bar_stays_on_one_line_in_a_terminal(server, tmp_path, columns):
    sock = str(tmp_path / "tmux.sock")
    command = shlex.join(["env", f"PYTHONPATH={ENV['PYTHONPATH']}", sys.executable, "-m", "tarnix",
                          "-n", "300", "-c", "3", server.url + "/slow?delay=0.01"])
    tmux = ["tmux", "-S", sock, "-f", "/dev/null"]
    subprocess.run(tmux + ["new-session", "-d", "-x", str(columns), "-y", "20", command + "; sleep 60"], check=True)
    try:
        deadline = time.monotonic() + 60
        while True:
            screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout
            if "latency (ms)" in screen or time.monotonic() > deadline:
                break
            time.sleep(0.2)
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)
    rows = screen.splitlines()
    assert "latency (ms)" in screen, screen
    # Every redraw landed on one row, and nothing of it wrapped onto another.
    bar_rows = [row for row in rows if "#" in row or "300/300" in row]
    assert len(bar_rows) == 1, screen
    assert bar_rows[0].startswith("[") and bar_rows[0].rstrip().endswith("] 300/300")
    assert len(bar_rows[0].rstrip()) < columns


def test_demo_runs_offline():
    p = cli("--demo", "-n", "30", "-c", "3")
    assert p.returncode == 0, p.stderr
    out = p.stdout.decode()
    assert "Hello from the tarnix demo server!" in out
    assert '"method": "POST"' in out and "completed 30 requests" in out


@pytest.mark.parametrize(
    "body, binary",
    [
        (b"\x1b]52;c;ZXZpbA==\x07", True),  # sets the terminal's clipboard
        (b"\x1b[2J\x1b[31mred", True),
        (b"\x00\x01\x02", True),
        ("\u009b31m".encode(), True),
        ("plain text, caf\u00e9\r\n\ttabbed\n".encode(), False),
    ],
)
def test_binary_output_is_kept_off_a_terminal_unless_asked(tmp_path, body, binary):
    import pty
    import tty

    def behaviour(conn):
        read_head(conn)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)

    def on_terminal(*args):
        master, slave = pty.openpty()
        tty.setraw(slave)  # bytes pass as they are
        try:
            p = subprocess.run([sys.executable, "-m", "tarnix", *args], stdout=slave, stderr=subprocess.PIPE,
                               env=ENV, timeout=60)
            os.set_blocking(master, False)
            try:
                shown = os.read(master, 65536)
            except (BlockingIOError, OSError):
                shown = b""
        finally:
            os.close(slave)
            os.close(master)
        return p, shown

    with RawServer(behaviour) as server:
        p, shown = on_terminal(server.url)
        if binary:
            assert p.returncode == 1 and b"--output -" in p.stderr and shown == b""
            p, shown = on_terminal("--output", "-", server.url)
        assert p.returncode == 0, p.stderr
        assert shown == body
        assert cli("-o", str(tmp_path / "out"), server.url).returncode == 0
        assert (tmp_path / "out").read_bytes() == body
