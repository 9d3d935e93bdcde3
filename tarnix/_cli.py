"""The command line: ``python -m tarnix URL``."""

from __future__ import annotations

import argparse
import asyncio
import json
import mimetypes
import os
import re
import signal
import stat
import sys
from time import perf_counter
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from . import __version__
from ._decoders import _DECODERS
from ._download import DownloadProgress
from ._exceptions import Error
from ._models import Response
from ._multipart import encode_multipart
from ._types import CertTypes
from .client import DEFAULT_TIMEOUT, Client

__all__ = ["main"]

_DESCRIPTION = """\
Fetch a URL with tarnix and print the body, or load-test it with -n/-c.
--demo starts a local server on 127.0.0.1 and fetches from it (works offline)."""

_EPILOG = """\
examples:
  python -m tarnix https://example.org/
  python -m tarnix -i -X POST --json '{"name": "tarnix"}' https://httpbin.org/post
  python -m tarnix -F name=tarnix -F upload=@notes.txt https://httpbin.org/post
  python -m tarnix -n 10000 -c 50 http://127.0.0.1:8000/
  python -m tarnix --demo

exit status: 0 when a response arrived (whatever its status code), 1 when a
request failed (in load mode: any request), 2 for bad arguments, 130 when
interrupted."""

# Exit statuses.
_OK, _FAILED, _USAGE, _INTERRUPTED = 0, 1, 2, 130

# The most bytes read from standard input or a pipe for -d, --json or -F:
# such a source may never end, and the body is held whole in memory before
# the request goes.
_MAX_STREAM_READ = 1 << 30
# Output a terminal would act on rather than show: control characters other
# than tab, line feed and carriage return (escape sequences among them, such
# as one that sets the clipboard), and C1 controls encoded in UTF-8.
_TERMINAL_UNSAFE = re.compile(rb"[\x00-\x08\x0b-\x0c\x0e-\x1f\x7f]|\xc2[\x80-\x9f]")


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
    p.add_argument("-d", "--data", action="append", metavar="DATA", help="form-encoded request body (repeatable, joined with &); @FILE reads a file, @- standard input")
    p.add_argument("--json", dest="json_data", metavar="DATA", help="JSON request body (@FILE, @-); sets Content-Type and Accept")
    p.add_argument("-F", "--form", action="append", metavar="NAME=VALUE", help="a multipart form field (repeatable); NAME=@FILE uploads a file, NAME=@FILE;type=TYPE sets its type")
    p.add_argument("-u", "--user", metavar="USER:PASSWORD", help="send Basic authentication")
    p.add_argument("-i", "--include", action="store_true", help="print the status line and headers too")
    p.add_argument("-o", "--output", metavar="FILE", help="write the output to FILE (a GET is saved as it arrives, with a progress bar on a terminal, and only a 2xx body takes the name); '-' writes to standard output even binary output to a terminal")
    p.add_argument("-L", "--location", action="store_true", help="follow redirects")
    p.add_argument("--cacert", metavar="FILE", help="PEM file of trusted CA certificates (default: the system store)")
    p.add_argument("-x", "--proxy", metavar="[http://][USER:PASSWORD@]HOST[:PORT]", help="use this HTTP proxy (default: http_proxy, https_proxy, all_proxy from the environment)")
    p.add_argument("--noproxy", metavar="HOSTS", help="comma-separated hosts to reach without the proxy ('*': all), in place of no_proxy")
    p.add_argument("--unix-socket", metavar="PATH", help="connect to this Unix socket instead of the URL's host")
    p.add_argument("-E", "--cert", metavar="FILE", help="client certificate (PEM) to show a server that asks for one; its key too, unless --key")
    p.add_argument("--key", metavar="FILE", help="private key (PEM) of --cert")
    p.add_argument("--pass", dest="key_password", metavar="PASSWORD", help="password of an encrypted client key")
    p.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS", help=f"time limit per request (default {DEFAULT_TIMEOUT:g})")
    p.add_argument("-n", "--requests", type=int, metavar="N", help="load mode: send N requests and print throughput and latencies")
    p.add_argument("-c", "--concurrency", type=int, default=10, metavar="C", help="load mode: requests in flight at once (default 10)")
    p.add_argument("--demo", action="store_true", help="start a local demo server and fetch from it (offline)")
    p.add_argument("--version", action="version", version=f"tarnix {__version__}")
    return p


