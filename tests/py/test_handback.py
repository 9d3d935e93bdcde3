"""The Python thread states that I/O threads hand outcomes back in: each is
the running thread's own as far as the interpreter can tell, idle ones are
kept within a bound, and none survives into a forked child."""

import os
import subprocess
import sys
import textwrap

import pytest

import tarnix
from scripted import ok

# The probes read /proc, fork and limit the address space.
pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux only")

ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarnix.__file__)))

SCRIPT = """
    import ctypes, os, sys, threading, time
    from tarnix import _tarnix
    port, mode = int(sys.argv[1]), sys.argv[2]
    api = ctypes.pythonapi
    api.PyInterpreterState_Main.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
    api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
    api.PyThreadState_Next.restype = ctypes.c_void_p
    api.PyThreadState_Next.argtypes = [ctypes.c_void_p]

    def os_threads():
        return len(os.listdir("/proc/self/task"))

    def spare_states():
        # The interpreter's thread states beyond those of running threads.
        n, ts = 0, api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Main())
        while ts:
            n, ts = n + 1, api.PyThreadState_Next(ts)
        return n - threading.active_count()

    class Loop:
        # Runs on the I/O thread, as a loop's call_soon_threadsafe does.
        def __init__(self, n):
            self.left, self.bad = n, []
            self.lock, self.done = threading.Lock(), threading.Event()

        def call_soon_threadsafe(self, settle, future, status, *rest):
            if not api.PyGILState_Check():
                self.bad.append("not this thread's own state")
            # What a callback from C code does; it must not wait for itself.
            api.PyGILState_Release(api.PyGILState_Ensure())
            with self.lock:
                if status != 200:
                    self.bad.append(rest)
                self.left -= 1
                if self.left == 0:
                    self.done.set()

    def burst(pool, n):
        before = os_threads()
        loop = Loop(n)
        for _ in range(n):
            _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), loop)
        assert loop.done.wait(30), "outcomes missing"
        assert not loop.bad, loop.bad[:3]
        # Every I/O thread has let go of its state once it is gone.
        for _ in range(1000):
            if os_threads() <= before:
                break
            time.sleep(0.01)
        else:
            raise AssertionError("I/O threads still running")
        return spare_states()

    pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 1000, 0, 0, "")
    if mode == "bursts":
        kept = [burst(pool, n) for n in (300, 20, 300, 300)]
        assert 0 < max(kept) <= 64, kept
    else:
        burst(pool, 100)
        pid = os.fork()
        if pid == 0:
            code = 9
            try:
                burst(pool, 100)
                code = 5
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 5, status
        burst(pool, 100)
    sys.exit(7)
"""


def run(port, mode):
    # -X dev checks on every allocation that the thread holds the GIL in its
    # own state.
    proc = subprocess.run([sys.executable, "-X", "dev", "-W", "ignore", "-c", textwrap.dedent(SCRIPT),
                           str(port), mode], capture_output=True, text=True, timeout=120, env=ENV)
    assert proc.returncode == 7, (proc.returncode, proc.stdout, proc.stderr[-3000:])


def answer_all(conn):
    while conn.read_request() is not None:
        conn.send(ok())
    conn.wait_closed()


def test_bursts_beyond_the_kept_states(serve):
    run(serve(answer_all).port, "bursts")


def test_requests_in_a_forked_child(serve):
    run(serve(answer_all).port, "fork")


NO_THREAD = """
    import resource, sys
    from tarnix import _tarnix
    pool = _tarnix.pool_create("127.0.0.1", 9, False, 0, 10, 0, 0, "")
    future, loop = object(), object()
    before = [sys.getrefcount(o) for o in (future, loop, pool)]
    # Too little address space left for an I/O thread's stack.
    with open("/proc/self/status") as f:
        vm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (8 << 20), resource.RLIM_INFINITY))
    try:
        _tarnix.submit(pool, 0, "/", [], b"", None, None, future, loop)
    except RuntimeError as exc:
        print(exc)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    assert [sys.getrefcount(o) for o in (future, loop, pool)] == before
    sys.exit(7)
"""


def test_submit_without_a_thread_gives_everything_back():
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(NO_THREAD)],
                          capture_output=True, text=True, timeout=60, env=ENV)
    assert proc.returncode == 7, (proc.returncode, proc.stdout, proc.stderr[-3000:])
    assert "tarnix: failed to spawn I/O thread" in proc.stdout
