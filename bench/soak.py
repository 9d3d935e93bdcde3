"""Soak: many requests on one pool, plain and then TLS, against a loopback
server this script starts in a child process. After each run the process's
resident memory, descriptors and threads must be back at the level they had
after a warm-up; after the client is closed, descriptors and threads must be
back where they were before it was made. Prints the figures; exits 1 when a
figure did not come back.

    python bench/soak.py                      # 50,000 requests each, plain and TLS
    python bench/soak.py --requests 2000      # the short run CI does

Every 25th request asks the server to close its connection, and every 10th
gets a chunked body, so connections are opened, reused and dropped all along.
"""

import argparse
import asyncio
import gc
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BODY = b"x" * 64

# Resident memory may settle a little above the warm level (allocator arenas
# of threads that happened to run, the stack cache filling up); a leak of a
# few hundred bytes per request shows up far past this at 50,000 requests.
RSS_SLACK_KIB = 6 * 1024


# -- the server (child process) -----------------------------------------------

def _answer(target):
    if target == b"/close":
        return b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 64\r\n\r\n" + BODY, True
    if target == b"/chunked":
        return b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n20\r\n" + BODY[:32] + \
            b"\r\n20\r\n" + BODY[32:] + b"\r\n0\r\n\r\n", False
    return b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n" + BODY, False


def _serve_connection(sock):
    buf = b""
    try:
        while True:
            while b"\r\n\r\n" not in buf:
                data = sock.recv(65536)
                if not data:
                    return
                buf += data
            head, _, buf = buf.partition(b"\r\n\r\n")
            response, close = _answer(head.split(b" ", 2)[1])
            sock.sendall(response)
            if close:
                return
    except (OSError, ssl.SSLError):
        pass
    finally:
        sock.close()


def _accept_loop(listener, context):
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if context is not None:
            try:
                sock = context.wrap_socket(sock, server_side=True)
            except (OSError, ssl.SSLError):
                sock.close()
                continue
        threading.Thread(target=_serve_connection, args=(sock,), daemon=True).start()


def serve(certdir):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(certdir, "server.pem"), os.path.join(certdir, "server.key"))
    ports = []
    for ctx in (None, context):
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(512)
        ports.append(listener.getsockname()[1])
        threading.Thread(target=_accept_loop, args=(listener, ctx), daemon=True).start()
    print(*ports, flush=True)
    threading.Event().wait()


# -- the client ---------------------------------------------------------------

def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def links():
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            found.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass  # closed meanwhile
    return found


def fds():
    """Descriptors, less the event loop's wake-up descriptor: it belongs to
    the loop and goes when the loop closes (checked after each run)."""
    return sum("eventfd" not in link for link in links())


def wake_fds():
    return sum("eventfd" in link for link in links())


