"""How outcomes get back to Python: through the loop's own reader where the
loop can watch a descriptor, through call_soon_threadsafe from the I/O
thread where it cannot, and straight to a blocking caller; and what becomes
of them when the loop closes, dies or forks, or the caller gives up."""

import asyncio
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
import weakref

import pytest

import tarnix
import tarnix.core.http as core_http
from support.client import ENV
from support.engine import RecordingLoop, make_pool
from support.scripted import WAIT, ok
from tarnix import _tarnix

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc, forks")

LOOPS = ["asyncio"]
try:
    import uvloop
    LOOPS.append("uvloop")
except ImportError:  # pragma: no cover - the test setup installs it
    uvloop = None


def new_loop(kind):
    return uvloop.new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()


def wake_fds():
    """The process's eventfds: one per loop with a reader."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if "eventfd" in os.readlink(f"/proc/self/fd/{fd}"):
                found.add(fd)
        except OSError:
            pass  # closed meanwhile
    return found


def no_more_wake_fds_than(baseline):
    """An I/O thread gives up its hold on a queue just after its last push,
    so the queue's descriptor may outlive the loop by a moment."""
    for _ in range(WAIT * 100):
        if wake_fds() <= baseline:
            return True
        time.sleep(0.01)
    return False


def answer_all(conn):
    while conn.read_request() is not None:
        conn.send(ok())
    conn.wait_closed()


def submit_many(pool, loop, n):
    futures = [loop.create_future() for _ in range(n)]
    for future in futures:
        _tarnix.submit(pool, 0, "/", [], b"", None, None, future, loop)
    return futures


@pytest.mark.parametrize("kind", LOOPS)
def test_a_loop_with_a_reader_settles_every_job_once_on_its_own_thread(serve, monkeypatch, kind):
    calls = []

    def settle(future, *outcome):
        calls.append((threading.get_ident(), future))
        future.set_result(outcome)
        if len(calls) == 1:
            raise ValueError("the first settle fails")

    monkeypatch.setattr(core_http, "_settle", settle)
    pool = make_pool(serve(answer_all).port, max_connections=4)
    loop = new_loop(kind)
    errors = []
    loop.set_exception_handler(lambda _loop, context: errors.append(context.get("exception")))
    if kind == "asyncio":
        # Only the I/O threads' way back calls this; the reader never does.
        loop.call_soon_threadsafe = lambda *args: pytest.fail("call_soon_threadsafe used")

    async def run():
        futures = submit_many(pool, loop, 41)
        await asyncio.wait_for(asyncio.gather(*futures), WAIT)
        return futures

    try:
        futures = loop.run_until_complete(run())
    finally:
        loop.close()
    # One call per job, all on the loop's thread; one failing settle does
    # not hold up the others, and reaches the loop's exception handler.
    assert sorted(map(id, (f for _, f in calls))) == sorted(map(id, futures))
    assert {ident for ident, _ in calls} == {threading.get_ident()}
    assert [type(e) for e in errors] == [ValueError]
    status, headers, body, kind_, message = futures[0].result()
    assert (status, body, kind_, message) == (200, b"ok", 0, "") and type(headers) is dict


class NoReader(RecordingLoop):
    def add_reader(self, fd, callback):
        raise NotImplementedError


class ClosedReader(RecordingLoop):
    def add_reader(self, fd, callback):
        raise RuntimeError("Event loop is closed")


class ShortOfMemory(RecordingLoop):
    """Its first hand-back fails as a loop short of memory would."""

    refused = None

    def call_soon_threadsafe(self, *args):
        if self.refused is None:
            self.refused = args[2:]
            raise MemoryError
        super().call_soon_threadsafe(*args)


