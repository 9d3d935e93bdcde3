"""One client, one scenario, one process: runs the requests and prints a JSON line.

Started by run.py with the benchmark venv's interpreter. Every client gets the
same driver: `inflight` coroutines each loop over a shared request budget and
await one request at a time, so the number of requests in flight is the same
for every client; the connection limit is passed to the client's own pool.
Every response is checked (status and body length) and any failure marks the
run as failed, so a client cannot win by failing fast.

Two other kinds of run: "busy" sends sequential requests while burner tasks
keep the event loop (or, for blocking clients, the main thread) saturated
with pure-Python work, and counts the work they get done; "burst" starts all
its requests at once against a server that answers each one late. "hosts"
sends one request to each of thousands of origins with the clients' default
keep-alive settings, and counts the sockets still open some seconds later.
"""

import asyncio
import contextlib
import gc
import datetime
import json
import resource
import ssl
import sys
import threading
import time
import traceback


def _ssl_context(cfg):
    return ssl.create_default_context(cafile=cfg["ca"])


@contextlib.asynccontextmanager
async def client_aiohttp(cfg, body):
    import aiohttp

    limit = cfg["limit"]
    conn = aiohttp.TCPConnector(
        limit=limit,
        limit_per_host=limit,
        ssl=_ssl_context(cfg) if cfg["tls"] else True,
    )
    url = cfg["url"]
    kw = {}
    if cfg.get("request_timeout"):
        kw["timeout"] = aiohttp.ClientTimeout(total=cfg["request_timeout"])
    async with aiohttp.ClientSession(connector=conn, **kw) as session:
        if body is None:
            async def fetch():
                async with session.get(url) as r:
                    data = await r.read()
                    return r.status, len(data)
        else:
            async def fetch():
                async with session.post(url, data=body) as r:
                    data = await r.read()
                    return r.status, len(data)
        yield fetch


@contextlib.asynccontextmanager
async def client_httpx(cfg, body):
    import httpx

    limit = cfg["limit"]
    limits = httpx.Limits(max_connections=limit, max_keepalive_connections=limit)
    verify = _ssl_context(cfg) if cfg["tls"] else True
    # httpx's default 5 s pool timeout would fail scenario 3 on a slow machine.
    async with httpx.AsyncClient(limits=limits, verify=verify,
                                 timeout=httpx.Timeout(cfg.get("request_timeout") or 60.0)
                                 ) as client:
        url = cfg["url"]
        if body is None:
            async def fetch():
                r = await client.get(url)
                return r.status_code, len(r.content)
        else:
            async def fetch():
                r = await client.post(url, content=body)
                return r.status_code, len(r.content)
        yield fetch


@contextlib.asynccontextmanager
async def client_pyreqwest(cfg, body):
    from pyreqwest.client import ClientBuilder

    limit = cfg["limit"]
    # max_connections bounds requests in flight inside the client; over
    # HTTP/1.1 that is the number of connections in use at once.
    builder = ClientBuilder().max_connections(limit).pool_max_idle_per_host(limit)
    if cfg.get("request_timeout"):
        builder = builder.timeout(datetime.timedelta(seconds=cfg["request_timeout"]))
    if cfg["tls"]:
        with open(cfg["ca"], "rb") as f:
            builder = builder.add_root_certificate_pem(f.read())
    async with builder.build() as client:
        url = cfg["url"]
        if body is None:
            async def fetch():
                r = await client.get(url).build().send()
                data = await r.bytes()
                return r.status, len(data)
        else:
            async def fetch():
                r = await client.post(url).body_bytes(body).build().send()
                data = await r.bytes()
                return r.status, len(data)
        yield fetch


