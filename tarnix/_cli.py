"""The command line: ``python -m tarnix URL``."""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
from time import perf_counter
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import __version__
from ._errors import Error
from ._models import Response
from .client import DEFAULT_TIMEOUT, Client

__all__ = ["main"]

_DESCRIPTION = """\
Fetch a URL with tarnix and print the body, or load-test it with -n/-c.
--demo starts a local server on 127.0.0.1 and fetches from it (works offline)."""

_EPILOG = """\
examples:
  python -m tarnix https://example.org/
  python -m tarnix -i -X POST --json '{"name": "tarnix"}' https://httpbin.org/post
  python -m tarnix -n 10000 -c 50 http://127.0.0.1:8000/
  python -m tarnix --demo"""


class _UsageError(Exception):
    pass


def _parser() -> argparse.ArgumentParser:
    run_as_module = sys.argv[0].endswith("__main__.py") or not sys.argv[0]
    p = argparse.ArgumentParser(
        prog="python -m tarnix" if run_as_module else os.path.basename(sys.argv[0]),
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("url", nargs="?", help="an http:// or https:// URL")
    p.add_argument("-X", "--request", dest="method", metavar="METHOD", help="GET, POST, PUT, PATCH, DELETE, HEAD or OPTIONS")
    p.add_argument("-H", "--header", dest="headers", action="append", default=[], metavar="'NAME: VALUE'", help="add a request header (repeatable)")
    p.add_argument("-d", "--data", metavar="DATA", help="request body; @FILE reads a file, @- standard input")
    p.add_argument("--json", dest="json_data", metavar="DATA", help="JSON request body (@FILE, @-); sets Content-Type and Accept")
    p.add_argument("-i", "--include", action="store_true", help="print the status line and headers too")
    p.add_argument("-L", "--location", action="store_true", help="follow redirects")
    p.add_argument("--cacert", metavar="FILE", help="PEM file of trusted CA certificates (default: the system store)")
    p.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS", help=f"time limit per request (default {DEFAULT_TIMEOUT:g})")
    p.add_argument("-n", "--requests", type=int, metavar="N", help="load mode: send N requests and print throughput and latencies")
    p.add_argument("-c", "--concurrency", type=int, default=10, metavar="C", help="load mode: requests in flight at once (default 10)")
    p.add_argument("--demo", action="store_true", help="start a local demo server and fetch from it (offline)")
    p.add_argument("--version", action="version", version=f"tarnix {__version__}")
    return p


def _read_data(value: str) -> bytes:
    if value.startswith("@"):
        name = value[1:]
        try:
            if name == "-":
                return sys.stdin.buffer.read()
            with open(name, "rb") as fh:
                return fh.read()
        except OSError as exc:
            raise _UsageError(f"cannot read {name!r}: {exc.strerror}") from None
    return value.encode("utf-8")


def _request_args(args: argparse.Namespace) -> Tuple[str, List[Tuple[str, str]], Optional[bytes]]:
    headers: List[Tuple[str, str]] = []
    for line in args.headers:
        name, colon, value = line.partition(":")
        if not colon or not name.strip():
            raise _UsageError(f"bad header {line!r}; use -H 'Name: value'")
        headers.append((name.strip(), value.strip()))
    body: Optional[bytes] = None
    if args.data is not None and args.json_data is not None:
        raise _UsageError("use either -d or --json, not both")
    if args.json_data is not None:
        body = _read_data(args.json_data)
        try:
            json.loads(body)
        except ValueError as exc:
            raise _UsageError(f"--json data is not valid JSON: {exc}") from None
        names = {n.lower() for n, _ in headers}
        if "content-type" not in names:
            headers.append(("Content-Type", "application/json"))
        if "accept" not in names:
            headers.append(("Accept", "application/json"))
    elif args.data is not None:
        body = _read_data(args.data)
    method = (args.method or ("POST" if body is not None else "GET")).upper()
    return method, headers, body


def _head_text(r: Response) -> str:
    lines = [f"{r.http_version} {r.status_code} {r.reason_phrase}".rstrip()]
    lines += [f"{name}: {value}" for name, value in r.headers.items()]
    return "\r\n".join(lines) + "\r\n\r\n"


def _write_response(r: Response, include: bool, out: Any) -> None:
    if include:
        for hop in r.history:
            out.write(_head_text(hop).encode("utf-8"))
        out.write(_head_text(r).encode("utf-8"))
    out.write(r.content)
    out.flush()


async def _fetch(client: Client, method: str, url: str, headers: List[Tuple[str, str]], body: Optional[bytes], include: bool) -> None:
    r = await client.request(method, url, headers=headers, content=body)
    _write_response(r, include, sys.stdout.buffer)


def _percentile(sorted_values: Sequence[float], pct: float) -> float:
    # Nearest rank.
    index = max(0, min(len(sorted_values) - 1, int(round(pct / 100 * len(sorted_values) + 0.5)) - 1))
    return sorted_values[index]


class _Progress:
    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()

    def draw(self, done: int) -> None:
        if not self.enabled:
            return
        width = 30
        filled = width * done // self.total if self.total else width
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{self.total}")
        self.stream.flush()

    def finish(self, done: int) -> None:
        if self.enabled:
            self.draw(done)
            self.stream.write("\n")
            self.stream.flush()


async def _load(client: Client, method: str, url: str, headers: List[Tuple[str, str]], body: Optional[bytes], total: int, concurrency: int, out: TextIO) -> int:
    latencies: List[float] = []
    statuses: Dict[int, int] = {}
    errors: Dict[str, int] = {}
    first_error: Dict[str, str] = {}
    remaining = total

    async def worker() -> None:
        nonlocal remaining
        while remaining > 0:
            remaining -= 1
            start = perf_counter()
            try:
                r = await client.request(method, url, headers=headers, content=body)
            except Error as exc:
                name = type(exc).__name__
                errors[name] = errors.get(name, 0) + 1
                first_error.setdefault(name, str(exc))
                continue
            latencies.append(perf_counter() - start)
            statuses[r.status_code] = statuses.get(r.status_code, 0) + 1

    progress = _Progress(total, sys.stderr)

    async def report() -> None:
        while True:
            progress.draw(len(latencies) + sum(errors.values()))
            await asyncio.sleep(0.1)

    out.write(f"{method} {url}: {total} requests, concurrency {concurrency}\n")
    out.flush()
    reporter = asyncio.ensure_future(report())
    started = perf_counter()
    try:
        await asyncio.gather(*(worker() for _ in range(min(concurrency, total))))
    finally:
        reporter.cancel()
    wall = perf_counter() - started
    done = len(latencies) + sum(errors.values())
    progress.finish(done)

    out.write(f"completed {done} requests in {wall:.3f} s: {done / wall if wall else 0:.1f} requests/s\n")
    if statuses:
        out.write("status codes: " + ", ".join(f"{code} x {n}" for code, n in sorted(statuses.items())) + "\n")
    if latencies:
        ms = sorted(x * 1000 for x in latencies)
        mean = sum(ms) / len(ms)
        out.write(
            "latency (ms): "
            f"min {ms[0]:.2f}  p50 {_percentile(ms, 50):.2f}  p90 {_percentile(ms, 90):.2f}  "
            f"p99 {_percentile(ms, 99):.2f}  max {ms[-1]:.2f}  mean {mean:.2f}\n"
        )
    for name, count in sorted(errors.items()):
        out.write(f"errors: {name} x {count} (first: {first_error[name]})\n")
    out.flush()
    return 1 if errors else 0


async def _demo(args: argparse.Namespace) -> int:
    from ._demo import DemoServer

    out = sys.stdout
    with DemoServer() as server:
        base = server.url
        async with Client(timeout=args.timeout) as client:
            out.write(f"demo server listening on {base}\n\n$ python -m tarnix -i {base}/\n")
            out.flush()
            _write_response(await client.get(base + "/"), True, sys.stdout.buffer)

            out.write(f"\n$ python -m tarnix --json '{{\"hello\": \"world\"}}' {base}/echo\n")
            out.flush()
            r = await client.post(base + "/echo", json={"hello": "world"}, headers={"Accept": "application/json"})
            _write_response(r, False, sys.stdout.buffer)

            r = await client.get(base + "/gzip")
            out.write(
                f"\nGET {base}/gzip: {r.status_code}, Content-Encoding {r.headers.get('content-encoding')}, "
                f"{len(r.content)} bytes after decoding\n"
            )
            n = args.requests if args.requests is not None else 1000
            out.write(f"\n$ python -m tarnix -n {n} -c {args.concurrency} {base}/\n")
            out.flush()
            return await _load(client, "GET", base + "/", [], None, n, args.concurrency, out)


async def _run(args: argparse.Namespace) -> int:
    if args.demo:
        return await _demo(args)
    method, headers, body = _request_args(args)
    async with Client(timeout=args.timeout, verify=args.cacert or "", follow_redirects=args.location) as client:
        if args.requests is not None:
            return await _load(client, method, args.url, headers, body, args.requests, args.concurrency, sys.stdout)
        await _fetch(client, method, args.url, headers, body, args.include)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if not args.demo and not args.url:
        parser.error("a URL is required (or --demo)")
    if args.requests is not None and args.requests < 1:
        parser.error("-n must be at least 1")
    if args.concurrency < 1:
        parser.error("-c must be at least 1")
    if args.timeout is not None and args.timeout <= 0:
        parser.error("--timeout must be positive")
    try:
        return asyncio.run(_run(args))
    except _UsageError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return 2
    except Error as exc:
        where = f" ({args.url})" if args.url and not args.demo else ""
        print(f"tarnix: {type(exc).__name__}: {exc}{where}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, OSError) as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("tarnix: interrupted", file=sys.stderr)
        return 130
