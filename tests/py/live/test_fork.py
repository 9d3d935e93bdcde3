"""A process that forks while its clients are busy: the child never gets the
parent's connections or answers, leaves the parent's connections alone, and
never inherits a lock one of the parent's I/O threads held."""

import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from support.client import ENV
from support.http_server import Handler, HTTPServer
from support.pki import localhost_tls

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")

# qemu-user (7.2) holds a lock of its own while a thread starts or ends, and
# its fork does not take it: a fork meanwhile leaves it held in the child,
# whose first new thread then waits for ever. Set where the suite runs under it.
QEMU_USER = os.environ.get("TARNIX_TEST_QEMU_USER") == "1"


class Tagged(Handler):
    """Answers with the path asked for and the client's port."""

    def do_GET(self):
        if self.path.endswith("-slow"):
            time.sleep(3)
        self.reply(200, f"{self.path} {self.client_address[1]}".encode())


@pytest.fixture(scope="module", params=[False, True], ids=["plain", "tls"])
def server(request, tmp_path_factory):
    ca_file, ctx = localhost_tls(tmp_path_factory.mktemp("fork")) if request.param else ("", None)
    s = HTTPServer(ctx, host="localhost" if ctx else "127.0.0.1")
    s.server.RequestHandlerClass = Tagged
    s.ca_file = ca_file
    with s:
        yield s


def run_script(script, *args):
    proc = subprocess.run([sys.executable, "-W", "ignore", "-c", textwrap.dedent(SCRIPT_HEAD + script), *args],
                          capture_output=True, text=True, timeout=240, env=ENV)
    assert proc.returncode == 0, (proc.returncode, proc.stdout[-2000:], proc.stderr[-3000:])
    return json.loads(proc.stdout.splitlines()[-1])


# Each request names itself in its path: an answer read off a socket the other
# process also uses shows up as a wrong path. A child exits 0 when all its
# answers were its own, 1 on a wrong one, 2 on an error, 3 when it hung.
SCRIPT_HEAD = """
    import asyncio, gc, json, multiprocessing, os, random, signal, sys, threading, time
    import tarnix
    URL, VERIFY, LIMIT = sys.argv[1], sys.argv[2] or True, 30
    wrong = [0]

    def get(client, name):
        tag = f"{os.getpid()}-{name}"
        r = client.get(f"{URL}/{tag}", timeout=LIMIT)
        wrong[0] += r.text.split()[0] != "/" + tag
        return r.text.split()[1]

    def wait_child(pid):
        for _ in range(LIMIT * 100):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return 3

    def fork(work, meanwhile=lambda: None):
        pid = os.fork()
        if pid:
            meanwhile()
            return wait_child(pid)
        code = 2
        try:
            work()
            code = 1 if wrong[0] else 0
        finally:
            os._exit(code)
"""

CROSSING = """
    how, codes = sys.argv[3], []
    if how == "Client":
        loop = asyncio.new_event_loop()
        client = tarnix.Client(verify=VERIFY)
        run = loop.run_until_complete
        one = lambda name: run(client.get(f"{URL}/{os.getpid()}-{name}")).text.split()[1]
        async def warm():
            await asyncio.gather(*(client.get(f"{URL}/warm{i}") for i in range(16)))
        # The loop copied into a child does not run there; what the child
        # can do with the parent's client is let it go.
        run(warm())
        drop = lambda: run(client.aclose())
    else:
        client = tarnix.SyncClient(verify=VERIFY)
        stop = threading.Event()
        def load(k):
            for i in range(100000):
                if stop.is_set():
                    return
                get(client, f"load{k}-{i}")
        def child():
            threads = [threading.Thread(target=lambda k=k: [get(client, f"child{k}-{i}") for i in range(6)])
                       for k in range(4)]
            for t in threads: t.start()
            for t in threads: t.join()
            if wrong[0]: sys.exit(1)
        loaders = [threading.Thread(target=load, args=(k,)) for k in range(3)]
        for t in loaders: t.start()
        for _ in range(4):
            time.sleep(0.05)
            if how == "fork":
                codes.append(fork(child))
            else:
                p = multiprocessing.get_context("fork").Process(target=child)
                p.start()
                p.join(LIMIT)
                if p.is_alive(): p.kill(); p.join()
                codes.append(3 if p.exitcode is None or p.exitcode < 0 else p.exitcode)
        stop.set()
        for t in loaders: t.join()
        one = lambda name: get(client, name)
        drop = client.close
    # A child that only lets the client go leaves the parent's idle
    # connection as it was, for the parent's next request.
    before = one("before")
    codes.append(fork(lambda: (drop(), gc.collect())))
    print(json.dumps({"wrong": wrong[0], "codes": codes, "kept": one("after") == before}))
"""


