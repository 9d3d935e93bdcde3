#!/usr/bin/env python3
"""CPU per request of tarnix's Python layer alone, with the engine stubbed out.

    python3 bench/python_layer.py                          # as scenario (2)
    python3 bench/python_layer.py --inflight 1000 --limit 16  # as scenario (3)

Uses the tree's in-place build.

`submit` completes the request's future on the next loop iteration with a
small response, as the engine's hand-back would, so what is left is the work
of `tarnix.Client` (and, in the raw row, of a bare future) per request. The
difference of the two rows is the Python layer's own cost; the engine's
(threads, sockets, the GIL handoffs) is what bench/run.py adds to it.
"""

import argparse
import asyncio
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import tarnix  # noqa: E402
import tarnix._engine as engine  # noqa: E402
from tarnix.core.http import _settle  # noqa: E402

HEADERS = {"Server": "nginx", "Date": "Mon, 07 Dec 2026 08:00:00 GMT",
           "Content-Type": "text/plain", "Content-Length": "64", "Connection": "keep-alive"}
BODY = b"x" * 64
N = 128_000


def submit(pool, method, target, headers, body, a, b, future, loop):
    loop.call_soon(_settle, future, 200, dict(HEADERS), BODY, 0, None)


async def client_row(timeout, inflight, limit):
    async with tarnix.Client(max_connections=limit, timeout=timeout) as client:
        url = "http://127.0.0.1:8080/small"

        async def worker(n):
            for _ in range(n):
                r = await client.get(url)
                assert r.status_code == 200 and len(r.content) == 64

        t = time.process_time()
        await asyncio.gather(*[worker(N // inflight) for _ in range(inflight)])
        return time.process_time() - t


async def raw_row(timeout, inflight, limit):
    loop = asyncio.get_running_loop()
    pool = object()

    async def worker(n):
        for _ in range(n):
            future = loop.create_future()
            submit(pool, 0, "/small", [], b"", None, None, future, loop)
            r = await future
            assert r.status == 200 and len(r.body) == 64

    t = time.process_time()
    await asyncio.gather(*[worker(N // inflight) for _ in range(inflight)])
    return time.process_time() - t


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--inflight", type=int, default=64)
    p.add_argument("--limit", type=int, default=64)
    args = p.parse_args()
    engine.submit = submit  # the client submits through tarnix._engine
    rows = (("raw", raw_row, None), ("Client", client_row, 30.0),
            ("Client, timeout=None", client_row, None))
    best = {}
    for _ in range(5):
        for name, fn, timeout in rows:
            best[name] = min(best.get(name, float("inf")), asyncio.run(fn(timeout, args.inflight, args.limit)))
    for name, _, _ in rows:
        print(f"{name:22} {best[name] / N * 1e6:6.2f} us CPU per request (best of 5)")
    print(f"{'Python layer':22} {(best['Client'] - best['raw']) / N * 1e6:6.2f} us per request")


if __name__ == "__main__":
    main()
