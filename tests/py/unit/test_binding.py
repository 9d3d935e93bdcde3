import asyncio
import shutil
import subprocess
import sys
import threading
import time

import pytest

import tarnix
import tarnix.core.http as core_http
from support.engine import GET, OPTIONS, RecordingLoop, start
from support.server import WAIT
from tarnix import _tarnix

STANDARD_MODULE_ATTRS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}


def pool_args(**overrides):
    args = dict(host="127.0.0.1", port=1, tls=False, flag=0, max_connections=4, res_a=0, res_b=0, ca_path="")
    args.update(overrides)
    return list(args.values())


def submit_args(pool, **overrides):
    args = dict(pool=pool, method=GET, target="/", headers=[], body=b"", r5=None, r6=None,
                future=object(), loop=RecordingLoop())
    args.update(overrides)
    return list(args.values())


def refs(obj):
    return sys.getrefcount(obj)


def wait_until(predicate):
    deadline = time.monotonic() + WAIT
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


@pytest.fixture
def pool():
    return _tarnix.pool_create(*pool_args())


# -- module surface ----------------------------------------------------------

def test_module_surface():
    assert _tarnix.__name__ == "tarnix._tarnix"
    assert _tarnix.__doc__ == "tarnix native engine: HTTP, SSE, WebSocket."
    assert set(dir(_tarnix)) - STANDARD_MODULE_ATTRS == {
        "pool_create", "submit", "read_body", "submit_wait", "submit_limited", "abandon", "pool_create_via",
        "client_cert_load", "pool_create_with_cert", "download_new", "download_progress",
        "pool_keepalive", "pool_trim",
    }
    assert _tarnix.pool_create.__doc__ == "Create a native connection pool for an origin."
    assert _tarnix.submit.__doc__ == "Submit an HTTP request against a pool."
    assert _tarnix.read_body.__doc__ == "Copy a response body out of the native arena."


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_exports_only_init_and_method_table():
    out = subprocess.run(["nm", "-D", "--defined-only", _tarnix.__file__],
                         check=True, capture_output=True, text=True).stdout
    names = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert names == ["PyInit__tarnix", "tarnix_module_methods"]


@pytest.mark.parametrize("args", [(), (1, 2, 3), (None,)])
def test_read_body_always_refuses(args):
    with pytest.raises(NotImplementedError) as exc:
        _tarnix.read_body(*args)
    assert str(exc.value) == "tarnix: read_body() has no arena to read yet"


@pytest.mark.parametrize("fn", [_tarnix.pool_create, _tarnix.submit, _tarnix.read_body])
def test_keywords_rejected(fn):
    with pytest.raises(TypeError, match="keyword"):
        fn(host="x")


# -- pool_create --------------------------------------------------------------

def test_pool_create_counts_arguments():
    with pytest.raises(TypeError) as exc:
        _tarnix.pool_create(*pool_args()[:7])
    assert str(exc.value) == "pool_create expects 8 arguments"
    with pytest.raises(TypeError, match="^pool_create expects 8 arguments$"):
        _tarnix.pool_create()
    capsule = _tarnix.pool_create(*pool_args(), "ignored", object())
    assert type(capsule).__name__ == "PyCapsule"


@pytest.mark.parametrize("overrides, exc_type", [
    (dict(host=b"127.0.0.1"), TypeError),
    (dict(host="\udc80"), UnicodeEncodeError),
    (dict(port="80"), TypeError),
    (dict(port=80.0), TypeError),
    (dict(port=2 ** 31), OverflowError),
    (dict(flag=None), TypeError),
    (dict(max_connections=-2 ** 31 - 1), OverflowError),
    (dict(res_a=2 ** 40), OverflowError),
    (dict(res_b="0"), TypeError),
    (dict(ca_path=None), TypeError),
])
def test_pool_create_conversion_errors_are_the_interpreters(overrides, exc_type):
    with pytest.raises(exc_type):
        _tarnix.pool_create(*pool_args(**overrides))