@contextlib.asynccontextmanager
async def client_rnet(cfg, body):
    import pathlib
    import rnet

    limit = cfg["limit"]
    kw = {"pool_max_size": limit, "pool_max_idle_per_host": limit}
    if cfg.get("request_timeout"):
        kw["timeout"] = int(cfg["request_timeout"])
    if cfg["tls"]:
        kw["verify"] = pathlib.Path(cfg["ca"])
    client = rnet.Client(**kw)
    url = cfg["url"]

    def status_of(r):
        s = r.status
        return s if isinstance(s, int) else s.as_int()

    if body is None:
        async def fetch():
            r = await client.get(url)
            data = await r.bytes()
            return status_of(r), len(data)
    else:
        async def fetch():
            r = await client.post(url, body=body)
            data = await r.bytes()
            return status_of(r), len(data)
    if cfg["inflight"] > limit:
        # rnet's pool options only cap idle connections: with more requests in
        # flight than the limit it opens a connection for each. A semaphore
        # gives it the same connection limit as every other client.
        gate = asyncio.Semaphore(limit)
        unlimited = fetch

        async def fetch():
            async with gate:
                return await unlimited()
    yield fetch


@contextlib.asynccontextmanager
async def client_curl_cffi(cfg, body):
    from curl_cffi.requests import AsyncSession

    # max_clients is the number of curl handles, so at most that many
    # transfers (and HTTP/1.1 connections) run at once.
    verify = cfg["ca"] if cfg["tls"] else True
    async with AsyncSession(max_clients=cfg["limit"], verify=verify,
                            timeout=cfg.get("request_timeout") or 60) as s:
        url = cfg["url"]
        if body is None:
            async def fetch():
                r = await s.get(url)
                return r.status_code, len(r.content)
        else:
            async def fetch():
                r = await s.post(url, data=body)
                return r.status_code, len(r.content)
        yield fetch


@contextlib.asynccontextmanager
async def client_tarnix(cfg, body):
    import tarnix

    # Every connection of the limit stays for reuse, as for httpx below.
    kw = {"max_connections": cfg["limit"], "max_keepalive_connections": cfg["limit"]}
    if cfg["tls"]:
        kw["verify"] = cfg["ca"]
    if cfg.get("request_timeout"):
        kw["timeout"] = cfg["request_timeout"]
    async with tarnix.Client(**kw) as client:
        url = cfg["url"]
        if body is None:
            async def fetch():
                r = await client.get(url)
                return r.status_code, len(r.content)
        else:
            async def fetch():
                r = await client.post(url, content=body)
                return r.status_code, len(r.content)
        yield fetch


@contextlib.asynccontextmanager
async def client_tarnix_raw(cfg, body):
    # The engine functions as the Python layer calls them: one pool per
    # origin, one future per request, completed by tarnix.core.http._settle.
    from tarnix import _tarnix
    import tarnix.core.http  # noqa: F401  (the engine imports _settle from it)

    loop = asyncio.get_running_loop()
    tls = cfg["tls"]
    pool = _tarnix.pool_create(cfg["host"], cfg["port"], tls, 0, cfg["limit"], 0, 0,
                               cfg["ca"] if tls else "")
    submit = _tarnix.submit
    new_future = loop.create_future
    target = cfg["path"]
    method = 0 if body is None else 1
    payload = b"" if body is None else body
    headers = []

    async def fetch():
        fut = new_future()
        submit(pool, method, target, headers, payload, None, None, fut, loop)
        r = await fut
        return r.status, len(r.body)

    yield fetch


CLIENTS = {
    "tarnix": client_tarnix,
    "tarnix-raw": client_tarnix_raw,
    # The same client, imported from a release wheel (run.py --wheel).
    "tarnix-wheel": client_tarnix,
    "aiohttp": client_aiohttp,
    "httpx": client_httpx,
    "pyreqwest": client_pyreqwest,
    "rnet": client_rnet,
    "curl_cffi": client_curl_cffi,
}


# Blocking clients: `inflight` threads each loop over the shared budget,
# one request at a time, so the same number of requests is in flight.

@contextlib.contextmanager
def blocking_tarnix(cfg, body):
    import tarnix

    kw = {"max_connections": cfg["limit"], "max_keepalive_connections": cfg["limit"]}
    if cfg["tls"]:
        kw["verify"] = cfg["ca"]
    with tarnix.SyncClient(**kw) as client:
        url = cfg["url"]
        if body is None:
            def fetch():
                r = client.get(url)
                return r.status_code, len(r.content)
        else:
            def fetch():
                r = client.post(url, content=body)
                return r.status_code, len(r.content)
        yield fetch


