"""Requests around interpreter exit, each in a child interpreter."""

import subprocess
import sys
import textwrap
import time

import pytest

from support.client import ENV
from support.scripted import ok


def run_script(script, *args, timeout=60):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=ENV)
    # A signal shows as a negative status; glibc's heap checks abort.
    assert proc.returncode == 7, (proc.returncode, proc.stdout, proc.stderr)
    assert "Fatal" not in proc.stderr and "Traceback" not in proc.stderr, proc.stderr
    return proc.stdout


def spread_answers(conn):
    # The outcomes arrive over the interpreter's exit, one connection at a time.
    if conn.read_request() is not None:
        time.sleep((conn.index % 50) / 1000)
        try:
            conn.send(ok())
        except OSError:
            pass
    conn.wait_closed()


FIRST_REQUEST_AT_EXIT = """
    import atexit, sys, threading
    from tarnix import _tarnix
    port = int(sys.argv[1])

    class Loop:
        def __init__(self):
            self.event = threading.Event()
        def call_soon_threadsafe(self, *args):
            self.event.set()

    def at_exit():
        pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 1000, 0, 0, "")
        loops = [Loop() for _ in range(100)]
        for loop in loops:
            _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), loop)
        # Most outcomes are still on their way when the handler returns.
        # A hundred threads wanting the GIL at once can be slow on a busy
        # machine: the bound is generous, the point is that it comes.
        if loops[0].event.wait(30):
            print("delivered", flush=True)
        else:
            print("not delivered; others:", sum(l.event.is_set() for l in loops), flush=True)

    atexit.register(at_exit)
    sys.exit(7)
"""


def test_first_request_inside_an_exit_handler(serve):
    server = serve(spread_answers)
    for _ in range(16):
        out = run_script(FIRST_REQUEST_AT_EXIT, server.port)
        assert out.startswith("delivered"), out


CLIENT_AT_EXIT = """
    import asyncio, atexit, sys
    url, mode = sys.argv[1], sys.argv[2]

    async def get():
        async with tarnix.Client(timeout=3) as client:
            return (await client.get(url)).status_code

    def at_exit():
        try:
            print("at exit", asyncio.run(get()), flush=True)
        except tarnix.TransportError as exc:
            print("refused:", exc, flush=True)

    def import_and_get():
        global tarnix
        import tarnix
        at_exit()

    if mode not in ("imported-later", "imported-at-exit"):
        import tarnix
    atexit.register(import_and_get if mode == "imported-at-exit" else at_exit)
    if mode == "imported-later":
        import tarnix
    if mode == "request-before":
        print("before exit", asyncio.run(get()), flush=True)
    sys.exit(7)
"""


@pytest.mark.parametrize("mode", ["request-before", "first-at-exit", "imported-later", "imported-at-exit"])
def test_client_request_inside_an_exit_handler(serve, mode):
    def answer(conn):
        while conn.read_request() is not None:
            conn.send(ok())

    server = serve(answer)
    out = run_script(CLIENT_AT_EXIT, f"http://127.0.0.1:{server.port}/", mode)
    if mode.startswith("imported-"):
        # The handler runs after the engine stopped delivering, or where it
        # cannot learn when delivering must stop: a clear refusal rather
        # than a request that can never settle or a crash.
        assert "refused: tarnix: the interpreter is shutting down" in out
    else:
        assert "at exit 200" in out


TLS_REQUESTS_AT_EXIT = """
    import sys, time
    from tarnix import _tarnix
    port, ca_file, pause = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])

    class Loop:
        def call_soon_threadsafe(self, *args):
            pass

    pool = _tarnix.pool_create("localhost", port, True, 0, 1000, 0, 0, ca_file)
    for _ in range(600):
        _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), Loop())
    # Exit while handshakes and reads are still inside the TLS library.
    time.sleep(pause)
    sys.exit(7)
"""


def test_exit_with_tls_requests_in_flight(tmp_path):
    from support import pki
    from support.tls_servers import OpenSslServer

    root = pki.make_ca("tarnix exit test root")
    ca_file = tmp_path / "ca.pem"
    ca_file.write_bytes(root.pem)
    # A fast server, so that handshakes and responses keep arriving while
    # the process exits.
    server = OpenSslServer(pki.make_leaf(root), workdir=tmp_path)
    try:
        # The crash came in a few runs of a hundred: many runs, each short.
        for run in range(30):
            run_script(TLS_REQUESTS_AT_EXIT, server.port, ca_file, (run % 3) / 100)
    finally:
        server.close()