def test_pool_create_truth_test_failure_propagates():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    with pytest.raises(ZeroDivisionError, match="no truth"):
        _tarnix.pool_create(*pool_args(tls=Bad()))


def test_pool_create_accepts_range_edges():
    # Ports and counts are range-reduced, never rejected; an empty host
    # fails only when a request runs.
    for overrides in (dict(port=65536), dict(port=-1), dict(max_connections=0),
                      dict(max_connections=-1), dict(flag=-1, res_a=-1, res_b=2 ** 31 - 1),
                      dict(host=""), dict(port=True)):
        _tarnix.pool_create(*pool_args(**overrides))


@pytest.mark.parametrize("tls", [1, "yes", [0], True])
def test_tls_on_loads_the_ca_file(tls, tmp_path):
    with pytest.raises(RuntimeError) as exc:
        _tarnix.pool_create(*pool_args(tls=tls, ca_path=str(tmp_path / "missing.pem")))
    assert str(exc.value) == "tarnix: failed to load the TLS CA bundle"


@pytest.mark.parametrize("tls", [0, "", None, False])
def test_tls_off_never_touches_the_ca_file(tls, tmp_path):
    _tarnix.pool_create(*pool_args(tls=tls, ca_path=str(tmp_path / "missing.pem")))


def test_tls_with_empty_path_or_no_certificates_gives_an_empty_bundle(tmp_path):
    _tarnix.pool_create(*pool_args(tls=True, ca_path=""))
    text = tmp_path / "notes.pem"
    text.write_text("just text, no certificate block\n")
    _tarnix.pool_create(*pool_args(tls=True, ca_path=str(text)))


def test_ca_path_with_nul_is_not_truncated(tmp_path):
    # "dir\0junk" must not open "dir"-prefixed files: the whole path is refused.
    existing = tmp_path / "empty.pem"
    existing.write_text("no certificates here\n")
    with pytest.raises(RuntimeError, match="^tarnix: failed to load the TLS CA bundle$"):
        _tarnix.pool_create(*pool_args(tls=True, ca_path=str(existing) + "\0junk"))


# -- submit -------------------------------------------------------------------

def test_submit_counts_arguments(pool):
    with pytest.raises(TypeError) as exc:
        _tarnix.submit(*submit_args(pool)[:8])
    assert str(exc.value) == "submit expects 9 arguments"
    loop = RecordingLoop()
    assert _tarnix.submit(*submit_args(pool, loop=loop), "tenth is ignored") == 0
    loop.outcome()


@pytest.mark.parametrize("not_a_pool", [None, object(), "tarnix.Pool"])
def test_submit_needs_a_pool_capsule(not_a_pool):
    with pytest.raises(ValueError):
        _tarnix.submit(*submit_args(not_a_pool))


def test_submit_rejects_a_capsule_of_another_name():
    import ctypes
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    name = ctypes.create_string_buffer(b"other.Thing")
    other = new(ctypes.addressof(name), name, None)
    with pytest.raises(ValueError):
        _tarnix.submit(*submit_args(other))


@pytest.mark.parametrize("method", [7, -1, 2 ** 31 - 1, -2 ** 31])
def test_submit_method_out_of_range(pool, method):
    with pytest.raises(ValueError) as exc:
        _tarnix.submit(*submit_args(pool, method=method))
    assert str(exc.value) == "submit: method ordinal out of range"


@pytest.mark.parametrize("method", [OPTIONS, True])
def test_submit_method_in_range(pool, method):
    loop = RecordingLoop()
    assert _tarnix.submit(*submit_args(pool, method=method, loop=loop)) == 0
    loop.outcome()