def _read_source(fh: Any, name: str) -> bytes:
    """A regular file up to its size when opened (it may still be growing); a
    pipe or standard input up to _MAX_STREAM_READ bytes. Devices other than
    the null device are refused: /dev/zero would never end."""
    info = os.fstat(fh.fileno())
    if stat.S_ISREG(info.st_mode) and info.st_size > 0:
        return bytes(fh.read(info.st_size))
    if stat.S_ISCHR(info.st_mode) or stat.S_ISBLK(info.st_mode) or stat.S_ISDIR(info.st_mode):
        typing_it = name == "-" and os.isatty(fh.fileno())
        if not typing_it and info.st_rdev != os.stat(os.devnull).st_rdev:
            raise _UsageError(f"cannot read {name!r}: not a regular file, a pipe or standard input")
    data = bytearray()
    while len(data) <= _MAX_STREAM_READ:
        chunk = fh.read(1 << 16)
        if not chunk:
            return bytes(data)
        data += chunk
    raise _UsageError(f"cannot read {name!r}: more than {_MAX_STREAM_READ} bytes")


def _read_data(value: str) -> bytes:
    if value.startswith("@"):
        name = value[1:]
        try:
            if name == "-":
                return _read_source(sys.stdin.buffer, name)
            with open(name, "rb") as fh:
                return _read_source(fh, name)
        except OSError as exc:
            raise _UsageError(f"cannot read {name!r}: {exc.strerror}") from None
    return value.encode("utf-8")


def _form_field(spec: str) -> Tuple[str, Optional[Tuple[str, bytes, str]], str]:
    """A -F argument as (name, file or None, value)."""
    name, eq, value = spec.partition("=")
    if not eq or not name:
        raise _UsageError(f"bad form field {spec!r}; use -F name=value or -F name=@file")
    if not value.startswith("@"):
        return name, None, value
    path, _, ctype = value[1:].partition(";type=")
    if not path:
        raise _UsageError(f"bad form field {spec!r}; use -F name=@file")
    content = _read_data("@" + path)
    filename = "-" if path == "-" else os.path.basename(path)
    ctype = ctype or mimetypes.guess_type(filename)[0] or "application/octet-stream"
    return name, (filename, content, ctype), ""


def _multipart(specs: List[str]) -> Tuple[bytes, str]:
    fields: Dict[str, List[str]] = {}
    files: List[Tuple[str, Tuple[str, bytes, str]]] = []
    for spec in specs:
        name, upload, value = _form_field(spec)
        if upload is None:
            fields.setdefault(name, []).append(value)
        else:
            files.append((name, upload))
    # The client's encoder, called directly: given fields alone, the client
    # would send a urlencoded form, and -F always means multipart.
    return encode_multipart(fields, files)


def _request_args(args: argparse.Namespace) -> Tuple[str, Dict[str, Any]]:
    """The method and the keyword arguments of ``Client.request``."""
    headers: List[Tuple[str, str]] = []
    for line in args.headers:
        name, colon, value = line.partition(":")
        if not colon or not name.strip():
            raise _UsageError(f"bad header {line!r}; use -H 'Name: value'")
        headers.append((name.strip(), value.strip()))
    names = {n.lower() for n, _ in headers}
    bodies = [opt for opt, given in (("-d", args.data), ("--json", args.json_data), ("-F", args.form)) if given is not None]
    if len(bodies) > 1:
        raise _UsageError(f"use only one of {', '.join(bodies)}")
    send: Dict[str, Any] = {}
    if args.json_data is not None:
        body = _read_data(args.json_data)
        try:
            json.loads(body)
        except ValueError as exc:
            raise _UsageError(f"--json data is not valid JSON: {exc}") from None
        if "content-type" not in names:
            headers.append(("Content-Type", "application/json"))
        if "accept" not in names:
            headers.append(("Accept", "application/json"))
        send["content"] = body
    elif args.data is not None:
        # As curl: several -d are joined with "&" and sent as a form.
        send["content"] = b"&".join(_read_data(d) for d in args.data)
        if "content-type" not in names:
            headers.append(("Content-Type", "application/x-www-form-urlencoded"))
    elif args.form is not None:
        send["content"], ctype = _multipart(args.form)
        if "content-type" not in names:
            headers.append(("Content-Type", ctype))
    if args.user is not None:
        user, colon, password = args.user.partition(":")
        if not colon:
            raise _UsageError("use -u user:password")
        send["auth"] = (user, password)
    send["headers"] = headers
    method = (args.method or ("POST" if "content" in send else "GET")).upper()
    return method, send