def pool_sockets(port):
    """Our descriptors that are TCP connections to the server's port: the
    pool's connections, idle or in use."""
    inodes = set()
    with open("/proc/self/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port:
                inodes.add(fields[9])
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:[") and link[8:-1] in inodes:
            count += 1
    return count


def threads():
    return len(os.listdir("/proc/self/task"))


def settle(threads_at_most, seconds=10.0):
    """Waits (bounded) for finished I/O threads to be gone."""
    deadline = time.monotonic() + seconds
    gc.collect()
    while threads() > threads_at_most and time.monotonic() < deadline:
        time.sleep(0.02)


async def drive(client, base, n, inflight):
    failures = []
    counter = iter(range(n))

    async def worker():
        for i in counter:
            path = "/close" if i % 25 == 24 else "/chunked" if i % 10 == 3 else "/"
            try:
                r = await client.get(base + path)
                if r.status_code != 200 or r.content != BODY:
                    failures.append(f"{path}: {r.status_code} {len(r.content)} bytes")
            except Exception as exc:  # every failure is counted, none stops the run
                failures.append(f"{path}: {type(exc).__name__}: {exc}")

    await asyncio.gather(*(worker() for _ in range(inflight)))
    return failures


async def soak(name, base, port, ca, n, warm, inflight, limit):
    import tarnix

    before = (fds(), threads())
    kw = {"max_connections": limit, "timeout": 30.0}
    if ca:
        kw["verify"] = ca
    client = tarnix.Client(**kw)
    failures = await drive(client, base, warm, inflight)
    settle(before[1])
    # Idle connections come and go with the server's closes; the rest of the
    # descriptors must not move.
    warm_rss, warm_fds, warm_threads = rss_kib(), fds() - pool_sockets(port), threads()

    # Two halves: memory that settles does so early, a leak grows in both.
    start = time.monotonic()
    failures += await drive(client, base, n // 2, inflight)
    mid_rss = rss_kib()
    failures += await drive(client, base, n - n // 2, inflight)
    elapsed = time.monotonic() - start
    settle(warm_threads)
    end_rss, end_fds, end_threads = rss_kib(), fds() - pool_sockets(port), threads()
    idle = pool_sockets(port)

    await client.aclose()
    del client
    settle(before[1])
    closed = (fds(), threads())

    problems = []
    if failures:
        problems.append(f"{len(failures)} failed requests, first: {failures[0]}")
    if end_rss > warm_rss + RSS_SLACK_KIB:
        problems.append(f"resident memory grew by {(end_rss - warm_rss) / 1024:.1f} MiB")
    elif end_rss > mid_rss + RSS_SLACK_KIB // 4:
        problems.append(f"resident memory still growing: {(end_rss - mid_rss) / 1024:.1f} MiB in the second half")
    if end_fds > warm_fds:
        problems.append(f"descriptors other than the pool's {warm_fds} -> {end_fds}")
    if idle > limit:
        problems.append(f"{idle} connections open, over the limit of {limit}")
    if end_threads > warm_threads:
        problems.append(f"threads {warm_threads} -> {end_threads}")
    if closed[0] > before[0] or closed[1] > before[1]:
        problems.append(f"after close: descriptors {before[0]} -> {closed[0]}, threads {before[1]} -> {closed[1]}")

    print(f"{name:5} {n:7d} requests in {elapsed:6.1f} s ({n / elapsed:7.0f}/s)  "
          f"RSS {warm_rss / 1024:5.1f} -> {mid_rss / 1024:5.1f} -> {end_rss / 1024:5.1f} MiB  "
          f"other fds {warm_fds} -> {end_fds}, pool {idle} (closed: {closed[0]}, before: {before[0]})  "
          f"threads {warm_threads} -> {end_threads} (closed: {closed[1]}, before: {before[1]})  "
          f"{'OK' if not problems else 'FAIL: ' + '; '.join(problems)}", flush=True)
    return not problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--requests", type=int, default=50000, help="requests per run after the warm-up")
    ap.add_argument("--warm", type=int, default=1000, help="warm-up requests before the baseline")
    ap.add_argument("--inflight", type=int, default=32, help="requests in flight at once")
    ap.add_argument("--limit", type=int, default=16, help="the pool's connection limit")
    ap.add_argument("--serve", metavar="CERTDIR", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.serve)
        return 0

    sys.path.insert(0, HERE)
    import certs

    with tempfile.TemporaryDirectory() as certdir:
        certs.main(certdir)
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve", certdir],
                                  stdout=subprocess.PIPE)
        try:
            plain_port, tls_port = map(int, server.stdout.readline().split())
            ok = True
            for name, port, ca in (("plain", plain_port, ""), ("tls", tls_port, os.path.join(certdir, "ca.pem"))):
                base = f"{'https' if ca else 'http'}://127.0.0.1:{port}"
                ok &= asyncio.run(soak(name, base, port, ca, args.requests, args.warm, args.inflight, args.limit))
                if wake_fds():
                    print(f"{name:5} FAIL: {wake_fds()} wake-up descriptors open after the loop closed", flush=True)
                    ok = False
        finally:
            server.kill()
            server.wait()
            server.stdout.close()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