@contextlib.contextmanager
def blocking_httpx(cfg, body):
    import httpx

    limit = cfg["limit"]
    limits = httpx.Limits(max_connections=limit, max_keepalive_connections=limit)
    verify = _ssl_context(cfg) if cfg["tls"] else True
    with httpx.Client(limits=limits, verify=verify, timeout=httpx.Timeout(60.0)) as client:
        url = cfg["url"]
        if body is None:
            def fetch():
                r = client.get(url)
                return r.status_code, len(r.content)
        else:
            def fetch():
                r = client.post(url, content=body)
                return r.status_code, len(r.content)
        yield fetch


@contextlib.contextmanager
def blocking_requests(cfg, body):
    import requests
    import requests.adapters

    limit = cfg["limit"]
    with requests.Session() as session:
        # pool_block: never more than `limit` connections, as for the others.
        adapter = requests.adapters.HTTPAdapter(pool_connections=1, pool_maxsize=limit,
                                                pool_block=True)
        session.mount("http://", adapter)
        session.mount("https://", adapter)
        if cfg["tls"]:
            session.verify = cfg["ca"]
        url = cfg["url"]
        if body is None:
            def fetch():
                r = session.get(url, timeout=60)
                return r.status_code, len(r.content)
        else:
            def fetch():
                r = session.post(url, data=body, timeout=60)
                return r.status_code, len(r.content)
        yield fetch


BLOCKING_CLIENTS = {
    "tarnix-sync": blocking_tarnix,
    "httpx-sync": blocking_httpx,
    "requests": blocking_requests,
}


def drive_threads(fetch, n, inflight, expect_status, expect_len, latencies, tally):
    """Runs n requests from `inflight` threads, each one request at a time."""
    lock = threading.Lock()
    remaining = [n]
    perf = time.perf_counter

    def worker():
        mine = []
        while True:
            with lock:
                if remaining[0] <= 0:
                    break
                remaining[0] -= 1
            t0 = perf()
            try:
                status, length = fetch()
            except Exception as e:  # counted, never hidden
                with lock:
                    tally.fail(f"{type(e).__name__}: {e}")
                continue
            mine.append(perf() - t0)
            if status != expect_status or length != expect_len:
                with lock:
                    tally.fail(f"status {status}, body length {length} "
                               f"(expected {expect_status}, {expect_len})")
        with lock:
            latencies.extend(mine)

    k = max(1, min(inflight, n))
    if k == 1:
        worker()
        return
    threads = [threading.Thread(target=worker) for _ in range(k)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


class Tally:
    def __init__(self):
        self.failures = 0
        self.first_error = None

    def fail(self, what):
        self.failures += 1
        if self.first_error is None:
            self.first_error = what[:400]


async def drive(fetch, n, inflight, expect_status, expect_len, latencies, tally):
    """Runs n requests with `inflight` of them outstanding at any moment."""
    remaining = n
    perf = time.perf_counter
    append = latencies.append

    async def worker():
        nonlocal remaining
        while remaining > 0:
            remaining -= 1
            t0 = perf()
            try:
                status, length = await fetch()
            except Exception as e:  # counted, never hidden
                tally.fail(f"{type(e).__name__}: {e}")
                continue
            append(perf() - t0)
            if status != expect_status or length != expect_len:
                tally.fail(f"status {status}, body length {length} "
                           f"(expected {expect_status}, {expect_len})")

    k = max(1, min(inflight, n))
    if k == 1:
        await worker()
    else:
        await asyncio.gather(*[worker() for _ in range(k)])


def _percentile(sorted_values, q):
    if not sorted_values:
        return None
    i = min(len(sorted_values) - 1, max(0, int(round(q * (len(sorted_values) - 1)))))
    return sorted_values[i]


async def run(cfg):
    body = b"x" * cfg["body_size"] if cfg["method"] == "POST" else None
    factory = CLIENTS[cfg["client"]]
    n, inflight = cfg["n"], cfg["inflight"]
    warm = cfg["warmup"]
    tally = Tally()
    latencies = []
    async with factory(cfg, body) as fetch:
        if warm:
            await drive(fetch, warm, inflight, 200, cfg["expect_len"], [], tally)
        if tally.failures:
            return {"ok": False, "phase": "warmup", "failures": tally.failures,
                    "error": tally.first_error}
        gc.collect()
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        loop0 = time.thread_time()
        t0 = time.perf_counter()
        await drive(fetch, n, inflight, 200, cfg["expect_len"], latencies, tally)
        t1 = time.perf_counter()
        loop1 = time.thread_time()
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
    return figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0, loop1 - loop0)


