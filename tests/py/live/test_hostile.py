"""Hostile servers: mutated and adversarial responses, cut-off streams and
stray bytes. Whatever arrives, every request ends with exactly one outcome,
the process stays up, the pool keeps serving, and no descriptor or thread is
left behind.

The server runs in a child process (this file, run as a script), so that its
own threads and sockets never mix with the engine's in the counts. Each
request names its case in the target; both sides build the same table."""

import gc
import os
import random
import socket
import subprocess
import sys
import threading
import time

import pytest

from support.client import CHILD_ENV
from support.server import Listener, read_head

SEED = 20261207
MESSAGES = {
    "",
    "connection failed",
    "failed to send request",
    "connection reset while reading response",
    "malformed HTTP response framing",
    "malformed HTTP response",
    "out of memory reading response",
}
RESET = "connection reset while reading response"
DEADLINE = 60  # seconds for one whole test; only guards against hangs

VALID = [
    b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: 1\r\n\r\nhello",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nT: x\r\n\r\n",
    b"HTTP/1.0 200 OK\r\nServer: s\r\n\r\nread to the end",
    b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
    b"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n",
]
OK = b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"
LINE_TOO_LONG = b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 70000 + b"\r\nContent-Length: 0\r\n\r\n"
LONG_LINE = b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 16000 + b"\r\nContent-Length: 0\r\n\r\n"
MANY_LINES = b"HTTP/1.1 200 OK\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(999)) + b"Content-Length: 0\r\n\r\n"
SAME_LENGTHS = b"HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\ncontent-length: 2\r\n\r\nok"
FRAMING = (4, "malformed HTTP response framing")
MALFORMED = (4, "malformed HTTP response")
# Responses refused whole: past the cap of 1,000 field lines, lengths that
# disagree, bare CR and NUL in a header line.
REFUSED = {
    b"HTTP/1.1 200 OK\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(20000)) + b"Content-Length: 0\r\n\r\n": FRAMING,
    b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nok!": FRAMING,
    b"HTTP/1.1 200 OK\r\nSet-Cookie: a=b\rX-Injected: 1\r\nContent-Length: 2\r\n\r\nok": MALFORMED,
    b"HTTP/1.1 200 OK\r\nX-A: a\x00b\r\nContent-Length: 2\r\n\r\nok": MALFORMED,
}


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        at = rng.randrange(len(data) + 1)
        if op == 0 and at < len(data):
            data[at] = rng.randrange(256)
        elif op == 1:
            data[at:at] = bytes([rng.choice(b"\r\n :;0f-+_\x00\xff")])
        elif op == 2:
            del data[at:at + rng.randint(1, 8)]
        elif op == 3:
            data[at:at] = data[at:at + rng.randint(1, 40)]
        else:
            del data[at:]
    return bytes(data)


def cases():
    """(response bytes, how to send them) by case number. Ways to send:
    ("close",) whole then close; ("bytes",) one byte per write then close;
    ("reset", k) the first k bytes then a reset; ("late", extra) whole, then
    `extra` a moment later, then close; ("keep",) whole, and the connection
    stays for the next request."""
    rng = random.Random(SEED)
    out = []
    for _ in range(1500):
        out.append((mutate(rng, rng.choice(VALID)), ("close",)))
    ok = OK
    adversarial = [
        # Header lines past the reader's buffer (64 KiB plain, 16 KiB TLS), a
        # long one within both, and very many.
        LINE_TOO_LONG, LONG_LINE, MANY_LINES, SAME_LENGTHS, *REFUSED,
        b"HTTP/1.1 200 OK\r\n" + b":\r\n" * 30000 + b"\r\n",
        b"HTTP/1.1 200 OK\r\n" + b"x" * 200000,
        # Lengths and chunk sizes at the edge of 64 bits.
        b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nabc",
        b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nabc",
        b"HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\nabc",
    ] + [
        b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n%s\r\nabc" % size
        for size in (b"ffffffffffffffff", b"fffffffffffffffe", b"fffffffffffffffd", b"10000000000000000",
                     b"7fffffffffffffff", b"-0", b"+f_f", b"1" * 40)
    ] + [
        # Bytes after a complete response: stray data, a second response.
        ok + b"garbage\r\n\r\n",
        ok + ok,
        b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n" + ok,
        # Interim responses without end.
        b"HTTP/1.1 100 Continue\r\n\r\n" * 2000,
        b"\r\n" * 1000,
        b"\x00" * 5000,
        b"",
    ]
    out += [(r, ("close",)) for r in adversarial]
    # Bytes nobody asked for, arriving after the response was read.
    out += [(OK, ("late", extra)) for extra in (b"HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n",
                                                 b"\x00garbage")]
    # Without keep-alive, so that each of these meets a connection of its own.
    for r in (ok, VALID[1]):
        r = r.replace(b"200 OK\r\n", b"200 OK\r\nConnection: close\r\n")
        out.append((r, ("bytes",)))
        out += [(r, ("reset", k)) for k in range(len(r) + 1)]
    out += [(r, ("keep",)) for r in VALID[:2]]
    return out