@pytest.mark.parametrize("way", ["reader", "call_soon_threadsafe"])
def test_an_outcome_the_loop_has_no_memory_for_comes_again_as_a_failure(serve, monkeypatch, way):
    # Dropped, it would leave the future pending for ever.
    pool = make_pool(serve(answer_all).port)
    if way == "reader":
        seen = []

        def settle(future, *outcome):
            seen.append(outcome)
            if len(seen) == 1:
                raise MemoryError
            future.set_result(outcome)

        monkeypatch.setattr(core_http, "_settle", settle)
        loop = asyncio.new_event_loop()
        try:
            future = loop.create_future()
            _tarnix.submit(pool, 0, "/", [], b"", None, None, future, loop)
            loop.run_until_complete(asyncio.wait_for(future, WAIT))
        finally:
            loop.close()
    else:
        loop = ShortOfMemory()
        _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), loop)
        o = loop.outcome()
        seen = [loop.refused, (o.status, o.headers, o.body, o.kind, o.message)]
    assert [(s, b, k, m) for s, _, b, k, m in seen] == [(200, b"ok", 0, ""), (0, b"", 1, "out of memory reading response")]


@pytest.mark.parametrize("loop_type", [RecordingLoop, NoReader, ClosedReader])
def test_a_loop_that_cannot_watch_a_descriptor_is_called_from_the_io_thread(serve, loop_type):
    pool = make_pool(serve(answer_all).port)
    for _ in range(2):  # the second time from what was learnt the first
        loop = loop_type()
        future = object()
        _tarnix.submit(pool, 0, "/", [], b"", None, None, future, loop)
        outcome = loop.outcome()
        assert outcome.settle is core_http._settle and outcome.future is future
        assert (outcome.status, outcome.body, outcome.kind, outcome.message) == (200, b"ok", 0, "")


@pytest.mark.parametrize("kind", LOOPS)
def test_a_closed_or_collected_loop_leaves_nothing_behind(serve, kind):
    release = threading.Event()

    def late(conn):
        while conn.read_request() is not None:
            release.wait(WAIT)
            conn.send(ok())
        conn.wait_closed()

    pool = make_pool(serve(late).port, max_connections=8)
    baseline = wake_fds()
    loop = new_loop(kind)
    futures = [weakref.ref(f) for f in submit_many(pool, loop, 8)]
    # Closed with every job in flight: the outcomes arrive afterwards.
    loop.close()
    release.set()
    checker = new_loop(kind)
    for _ in range(WAIT * 100):
        # Any later call on a Python thread frees what the closed loop left.
        checker.run_until_complete(asyncio.sleep(0.01))
        _tarnix.submit(pool, 0, "/", [], b"", None, None, checker.create_future(), checker)
        if not any(ref() for ref in futures):
            break
    assert not any(ref() for ref in futures)
    checker.run_until_complete(asyncio.sleep(0.2))
    checker.close()
    # A loop dropped without close gives its descriptor back when collected.
    dropped = new_loop(kind)
    assert dropped.run_until_complete(asyncio.gather(*submit_many(pool, dropped, 2)))
    if kind == "uvloop":
        dropped.close()  # uvloop never collects a loop that was not closed
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        del dropped, checker, loop  # (uvloop's own eventfd goes with the loop)
        gc.collect()
    assert no_more_wake_fds_than(baseline), wake_fds()