def run_blocking(cfg):
    body = b"x" * cfg["body_size"] if cfg["method"] == "POST" else None
    factory = BLOCKING_CLIENTS[cfg["client"]]
    n, inflight = cfg["n"], cfg["inflight"]
    warm = cfg["warmup"]
    tally = Tally()
    latencies = []
    with factory(cfg, body) as fetch:
        if warm:
            drive_threads(fetch, warm, inflight, 200, cfg["expect_len"], [], tally)
        if tally.failures:
            return {"ok": False, "phase": "warmup", "failures": tally.failures,
                    "error": tally.first_error}
        gc.collect()
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        drive_threads(fetch, n, inflight, 200, cfg["expect_len"], latencies, tally)
        t1 = time.perf_counter()
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
    return figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0)


# ---- busy: sequential requests while the loop (or the main thread) is saturated

SLICE_S = 0.001
# load name: (burner tasks, pause after each slice; 0 is a bare yield)
BUSY_LOADS = {"always": (1, 0), "four": (4, 0.001)}


class Burn:
    """The burners' shared state: slices done, and when to stop."""

    def __init__(self, limit_s):
        self.slices = 0
        self.running = True
        self.deadline = time.perf_counter() + limit_s


def burn_slice():
    perf = time.perf_counter
    end = perf() + SLICE_S
    while perf() < end:
        pass


async def burner(state, pause):
    while state.running and time.perf_counter() < state.deadline:
        burn_slice()
        state.slices += 1
        await asyncio.sleep(pause)


async def run_busy(cfg):
    factory = CLIENTS[cfg["client"]]
    n, warm = cfg["n"], cfg["warmup"]
    tasks, pause = BUSY_LOADS[cfg["load"]]
    tally = Tally()
    latencies = []
    async with factory(cfg, None) as fetch:
        if warm:
            await drive(fetch, warm, 1, 200, cfg["expect_len"], [], tally)
        if tally.failures:
            return {"ok": False, "phase": "warmup", "failures": tally.failures,
                    "error": tally.first_error}
        gc.collect()
        state = Burn(cfg["limit_s"])
        burners = [asyncio.ensure_future(burner(state, pause)) for _ in range(tasks)]
        try:
            # The load alone first: how much work the loop does with no requests.
            s0, t0 = state.slices, time.perf_counter()
            await asyncio.sleep(cfg["idle_s"])
            idle = (state.slices - s0) / (time.perf_counter() - t0)
            rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            ru0 = resource.getrusage(resource.RUSAGE_SELF)
            s0, t0 = state.slices, time.perf_counter()
            await drive(fetch, n, 1, 200, cfg["expect_len"], latencies, tally)
            t1, s1 = time.perf_counter(), state.slices
            ru1 = resource.getrusage(resource.RUSAGE_SELF)
        finally:
            state.running = False
            await asyncio.gather(*burners)
    out = figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0)
    out.update(work_per_s=(s1 - s0) / (t1 - t0), work_idle_per_s=idle)
    return out


def run_blocking_busy(cfg):
    """Requests from one thread while the main thread burns without pause."""
    factory = BLOCKING_CLIENTS[cfg["client"]]
    n, warm = cfg["n"], cfg["warmup"]
    tally = Tally()
    latencies = []
    perf = time.perf_counter
    with factory(cfg, None) as fetch:
        if warm:
            drive_threads(fetch, warm, 1, 200, cfg["expect_len"], [], tally)
        if tally.failures:
            return {"ok": False, "phase": "warmup", "failures": tally.failures,
                    "error": tally.first_error}
        gc.collect()
        state = Burn(cfg["limit_s"])
        slices, t0 = 0, perf()
        while perf() - t0 < cfg["idle_s"]:
            burn_slice()
            slices += 1
        idle = slices / (perf() - t0)
        requester = threading.Thread(target=drive_threads, args=(
            fetch, n, 1, 200, cfg["expect_len"], latencies, tally))
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        slices, t0 = 0, perf()
        requester.start()
        while requester.is_alive() and perf() < state.deadline:
            burn_slice()
            slices += 1
        t1 = perf()
        requester.join()
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
    out = figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0)
    out.update(work_per_s=slices / (t1 - t0), work_idle_per_s=idle)
    return out