CASES = cases()


# -- the server ----------------------------------------------------------------

class HostileServer(Listener):
    """Answers each request with the case its target names, sent the way
    the case says."""

    def __init__(self, context):
        self.context = context
        super().__init__(backlog=256)

    def handle(self, sock):
        if self.context is not None:
            sock = self.context.wrap_socket(sock, server_side=True)
        with sock:
            buf = b""
            while True:
                buf = read_head(sock, buf)
                if b"\r\n\r\n" not in buf:
                    return
                head, _, buf = buf.partition(b"\r\n\r\n")
                target = head.split(b" ", 2)[1]
                response, how = CASES[int(target.rsplit(b"/", 1)[1])]
                if how[0] == "keep":
                    sock.sendall(response)
                    continue
                if how[0] == "bytes":
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    for i in range(len(response)):
                        sock.sendall(response[i:i + 1])
                elif how[0] == "late":
                    sock.sendall(response)
                    time.sleep(0.02)
                    sock.sendall(how[1])
                elif how[0] == "reset":
                    sock.sendall(response[:how[1]])
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    return
                else:
                    sock.sendall(response)
                sock.shutdown(socket.SHUT_WR)
                return


def serve(cert_path, key_path):
    """Prints the plain port and the TLS port, then serves both for ever."""
    import ssl

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_path, key_path)
    servers = [HostileServer(None), HostileServer(context)]
    print(*(server.port for server in servers), flush=True)
    threading.Event().wait()


# -- the tests -----------------------------------------------------------------

class Collector:
    """Stands in for the event loop; counts hand-backs per request."""

    def __init__(self):
        self.cond = threading.Condition()
        self.outcomes = {}  # case number -> list of (status, headers, body, kind, message)
        self.settled = 0

    def loop_for(self, case):
        collector = self

        class Loop:
            def call_soon_threadsafe(self, settle, future, status, headers, body, kind, message):
                with collector.cond:
                    collector.outcomes.setdefault(case, []).append((status, headers, body, kind, message))
                    collector.settled += 1
                    collector.cond.notify_all()

        return Loop()


def _fds():
    return len(os.listdir("/proc/self/fd"))


def _threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture(scope="module")
def hostile_server(tmp_path_factory):
    """{False: plain port, True: TLS port}, and the CA file for the latter."""
    from support import pki

    ca = pki.make_ca("tarnix hostile CA")
    directory = tmp_path_factory.mktemp("hostile")
    cert_path, key_path = pki.make_leaf(ca).write_server_files(directory)
    ca_path = directory / "ca.pem"
    ca_path.write_bytes(ca.pem)
    proc = subprocess.Popen([sys.executable, __file__, "--serve", str(cert_path), str(key_path)],
                            stdout=subprocess.PIPE, env=CHILD_ENV)
    try:
        plain, tls = map(int, proc.stdout.readline().split())
        yield {False: plain, True: tls}, str(ca_path)
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()


@pytest.fixture
def nothing_left_behind():
    """Descriptors and threads are back to where they were, within a bounded wait."""
    gc.collect()
    before = (_fds(), _threads())
    yield
    gc.collect()
    deadline = time.monotonic() + 10
    while (_fds() > before[0] or _threads() > before[1]) and time.monotonic() < deadline:
        time.sleep(0.02)
    after = (_fds(), _threads())
    assert after[0] <= before[0], f"descriptors: {before[0]} before, {after[0]} after"
    assert after[1] <= before[1], f"threads: {before[1]} before, {after[1]} after"