def _was_decoded(r: Response) -> bool:
    # The client undoes codings from the last applied; if it knows that one,
    # the body printed is no longer the one the headers describe.
    codings = [c.strip().lower() for c in r.headers.get("content-encoding", "").split(",")]
    codings = [c for c in codings if c not in ("", "identity")]
    return bool(codings) and codings[-1] in _DECODERS


def _head_text(r: Response) -> str:
    # The engine reports neither the minor version nor the reason phrase.
    lines = [f"HTTP/1.x {r.status_code}"]
    # Content-Encoding and Content-Length describe the body as sent, not the
    # decoded body printed below them.
    skip = ("content-encoding", "content-length") if _was_decoded(r) else ()
    lines += [f"{name}: {value}" for name, value in r.headers.items() if name.lower() not in skip]
    return "\r\n".join(lines) + "\r\n\r\n"


def _response_bytes(r: Response, include: bool) -> bytes:
    head = b""
    if include:
        head = b"".join(_head_text(hop).encode("utf-8") for hop in [*r.history, r])
    return head + r.content


def _write_response(r: Response, include: bool, out: Any) -> None:
    out.write(_response_bytes(r, include))
    out.flush()


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _output(r: Response, args: argparse.Namespace) -> int:
    """Write the response where -o says, as curl does: binary output is not
    written to a terminal unless -o - asks for it."""
    data = _response_bytes(r, args.include)
    if args.output not in (None, "-"):
        try:
            with open(args.output, "wb") as fh:
                fh.write(data)
        except OSError as exc:
            raise _UsageError(f"cannot write {args.output!r}: {exc.strerror}") from None
        return _OK
    out = sys.stdout.buffer
    if args.output is None and _TERMINAL_UNSAFE.search(data) and _is_terminal(out):
        print(
            "tarnix: binary output can mess up your terminal, so it was not written; "
            "use '--output -' to write it anyway, or '--output FILE' to save it",
            file=sys.stderr,
        )
        return _FAILED
    out.write(data)
    out.flush()
    return _OK