@pytest.mark.parametrize("overrides, exc_type", [
    (dict(method="1"), TypeError),
    (dict(method=2 ** 32), OverflowError),
    (dict(target=b"/"), TypeError),
    (dict(target="/\udc80"), UnicodeEncodeError),
    (dict(body=None), TypeError),
    (dict(body=bytearray(b"x")), TypeError),
    (dict(body="x"), TypeError),
])
def test_submit_conversion_errors_are_the_interpreters(pool, overrides, exc_type):
    with pytest.raises(exc_type):
        _tarnix.submit(*submit_args(pool, **overrides))


def test_submit_checks_in_order(pool):
    # Several faults at once: the first in argument order is reported.
    with pytest.raises(ValueError, match="method ordinal"):
        _tarnix.submit(*submit_args(pool, method=9, target=None, body=None))
    with pytest.raises(TypeError, match="bytes"):
        _tarnix.submit(*submit_args(pool, body=None, headers=[("a", 5)]))


@pytest.mark.parametrize("headers", [
    {"a": "b"},
    (("a", "b"),),
    [["a", "b"]],
    [("a",)],
    [("a", "b"), "ab"],
    None,
])
def test_submit_rejects_malformed_header_shapes(pool, headers):
    with pytest.raises(TypeError, match="^submit: .*\\(name, value\\) tuple"):
        _tarnix.submit(*submit_args(pool, headers=headers))


@pytest.mark.parametrize("headers", [
    [("X-Count", 5)],
    [(b"X-Name", "v")],
    [("ok", "v"), ("X-Bad", "\udc80")],
])
def test_submit_header_conversion_failure_is_a_memory_error(pool, headers):
    with pytest.raises(MemoryError) as exc:
        _tarnix.submit(*submit_args(pool, headers=headers))
    assert str(exc.value) == "tarnix: out of memory building request"


def test_failed_submit_leaves_future_and_loop_untouched(pool):
    future, loop = object(), RecordingLoop()
    before = refs(future), refs(loop), refs(pool)
    for bad in (dict(method=7), dict(headers=[("a", 5)]), dict(headers=[("a",)]), dict(body=None)):
        with pytest.raises(Exception):
            _tarnix.submit(*submit_args(pool, future=future, loop=loop, **bad))
    assert (refs(future), refs(loop), refs(pool)) == before
    assert not loop.event.is_set()


TARGET_REFUSED = "submit: request target holds a space or control character"
NAME_REFUSED = "submit: header name is empty or not a token"
VALUE_REFUSED = "submit: header value holds CR, LF or NUL"


@pytest.mark.parametrize("bad, message", [
    (dict(target="/a b"), TARGET_REFUSED),
    (dict(target="/a HTTP/1.1\r\nX-Injected: 1\r\n\r\nGET /b"), TARGET_REFUSED),
    (dict(target="/\x00"), TARGET_REFUSED),
    (dict(target="/\t"), TARGET_REFUSED),
    (dict(headers=[("", "v")]), NAME_REFUSED),
    (dict(headers=[("X A", "v")]), NAME_REFUSED),
    (dict(headers=[("Host:", "evil")]), NAME_REFUSED),
    (dict(headers=[("X\r\nTransfer-Encoding", "chunked")]), NAME_REFUSED),
    (dict(headers=[("\u00e9", "v")]), NAME_REFUSED),
    (dict(headers=[("ok", "v"), ("X", "1\r\nX-Injected: 1")]), VALUE_REFUSED),
    (dict(headers=[("X", "a\rb")]), VALUE_REFUSED),
    (dict(headers=[("X", "a\x00")]), VALUE_REFUSED),
])
def test_submit_refuses_what_could_split_the_request(pool, bad, message):
    # Before any thread starts, for both entry points, leaving nothing held.
    future, loop = object(), RecordingLoop()
    args = submit_args(pool, future=future, loop=loop, **bad)
    before = refs(future), refs(loop), refs(pool)
    with pytest.raises(ValueError) as exc:
        _tarnix.submit(*args)
    assert str(exc.value) == message
    with pytest.raises(ValueError, match=f"^{message}$"):
        _tarnix.submit_wait(*args[:5], 1.0)
    assert (refs(future), refs(loop), refs(pool)) == before
    assert not loop.event.is_set()