def run_cases(server, tls, numbers, inflight=12, limit=4, settle_before_check=0.0):
    """Submits the cases, at most `inflight` at a time, on one pool; returns
    every outcome. The pool is dropped before returning."""
    from tarnix import _tarnix

    ports, ca_path = server
    pool = _tarnix.pool_create("localhost", ports[tls], tls, 0, limit, 0, 0, ca_path if tls else "")
    try:
        col = Collector()
        deadline = time.monotonic() + DEADLINE
        for sent, case in enumerate(numbers):
            with col.cond:
                assert col.cond.wait_for(lambda: sent - col.settled < inflight, deadline - time.monotonic()), \
                    f"no outcome for {sent - col.settled} requests (cases up to {case})"
            _tarnix.submit(pool, 0, f"/case/{case}", [], b"", None, None, object(), col.loop_for(case))
        with col.cond:
            assert col.cond.wait_for(lambda: col.settled >= len(numbers), deadline - time.monotonic()), \
                f"missing outcomes: {sorted(set(numbers) - set(col.outcomes))[:20]}"
        time.sleep(settle_before_check)
        # The pool still serves after all of that: no slot was lost on the way,
        # and nothing a server left on an idle connection answers for it.
        keep = next(i for i, (_, how) in enumerate(CASES) if how == ("keep",))
        _tarnix.submit(pool, 0, f"/case/{keep}", [], b"", None, None, object(), col.loop_for("check"))
        with col.cond:
            assert col.cond.wait_for(lambda: "check" in col.outcomes, deadline - time.monotonic()), \
                "the pool is wedged"
        check = col.outcomes.pop("check")
        assert check[0][:3] == (200, {"Content-Length": "5", "X-A": "1"}, b"hello"), check
        time.sleep(0.05)  # a duplicate hand-back would have arrived by now
    finally:
        # Even when an assertion failed, so that its connections close.
        del pool
    assert col.settled == len(numbers) + 1 and len(check) == 1, "a request was settled more than once"
    for case, got in col.outcomes.items():
        assert len(got) == 1, (case, got)
        status, headers, body, kind, message = got[0]
        assert kind in (0, 1, 4) and message in MESSAGES, (case, got)
        if kind == 0:
            assert message == "" and 0 <= status <= 65535 and isinstance(body, bytes) and isinstance(headers, dict)
        else:
            assert (status, headers, body) == (0, {}, b""), (case, got)
    return {case: got[0] for case, got in col.outcomes.items()}


def numbers_of(kind):
    return [i for i, (_, how) in enumerate(CASES) if how[0] == kind]


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_mutated_and_adversarial_responses_settle_once(hostile_server, tls, nothing_left_behind):
    numbers = numbers_of("close")
    out = run_cases(hostile_server, tls, numbers)
    assert len(out) == len(numbers)
    by_body = {CASES[i][0]: o for i, o in out.items()}
    # Lines past the reader's buffer and heads past the caps are refused;
    # long heads within them are fine.
    assert by_body[LINE_TOO_LONG][3:] == FRAMING
    assert by_body[LONG_LINE][0] == 200 and len(by_body[LONG_LINE][1]["X-Long"]) == 16000
    assert len(by_body[MANY_LINES][1]) == 1000
    for response, want in REFUSED.items():
        assert by_body[response][3:] == want, response[:80]
    assert by_body[SAME_LENGTHS][2] == b"ok"
    # A response followed by stray bytes is still that response.
    for r in (OK + b"garbage\r\n\r\n", OK + OK):
        assert by_body[r][0] == 200 and by_body[r][2] == b"ok"



@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_late_stray_bytes_never_answer_the_next_request(hostile_server, tls, nothing_left_behind):
    # One connection, so the next request meets the connection the stray
    # bytes came on, after they came.
    for late in numbers_of("late"):
        out = run_cases(hostile_server, tls, [late], inflight=1, limit=1, settle_before_check=0.1)
        assert out[late][:3] == (200, {"Content-Length": "2"}, b"ok"), out


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_resets_at_every_offset_and_one_byte_per_write(hostile_server, tls, nothing_left_behind):
    numbers = numbers_of("reset") + numbers_of("bytes")
    out = run_cases(hostile_server, tls, numbers)
    for case in numbers:
        response, how = CASES[case]
        status, _, body, kind, message = out[case]
        whole = (200, 0, b"ok" if b"Content-Length" in response else b"hello world")
        if how[0] == "bytes":
            assert (status, kind, body) == whole, (case, out[case])
        elif how[1] < len(response):
            assert (kind, message) == (1, RESET), (how, out[case])
        else:
            # A reset right behind the last byte may destroy it in our
            # kernel's receive queue before it is read (TCP's rule, not ours).
            assert (status, kind, body) == whole or (kind, message) == (1, RESET), (how, out[case])


if __name__ == "__main__" and sys.argv[1:2] == ["--serve"]:
    serve(*sys.argv[2:4])