def test_many_loops_in_many_threads(serve):
    url = f"http://127.0.0.1:{serve(answer_all).port}/"
    baseline = wake_fds()
    results = []

    async def one_loop():
        async with tarnix.Client() as client:
            for _ in range(20):
                results.append((await client.get(url)).status_code)

    threads = [threading.Thread(target=asyncio.run, args=(one_loop(),)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 3)
    assert results == [200] * 160
    assert no_more_wake_fds_than(baseline), wake_fds()


FORK = """
    import asyncio, os, sys
    from tarnix import _tarnix
    port = int(sys.argv[1])
    pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 8, 0, 0, "")

    async def requests(n, pool):
        loop = asyncio.get_running_loop()
        futures = [loop.create_future() for _ in range(n)]
        for f in futures:
            _tarnix.submit(pool, 0, "/", [], b"", None, None, f, loop)
        return [r[0] for r in await asyncio.wait_for(asyncio.gather(*futures), 10)]

    def eventfds():
        found = set()
        for fd in os.listdir("/proc/self/fd"):
            try:
                if "eventfd" in os.readlink(f"/proc/self/fd/{fd}"):
                    found.add(fd)
            except OSError:
                pass
        return found

    import tarnix.core.http as h
    h._settle = lambda future, status, *rest: future.set_result((status,))
    loop = asyncio.new_event_loop()
    assert loop.run_until_complete(requests(20, pool)) == [200] * 20
    parent = eventfds()
    assert parent
    pid = os.fork()
    if pid == 0:
        code = 9
        try:
            # The parent's wake-up descriptors are not the child's.
            assert not eventfds(), eventfds()
            # A pool of its own: the parent's idle connections are not its to use.
            child_pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 8, 0, 0, "")
            assert asyncio.run(requests(20, child_pool)) == [200] * 20
            code = 5
        finally:
            os._exit(code)
    assert loop.run_until_complete(requests(20, pool)) == [200] * 20
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 5, status
    assert eventfds() == parent
    sys.exit(7)
"""

SUBINTERPRETER = """
    import sys
    try:
        import _interpreters as interpreters
        sub = interpreters.create("legacy")
        run = lambda code: interpreters.exec(sub, code)
    except ImportError:
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        run = lambda code: interpreters.run_string(sub, code)
    from tarnix import _tarnix
    port = int(sys.argv[1])
    out = run("try:\\n import tarnix\\n tarnix.get('http://127.0.0.1:%d/')\\n"
              "except ImportError as e:\\n assert 'main interpreter' in str(e), e\\n"
              "else:\\n raise SystemExit('used in a sub-interpreter')" % port)
    assert not out, out
    interpreters.destroy(sub)
    import tarnix
    assert tarnix.get(f"http://127.0.0.1:{port}/").status_code == 200
    sys.exit(7)
"""


@pytest.mark.parametrize("script", [FORK, SUBINTERPRETER], ids=["fork", "subinterpreter"])
def test_in_a_child_process_or_interpreter(serve, script):
    proc = subprocess.run([sys.executable, "-X", "dev", "-W", "ignore", "-c", textwrap.dedent(script),
                           str(serve(answer_all).port)], capture_output=True, text=True, timeout=120, env=ENV)
    assert proc.returncode == 7, (proc.returncode, proc.stdout, proc.stderr[-3000:])


def test_a_blocking_wait_that_gives_up_leaves_nothing_behind(serve):
    release, served = threading.Event(), threading.Event()

    def late(conn):
        while conn.read_request() is not None:
            release.wait(WAIT)
            served.set()
            conn.send(ok())
        conn.wait_closed()

    pool = make_pool(serve(late).port)
    pool_refs = sys.getrefcount(pool)
    assert _tarnix.submit_wait(pool, 0, "/", [], b"", 0.05) is None

    class Interrupted(Exception):
        pass

    def interrupt(signum, frame):
        raise Interrupted

    # A signal handler that raises ends an unbounded wait too.
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(Interrupted):
            _tarnix.submit_wait(pool, 0, "/", [], b"", None)
        # Raised while waiting, not once the answer came.
        assert not served.is_set()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    release.set()
    for _ in range(WAIT * 100):
        if sys.getrefcount(pool) == pool_refs:
            break
        # Any later call frees the abandoned job once it has finished.
        status, headers, body, kind, message = _tarnix.submit_wait(pool, 0, "/", [], b"", None)
        assert (status, body, kind, message) == (200, b"ok", 0, "") and type(headers) is dict
    assert sys.getrefcount(pool) == pool_refs
    with pytest.raises(ValueError):
        _tarnix.submit_wait(pool, 0, "/", [], b"", -1)