@pytest.mark.parametrize("how", ["Client", "SyncClient", "multiprocessing"])
def test_children_never_share_the_parents_connections(server, how):
    out = run_script(CROSSING, server.url, server.ca_file, how)
    if QEMU_USER:
        # A hung child (3) may be qemu's; what the others answered still counts.
        out["codes"] = [0 if code == 3 else code for code in out["codes"]]
    assert out == {"wrong": 0, "codes": [0] * (1 if how == "Client" else 5), "kept": True}


# A fork while another thread of the parent holds the client's only slot (its
# request is still running) or sits inside the client's bookkeeping: neither
# thread exists in the child, whose own request must still go through.
HELD = """
    client = tarnix.SyncClient(verify=VERIFY, max_connections=1, cookies={"k": "v"})
    held = sys.argv[3]
    if held == "slot":
        t = threading.Thread(target=get, args=(client, "slow"))
        t.start()
        time.sleep(0.5)
        code = fork(lambda: get(client, "child"))
        t.join()
    else:
        lock = client._pools_lock if held == "lock" else client.cookies.jar._cookies_lock
        taken, done = threading.Event(), threading.Event()
        def hold():
            with lock:
                taken.set()
                done.wait(LIMIT)
        t = threading.Thread(target=hold)
        t.start()
        taken.wait(LIMIT)
        code = fork(lambda: get(client, "child"))
        done.set()
        t.join()
    print(json.dumps([code, get(client, "after") is not None]))
"""


@pytest.mark.parametrize("held", ["slot", "lock", "jar"])
def test_a_child_is_not_blocked_by_what_the_parents_threads_hold(server, held):
    assert run_script(HELD, server.url, server.ca_file, held) == [0, True]


# Forks at random moments while I/O threads set up the TLS library and check
# chains against the system trust store, which is touched all the while so
# that it is parsed again and again. Each child's first request must end.
LOCKS = """
    store, stop = sys.argv[3], threading.Event()
    def load():
        while not stop.is_set():
            try: tarnix.get(URL + "/load", timeout=LIMIT)
            except Exception: pass
    def touch():
        while not stop.is_set():
            os.utime(store)
            time.sleep(0.001)
    threads = [threading.Thread(target=load) for _ in range(3)] + [threading.Thread(target=touch)]
    for t in threads: t.start()
    codes = []
    for i in range(10):
        time.sleep(random.random() * 0.02 if i else 0)
        codes.append(fork(lambda: tarnix.get(URL + "/child", timeout=LIMIT)))
    stop.set()
    for t in threads: t.join()
    print(json.dumps(codes))
"""


@pytest.fixture
def crowded_store(server, system_store):
    """The test system store holding many copies of the server's CA: each
    parse takes a while, under the cache lock."""
    if not server.ca_file:
        pytest.skip("needs TLS")
    system_store(Path(server.ca_file).read_bytes() * 300)
    return os.environ["TARNIX_TEST_TRUST_STORE"]


def test_a_child_never_inherits_a_held_tls_lock(server, crowded_store):
    # Fresh processes: the library is set up in each right as the first fork comes.
    codes = sum((run_script(LOCKS, server.url, "", crowded_store) for _ in range(3)), [])
    assert codes == [0] * 30