def _percentile(sorted_values: Sequence[float], pct: int) -> float:
    """Nearest rank: the smallest value with at least pct% of values at or below it."""
    rank = max(1, -(-pct * len(sorted_values) // 100))  # ceil, in integers
    return sorted_values[rank - 1]


class _Progress:
    """A one-line progress bar on a terminal, sized to its width at each draw."""

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        self.enabled = stream.isatty()

    def _columns(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (OSError, ValueError):
            return 80

    def line(self, done: int, columns: int) -> str:
        count = f" {done}/{self.total}"
        # The last column stays empty: writing there makes some terminals wrap.
        width = min(50, columns - 1 - len(count) - 2)
        if width < 5:
            return count.strip()[: max(columns - 1, 0)]
        filled = width * done // self.total if self.total else width
        return f"[{'#' * filled}{'.' * (width - filled)}]{count}"

    def draw(self, done: int) -> None:
        if not self.enabled:
            return
        columns = self._columns()
        # Clear to the end of the line: the terminal may have been narrowed.
        self.stream.write("\r" + self.line(done, columns) + "\x1b[K")
        self.stream.flush()

    def finish(self, done: int) -> None:
        if self.enabled:
            self.draw(done)
            self.stream.write("\n")
            self.stream.flush()


def _size(n: int) -> str:
    value, unit = float(n), "B"
    for bigger in ("KiB", "MiB", "GiB"):
        if value < 1024:
            break
        value, unit = value / 1024, bigger
    return f"{n} B" if unit == "B" else f"{value:.1f} {unit}"


class _ByteProgress(_Progress):
    """A download's bytes so far, against its length when it is known."""

    def line(self, done: int, columns: int) -> str:
        count = f" {_size(done)}" + (f" / {_size(self.total)}" if self.total else "")
        width = min(50, columns - 1 - len(count) - 2)
        if not self.total or width < 5:
            return count.strip()[: max(columns - 1, 0)]
        filled = width * min(done, self.total) // self.total
        return f"[{'#' * filled}{'.' * (width - filled)}]{count}"


async def _save(client: Client, url: str, send: Dict[str, Any], path: str) -> int:
    """GET into a file as it arrives, as curl -o does, with a progress bar
    on a terminal; a response other than 2xx saves nothing."""
    progress = DownloadProgress()
    bar = _ByteProgress(0, sys.stderr)

    def draw() -> None:
        bar.total = progress.total or 0
        bar.draw(progress.num_bytes_downloaded)

    async def report() -> None:
        while True:
            draw()
            await asyncio.sleep(0.1)

    reporter = asyncio.ensure_future(report()) if bar.enabled else None
    try:
        r = await client.download(url, path, progress=progress, **send)
    finally:
        if reporter is not None:
            reporter.cancel()
            draw()
            bar.stream.write("\n")
            bar.stream.flush()
    if not r.is_success:
        print(f"tarnix: HTTP {r.status_code}: nothing saved to {path!r}", file=sys.stderr)
        return _FAILED
    return _OK


async def _load(client: Client, method: str, url: str, send: Dict[str, Any], total: int, concurrency: int, out: TextIO) -> int:
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
                r = await client.request(method, url, **send)
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
    loop = asyncio.get_running_loop()
    workers = asyncio.ensure_future(asyncio.gather(*(worker() for _ in range(min(concurrency, total)))))
    interrupted = False

    def interrupt() -> None:
        nonlocal interrupted
        interrupted = True
        workers.cancel()

    # Ctrl-C stops the run and still reports what was measured; a second one
    # finds the default handler again.
    try:
        loop.add_signal_handler(signal.SIGINT, interrupt)
        handler = True
    except (NotImplementedError, RuntimeError, ValueError):
        handler = False
    reporter = asyncio.ensure_future(report())
    started = perf_counter()
    try:
        await workers
    except asyncio.CancelledError:
        if not interrupted:
            raise
    finally:
        wall = perf_counter() - started
        reporter.cancel()
        if handler:
            loop.remove_signal_handler(signal.SIGINT)
    ok = len(latencies)
    failed = sum(errors.values())
    progress.finish(ok + failed)

    if interrupted:
        out.write(f"interrupted after {ok + failed} of {total} requests\n")
    if ok:
        out.write(f"completed {ok} requests in {wall:.3f} s: {ok / wall if wall else 0:.1f} requests/s\n")
    elif failed:
        out.write(f"all {failed} requests failed (in {wall:.3f} s)\n")
    if failed and ok:
        out.write(f"failed {failed} requests\n")
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
    if interrupted:
        return _INTERRUPTED
    return _FAILED if errors else _OK


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
            return await _load(client, "GET", base + "/", {}, n, args.concurrency, out)


def _route_options(args: argparse.Namespace) -> Dict[str, Any]:
    return {"proxy": args.proxy or None, "uds": args.unix_socket}


def _cert(args: argparse.Namespace) -> Optional[CertTypes]:
    if args.cert is None:
        if args.key is not None or args.key_password is not None:
            raise _UsageError("--key and --pass need --cert")
        return None
    return (args.cert, args.key, args.key_password)


async def _run(args: argparse.Namespace) -> int:
    if args.demo:
        return await _demo(args)
    method, send = _request_args(args)
    async with Client(
        timeout=args.timeout, verify=args.cacert or "", follow_redirects=args.location, cert=_cert(args),
        **_route_options(args),
    ) as client:
        if args.noproxy is not None:
            client._routes.set_no_proxy(args.noproxy)
        if args.requests is not None:
            return await _load(client, method, args.url, send, args.requests, args.concurrency, sys.stdout)
        if args.output not in (None, "-") and method == "GET" and not args.include and "content" not in send:
            return await _save(client, args.url, send, args.output)
        r = await client.request(method, args.url, **send)
    return _output(r, args)


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
        return _USAGE
    except Error as exc:
        where = f" ({args.url})" if args.url and not args.demo else ""
        print(f"tarnix: {type(exc).__name__}: {exc}{where}", file=sys.stderr)
        return _FAILED
    except (ValueError, TypeError, OSError) as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return _USAGE
    except KeyboardInterrupt:
        print("tarnix: interrupted", file=sys.stderr)
        return _INTERRUPTED