# ---- burst: every request at once, to a server that answers each one late

async def run_burst(cfg):
    factory = CLIENTS[cfg["client"]]
    n = cfg["n"]
    tally = Tally()
    latencies = []
    # Warm-up on a client of its own, answered at once: imports and lazily
    # made state, while the measured client starts with no connections.
    async with factory(dict(cfg, url=cfg["warmup_url"], path=cfg["warmup_path"]),
                       None) as fetch:
        await drive(fetch, 1, 1, 200, cfg["expect_len"], [], tally)
    if tally.failures:
        return {"ok": False, "phase": "warmup", "failures": tally.failures,
                "error": tally.first_error}
    gc.collect()
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    async with factory(cfg, None) as fetch:
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        await drive(fetch, n, n, 200, cfg["expect_len"], latencies, tally)
        t1 = time.perf_counter()
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
    out = figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0)
    out["succeeded"] = n - tally.failures
    return out


# ---- hosts: one request to each of many origins

def _resolve_localhost_names():
    """Names under .localhost are loopback (RFC 6761); the system resolver
    here asks DNS for them. tarnix has the rule built in; the peers get it
    through socket.getaddrinfo, which their resolvers call."""
    import socket

    real = socket.getaddrinfo

    def getaddrinfo(host, *args, **kw):
        if isinstance(host, bytes):
            host = host.decode()
        if isinstance(host, str) and host.endswith(".localhost"):
            host = "127.0.0.1"
        return real(host, *args, **kw)

    socket.getaddrinfo = getaddrinfo


@contextlib.asynccontextmanager
async def hosts_tarnix(cfg):
    import tarnix

    async with tarnix.Client(verify=cfg["ca"] if cfg["tls"] else "") as client:
        async def fetch(url):
            r = await client.get(url)
            return r.status_code, len(r.content)
        yield fetch


@contextlib.asynccontextmanager
async def hosts_aiohttp(cfg):
    import aiohttp

    conn = aiohttp.TCPConnector(ssl=_ssl_context(cfg) if cfg["tls"] else True,
                                resolver=aiohttp.ThreadedResolver())
    async with aiohttp.ClientSession(connector=conn) as session:
        async def fetch(url):
            async with session.get(url) as r:
                data = await r.read()
                return r.status, len(data)
        yield fetch


@contextlib.asynccontextmanager
async def hosts_httpx(cfg):
    import httpx

    async with httpx.AsyncClient(verify=_ssl_context(cfg) if cfg["tls"] else True,
                                 timeout=httpx.Timeout(60.0)) as client:
        async def fetch(url):
            r = await client.get(url)
            return r.status_code, len(r.content)
        yield fetch


HOSTS_CLIENTS = {"tarnix": hosts_tarnix, "aiohttp": hosts_aiohttp, "httpx": hosts_httpx}


def open_sockets():
    import os

    n = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            n += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass
    return n


class StallWatch:
    """How late the loop runs a 1 ms sleep: the longest time it was held."""

    def __init__(self):
        self.stalls = []
        self.running = True

    async def watch(self):
        perf = time.perf_counter
        while self.running:
            t = perf()
            await asyncio.sleep(0.001)
            self.stalls.append(max(0.0, perf() - t - 0.001))