def test_submit_accepts_any_reserved_arguments_and_extra_header_items(pool):
    loop = RecordingLoop()
    args = submit_args(pool, headers=[("A", "1", "ignored"), ("Empty", "")], r5=object(), r6=3, loop=loop)
    assert _tarnix.submit(*args) == 0
    loop.outcome()


# -- the hand-back ------------------------------------------------------------

def test_job_releases_its_references_when_the_loop_refuses(pool):
    # A loop whose scheduling call raises (a closed loop, say): the job is
    # still released and nothing escapes the I/O thread.
    called = threading.Event()

    class ClosedLoop:
        def call_soon_threadsafe(self, *args):
            called.set()
            raise RuntimeError("Event loop is closed")

    future, loop = object(), ClosedLoop()
    future_refs, loop_refs = refs(future), refs(loop)
    assert _tarnix.submit(*submit_args(pool, future=future, loop=loop)) == 0
    assert called.wait(WAIT)
    assert wait_until(lambda: (refs(future), refs(loop)) == (future_refs, loop_refs))


def test_loop_none_is_accepted_and_the_job_still_released(pool):
    future = object()
    future_refs = refs(future)
    assert _tarnix.submit(*submit_args(pool, future=future, loop=None)) == 0
    assert wait_until(lambda: refs(future) == future_refs)


def test_settle_is_looked_up_per_delivery(pool, monkeypatch):
    def stand_in(*args):
        pass
    monkeypatch.setattr(core_http, "_settle", stand_in)
    loop = start(pool)
    assert loop.outcome().settle is stand_in
    # Not loaded (or taken out of sys.modules): imported on demand.
    monkeypatch.delitem(sys.modules, "tarnix.core.http")
    settle = start(pool).outcome().settle
    assert settle.__module__ == "tarnix.core.http" and settle is not stand_in
    assert sys.modules["tarnix.core.http"] is not core_http


# -- _settle ------------------------------------------------------------------

def settle_now(kind, message="", status=0, headers=None, body=b""):
    async def run():
        future = asyncio.get_running_loop().create_future()
        core_http._settle(future, status, headers if headers is not None else {}, body, kind, message)
        return future
    return asyncio.run(run())


def test_settle_success_builds_a_response():
    headers = {"A": "1"}
    response = settle_now(0, status=201, headers=headers, body=b"abc").result()
    assert (response.status, response.body) == (201, b"abc")
    assert response.headers is headers
    with pytest.raises(AttributeError):
        response.extra = 1


@pytest.mark.parametrize("kind, message, cls", [
    (1, "failed to resolve host", tarnix.ConnectError),
    (1, "connection failed", tarnix.ConnectError),
    (1, "failed to send request", tarnix.TransportError),
    (1, "connection reset while reading response", tarnix.TransportError),
    (1, "out of memory reading response", tarnix.TransportError),
    (1, "out of memory building request", tarnix.TransportError),
    (3, "TLS handshake or certificate verification failed", tarnix.TLSError),
    (4, "malformed HTTP response framing", tarnix.ProtocolError),
    (4, "malformed HTTP response", tarnix.ProtocolError),
])
def test_settle_failure_kinds(kind, message, cls):
    exc = settle_now(kind, message).exception()
    assert type(exc) is cls
    assert isinstance(exc, tarnix.Error)
    assert str(exc) == exc.message == message
    assert isinstance(exc, tarnix.TransportError) == (kind == 1)


def test_settle_ignores_a_done_future():
    async def run():
        future = asyncio.get_running_loop().create_future()
        future.cancel()
        core_http._settle(future, 200, {}, b"", 0, "")
        core_http._settle(future, 0, {}, b"", 1, "connection failed")
        return future
    assert asyncio.run(run()).cancelled()