async def run_hosts(cfg):
    _resolve_localhost_names()
    factory = HOSTS_CLIENTS[cfg["client"]]
    n, inflight = cfg["n"], cfg["inflight"]
    template = cfg["url_template"]
    tally = Tally()
    latencies = []
    async with factory(cfg) as fetch:
        # Imports and one handshake's lazily made state, on an origin of its own.
        status, length = await fetch(template.format(i="warm"))
        if status != 200:
            return {"ok": False, "phase": "warmup", "error": f"status {status}"}
        gc.collect()
        sockets_before = open_sockets()
        rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        watch = StallWatch()
        watcher = asyncio.ensure_future(watch.watch())
        urls = iter(range(n))
        ru0 = resource.getrusage(resource.RUSAGE_SELF)
        loop0 = time.thread_time()
        t0 = time.perf_counter()

        async def one_each():
            for i in urls:
                url = template.format(i=i)
                try:
                    status, length = await fetch(url)
                except Exception as e:  # counted, never hidden
                    tally.fail(f"{type(e).__name__}: {e}")
                    continue
                if status != 200 or length != cfg["expect_len"]:
                    tally.fail(f"status {status}, body length {length}")

        await asyncio.gather(*[one_each() for _ in range(min(inflight, n))])
        t1 = time.perf_counter()
        loop1 = time.thread_time()
        ru1 = resource.getrusage(resource.RUSAGE_SELF)
        sockets_end = open_sockets()
        await asyncio.sleep(cfg["settle_s"])
        sockets_later = open_sockets()
        watch.running = False
        await watcher
    out = figures(n, tally, latencies, rss_before, ru0, ru1, t1 - t0, loop1 - loop0)
    stalls = sorted(watch.stalls)
    out.update(
        rss_growth_mib=out["rss_peak_mib"] - out["rss_before_mib"],
        stall_max_ms=(stalls[-1] if stalls else 0) * 1000.0,
        stall_p99_ms=(_percentile(stalls, 0.99) or 0) * 1000.0,
        sockets_before=sockets_before,
        sockets_at_end=sockets_end,
        sockets_later=sockets_later,
    )
    return out


def figures(n, tally, latencies, rss_before, ru0, ru1, wall, loop_cpu=None):
    cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
    latencies.sort()
    rss_peak = max(ru1.ru_maxrss, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    out = {
        "ok": tally.failures == 0,
        "requests": n,
        "failures": tally.failures,
        "wall_s": wall,
        "rps": n / wall if wall > 0 else None,
        "cpu_s": cpu,
        "cpu_user_s": ru1.ru_utime - ru0.ru_utime,
        "cpu_sys_s": ru1.ru_stime - ru0.ru_stime,
        "cpu_s_per_1k": cpu / n * 1000.0,
        # The event loop's thread alone: the serial part that more cores do not help.
        # Blocking clients have no loop thread: None.
        "loop_cpu_s_per_1k": None if loop_cpu is None else loop_cpu / n * 1000.0,
        "rss_peak_mib": rss_peak / 1024.0,
        "rss_before_mib": rss_before / 1024.0,
        "lat_p50_ms": (_percentile(latencies, 0.50) or 0) * 1000.0,
        "lat_p90_ms": (_percentile(latencies, 0.90) or 0) * 1000.0,
        "lat_p99_ms": (_percentile(latencies, 0.99) or 0) * 1000.0,
        "lat_mean_ms": (sum(latencies) / len(latencies) * 1000.0) if latencies else None,
    }
    if tally.failures:
        out["error"] = tally.first_error
    return out


def main():
    cfg = json.loads(sys.argv[1])
    kind = cfg.get("kind", "load")
    try:
        if kind == "hosts":
            # Whoever keeps every connection open needs a descriptor each.
            _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            result = asyncio.run(run_hosts(cfg))
        elif kind == "burst":
            # A socket per request, and the server's answers come late.
            _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            result = asyncio.run(run_burst(cfg))
        elif kind == "busy":
            if cfg["client"] in BLOCKING_CLIENTS:
                result = run_blocking_busy(cfg)
            else:
                result = asyncio.run(run_busy(cfg))
        elif cfg["client"] in BLOCKING_CLIENTS:
            result = run_blocking(cfg)
        else:
            result = asyncio.run(run(cfg))
    except BaseException as e:  # report, never crash silently
        result = {"ok": False, "error": f"{type(e).__name__}: {e}",
                  "traceback": traceback.format_exc()[-2000:]}
    sys.stdout.write("\n" + json.dumps(result) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
